"""Hostile HTTP clients for the dashboard's tests and benchmark (loopback only).

    held = Held()
    held.idle(host, port, 500)            # connected, never a byte
    held.slow(host, port, 30)             # one header line every `gap` seconds
    ...
    held.close()

    status, sent = flood_headers(host, port, 200 << 20)   # endless header lines
    status, sent = flood_chunked(host, port, 200 << 20, path='/api/b')

A flood stops when the server answers or closes; it returns the status code
(None without an answer) and the bytes the server took before it did.
"""

import http.client
import json
import os
import select
import socket
import threading
import time

from harness import sanitizer


def memory_limit_kb(kib):
    """A resident-memory bound in KiB for a program of this build: a
    sanitizer build (its shadow memory, ASan's quarantine) gets four times
    as much."""
    return kib * 4 if sanitizer() else kib


def peak_rss_kb(pid):
    """Resident memory high-water mark of a process (VmHWM), in KiB."""
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith('VmHWM:'):
                return int(line.split()[1])
    return 0


def rss_kb(pid):
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    """User and system CPU time a process has used so far, in seconds."""
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def first_snapshot(host, port, path, source=None, timeout=10):
    """The first snapshot of an event stream (GET path), as JSON."""
    conn = http.client.HTTPConnection(host, port, timeout=timeout,
                                      source_address=(source, 0) if source else None)
    try:
        conn.request('GET', path)
        reply = conn.getresponse()
        if reply.status != 200:
            raise AssertionError('%s: %d %s' % (path, reply.status, reply.read()[:200]))
        while True:
            line = reply.fp.readline()
            if not line:
                raise AssertionError(path + ': the stream ended')
            if line.startswith(b'data: '):
                return json.loads(line[6:])
    finally:
        conn.close()


def _status_of(data):
    try:
        return int(data.split(b' ', 2)[1])
    except (IndexError, ValueError):
        return None


def _flood(host, port, head, piece, total, timeout):
    """Sends head, then piece again and again up to total bytes; stops at the
    server's answer or close."""
    s = socket.create_connection((host, port), timeout=timeout)
    sent, answer = 0, b''
    try:
        s.sendall(head)
        s.setblocking(False)
        deadline = time.monotonic() + timeout
        view = memoryview(piece)
        while sent < total and time.monotonic() < deadline:
            readable, writable, _ = select.select([s], [s], [], 1)
            if readable:
                try:
                    answer = s.recv(4096)
                except OSError:
                    pass
                break
            if writable:
                try:
                    sent += s.send(view[sent % len(piece):])
                except (BlockingIOError, InterruptedError):
                    continue
                except OSError:
                    break
        if not answer:
            s.setblocking(True)
            s.settimeout(2)
            try:
                answer = s.recv(4096)
            except OSError:
                pass
    finally:
        s.close()
    return _status_of(answer), sent


def flood_headers(host, port, total, path='/', timeout=60):
    line = b'X-Filler: ' + b'a' * 2036 + b'\r\n'  # 2 KiB header lines
    head = ('GET %s HTTP/1.1\r\nHost: %s:%d\r\n' % (path, host, port)).encode()
    return _flood(host, port, head, line * 32, total, timeout)


def flood_chunked(host, port, total, path='/api/b', timeout=60):
    body = b'{"index":1,"value":1}' + b' ' * 65515
    chunk = b'%x\r\n' % len(body) + body + b'\r\n'
    head = ('POST %s HTTP/1.1\r\nHost: %s:%d\r\nX-Kordash: 1\r\nContent-Type: application/json\r\n'
            'Transfer-Encoding: chunked\r\n\r\n' % (path, host, port)).encode()
    return _flood(host, port, head, chunk, total, timeout)


class Held:
    """Connections held open against a server: idle ones, and slow ones that
    send one header line every `gap` seconds (from one thread of this class)."""

    def __init__(self, gap=2.0):
        self.gap = gap
        self.sockets = []
        self._slow = []
        self._stop = threading.Event()
        self._thread = None

    def idle(self, host, port, count, source=None):
        for _ in range(count):
            s = socket.socket()
            if source:
                s.bind((source, 0))
            s.settimeout(5)
            try:
                s.connect((host, port))
            except OSError:
                s.close()
                continue
            self.sockets.append(s)

    def partial(self, host, port, count, data, source=None):
        """Connections that each send `data` (a request never finished)."""
        first = len(self.sockets)
        self.idle(host, port, count, source)
        for s in self.sockets[first:]:
            try:
                s.sendall(data)
            except OSError:
                pass

    def slow(self, host, port, count, source=None):
        first = len(self.sockets)
        self.idle(host, port, count, source)
        for s in self.sockets[first:]:
            try:
                s.send(b'GET / HTTP/1.1\r\n')
            except OSError:
                continue
            self._slow.append(s)
        if self._thread is None:
            self._thread = threading.Thread(target=self._drip, daemon=True)
            self._thread.start()

    def _drip(self):
        k = 0
        while not self._stop.wait(self.gap):
            k += 1
            for s in list(self._slow):
                try:
                    s.send(b'X-Slow-%d: %s\r\n' % (k, os.urandom(4).hex().encode()))
                except OSError:
                    self._slow.remove(s)

    def alive(self):
        """Held connections the server has not closed."""
        alive = 0
        for s in self.sockets:
            try:
                readable, _, _ = select.select([s], [], [], 0)
                if not readable or s.recv(1, socket.MSG_PEEK):
                    alive += 1
            except OSError:
                pass
        return alive

    def ended(self, timeout):
        """Held connections the server closes within timeout (whatever it sent before)."""
        deadline = time.monotonic() + timeout
        ended = 0
        for s in self.sockets:
            try:
                while True:
                    s.settimeout(max(0.01, deadline - time.monotonic()))
                    if not s.recv(4096):
                        ended += 1
                        break
            except OSError:
                pass
        return ended

    def close(self):
        self._stop.set()
        if self._thread:
            self._thread.join(5)
        for s in self.sockets:
            s.close()
        self.sockets, self._slow = [], []
