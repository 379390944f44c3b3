"""A TCP proxy that misbehaves on request, between arvokor and a real peer.

    proxy = FaultProxy(('127.0.0.1', upstream_port), host='127.0.0.5')
    proxy.set(down=Faults(stall_after=100))   # server-to-client bytes stall after 100
    vc.call('TCPCONNECT', addr=proxy.host, port=proxy.port)
    ...
    proxy.close()

Faults of one direction ('up' is client to server, 'down' server to client):
  latency      seconds every chunk is held before it goes on
  rate         bytes per second at most (bandwidth limit)
  slice        chunks are cut into pieces of this many bytes ...
  slice_delay  ... with this pause after each piece
  stall_after  after this many bytes nothing more is read or forwarded; the
               connection stays open
  close_after  after this many bytes the connection is closed (both sides,
               orderly)
  reset_after  after this many bytes the connection is reset (both sides)
Proxy-wide: black_hole (accepts, reads and drops everything, never connects
upstream), refuse (accepts and closes at once).

Faults are read at every chunk, so a test may change them while a
connection lives; byte counts run from the start of each connection.
`connections` counts accepted connections, `forwarded` holds the bytes each
direction passed on (over all connections).
"""

import argparse
import socket
import struct
import threading
import time


class Faults:
    """The faults of one direction; all off by default."""

    def __init__(self, latency=0.0, rate=None, slice=None, slice_delay=0.0, stall_after=None,
                 close_after=None, reset_after=None):
        self.latency = latency
        self.rate = rate
        self.slice = slice
        self.slice_delay = slice_delay
        self.stall_after = stall_after
        self.close_after = close_after
        self.reset_after = reset_after

    def limit(self):
        """The byte count after which this direction stops, and how: (count, kind) or (None, None)."""
        limits = [(n, k) for n, k in ((self.stall_after, 'stall'), (self.close_after, 'close'),
                                      (self.reset_after, 'reset')) if n is not None]
        return min(limits, key=lambda x: x[0]) if limits else (None, None)


_POLL = 0.1


def _reset(sock):
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
    except OSError:
        pass
    _close(sock)


def _close(sock):
    try:
        sock.close()
    except OSError:
        pass


class _Link:
    """One client connection and its upstream connection."""

    def __init__(self, proxy, client):
        self.proxy = proxy
        self.client = client
        self.upstream = None
        self.lock = threading.Lock()
        self.ended = False
        self.stalled = threading.Event()

    def run(self):
        # Short receive time-outs: a reset from one pump must not wait for the
        # other's receive to return (the socket is only released then).
        self.client.settimeout(_POLL)
        if self.proxy.refuse:
            _close(self.client)
            return
        if self.proxy.black_hole:
            self._swallow()
            return
        try:
            self.upstream = socket.create_connection(self.proxy.upstream, timeout=10)
        except OSError:
            _reset(self.client)
            return
        self.upstream.settimeout(_POLL)
        threading.Thread(target=self._pump, args=(self.upstream, self.client, 'down'),
                         daemon=True).start()
        self._pump(self.client, self.upstream, 'up')

    def _swallow(self):
        try:
            while not self.proxy.closing:
                try:
                    if not self.client.recv(65536):
                        break
                except socket.timeout:
                    pass
        except OSError:
            pass
        _close(self.client)

    def end(self, kind):
        with self.lock:
            if self.ended:
                return
            self.ended = True
        for s in (self.client, self.upstream):
            if s is None:
                continue
            if kind == 'reset':
                _reset(s)
            else:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                _close(s)

    def _pump(self, src, dst, direction):
        passed = 0
        try:
            while not self.ended:
                limit, kind = self.proxy.faults[direction].limit()
                if limit is not None and passed >= limit:
                    self._stop(kind)
                    return
                try:
                    data = src.recv(65536)
                except socket.timeout:
                    continue
                if not data:
                    try:
                        dst.shutdown(socket.SHUT_WR)
                    except OSError:
                        pass
                    return
                # The faults as they are now: a test may have changed them
                # while the receive waited.
                faults = self.proxy.faults[direction]
                limit, kind = faults.limit()
                if limit is not None:
                    data = data[:max(0, limit - passed)]
                self._forward(dst, data, faults, direction)
                passed += len(data)
        except OSError:
            self.end('reset')

    def _stop(self, kind):
        if kind != 'stall':
            self.end(kind)
            return
        # Stalled: neither read nor forward any more, but keep both open until
        # the proxy closes or the other side ends.
        while not self.proxy.closing and not self.ended:
            time.sleep(0.05)
        self.end('close')

    def _forward(self, dst, data, faults, direction):
        if not data:
            return
        if faults.latency:
            time.sleep(faults.latency)
        piece = faults.slice or len(data)
        for i in range(0, len(data), piece):
            chunk = data[i:i + piece]
            if faults.rate:
                time.sleep(len(chunk) / faults.rate)
            self._send(dst, chunk)
            with self.proxy.lock:
                self.proxy.forwarded[direction] += len(chunk)
            if faults.slice and faults.slice_delay:
                time.sleep(faults.slice_delay)

    def _send(self, dst, data):
        while data:
            try:
                n = dst.send(data)
            except socket.timeout:
                if self.ended:
                    raise OSError('link ended')
                continue
            data = data[n:]


