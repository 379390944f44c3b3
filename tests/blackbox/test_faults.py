"""Platform failures injected into a running arvokor through its test hooks
(KOR_FAULTS, KOR_ALLOC_REPORT): each ends in the documented result and
message, and the program goes on serving."""

import os
import socket
import subprocess
import time
import unittest

from faultcase import Background, BlackHole
from harness import Controller, free_address, program, unused_port, wait_for
from arvokor.admin import frame  # noqa: E402 (harness puts it on the path)
from chanpeers import encode_port, read_exactly  # noqa: E402
from test_modbus import start_server


class Env:
    """Sets environment variables for the arvokor started inside the block."""

    def __init__(self, **values):
        self.values = values
        self.saved = {}

    def __enter__(self):
        for k, v in self.values.items():
            self.saved[k] = os.environ.get(k)
            os.environ[k] = str(v)
        return self

    def __exit__(self, *exc):
        for k, v in self.saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v
        return False


class Faults(unittest.TestCase):
    def test_failed_connects_give_254_and_the_program_goes_on(self):
        with Env(KOR_FAULTS='Connect:0:-1'), Controller() as vc:
            self.assertEqual(vc.call('TCPCONNECT', addr='127.0.0.1', port=9), 254)
            vc.wait_output('Error - ctlConnect()')
            self.assertEqual(vc.call('INFO', p8=0), 255)

    def test_unreadable_parameters_drop_the_command_once(self):
        with Env(KOR_FAULTS='get:I:100:1'), Controller() as vc:
            vc.set('B110', 7)
            # The command is dropped: its ID returns to 0, no result is written.
            result = vc.korjob('call', 'INFO', 'p8=0', '--timeout', '2', check=False)
            self.assertEqual(result.returncode, 1, result.stdout)
            vc.wait_output('Error - Reading command parameters I\r\n')
            self.assertEqual(vc.get('B100'), 0)
            self.assertEqual(vc.call('INFO', p8=0), 255)

    def test_no_memory_for_a_queue_refuses_the_channel(self):
        peer = free_address()
        import socket
        server = socket.socket()
        server.bind((peer, 0))
        server.listen()
        self.addCleanup(server.close)
        with Env(KOR_FAULTS='Malloc:0:-1'), Controller() as vc:
            # A channel that could queue nothing would lose what it receives.
            self.assertEqual(vc.call('TCPCONNECT', addr=peer, port=server.getsockname()[1]), 251)
            vc.wait_output('Error - channel input queue: out of memory\r\n')
            vc.wait_output('Error - TCPCONNECT: no free handle\r\n')
            conn, _ = server.accept()
            self.addCleanup(conn.close)
            conn.settimeout(5)
            self.assertEqual(conn.recv(10), b'')  # the connection was closed again
            self.assertEqual(vc.call('INFO', p8=0), 255)
            self.assertIsNone(vc.proc.poll())

    def test_no_memory_for_the_rings_leaves_them_off(self):
        from test_admin import AdminClient
        with Env(KOR_FAULTS='Malloc:0:2'), Controller() as vc:
            vc.wait_output('Error - Journal: no memory for 2048 entries, journal off\r\n')
            vc.wait_output('Error - Console ring: no memory for 1024 lines\r\n')
            self.assertEqual(vc.call('INFO', p8=0), 255)
            with AdminClient(vc.address) as admin:
                self.assertEqual(admin.journal()[1:], (0, 0, []))
                self.assertEqual(admin.console()[1], [])
                self.assertEqual(admin.counters()['command'][8], {255: 1})

    def test_admin_port_survives_failed_accepts(self):
        from test_admin import AdminClient
        # EMFILE: no descriptor free for the accepted connection.
        with Env(KOR_FAULTS='Accept:0:3:24'), Controller() as vc:
            vc.wait_output('Error - ctlAccept(): Too many open files\n')
            client = AdminClient(vc.address)
            self.addCleanup(client.close)
            self.assertEqual(client.request(':v'), b'1')
            self.assertNotIn('Stopping TCP server', vc.output())

    def test_allocation_report_follows_the_channels(self):
        report = os.path.join(os.environ.get('TMPDIR', '/tmp'), 'arvokor-alloc-%d' % os.getpid())
        self.addCleanup(lambda: os.path.exists(report) and os.unlink(report))
        peer = free_address()
        import socket
        server = socket.socket()
        server.bind((peer, 0))
        server.listen()
        self.addCleanup(server.close)

        def live():
            try:
                with open(report) as f:
                    return int(f.read())
            except (OSError, ValueError):
                return None

        with Env(KOR_ALLOC_REPORT=report), Controller() as vc:
            # The journal's and the console's rings stay allocated from the start on.
            wait_for(lambda: live(), what='the allocation report after the start')
            idle = live()
            handle = vc.call('TCPCONNECT', addr=peer, port=server.getsockname()[1])
            conn, _ = server.accept()
            self.addCleanup(conn.close)
            conn.sendall(b'x' * 50)
            wait_for(lambda: live() >= idle + 50, what='queued bytes in the report')
            self.assertEqual(vc.call('CLOSEHANDLE', handle=handle), 255)
            wait_for(lambda: live() == idle, what='the report back at idle')

    def test_connects_to_a_silent_host_end_after_connect_timeout(self):
        hole = free_address()
        with BlackHole(hole), Controller(connect_timeout=1) as vc:
            # Every kind of connect at once (Modbus runs on a TCP channel), a
            # command slot each.
            runs = [Background(vc.call, 'TCPCONNECT', addr=hole, port=502, slot=0),
                    Background(vc.call, 'TELNETCONNECT', addr=hole, port=23,
                               field=['user', 'secret', '$ '], slot=1, timeout=30),
                    Background(vc.call, 'FTPCONNECT', addr=hole, port=21,
                               field=['user', 'secret'], slot=2, timeout=30),
                    Background(vc.call, 'SMTP', addr=hole, port=25, slot=3, timeout=30,
                               field=['user', 'secret', 'a@cell.example', 'b@cell.example',
                                      'text'])]
            for run in runs:
                result, seconds = run.join()
                self.assertEqual(result, 254)
                self.assertLess(seconds, 1 + 4)
            self.assertEqual(vc.call('INFO', p8=0), 255)

    def test_malformed_settings_are_refused(self):
        with Controller(start=False) as vc:
            for value in ('Nowhere:1', 'Malloc', 'Malloc:x', 'get:Q:1', 'put:B:5-2', 'Socket:1:2:0'):
                with Env(KOR_FAULTS=value):
                    result = subprocess.run([program('arvokor'), '--config', vc.config_path],
                                            capture_output=True, text=True, timeout=20)
                self.assertEqual(result.returncode, 2, value)
                self.assertIn('KOR_FAULTS', result.stderr)
            with Env(KOR_FAULTS_AFTER_MS='soon'):
                result = subprocess.run([program('arvokor'), '--config', vc.config_path],
                                        capture_output=True, text=True, timeout=20)
            self.assertEqual(result.returncode, 2)
            self.assertIn('KOR_FAULTS_AFTER_MS', result.stderr)

