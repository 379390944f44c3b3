#!/usr/bin/python3
"""Debian's vsftpd as a remote FTP server requiring TLS, with a configuration
of its own: anonymous access (user "anonymous", no password) to --root on a
loopback address, AUTH TLS required for control and data, and every data
connection required to resume the control connection's TLS session
(require_ssl_reuse=YES). Prints "ready <port>" once it listens; runs until
terminated. Needs root (vsftpd drops to the user "ftp" itself).
"""
import argparse
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time


def config(args, empty):
    return "\n".join([
        "listen=YES", "listen_ipv6=NO", "background=NO",
        "listen_address=%s" % args.address, "listen_port=%d" % args.port,
        "anonymous_enable=YES", "local_enable=NO", "no_anon_password=YES",
        "anon_root=%s" % os.path.abspath(args.root),
        "write_enable=YES", "anon_upload_enable=YES", "anon_mkdir_write_enable=YES",
        "anon_other_write_enable=YES", "anon_umask=022",
        "ssl_enable=YES", "allow_anon_ssl=YES", "force_anon_logins_ssl=YES",
        "force_anon_data_ssl=YES", "require_ssl_reuse=YES", "ssl_ciphers=HIGH",
        "rsa_cert_file=%s" % args.tls_cert, "rsa_private_key_file=%s" % args.tls_key,
        "secure_chroot_dir=%s" % empty, "seccomp_sandbox=NO", "isolate=NO",
        "isolate_network=NO", "pasv_enable=YES", "xferlog_enable=NO", "syslog_enable=NO", "",
    ])


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--address", default="127.0.0.1")
    p.add_argument("--port", type=int, default=21)
    p.add_argument("--root", required=True)
    p.add_argument("--tls-cert", required=True)
    p.add_argument("--tls-key", required=True)
    args = p.parse_args()
    if not args.address.startswith("127."):
        p.error("only loopback addresses are allowed")
    # vsftpd refuses a root the anonymous user could write to; uploads (as
    # the user "ftp") go into folders below it that the caller makes writable.
    os.chmod(args.root, 0o755)
    with tempfile.TemporaryDirectory(prefix="vsftpd-") as work:
        empty = os.path.join(work, "empty")
        os.mkdir(empty, 0o755)
        conf = os.path.join(work, "vsftpd.conf")
        with open(conf, "w") as f:
            f.write(config(args, empty))
        os.chmod(conf, 0o600)
        proc = subprocess.Popen(["/usr/sbin/vsftpd", conf])
        signal.signal(signal.SIGTERM, lambda *_: proc.terminate())
        deadline = time.monotonic() + 10
        while proc.poll() is None and time.monotonic() < deadline:
            try:
                socket.create_connection((args.address, args.port), 0.2).close()
                break
            except OSError:
                time.sleep(0.05)
        if proc.poll() is not None:
            return 1
        print("ready %d" % args.port, flush=True)
        try:
            proc.wait()
        finally:
            if proc.poll() is None:
                proc.terminate()
                proc.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
