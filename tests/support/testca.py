"""A certificate authority made at test time for the HTTPS tests: a server
certificate for one loopback address, signed by a CA that only the test's own
browser (an NSS database in a home directory of its own) or client trusts.

    ca = TestCA(directory, '127.0.0.7')
    ca.cert, ca.key      # the server's PEM files
    ca.ca_cert           # for ssl.create_default_context(cafile=...)
    ca.browser_home()    # a HOME whose NSS database trusts the CA
"""

import os
import subprocess


def _openssl(*args):
    subprocess.run(['openssl'] + list(args), check=True, capture_output=True, timeout=30)


class TestCA:
    def __init__(self, directory, host):
        self.dir = directory
        self.ca_cert = os.path.join(directory, 'ca.pem')
        self.cert = os.path.join(directory, 'server.pem')
        self.key = os.path.join(directory, 'server.key')
        ca_key = os.path.join(directory, 'ca.key')
        csr = os.path.join(directory, 'server.csr')
        extensions = os.path.join(directory, 'server.ext')
        with open(extensions, 'w') as f:
            f.write('subjectAltName=IP:%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' % host)
        ec = ('-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes')
        _openssl('req', '-x509', *ec, '-keyout', ca_key, '-out', self.ca_cert, '-days', '2',
                 '-subj', '/CN=kordash test CA')
        _openssl('req', *ec, '-keyout', self.key, '-out', csr, '-subj', '/CN=%s' % host)
        _openssl('x509', '-req', '-in', csr, '-CA', self.ca_cert, '-CAkey', ca_key, '-CAcreateserial',
                 '-out', self.cert, '-days', '2', '-extfile', extensions)

    def browser_home(self):
        """A home directory whose NSS database (what chromium checks servers
        against) trusts this CA for servers."""
        home = os.path.join(self.dir, 'home')
        nssdb = os.path.join(home, '.pki', 'nssdb')
        os.makedirs(nssdb, exist_ok=True)
        subprocess.run(['certutil', '-N', '-d', 'sql:' + nssdb, '--empty-password'], check=True,
                       capture_output=True, timeout=30)
        subprocess.run(['certutil', '-A', '-d', 'sql:' + nssdb, '-n', 'kordash test CA', '-t', 'C,,',
                        '-i', self.ca_cert], check=True, capture_output=True, timeout=30)
        return home
