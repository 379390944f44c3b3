"""Misbehaving peers of the soak, for any test that wants them: TCP servers
whose connections echo, close, reset, send garbage, fall silent, drip or
flood at random (plain, telnet log-in, mail, Modbus), a UDP peer, clients of
a listening channel, and a client of the admin port that sends well-formed,
truncated and random frames. Every choice comes from a seeded random
generator.

Needs the arvokor package on the module path (tests/support/harness.py puts
it there):

    server = Server('127.0.0.1', chaos_tcp, seed=1)     # connect to server.port
    ...
    server.stop()
"""

import random
import socket
import struct
import threading
import time

from arvokor import admin


class Server:
    """A TCP server on a loopback address; each connection gets a thread
    running serve(conn, rng)."""

    def __init__(self, host, serve, seed):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((host, 0))
        self.sock.listen(64)
        self.port = self.sock.getsockname()[1]
        self.serve = serve
        self.rng = random.Random(seed)
        self.stopping = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.stopping:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                if self.stopping:
                    return
                time.sleep(0.01)  # a connection aborted before it was taken
                continue
            conn.settimeout(30)
            rng = random.Random(self.rng.random())
            threading.Thread(target=self._run, args=(conn, rng), daemon=True).start()

    def _run(self, conn, rng):
        try:
            self.serve(conn, rng)
        except OSError:
            pass
        finally:
            try:
                conn.close()
            except OSError:
                pass

    def stop(self):
        self.stopping = True
        self.sock.close()


def reset(conn):
    """Closes with a reset instead of an orderly end."""
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
    conn.close()


def chaos_tcp(conn, rng):
    """Echo, close, reset, garbage, silence, drip or flood, at random."""
    mode = rng.choice(['echo', 'echo', 'echo', 'close_later', 'reset', 'garbage', 'silent',
                       'drip', 'flood', 'refuse'])
    end = time.monotonic() + rng.uniform(0.2, 5)
    if mode == 'refuse':
        return
    if mode == 'flood':
        conn.sendall(bytes(rng.randrange(256) for _ in range(20000)))
    if mode == 'reset':
        time.sleep(rng.uniform(0, 1))
        reset(conn)
        return
    conn.settimeout(0.05)
    while time.monotonic() < end or mode in ('echo', 'silent', 'flood'):
        try:
            data = conn.recv(4096)
            if not data:
                return
            if mode in ('echo', 'close_later', 'flood'):
                conn.sendall(data if rng.random() < 0.8 else b'ok ' + data + b' OK\r\n')
        except socket.timeout:
            pass
        if mode == 'garbage' and rng.random() < 0.3:
            conn.sendall(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 600))))
        if mode == 'drip':
            conn.sendall(bytes([rng.randrange(256)]))
        if mode == 'close_later' and time.monotonic() >= end:
            return


def chaos_telnet(conn, rng):
    """A log-in that works, or one that breaks at some point."""
    mode = rng.choice(['ok', 'ok', 'ok', 'silent', 'garbage', 'close', 'long_banner'])
    if mode == 'close':
        return
    if mode == 'silent':
        time.sleep(3)
        return
    if mode == 'garbage':
        conn.sendall(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 2000))))
        time.sleep(rng.uniform(0, 3))
        return
    banner = b'\xff\xfd\x01\xff\xfb\x03\xff\xfa\x18\x01\xff\xf0'
    if mode == 'long_banner':
        banner += b'x' * rng.randrange(400, 1500)
    conn.sendall(banner + b'\r\nlogin: ')
    conn.recv(256)
    conn.sendall(b'Password: ')
    conn.recv(256)
    conn.sendall(b'Last login: never\r\n$ ')
    chaos_tcp(conn, rng)


def chaos_mail(conn, rng):
    """A mail server that accepts, refuses, falls silent or hangs up at a random step."""
    fail_at = rng.choice([None, None, 'greeting', 'EHLO', 'AUTH', 'MAIL', 'RCPT', 'DATA', 'END'])
    how = rng.choice(['refuse', 'close', 'garbage', 'silent'])

    def step(name, good):
        if fail_at != name:
            conn.sendall(good)
            return True
        if how == 'refuse':
            conn.sendall(b'554 no\r\n')
        elif how == 'garbage':
            conn.sendall(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 300))))
        elif how == 'silent':
            time.sleep(11)
        return False

    f = conn.makefile('rb')
    if not step('greeting', b'220 mail ESMTP\r\n'):
        return
    auth = 0
    for line in f:
        verb = line[:4].upper()
        if verb == b'EHLO':
            if not step('EHLO', b'250-mail\r\n250-AUTH LOGIN PLAIN\r\n250 OK\r\n'):
                return
        elif line.upper().startswith(b'AUTH'):
            ok = b'334 VXNlcm5hbWU6\r\n' if b'LOGIN' in line.upper() else b'235 ok\r\n'
            if not step('AUTH', ok):
                return
        elif verb == b'MAIL':
            if not step('MAIL', b'250 OK\r\n'):
                return
        elif verb == b'RCPT':
            if not step('RCPT', b'250 OK\r\n'):
                return
        elif verb == b'DATA':
            if not step('DATA', b'354 go\r\n'):
                return
            for body in f:
                if body.rstrip(b'\r\n') == b'.':
                    break
            if not step('END', b'250 queued\r\n'):
                return
        elif verb == b'QUIT':
            conn.sendall(b'221 bye\r\n')
            return
        else:
            auth += 1
            conn.sendall(b'334 UGFzc3dvcmQ6\r\n' if auth == 1 else b'235 ok\r\n')


