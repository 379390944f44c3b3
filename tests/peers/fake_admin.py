"""A fake controller's admin port that answers like a real one, or wrongly on
command: the hostile controller of the dashboard tests and benchmark.

    fake = FakeController(host)          # listening on host:15000
    fake.mode = 'flood'                  # from the next request on
    ...
    fake.close()

Modes:
    healthy   replies as a controller with no channel, one job file and a
              few counters sends them
    trickle   the job list (":list") one byte a millisecond for 30 s
    flood     the unframed replies (":v", ":h?", ":list") without end
              (until the client closes)
    oversize  a 256 KiB console line and journal text, and a framed reply
              announcing 16 MiB for the counters
    absurd    numbers out of range: sequence numbers near 2^64, negative and
              far-future times, the same console line again on every read,
              a negative histogram bound, a channel kind "\\xff"
    utf8      console text that is not UTF-8, and counters of thousands of
              distinct channel kinds
    silence   accepts, reads and never answers

Also runnable: fake_admin.py HOST PORT MODE (prints "ready").
"""

import socket
import struct
import sys
import threading
import time

MODES = ('healthy', 'trickle', 'flood', 'oversize', 'absurd', 'utf8', 'silence')

COUNTERS = ('command 1 255 3\ncommand 1 254 1\nduration_ms_le 1 4\nchannels_opened tcpclient 1\n'
            'channels_closed tcpclient 1\nbytes_in tcpclient 10\nbytes_out tcpclient 5\n'
            'admin_sessions 7\n')


def framed(command, body):
    return command.encode().ljust(12, b'\0') + struct.pack('>I', len(body)) + body


class FakeController:

    def __init__(self, host, port=15000, mode='healthy'):
        self.host, self.port, self.mode = host, port, mode
        self.listener = socket.create_server((host, port))
        self.listener.settimeout(0.2)
        self.requests = 0
        self.hostile = False  # a hostile reply is being sent now
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    @property
    def address(self):
        return '%s:%d' % (self.host, self.port)

    def close(self):
        self._stop.set()
        self._thread.join(5)
        self.listener.close()

    def _serve(self):
        while not self._stop.is_set():
            try:
                conn, _ = self.listener.accept()
            except OSError:
                continue
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)  # a trickle makes no pause
            threading.Thread(target=self._session, args=(conn,), daemon=True).start()

    def _session(self, conn):
        conn.settimeout(1)
        with conn:
            try:
                while not self._stop.is_set():
                    head = self._exactly(conn, 16)
                    if head is None:
                        return
                    command = head[:12].rstrip(b'\0').decode('latin-1')
                    payload = self._exactly(conn, struct.unpack('>I', head[12:])[0]) or b''
                    self.requests += 1
                    if command == ':q':
                        return
                    if not self._answer(conn, command, payload.decode('latin-1')):
                        return
            except OSError:
                return

    def _exactly(self, conn, count):
        data = b''
        while len(data) < count:
            try:
                piece = conn.recv(count - len(data))
            except socket.timeout:
                if self._stop.is_set():
                    return None
                continue
            if not piece:
                return None
            data += piece
        return data

    def _answer(self, conn, command, payload):
        mode = self.mode
        if mode == 'silence':
            self._stop.wait(30)
            return False
        if (command == ':list' and mode == 'trickle') or (command in (':v', ':h?', ':list') and mode == 'flood'):
            return self._hostile_unframed(conn, mode)
        conn.sendall(self._reply(mode, command, payload))
        return True

    def _hostile_unframed(self, conn, mode):
        deadline = time.monotonic() + 30
        piece = b'x' if mode == 'trickle' else b'A' * 65536
        self.hostile = True
        try:
            while time.monotonic() < deadline and not self._stop.is_set():
                conn.sendall(piece)
                if mode == 'trickle':
                    time.sleep(0.001)
        finally:
            self.hostile = False
        return False

    def _reply(self, mode, command, payload):
        if command == ':v':
            return b'1'
        if command == ':h?':
            return b'0'
        if command == ':list':
            return b'\nWELD1.JBI\n'
        if command.startswith(':gb'):
            return b'\0' * max(0, min(int(payload or '0'), 65536))
        # A healthy reply holds the one entry only for a reader that has not seen it.
        after = int(payload) if payload.isdigit() else 0
        if command == ':journal':
            return framed(command, self._journal(mode, after))
        if command == ':console':
            return framed(command, self._console(mode, after))
        if command == ':counters':
            if mode == 'oversize':
                return framed(command, b'')[:12] + struct.pack('>I', 16 << 20) + b'admin_sessions 1\n' * 4096
            return framed(command, self._counters(mode))
        if command == ':capture':
            return framed(command, b'-1')
        return b'Unknown command'

    @staticmethod
    def _journal(mode, after):
        if mode == 'oversize':
            return (b'J 2 2048 0\nE 1 1700000000000 5 0 1 255 TCPCONNECT 0 0 0 0 0 0 0 0 0 0\nL ' +
                    b'y' * (256 << 10) + b'\n')
        if mode == 'absurd':
            return (b'J 18446744073709551615 2048 18446744073709551000\n'
                    b'E 18446744073709551614 -5 -3 0 1 255 TCPCONNECT 0 0 0 0 0 0 0 0 0 0\n')
        if after >= 1:
            return b'J 2 2048 0\n'
        return b'J 2 2048 0\nE 1 1700000000000 5 0 1 255 TCPCONNECT 0 0 0 0 0 0 0 0 0 0\n'

    @staticmethod
    def _console(mode, after):
        if mode == 'oversize':
            return b'C 2 1024 0\n1 1700000000000 job 1 ' + b'z' * (256 << 10) + b'\n'
        if mode == 'absurd':
            # The same line on every read, and a time 300 000 years ahead.
            return b'C 2 1024 0\n1 9999999999999999 job 1 again\n'
        if after >= 1:
            return b'C 2 1024 0\n'
        if mode == 'utf8':
            return b'C 2 1024 0\n1 1700000000000 job 1 caf\xc3 \xff\xfe\n'
        return b'C 2 1024 0\n1 1700000000000 job 1 hello\n'

    @staticmethod
    def _counters(mode):
        if mode == 'absurd':
            return (COUNTERS + 'duration_ms_le -7 5\nposition_ticks_without 18446744073709551615\n'
                    ).encode() + b'channels_opened \xff 1\n'
        if mode == 'utf8':
            kinds = b''.join(b'channels_opened k%d 1\n' % k for k in range(2000))
            return COUNTERS.encode() + kinds
        return COUNTERS.encode()


def main():
    host, port, mode = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    fake = FakeController(host, port, mode)
    print('ready', flush=True)
    try:
        while True:
            time.sleep(3600)
    finally:
        fake.close()


if __name__ == '__main__':
    main()
