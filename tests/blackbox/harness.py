"""Shared helpers of the black-box tests.

Every test starts its own virtual controllers and peers on loopback addresses
of its own and drives them only through their programs:

    from harness import Controller, free_address, start_python_peer, pty_pair

    with Controller(s_count=200) as vc:          # extra keys of the settings file
        vc.set('B300', 65, 'S10', 'hello')
        self.assertEqual(vc.get('B300'), 65)
        handle = vc.call('TCPCONNECT', addr=peer_host, port=7000)
        n = vc.call('SENDDATA', handle=handle, bytes='hello')
        code, data = vc.call_read('READDATA', 10, handle=handle)

Environment: KOR_BIN is the build directory holding arvokor and korjob;
KOR_SOURCE the source tree (peer scripts are looked up in tests/peers).
Set KOR_KEEP=1 to keep the controllers' temporary directories.
"""

import atexit
import ctypes
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get('KOR_SOURCE', os.path.dirname(os.path.dirname(HERE)))
BIN = os.environ.get('KOR_BIN', os.path.join(SOURCE, 'build', 'default'))
SYSTEM_PYTHON = '/usr/bin/python3'
BANNER = 'ArvoKOR started successfully !'

_cleanups = []


def _cleanup_all():
    while _cleanups:
        try:
            _cleanups.pop()()
        except Exception:  # pragma: no cover - best effort at exit
            pass


atexit.register(_cleanup_all)


def program(name):
    """Path of a program of the build (arvokor, korjob, koradmin)."""
    return os.path.join(BIN, name)


# ---------------------------------------------------------------- addresses

_ADDR_DIR = os.path.join(tempfile.gettempdir(), 'arvokor-addresses')
_addr_lock = threading.Lock()
_addr_next = [0]


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _claim(address):
    """Claims an address for this process with a lock file; stale claims of
    ended processes are taken over."""
    os.makedirs(_ADDR_DIR, exist_ok=True)
    path = os.path.join(_ADDR_DIR, address)
    for _ in range(2):
        try:
            fd = os.open(path, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o644)
        except FileExistsError:
            try:
                with open(path) as f:
                    owner = int(f.read().strip() or 0)
            except (OSError, ValueError):
                owner = 0
            if owner == os.getpid() or (owner and _pid_alive(owner)):
                return False
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass
            continue
        os.write(fd, str(os.getpid()).encode())
        os.close(fd)
        _cleanups.append(lambda: os.path.exists(path) and os.unlink(path))
        return True
    return False