class FaultProxy:
    """Listens on (host, port 0) and forwards each connection to `upstream`
    (an address pair) with the faults set by set()."""

    def __init__(self, upstream, host='127.0.0.1', port=0):
        self.upstream = upstream
        self.faults = {'up': Faults(), 'down': Faults()}
        self.black_hole = False
        self.refuse = False
        self.closing = False
        self.lock = threading.Lock()
        self.connections = 0
        self.forwarded = {'up': 0, 'down': 0}
        self.links = []
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((host, port))
        self.sock.listen(16)
        self.host, self.port = self.sock.getsockname()
        threading.Thread(target=self._accept, daemon=True).start()

    def set(self, up=None, down=None, black_hole=False, refuse=False):
        """Replaces every fault (what is not named is off)."""
        self.faults = {'up': up or Faults(), 'down': down or Faults()}
        self.black_hole = black_hole
        self.refuse = refuse

    def _accept(self):
        while not self.closing:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                if self.closing:
                    return
                time.sleep(0.01)
                continue
            link = _Link(self, conn)
            with self.lock:
                self.connections += 1
                self.links.append(link)
            threading.Thread(target=link.run, daemon=True).start()

    def cut_all(self, kind='reset'):
        """Ends every live connection now ('reset' or 'close')."""
        with self.lock:
            links = list(self.links)
        for link in links:
            link.end(kind)

    def close(self):
        self.closing = True
        _close(self.sock)
        self.cut_all('close')

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def main():
    parser = argparse.ArgumentParser(description='A TCP proxy with faults (for manual tests).')
    parser.add_argument('upstream', help='HOST:PORT to forward to')
    parser.add_argument('--listen', default='127.0.0.1:0', help='HOST:PORT to listen on')
    parser.add_argument('--direction', choices=['up', 'down'], default='down')
    for name in ('stall_after', 'close_after', 'reset_after', 'slice', 'rate'):
        parser.add_argument('--' + name.replace('_', '-'), type=int)
    parser.add_argument('--latency', type=float, default=0.0)
    parser.add_argument('--slice-delay', type=float, default=0.0)
    parser.add_argument('--black-hole', action='store_true')
    args = parser.parse_args()
    host, port = args.upstream.rsplit(':', 1)
    lhost, lport = args.listen.rsplit(':', 1)
    proxy = FaultProxy((host, int(port)), lhost, int(lport))
    faults = Faults(args.latency, args.rate, args.slice, args.slice_delay, args.stall_after,
                    args.close_after, args.reset_after)
    proxy.set(**{args.direction: faults}, black_hole=args.black_hole)
    print('READY %d' % proxy.port, flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        proxy.close()


if __name__ == '__main__':
    main()
