"""Certificates for the TLS tests, made at test time: a test CA, server
certificates it signs (good, expired, for another name) and one from a second
CA the controller does not trust. Made with Debian's python3-cryptography."""

import datetime
import ipaddress
import os

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

NAME = 'server.test'   # the name the good certificates carry (mail_tls_name / ftp_tls_name)


def _key():
    return ec.generate_private_key(ec.SECP256R1())


def _name(common):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common)])


def _write(path, key, cert):
    with open(path + '.key', 'wb') as f:
        f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))
    with open(path + '.pem', 'wb') as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))


def _ca(common):
    key = _key()
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (x509.CertificateBuilder().subject_name(_name(common)).issuer_name(_name(common))
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=30))
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .sign(key, hashes.SHA256()))
    return key, cert


def _server(ca_key, ca_cert, names, addresses=(), expired=False):
    key = _key()
    now = datetime.datetime.now(datetime.timezone.utc)
    start = now - datetime.timedelta(days=10 if expired else 1)
    end = now - datetime.timedelta(days=2) if expired else now + datetime.timedelta(days=30)
    alt = [x509.DNSName(n) for n in names] + [x509.IPAddress(ipaddress.ip_address(a))
                                              for a in addresses]
    cert = (x509.CertificateBuilder().subject_name(_name(names[0])).issuer_name(ca_cert.subject)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(start).not_valid_after(end)
            .add_extension(x509.SubjectAlternativeName(alt), critical=False)
            .sign(ca_key, hashes.SHA256()))
    return key, cert


class TestPki:
    """Files in directory: ca.pem (the CA to trust), and NAME.pem / NAME.key
    for the servers: good (NAME and the address), expired, other_name
    (another.test), other_ca (NAME, signed by an untrusted CA)."""

    def __init__(self, directory, address='127.0.0.1'):
        self.dir = directory
        ca_key, ca_cert = _ca('ArvoKOR test CA')
        with open(self.path('ca') + '.pem', 'wb') as f:
            f.write(ca_cert.public_bytes(serialization.Encoding.PEM))
        _write(self.path('good'), *_server(ca_key, ca_cert, [NAME], [address]))
        _write(self.path('expired'), *_server(ca_key, ca_cert, [NAME], [address], expired=True))
        _write(self.path('other_name'), *_server(ca_key, ca_cert, ['another.test']))
        other_key, other_cert = _ca('Untrusted CA')
        _write(self.path('other_ca'), *_server(other_key, other_cert, [NAME], [address]))

    def path(self, which):
        return os.path.join(self.dir, which)

    @property
    def ca(self):
        return self.path('ca') + '.pem'

    def cert(self, which):
        """(certificate file, key file) of one server certificate."""
        return self.path(which) + '.pem', self.path(which) + '.key'
