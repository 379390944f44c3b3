"""TCP client channels: connect, send, read, clear and close against loopback peers."""

import time
import unittest

from harness import Controller, free_address, start_python_peer, unused_port, wait_for
from chanpeers import (NO_DATA, NOT_IN_USE, ScriptedServer, close_all, cpu_while,
                       read_exactly, read_some, sees_close, settle)


class TcpChannelTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.vc = settle(Controller())
        cls.peer_host = free_address()
        cls.echo_port = unused_port(cls.peer_host)
        cls.echo = start_python_peer('echo_peer.py', cls.peer_host, cls.echo_port, 0,
                                     ready='ready')

    @classmethod
    def tearDownClass(cls):
        cls.echo.stop()
        cls.vc.close()

    def tearDown(self):
        self.assertEqual(close_all(self.vc), 255)

    def connect(self, port=None):
        handle = self.vc.call('TCPCONNECT', addr=self.peer_host, port=port or self.echo_port)
        self.assertIn(handle, range(1, 20))
        return handle

    def server(self, on_accept=None):
        s = ScriptedServer(self.peer_host, on_accept)
        self.addCleanup(s.close)
        return s

    def test_echo_round_trip_and_read_after_close(self):
        h = self.connect()
        data = b'hello\x00\xff\r\n'
        self.assertEqual(self.vc.call('SENDDATA', handle=h, bytes=data), len(data))
        self.assertEqual(read_exactly(self.vc, h, len(data)), data)
        self.assertEqual(read_some(self.vc, h), b'')

        self.assertEqual(self.vc.call('CLOSEHANDLE', handle=h), 255)
        # The read waits until the owner has released the channel.
        self.assertEqual(self.vc.call('READDATA', handle=h, p2=10), NOT_IN_USE)
        self.vc.wait_output('Error - READDATA %d: no active handle\r\n' % h)

    def test_read_part_of_the_queue(self):
        payload = bytes(range(65, 90))  # 25 bytes in one segment
        srv = self.server(lambda c: c.sendall(payload))
        h = self.connect(srv.port)
        first = wait_for(lambda: read_some(self.vc, h, 10), what='the first 10 bytes')
        self.assertEqual(first, payload[:10])
        self.assertEqual(read_some(self.vc, h, 128), payload[10:])
        self.assertEqual(self.vc.call('READDATA', handle=h, p2=5), NO_DATA)

    def test_300_bytes_at_once_are_queued_in_order(self):
        payload = bytes(range(256)) + bytes(range(44))
        srv = self.server(lambda c: c.sendall(payload))
        h = self.connect(srv.port)
        self.assertEqual(read_exactly(self.vc, h, 300), payload)

    def test_cleardata_empties_the_queue(self):
        h = self.connect()
        self.assertEqual(self.vc.call('SENDDATA', handle=h, bytes=b'abc'), 3)
        self.assertEqual(read_exactly(self.vc, h, 1), b'a')
        self.assertEqual(self.vc.call('CLEARDATA', handle=h), 255)
        self.assertEqual(read_some(self.vc, h), b'')

    def test_peer_that_disconnects_leaves_the_channel_open_and_idle(self):
        srv = self.server(lambda c: (c.sendall(b'bye'), c.close()))
        h = self.connect(srv.port)
        self.assertEqual(read_exactly(self.vc, h, 3), b'bye')
        # Still in use (253, not 252) and not burning CPU on the dead socket.
        self.assertLess(cpu_while(self.vc.proc.pid, 2.0), 0.5)
        self.assertEqual(self.vc.call('READDATA', handle=h, p2=10), NO_DATA)
        self.assertEqual(self.vc.call('CLOSEHANDLE', handle=h), 255)
        self.assertEqual(self.vc.call('READDATA', handle=h, p2=10), NOT_IN_USE)

    def test_close_request_while_data_is_pending(self):
        srv = self.server()
        h = self.connect(srv.port)
        conn = srv.next_conn()
        conn.sendall(b'x' * 1000)
        self.assertEqual(self.vc.call('CLOSEHANDLE', handle=h), 255)
        self.assertTrue(sees_close(conn))
        self.assertEqual(self.vc.call('READDATA', handle=h, p2=10), NOT_IN_USE)
        self.assertEqual(self.vc.call('SENDDATA', handle=h, bytes=b'z'), NOT_IN_USE)

    def test_failures_and_handles_not_in_use(self):
        refused = unused_port(self.peer_host)
        self.assertEqual(self.vc.call('TCPCONNECT', addr=self.peer_host, port=refused), 254)
        self.vc.wait_output('Error - ctlConnect()')
        for handle in (0, 7, 19, 20, -1, 300):
            self.assertEqual(self.vc.call('SENDDATA', handle=handle, bytes=b'z'), NOT_IN_USE)
            self.assertEqual(self.vc.call('READDATA', handle=handle, p2=1), NOT_IN_USE)
            self.assertEqual(self.vc.call('CLEARDATA', handle=handle), NOT_IN_USE)
            self.assertEqual(self.vc.call('CLOSEHANDLE', handle=handle), NOT_IN_USE)
        out = self.vc.output()
        for text in ('Error - sending data 300: no active handle\r\n',
                     'Error - READDATA -1: no active handle\r\n',
                     'Error - CLEARDATA 20: no active handle\r\n',
                     'Error - closing handle 0: no active handle\r\n'):
            self.assertIn(text, out)
        h = self.connect()
        # Blocks over 128 B variables are refused and nothing is sent.
        self.assertEqual(self.vc.call('SENDDATA', handle=h, p1=500, p2=129), NO_DATA)
        self.assertEqual(self.vc.call('READDATA', handle=h, p2=129), NO_DATA)
        time.sleep(0.2)
        self.assertEqual(read_some(self.vc, h), b'')

    def test_nineteen_channels_a_twentieth_refused_and_closeall_under_traffic(self):
        srv = self.server()
        handles = [self.connect(srv.port) for _ in range(19)]
        self.assertEqual(sorted(handles), list(range(1, 20)))
        conns = [srv.next_conn() for _ in range(19)]
        self.assertEqual(self.vc.call('TCPCONNECT', addr=self.peer_host, port=srv.port), 251)
        self.vc.wait_output('Error - TCPCONNECT: no free handle\r\n')
        self.assertTrue(sees_close(srv.next_conn()), 'the refused connection stays open')

        for h in handles:
            self.assertEqual(self.vc.call('SENDDATA', handle=h, bytes=b'%d' % h), len(b'%d' % h))
        for c in conns:
            c.sendall(b'traffic ' * 64)
        self.assertEqual(self.vc.call('CLOSEALL'), 255)
        for c in conns:
            self.assertTrue(sees_close(c))
        for h in handles:
            self.assertEqual(self.vc.call('READDATA', handle=h, p2=1), NOT_IN_USE)
        self.assertEqual(self.vc.call('CLOSEALL'), 255)  # nothing open: still done
        self.assertIn(self.connect(), range(1, 20))


if __name__ == '__main__':
    unittest.main()
