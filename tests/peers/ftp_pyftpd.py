#!/usr/bin/python3
"""A plain pyftpdlib server as the remote FTP server of the tests.

Serves --root to the user --user / --password (default robot / secret) and to
"ftp" with an empty password, with all permissions. Prints "ready <port>" on
stdout once it listens. TYPE A converts line ends as pyftpdlib always does.
With --tls-cert and --tls-key it requires TLS (AUTH TLS, PROT P) on the
control and data connections. Servers a plant may have: --perm narrows the
permissions (pyftpdlib letters; "elrw": upload only, no rename, no delete),
--stor-suffix refuses STOR (553) of names without that ending, as a server
whose folder takes only job files does.
"""
import argparse
import logging
import os

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer


def suffix_only(base, suffix):
    """A handler class that refuses STOR of names not ending in suffix."""
    class SuffixOnly(base):
        def ftp_STOR(self, file, mode="w"):
            if not file.upper().endswith(suffix.upper()):
                self.respond("553 Only %s files are accepted." % suffix)
                return None
            return super().ftp_STOR(file, mode)
    return SuffixOnly


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--address", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--root", required=True)
    p.add_argument("--user", default="robot")
    p.add_argument("--password", default="secret")
    p.add_argument("--tls-cert", help="server certificate (PEM): TLS required")
    p.add_argument("--tls-key", help="its key (PEM)")
    p.add_argument("--perm", default="elradfmwMT", help="permissions of both users")
    p.add_argument("--stor-suffix", help="STOR only of names ending so (case-insensitive)")
    args = p.parse_args()

    logging.basicConfig(level=logging.WARNING)
    root = os.path.abspath(args.root)
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, root, perm=args.perm)
    authorizer.add_user("ftp", "", root, perm=args.perm)
    handler = FTPHandler
    if args.tls_cert:
        handler = TLS_FTPHandler
    if args.stor_suffix:
        handler = suffix_only(handler, args.stor_suffix)
    if args.tls_cert:
        handler.certfile = args.tls_cert
        handler.keyfile = args.tls_key
        handler.tls_control_required = True
        handler.tls_data_required = True
    handler.authorizer = authorizer
    handler.auth_failed_timeout = 0  # no pause after a refused login
    server = FTPServer((args.address, args.port), handler)
    print("ready %d" % server.socket.getsockname()[1], flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
