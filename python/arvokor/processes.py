"""Child processes, loopback addresses and waiting, shared by the controller,
the peers of a test and the tools."""

import atexit
import ctypes
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

_cleanups = []


def _cleanup_all():
    while _cleanups:
        try:
            _cleanups.pop()()
        except Exception:  # pragma: no cover - best effort at exit
            pass


atexit.register(_cleanup_all)


def at_exit(fn):
    """Runs fn when the interpreter ends (last registered, first run)."""
    _cleanups.append(fn)


def find_program(name, bin_dir=None):
    """Absolute path of an ArvoKOR program: in bin_dir, else in $ARVOKOR_BIN,
    else on PATH. Absolute, since the programs run in folders of their own."""
    folder = bin_dir or os.environ.get('ARVOKOR_BIN')
    if folder:
        return os.path.join(os.path.abspath(folder), name)
    found = shutil.which(name)
    if not found:
        raise FileNotFoundError('%s is not on PATH (install the arvokor package, '
                                'or set ARVOKOR_BIN to the folder holding it)' % name)
    return os.path.abspath(found)


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
        at_exit(lambda: os.path.exists(path) and os.unlink(path))
        return True
    return False


def free_address():
    """A loopback address 127.x.y.z that no other process of this kind uses.

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


# ---------------------------------------------------------------- processes

class Output:
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


def die_with_parent():
    """preexec_fn: the child gets SIGTERM when this process ends, however it
    ends. (Linux ties this to the thread that started the child: start
    processes from the test's own thread, not a short-lived helper thread.)"""
    try:
        libc = ctypes.CDLL('libc.so.6', use_errno=True)
        libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except OSError:
        pass


def controller_preexec():
    """preexec_fn for arvokor: as die_with_parent, and normal scheduling. The
    controller places its tasks itself; it must not inherit a real-time
    priority of whoever starts it (a benchmark's measuring side)."""
    die_with_parent()
    os.sched_setscheduler(0, os.SCHED_OTHER, os.sched_param(0))


def stop_process(proc, timeout=10):
    """SIGTERM, then SIGKILL after timeout; returns the exit status."""
    if proc.poll() is None:
        try:
            proc.send_signal(signal.SIGTERM)
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)
    return proc.returncode


class PtyPair:
    """Two connected ptys made by socat (a serial cable for \\COM1 and a
    device); unpacks as (a, b). Stopped by stop(), a with block, or at exit."""

    def __init__(self, timeout=10):
        self.dir = tempfile.mkdtemp(prefix='arvokor-pty-')
        self.a = os.path.join(self.dir, 'ttyA')
        self.b = os.path.join(self.dir, 'ttyB')
        self.proc = subprocess.Popen(
            ['socat', 'pty,raw,echo=0,link=%s' % self.a, 'pty,raw,echo=0,link=%s' % self.b],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=die_with_parent)
        self._stopped = False
        at_exit(self.stop)
        try:
            wait_for(lambda: os.path.exists(self.a) and os.path.exists(self.b), timeout,
                     interval=0.01, what='socat ptys')
        except AssertionError:
            self.stop()
            raise

    def stop(self):
        if not self._stopped:
            self._stopped = True
            stop_process(self.proc)
            shutil.rmtree(self.dir, ignore_errors=True)

    def __iter__(self):
        return iter((self.a, self.b))

    def __enter__(self):
        return (self.a, self.b)

    def __exit__(self, *exc):
        self.stop()
        return False
