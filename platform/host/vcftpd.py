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
import errno
import logging
import os
import sys
import threading

try:
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.filesystems import AbstractedFS
    from pyftpdlib.handlers import DTPHandler, FTPHandler
    from pyftpdlib.servers import FTPServer
except ImportError as err:  # pragma: no cover - depends on the installation
    sys.exit("vcftpd: pyftpdlib is not available (%s); install python3-pyftpdlib" % err)


# Jobs on their way in (renamed once complete); never listed as files.
TRANSFER_SUFFIX = ".kortmp"


class JobFS(AbstractedFS):
    """Leaves files still arriving out of every listing."""

    def listdir(self, path):
        return [n for n in AbstractedFS.listdir(self, path) if not n.endswith(TRANSFER_SUFFIX)]


def failure_text(err):
    """Why a file could not be written, as the console and the 426 reply say it."""
    # A write error reaches the handler wrapped (its errno then None).
    cause = err.args[0] if err.args and isinstance(err.args[0], OSError) else err
    code = getattr(cause, "errno", None)
    if code == errno.ENOSPC:
        return "no space left on device"
    return os.strerror(code) if code else "write failed"


class JobDTPHandler(DTPHandler):
    """A store that cannot be written (a full job folder) fails with a 426 that
    says why and a line on the console, never with a traceback, and its
    temporary file is removed (JobHandler.on_incomplete_file_received)."""

    def use_sendfile(self):
        # Asked for every log line too: a file closed after a failed write
        # has no descriptor left to ask about.
        if self.file_obj is not None and self.file_obj.closed:
            return False
        return DTPHandler.use_sendfile(self)

    def handle_error(self):
        err = sys.exc_info()[1]
        if self.receive and isinstance(err, OSError):
            return self.fail(err)
        return DTPHandler.handle_error(self)

    def fail(self, err):
        text = failure_text(err)
        name = self.file_obj.name if self.file_obj is not None else "?"
        logging.warning("%s not stored: %s", os.path.basename(name), text)
        self.transfer_finished = False
        self._resp = ("426 %s; transfer aborted." % text, logging.debug)
        if self.file_obj is not None and not self.file_obj.closed:
            try:
                self.file_obj.close()
            except OSError:
                pass  # closed all the same; its buffer is what could not be written
        DTPHandler.close(self)

    def close(self):
        # The last buffered bytes are written when the file is closed: a full
        # folder may show only here.
        if not self._closed and self.receive and self.file_obj is not None \
                and not self.file_obj.closed:
            try:
                self.file_obj.close()
            except OSError as err:
                return self.fail(err)
        return DTPHandler.close(self)


class JobHandler(FTPHandler):
    """Answers TYPE as usual but never converts line ends."""

    banner = "ArvoKOR virtual controller FTP server ready."
    dtp_handler = JobDTPHandler

    def ftp_TYPE(self, line):
        FTPHandler.ftp_TYPE(self, line)
        self._current_type = 'i'

    def on_incomplete_file_received(self, file):
        # A job that did not arrive whole is no job: its temporary copy goes.
        if file.endswith(TRANSFER_SUFFIX):
            try:
                os.remove(file)
            except OSError:
                pass


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
