"""The Python half of the tests' shared support (black-box tests, benchmarks,
soak), over the arvokor Python package (python/arvokor in this tree), which
holds the controller, the job side and the admin frames. Every test starts its
own virtual controllers and peers on loopback addresses of its own and drives
them only through their programs:

    from harness import Controller, TcpPeer, free_address, unused_port, start_python_peer, pty_pair

    with Controller(s_count=200) as vc:          # extra keys of the settings file
        vc.set('B300', 65, 'S10', 'hello')
        self.assertEqual(vc.get('B300'), 65)
        handle = vc.call('TCPCONNECT', addr=peer_host, port=7000)
        n = vc.call('SENDDATA', handle=handle, bytes='hello')
        code, data = vc.call_read('READDATA', 10, handle=handle)

Environment: KOR_BIN is the build directory holding arvokor and korjob;
KOR_SOURCE the source tree (peer scripts are looked up in tests/peers, which
is put on the module path for the in-process peers).
Set KOR_KEEP=1 to keep the controllers' temporary directories.
"""

import os
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get('KOR_SOURCE', os.path.dirname(os.path.dirname(HERE)))
BIN = os.environ.get('KOR_BIN', os.path.join(SOURCE, 'build', 'default'))
SYSTEM_PYTHON = '/usr/bin/python3'

sys.path.insert(0, os.path.join(SOURCE, 'python'))
sys.path.insert(0, os.path.join(SOURCE, 'tests', 'peers'))
from arvokor import processes  # noqa: E402
from arvokor.controller import VirtualController  # noqa: E402
from arvokor.job import KorjobError  # noqa: E402,F401
from arvokor.processes import (PtyPair, free_address, wait_for,  # noqa: E402,F401
                               wait_port)

# The names this module had before the package held them.
_preexec_die_with_parent = processes.die_with_parent
_stop_process = processes.stop_process


def program(name):
    """Path of a program of the build (arvokor, korjob, koradmin)."""
    return os.path.join(BIN, name)


def sanitizer():
    """The sanitizer the build was made with ('address', 'thread'), or ''
    for a build without one (or a directory that is no CMake build)."""
    try:
        with open(os.path.join(BIN, 'CMakeCache.txt')) as f:
            for line in f:
                if line.startswith('KOR_SANITIZE:'):
                    return line.split('=', 1)[1].strip()
    except OSError:
        pass
    return ''


class Controller(VirtualController):
    """A virtual controller of the build with ArvoKOR in a temporary directory.

    Controller(**settings): extra keys of the settings file (b_count=2000,
    com1=path, ...); the environment variable KOR_REALTIME, when set, gives
    the key realtime. By default the controller's own FTP server is off
    (ftp_server='auto' turns it on). start=False prepares the directory and
    settings without starting arvokor (korjob works on the state file alone).

    Attributes: address, dir, jobs_dir, state_path, config_path.
    """

    def __init__(self, start=True, banner_timeout=15, **settings):
        if os.environ.get('KOR_REALTIME'):  # 'off': run as where SCHED_FIFO is refused
            settings.setdefault('realtime', os.environ['KOR_REALTIME'])
        super().__init__(start=start, banner_timeout=banner_timeout, bin_dir=BIN, **settings)

    def program(self, name):
        # The module's program() at each use: tests may patch it to wrap arvokor.
        return program(name)


def unused_port(host, kind=socket.SOCK_STREAM):
    """A port on host that nothing is bound to right now."""
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


# ---------------------------------------------------------------- peers

class Peer:
    """A peer process started by start_python_peer; stop() ends it."""

    def __init__(self, proc):
        self.proc = proc
        self._out = processes.Output(proc.stdout)
        self._stopped = False
        processes.at_exit(self.stop)

    def output(self):
        return self._out.text()

    def wait_output(self, text, timeout=10):
        if self._out.wait(text, timeout) is None:
            raise AssertionError('peer did not print %r within %s s; output:\n%s'
                                 % (text, timeout, self.output()))

    def stop(self):
        if not self._stopped:
            self._stopped = True
            processes.stop_process(self.proc)
            self._out.join()
            self.proc.stdout.close()
        return self.proc.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False