def free_address():
    """A loopback address 127.x.y.z that no other test process uses.

    Addresses are claimed with lock files under the temp directory, so
    concurrently running test programs never get the same one; each call in
    one process gives a new address."""
    with _addr_lock:
        pid = os.getpid()
        # Start at a place that depends on the process, then walk on.
        x = 10 + pid % 200
        while True:
            n = _addr_next[0]
            _addr_next[0] += 1
            y, z = 1 + (pid // 200 + n // 250) % 250, 2 + n % 250
            address = '127.%d.%d.%d' % (x, y, z)
            if _claim(address):
                return address
            if _addr_next[0] > 60000:
                raise RuntimeError('no free loopback address')


def wait_for(predicate, timeout=10.0, interval=0.02, what='condition'):
    """Polls predicate until it returns a true value; returns that value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError('timed out after %.1f s waiting for %s' % (timeout, what))
        time.sleep(interval)


def wait_port(host, port, timeout=10.0):
    """Waits until a TCP connection to host:port succeeds."""
    def ready():
        try:
            with socket.create_connection((host, port), timeout=0.5):
                return True
        except OSError:
            return False
    wait_for(ready, timeout, what='%s:%d to accept connections' % (host, port))


# ---------------------------------------------------------------- processes

class _Output:
    """Collects a process's output in a thread; waits for texts in it."""

    def __init__(self, stream):
        self._data = bytearray()
        self._cond = threading.Condition()
        self._closed = False
        self._thread = threading.Thread(target=self._pump, args=(stream,), daemon=True)
        self._thread.start()

    def _pump(self, stream):
        while True:
            chunk = stream.read1(65536) if hasattr(stream, 'read1') else stream.read(4096)
            with self._cond:
                if not chunk:
                    self._closed = True
                    self._cond.notify_all()
                    return
                self._data += chunk
                self._cond.notify_all()

    def text(self):
        with self._cond:
            return self._data.decode('utf-8', 'replace')

    def wait(self, text, timeout, start=0):
        """Waits until text appears at or after character offset start;
        returns the offset just past it, or None on time-out / end."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                found = self._data.decode('utf-8', 'replace').find(text, start)
                if found >= 0:
                    return found + len(text)
                left = deadline - time.monotonic()
                if left <= 0 or self._closed:
                    return None
                self._cond.wait(left)

    def join(self, timeout=5):
        self._thread.join(timeout)


def _preexec_die_with_parent():
    # The child gets SIGTERM when the test process ends, however it ends.
    # (Linux ties this to the thread that started the child: start processes
    # from the test's own thread, not from a short-lived helper thread.)
    try:
        libc = ctypes.CDLL('libc.so.6', use_errno=True)
        libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except OSError:
        pass


def _preexec_controller():
    # The controller sets its tasks' scheduling itself; it must not inherit a
    # real-time priority of whoever starts it (a benchmark's measuring side).
    _preexec_die_with_parent()
    os.sched_setscheduler(0, os.SCHED_OTHER, os.sched_param(0))


def _stop_process(proc, timeout=10):
    if proc.poll() is None:
        try:
            proc.send_signal(signal.SIGTERM)
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)
    return proc.returncode


class KorjobError(AssertionError):
    """korjob ended with a non-zero status where success was expected."""

    def __init__(self, args, result):
        super().__init__('korjob %s: exit %d\nstdout: %s\nstderr: %s' % (
            ' '.join(args), result.returncode, result.stdout, result.stderr))
        self.result = result


def _value_text(value):
    if isinstance(value, (list, tuple)):
        return ','.join(str(int(v)) for v in value)
    if isinstance(value, float):
        return repr(value)
    return str(value)


def _param_args(params):
    args = []
    for name, value in params.items():
        values = value if isinstance(value, (list, tuple)) and name == 'field' else [value]
        for v in values:
            if isinstance(v, (bytes, bytearray)):
                v = 'hex:' + bytes(v).hex()
            elif isinstance(v, (list, tuple)):
                v = '[' + ','.join(str(int(b)) for b in v) + ']'
            args.append('%s=%s' % (name, v))
    return args


def _parse_value(var, text):
    kind = re.match(r'[A-Za-z]+', var).group(0).upper()
    if kind == 'S':
        return text
    if kind == 'R':
        return float(text)
    if kind == 'P':
        return [int(w) for w in text.split(',')]
    return int(text)


class Controller:
    """A virtual controller with ArvoKOR in a temporary directory.

    Controller(**settings): extra keys of the settings file (b_count=2000,
    com1=path, ...); the environment variable KOR_REALTIME, when set, gives
    the key realtime. By default the controller's own FTP server is off
    (ftp_server='auto' turns it on). start=False prepares the directory and
    settings without starting arvokor (korjob works on the state file alone).

    Attributes: address, dir, jobs_dir, state_path, config_path.
    """

    def __init__(self, start=True, banner_timeout=15, **settings):
        self.address = settings.pop('address', None) or free_address()
        self.dir = tempfile.mkdtemp(prefix='arvokor-')
        self.jobs_dir = os.path.join(self.dir, 'jobs')
        self.state_path = os.path.join(self.dir, 'arvokor.state')
        self.config_path = os.path.join(self.dir, 'arvokor.conf')
        os.makedirs(self.jobs_dir)
        keys = {'address': self.address, 'state': self.state_path, 'jobs': self.jobs_dir,
                'ftp_server': 'off'}
        if os.environ.get('KOR_REALTIME'):  # 'off': run as where SCHED_FIFO is refused
            keys['realtime'] = os.environ['KOR_REALTIME']
        keys.update({k: _value_text(v) for k, v in settings.items()})
        with open(self.config_path, 'w') as f:
            for k, v in keys.items():
                f.write('%s = %s\n' % (k, v))
        self.settings = keys
        self.proc = None
        self._out = None
        self._closed = False
        _cleanups.append(self.close)
        if start:
            self.start(banner_timeout)

    # -- life cycle
    def start(self, banner_timeout=15):
        """Starts arvokor and waits for its banner."""
        assert self.proc is None or self.proc.poll() is not None, 'already running'
        # The launcher clears the command area after its banner, before it
        # polls. A marker in the first command ID shows when that is done, so
        # that no command written after start() can be wiped by the clearing.
        marker = 'B%d' % self._command_base()
        marked = self.korjob('set', marker, 255, check=False).returncode == 0
        self.proc = subprocess.Popen([program('arvokor'), '--config', self.config_path],
                                     cwd=self.dir, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     preexec_fn=_preexec_controller)
        self._out = _Output(self.proc.stdout)
        if self._out.wait(BANNER, banner_timeout) is None:
            code = _stop_process(self.proc)
            raise AssertionError('arvokor did not print its banner (exit %s):\n%s'
                                 % (code, self.output()))
        if marked:
            wait_for(lambda: self.get(marker) != 255, banner_timeout, interval=0.005,
                     what='the launcher to clear the command area')
        return self

    def _command_base(self):
        """The base number as the launcher reads it from S92 ('base:slots')."""
        result = self.korjob('get', 'S92', check=False)  # may lie beyond s_count
        tokens = [t for t in result.stdout[:-1].split(':') if t]
        if len(tokens) != 2:
            return 100
        number = re.match(r'[ \t\n\v\f\r]*([+-]?\d+)', tokens[0])
        return (int(number.group(1)) if number else 0) & 0xffff

    def stop(self, timeout=10):
        """Stops arvokor with SIGTERM; returns its exit status (None if not started)."""
        if self.proc is None:
            return None
        code = _stop_process(self.proc, timeout)
        self._out.join()
        self.proc.stdout.close()
        return code

    def close(self):
        if self._closed:
            return
        self._closed = True
        self.stop()
        if os.environ.get('KOR_KEEP'):
            sys.stderr.write('kept %s\n' % self.dir)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    # -- console
    def output(self):
        """Everything arvokor printed so far (stdout and stderr)."""
        return self._out.text() if self._out else ''

    def wait_output(self, text, timeout=10, start=0):
        """Waits until text appears in the console output (from character
        offset start on); returns the offset just past it."""
        end = self._out.wait(text, timeout, start) if self._out else None
        if end is None:
            raise AssertionError('%r not printed within %s s; console:\n%s'
                                 % (text, timeout, self.output()))
        return end

    # -- the job's side
    def korjob(self, *args, check=True, timeout=60):
        """Runs korjob on this controller's settings; returns CompletedProcess
        (text). check=True raises KorjobError on a non-zero status."""
        argv = [program('korjob'), '--config', self.config_path] + [str(a) for a in args]
        result = subprocess.run(argv, capture_output=True, text=True, timeout=timeout,
                                errors='replace')
        if check and result.returncode != 0:
            raise KorjobError([str(a) for a in args], result)
        return result

    def get(self, var):
        """Value of one variable (int, float for R, str for S, list of words
        for P), or a list of them for a range like 'B300..B309'."""
        lines = self.korjob('get', var).stdout.split('\n')[:-1]
        if '..' in var:
            return [_parse_value(var, line) for line in lines]
        return _parse_value(var, lines[0])

    def set(self, var, value, *more):
        """set('B1', 5, 'S2', 'text', 'P3', [1, 2, 3], ...)"""
        pairs = [var, value] + list(more)
        assert len(pairs) % 2 == 0, 'set takes VAR VALUE pairs'
        args = []
        for k in range(0, len(pairs), 2):
            args += [pairs[k], _value_text(pairs[k + 1])]
        self.korjob('set', *args)

    def call(self, command, timeout=10, slot=0, **params):
        """Issues a command and returns its result code. Parameters are passed
        as name=value (p0..p9, addr, port, handle, result, block, bytes,
        field); a list for field gives several fields; bytes may be bytes or a
        list of ints; preset=V presets the result variable with V instead of 0
        (needed when 0 is a result the command can write). Raises KorjobError
        on a time-out."""
        return self._call(command, timeout, slot, None, params)[0]

    def call_read(self, command, count, timeout=10, slot=0, **params):
        """Like call, with --read count: returns (result code, bytes)."""
        return self._call(command, timeout, slot, count, params)

    def _call(self, command, timeout, slot, read, params):
        params = dict(params)
        preset = params.pop('preset', None)
        args = ['call', str(command)] + _param_args(params)
        if preset is not None:
            args += ['--preset', str(preset)]
        args += ['--slot', str(slot), '--timeout', str(timeout)]
        if read is not None:
            args += ['--read', str(read)]
        out = self.korjob(*args, timeout=timeout + 30).stdout
        code = int(out.split()[0])
        data = b''
        match = re.search(r'^hex:(.*)$', out, re.M)
        if match:
            data = bytes.fromhex(match.group(1).replace(' ', ''))
        return code, data

    def robot_pos(self, robot, *values):
        self.korjob('robot', 'pos', robot, *values)

    def robot_speed(self, group, *speeds):
        self.korjob('robot', 'speed', group, *speeds)


# ---------------------------------------------------------------- peers

class Peer:
    """A peer process started by start_python_peer; stop() ends it."""

    def __init__(self, proc):
        self.proc = proc
        self._out = _Output(proc.stdout)
        self._stopped = False
        _cleanups.append(self.stop)

    def output(self):
        return self._out.text()

    def wait_output(self, text, timeout=10):
        if self._out.wait(text, timeout) is None:
            raise AssertionError('peer did not print %r within %s s; output:\n%s'
                                 % (text, timeout, self.output()))

    def stop(self):
        if not self._stopped:
            self._stopped = True
            _stop_process(self.proc)
            self._out.join()
            self.proc.stdout.close()
        return self.proc.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
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
                            stderr=subprocess.STDOUT, preexec_fn=_preexec_die_with_parent)
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


class PtyPair:
    """Two connected ptys made by socat; iterates as (a, b)."""

    def __init__(self, timeout=10):
        self.dir = tempfile.mkdtemp(prefix='arvokor-pty-')
        self.a = os.path.join(self.dir, 'ttyA')
        self.b = os.path.join(self.dir, 'ttyB')
        self.proc = subprocess.Popen(
            ['socat', 'pty,raw,echo=0,link=%s' % self.a, 'pty,raw,echo=0,link=%s' % self.b],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=_preexec_die_with_parent)
        self._stopped = False
        _cleanups.append(self.stop)
        try:
            wait_for(lambda: os.path.exists(self.a) and os.path.exists(self.b), timeout,
                     interval=0.01, what='socat ptys')
        except AssertionError:
            self.stop()
            raise

    def stop(self):
        if not self._stopped:
            self._stopped = True
            _stop_process(self.proc)
            shutil.rmtree(self.dir, ignore_errors=True)

    def __iter__(self):
        return iter((self.a, self.b))

    def __enter__(self):
        return (self.a, self.b)

    def __exit__(self, *exc):
        self.stop()
        return False


def pty_pair(owner=None, timeout=10):
    """Starts socat with two linked ptys in a temp dir. Returns a PtyPair
    that unpacks as (path_a, path_b): `a, b = pty_pair(owner=self)` or
    `with pty_pair() as (a, b):`. socat is stopped at the end of the with
    block, by owner.addCleanup, by .stop(), or at exit."""
    pair = PtyPair(timeout)
    if owner is not None:
        owner.addCleanup(pair.stop)
    return pair