def chaos_modbus(conn, rng):
    """Answers Modbus requests correctly, with exceptions, short, junk or not at all."""
    while True:
        head = conn.recv(7)
        if len(head) < 7:
            return
        length = struct.unpack('>H', head[4:6])[0]
        pdu = conn.recv(max(length - 1, 0)) if length > 1 else b''
        fc = pdu[0] if pdu else 0
        mode = rng.choice(['ok', 'ok', 'ok', 'exception', 'short', 'junk', 'none', 'close'])
        if mode == 'close':
            return
        if mode == 'none':
            continue
        if mode == 'exception':
            conn.sendall(head[:4] + b'\x00\x03\x01' + bytes([fc | 0x80, 2]))
        elif mode == 'short':
            conn.sendall(head[:3])
        elif mode == 'junk':
            conn.sendall(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 300))))
        elif 1 <= fc <= 4:
            qty = struct.unpack('>H', pdu[3:5])[0] if len(pdu) >= 5 else 1
            data = bytes(rng.randrange(256) for _ in range(min(2 * qty, 250)))
            conn.sendall(head[:4] + struct.pack('>HB', len(data) + 3, 1) + bytes([fc, len(data)]) + data)
        else:
            conn.sendall((head + pdu)[:12])


def udp_peer(host, seed):
    """Echoes datagrams, answers with garbage or drops them, at random."""
    rng = random.Random(seed)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((host, 0))

    def run():
        while True:
            try:
                data, addr = s.recvfrom(65536)
            except OSError:
                return
            r = rng.random()
            if r < 0.6:
                s.sendto(data, addr)
            elif r < 0.8:
                s.sendto(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 1400))), addr)
    threading.Thread(target=run, daemon=True).start()
    return s


def listen_clients(host, target, stop, rng):
    """Clients of a listening channel: connect, talk, leave (politely or not),
    sometimes many at once."""
    conns = []
    try:
        for _ in range(rng.choice([1, 1, 2, 3, 25])):
            if stop():
                break
            c = socket.socket()
            c.bind((host, 0))
            c.settimeout(2)
            try:
                c.connect(target)
            except OSError:
                c.close()
                continue
            conns.append(c)
            try:
                c.sendall(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 300))))
            except OSError:
                pass
        time.sleep(rng.uniform(0, 2))
    finally:
        for c in conns:
            try:
                reset(c) if rng.random() < 0.3 else c.close()
            except OSError:
                pass


def admin_chaos(address, peer_host, stop, seed):
    """Requests on the admin port: well-formed, truncated and random frames.
    Writes (":sb") stay in B1500..B1999, away from the command slots; job
    transfers name a loopback peer (where no FTP server listens)."""
    rng = random.Random(seed)
    commands = [b':v', b':h?', b':h', b':ic', b':ir', b':gb', b':sb', b':tx', b':hc', b':list',
                b':ftpp', b':ftpg', b':zz']
    while not stop():
        try:
            with socket.create_connection((address, admin.PORT), timeout=5) as c:
                for _ in range(rng.randrange(1, 20)):
                    cmd = rng.choice(commands)
                    if cmd == b':sb':
                        number, payload = rng.randrange(1500, 1900), bytes(rng.randrange(256) for _ in range(rng.randrange(0, 100)))
                    elif cmd == b':gb':
                        number, payload = rng.randrange(0, 2000), str(rng.randrange(-2, 3000)).encode()
                    elif cmd in (b':ftpp', b':ftpg'):
                        number = ''
                        payload = admin.transfer_record('user', 'pw', '/jobs', 'MAIN.JBI', peer_host)
                    elif cmd == b':hc':
                        # Rarely: it takes channels away from the slots.
                        number, payload = (rng.randrange(-1, 21) if rng.random() < 0.05 else 99), b''
                    else:
                        number = rng.randrange(-2, 22)
                        payload = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 200)))
                    text = cmd + str(number).encode()
                    length = len(payload) if rng.random() < 0.9 else rng.randrange(0, 1 << 32)
                    frame = admin.frame(text[:11], payload, length)
                    if rng.random() < 0.05:
                        frame = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 2100)))
                    c.sendall(frame)
                    c.settimeout(0.3)
                    try:
                        c.recv(1 << 17)
                    except socket.timeout:
                        pass
        except OSError:
            time.sleep(0.5)
        time.sleep(rng.uniform(0, 0.5))