class StuckPeer(unittest.TestCase):
    """A peer that never reads while a send to it blocks: every other channel
    goes on at once, and closing the stuck channel ends the send."""

    def listener(self, host, window=None):
        s = socket.socket()
        if window:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, window)
        s.bind((host, 0))
        s.listen()
        self.addCleanup(s.close)
        return s

    def connected(self, vc, listener):
        handle = vc.call('TCPCONNECT', addr=listener.getsockname()[0],
                         port=listener.getsockname()[1])
        self.assertIn(handle, range(1, 20))
        conn, _ = listener.accept()
        self.addCleanup(conn.close)
        conn.settimeout(5)
        return handle, conn

    def within_a_second(self, what, fn, *args, **kwargs):
        start = time.monotonic()
        result = fn(*args, **kwargs)
        self.assertLess(time.monotonic() - start, 1.0, what)
        return result

    def test_a_blocked_send_holds_up_no_other_channel(self):
        host = free_address()
        modbus_host, modbus_port = start_server(self, '--holding', '0:258,772')
        # Small send buffers: a peer that stops reading stops the send after a few blocks.
        with Controller(send_buffer=4096) as vc:
            stuck, _ = self.connected(vc, self.listener(host, window=4096))
            healthy, peer = self.connected(vc, self.listener(host))
            udp_peer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.addCleanup(udp_peer.close)
            udp_peer.bind((host, 0))
            udp_local = unused_port(vc.address, socket.SOCK_DGRAM)
            udp = vc.call('UDPBIND', addr=host, port=udp_peer.getsockname()[1],
                          p1=encode_port(udp_local))
            listen_port = unused_port(vc.address)
            listening = vc.call('TCPLISTEN', port=listen_port)
            modbus = vc.call('TCPCONNECT', addr=modbus_host, port=modbus_port)
            self.assertTrue(all(h in range(1, 20) for h in (udp, listening, modbus)))

            admin = vc.admin(timeout=30)
            self.addCleanup(admin.close)
            for _ in range(1000):  # ":tx" blocks until one does not answer
                admin.send_raw(frame(':tx%d' % stuck, b'y' * 2031))
                reply = admin.collect(expect=4, first_wait=1.0)
                if not reply:
                    break
                self.assertEqual(reply, b'2031')
            else:
                self.fail('the stuck peer took every block')
            blocked_at = time.monotonic()

            peer.sendall(b'T=42\r\n')
            self.assertEqual(self.within_a_second(
                'WAITPATTERN', vc.call_read, 'WAITPATTERN', 2, handle=healthy, bytes='T=*\r\n',
                p4=1, p6=5), (2, b'42'))
            peer.sendall(b'more')
            self.assertEqual(self.within_a_second('READDATA', read_exactly, vc, healthy, 4),
                             b'more')
            datagrams = [b'%02d' % k for k in range(50)]
            for d in datagrams:
                udp_peer.sendto(d, (vc.address, udp_local))
            self.assertEqual(self.within_a_second('UDP', read_exactly, vc, udp, 100),
                             b''.join(datagrams))
            client = socket.create_connection((vc.address, listen_port), timeout=5)
            self.addCleanup(client.close)
            source = client.getsockname()[0]
            accepted = self.within_a_second(
                'TCPISACCEPTED', wait_for,
                lambda: (lambda h: h if h != 249 else 0)(
                    vc.call('TCPISACCEPTED', handle=listening, addr=source)), 1.0)
            self.assertIn(accepted, range(1, 20))
            self.assertEqual(self.within_a_second(
                'MODBUSREAD', vc.call, 'MODBUSREAD', p2=modbus, p1=3, p7=0, p6=2, p4=100, p5=2),
                255)
            self.assertEqual(vc.get('D100..D101'), [258, 772])
            self.assertLess(time.monotonic() - blocked_at, 8, 'the send gave up meanwhile')

            # The stuck channel closes at once, and its send fails within a second.
            self.assertEqual(self.within_a_second('CLOSEHANDLE', vc.call, 'CLOSEHANDLE',
                                                  handle=stuck), 255)
            self.assertEqual(self.within_a_second('the stuck send', admin.collect,
                                                  expect=2, first_wait=1.0), b'-1')
            vc.wait_output('Error - ctlSend()')
            wait_for(lambda: stuck not in admin.handles(), 1.0)


if __name__ == '__main__':
    unittest.main()
