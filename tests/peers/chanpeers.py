"""In-process peers and job-side helpers of the channel black-box tests.

ScriptedServer is a TCP server on a loopback address whose behaviour each
test scripts: it accepts connections and hands them to the test, which sends,
reads and closes on them itself. The helpers drive channels through korjob.
"""

import os
import queue
import socket
import threading
import time

NO_DATA = 253
NOT_IN_USE = 252


class ScriptedServer:
    """Accepts TCP connections on (host, port 0 or given) in a thread.

    on_accept(conn) runs in the accepting thread for every connection (send a
    greeting, close at once, ...); connections stay open otherwise and are
    collected in .conns (and in the queue .accepted)."""

    def __init__(self, host, on_accept=None, port=0):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((host, port))
        self.sock.listen(64)
        self.host, self.port = self.sock.getsockname()
        self.on_accept = on_accept
        self.conns = []
        self.accepted = queue.Queue()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.conns.append(conn)
            if self.on_accept:
                self.on_accept(conn)
            self.accepted.put(conn)

    def next_conn(self, timeout=10):
        return self.accepted.get(timeout=timeout)

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        for c in self.conns:
            c.close()


def sees_close(conn, timeout=5):
    """True when the connection's other side closes within timeout (data that
    arrives before is read and dropped)."""
    conn.settimeout(0.2)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            data = conn.recv(65536)
        except socket.timeout:
            continue
        except OSError:
            return True
        if not data:
            return True
    return False


def connect_from(source, host, port, timeout=5):
    """A TCP connection to host:port from the loopback address source."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind((source, 0))
    s.settimeout(timeout)
    s.connect((host, port))
    return s


def encode_port(port):
    """A port as a job writes it into an I variable."""
    return port if port <= 32767 else 32767 - port


def read_some(vc, handle, count=128, slot=0):
    """One READDATA: the bytes read (b'' when the queue was empty)."""
    code, data = vc.call_read('READDATA', count, handle=handle, slot=slot)
    if code == NO_DATA:
        return b''
    if not 1 <= code <= count:
        raise AssertionError('READDATA on handle %d gave %d' % (handle, code))
    return data[:code]


def read_exactly(vc, handle, n, timeout=10, chunk=128):
    """Reads until n bytes came from the channel's queue."""
    got = b''
    deadline = time.monotonic() + timeout
    while len(got) < n:
        part = read_some(vc, handle, min(chunk, n - len(got)))
        got += part
        if not part:
            if time.monotonic() > deadline:
                raise AssertionError('only %r of %d bytes arrived' % (got, n))
            time.sleep(0.05)
    return got


def cpu_seconds(pid):
    """User plus system CPU time a process has used so far."""
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def cpu_while(pid, seconds):
    """CPU seconds the process uses during the next `seconds`."""
    before = cpu_seconds(pid)
    time.sleep(seconds)
    return cpu_seconds(pid) - before


def close_all(vc):
    """CLOSEALL, then waits until every channel has been released (a READDATA
    on a channel being closed waits for its release and then gives 252)."""
    code = vc.call('CLOSEALL')
    for handle in range(1, 20):
        if vc.call('READDATA', handle=handle, p2=1) != NOT_IN_USE:
            raise AssertionError('channel %d still open after CLOSEALL' % handle)
    return code


def call_for_zero(vc, command, wait=1.5, **params):
    """Issues a command whose expected result is 0. korjob presets the result
    variable to 0 and waits for a change, so a 0 shows as a time-out after the
    launcher has taken the command; that gives 0, any other result is returned."""
    from harness import KorjobError
    try:
        return vc.call(command, timeout=wait, **params)
    except KorjobError as e:
        if 'was taken but wrote no result' in e.result.stderr:
            return 0
        raise


def settle(vc, tries=50):
    """Waits until the controller takes commands: a harmless INFO is retried
    until it answers."""
    from harness import KorjobError
    for _ in range(tries):
        try:
            if vc.call('INFO', p8=0, timeout=1) == 255:
                return vc
        except KorjobError:
            pass
    raise AssertionError('the controller does not take commands')
