#!/usr/bin/python3
"""The virtual controller's own FTP server over its job directory.

Serves ROOT to the user "ftp" with an empty password (all permissions) on
ADDRESS:PORT. Job files are kept byte for byte as they travel, in TYPE A as in
TYPE I: the controller stores what a client sends, line ends included. Files
still arriving (named *.kortmp until renamed) are not listed.

arvokor starts it with --ready-fd (a line is written there once the port is
bound) and --parent-fd (its end closes when arvokor ends, for whatever reason;
the server then ends too).
"""
import argparse
import logging
import os
import sys
import threading

try:
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.filesystems import AbstractedFS
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer
except ImportError as err:  # pragma: no cover - depends on the installation
    sys.exit("vcftpd: pyftpdlib is not available (%s); install python3-pyftpdlib" % err)


# Jobs on their way in (renamed once complete); never listed as files.
TRANSFER_SUFFIX = ".kortmp"


class JobFS(AbstractedFS):
    """Leaves files still arriving out of every listing."""

    def listdir(self, path):
        return [n for n in AbstractedFS.listdir(self, path) if not n.endswith(TRANSFER_SUFFIX)]


class JobHandler(FTPHandler):
    """Answers TYPE as usual but never converts line ends."""

    banner = "ArvoKOR virtual controller FTP server ready."

    def ftp_TYPE(self, line):
        FTPHandler.ftp_TYPE(self, line)
        self._current_type = 'i'


def watch_parent(fd):
    """Ends the process as soon as the parent's end of the pipe is closed."""
    def run():
        try:
            while os.read(fd, 64):
                pass
        except OSError:
            pass
        os._exit(0)
    threading.Thread(target=run, daemon=True).start()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", required=True, help="job directory to serve")
    parser.add_argument("--address", default="127.0.0.1", help="address to listen on")
    parser.add_argument("--port", type=int, default=21, help="port to listen on")
    parser.add_argument("--ready-fd", type=int, help="descriptor to report readiness on")
    parser.add_argument("--parent-fd", type=int, help="descriptor whose closing ends the server")
    args = parser.parse_args()

    if args.parent_fd is not None:
        watch_parent(args.parent_fd)
    logging.basicConfig(level=logging.WARNING, format="vcftpd: %(message)s")

    os.makedirs(args.root, exist_ok=True)
    authorizer = DummyAuthorizer()
    authorizer.add_user("ftp", "", os.path.abspath(args.root), perm="elradfmwMT")
    JobHandler.authorizer = authorizer
    JobHandler.abstracted_fs = JobFS
    try:
        server = FTPServer((args.address, args.port), JobHandler)
    except OSError as err:
        sys.exit("vcftpd: cannot listen on %s port %d: %s" % (args.address, args.port, err.strerror or err))
    if args.ready_fd is not None:
        os.write(args.ready_fd, b"ready\n")
        os.close(args.ready_fd)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