class TcpPeer:
    """A TCP server socket of the test itself on a loopback address of its own;
    accept() takes the controller's connection. Closed by close(), at the end
    of a with block, or by owner.addCleanup when owner (a TestCase) is given."""

    def __init__(self, owner=None):
        self.host = free_address()
        self.listener = socket.create_server((self.host, 0))
        self.port = self.listener.getsockname()[1]
        self.conn = None
        if owner is not None:
            owner.addCleanup(self.close)

    def accept(self, timeout=5):
        self.listener.settimeout(timeout)
        self.conn, _ = self.listener.accept()
        self.conn.settimeout(timeout)
        return self.conn

    def receive(self, count, timeout=5):
        data = b''
        deadline = time.monotonic() + timeout
        while len(data) < count and time.monotonic() < deadline:
            chunk = self.conn.recv(count - len(data))
            if not chunk:
                break
            data += chunk
        return data

    def close(self):
        for s in (self.conn, self.listener):
            if s is not None:
                s.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def start_python_peer(path, *args, ready=None, timeout=15, owner=None):
    """Runs a peer script with Debian's /usr/bin/python3 (which sees the
    Debian Python packages). path: absolute, or relative to tests/peers.

    ready: None (no wait), a text the peer prints (stdout or stderr), a
    (host, port) tuple to connect to, or a callable polled until true.
    The peer is stopped by peer.stop(), at the end of a with block, by
    owner.addCleanup when owner (a TestCase) is given, and at exit."""
    if not os.path.isabs(path) and not os.path.exists(path):
        path = os.path.join(SOURCE, 'tests', 'peers', path)
    proc = subprocess.Popen([SYSTEM_PYTHON, '-u', path] + [str(a) for a in args],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, preexec_fn=processes.die_with_parent)
    peer = Peer(proc)
    if owner is not None:
        owner.addCleanup(peer.stop)
    try:
        if isinstance(ready, str):
            peer.wait_output(ready, timeout)
        elif isinstance(ready, tuple):
            wait_port(ready[0], ready[1], timeout)
        elif callable(ready):
            wait_for(ready, timeout, what='peer %s to be ready' % path)
    except AssertionError:
        peer.stop()
        raise AssertionError('peer %s not ready:\n%s' % (path, peer.output()))
    return peer


def pty_pair(owner=None, timeout=10):
    """Starts socat with two linked ptys in a temp dir. Returns a PtyPair
    that unpacks as (path_a, path_b): `a, b = pty_pair(owner=self)` or
    `with pty_pair() as (a, b):`. socat is stopped at the end of the with
    block, by owner.addCleanup, by .stop(), or at exit."""
    pair = PtyPair(timeout)
    if owner is not None:
        owner.addCleanup(pair.stop)
    return pair


def observed(vc, stream):
    """Everything the controller kept of what happened, as one text: the
    capture of `stream` (a handle, 'ftp' or 'smtp'; switch it on first), the
    journal with its console lines, the console ring and the console itself.
    A secret must appear in none of them."""
    with vc.admin() as admin:
        capture = capture_text(admin.capture_read(stream))
        _, _, _, entries = admin.journal()
        _, lines = admin.console()
    journal = '\n'.join(line for e in entries for line in e.console)
    console = '\n'.join(line['text'] for line in lines)
    return '\n'.join((capture, journal, console, vc.output()))


def capture_text(body):
    """A ":capture read" body as text: one line "<kind> <data>" per record."""
    at = body.index(b'\n') + 1
    out = []
    while at + 16 <= len(body):
        kind = chr(body[at + 8])
        length = int.from_bytes(body[at + 12:at + 16], 'big')
        out.append('%s %s' % (kind, body[at + 16:at + 16 + length].decode('latin-1')))
        at += 16 + length
    return '\n'.join(out)
