"""Listening channels: accepted connections per peer address, the channel limit,
closing a listener and listening on its port again."""

import socket
import unittest

from harness import Controller, free_address, unused_port, wait_for
from chanpeers import (NOT_IN_USE, call_for_zero, close_all, connect_from,
                       read_exactly, sees_close, settle)

NOT_ACCEPTED = 249


class ListenChannelTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.vc = settle(Controller())

    @classmethod
    def tearDownClass(cls):
        cls.vc.close()

    def setUp(self):
        self.clients = []

    def tearDown(self):
        self.assertEqual(close_all(self.vc), 255)
        for c in self.clients:
            c.close()

    def listen(self, port):
        handle = self.vc.call('TCPLISTEN', port=port)
        self.assertIn(handle, range(1, 20))
        return handle

    def client(self, source, port):
        c = connect_from(source, self.vc.address, port)
        self.clients.append(c)
        return c

    def accepted(self, listener, source):
        return self.vc.call('TCPISACCEPTED', handle=listener, addr=source)

    def wait_accepted(self, listener, source):
        return wait_for(lambda: (lambda h: h if h != NOT_ACCEPTED else 0)(
            self.accepted(listener, source)), what='a channel for %s' % source)

    def test_accepted_connections_by_address_close_and_listen_again(self):
        port = unused_port(self.vc.address)
        listener = self.listen(port)
        a_addr, b_addr = free_address(), free_address()
        a = self.client(a_addr, port)
        b = self.client(b_addr, port)
        ha = self.wait_accepted(listener, a_addr)
        hb = self.wait_accepted(listener, b_addr)
        self.assertNotEqual(ha, hb)
        self.assertNotIn(listener, (ha, hb))
        self.assertEqual(self.accepted(listener, free_address()), NOT_ACCEPTED)
        self.assertEqual(self.accepted(ha, a_addr), NOT_ACCEPTED)  # not a listener
        self.assertEqual(self.vc.call('TCPISACCEPTED', handle=20, addr=a_addr), NOT_IN_USE)
        self.vc.wait_output('Error - TCPISACCEPTED 20: no active handle\r\n')

        a.sendall(b'from a')
        b.sendall(b'from b')
        self.assertEqual(read_exactly(self.vc, ha, 6), b'from a')
        self.assertEqual(read_exactly(self.vc, hb, 6), b'from b')
        # Listening and accepted channels are not sent on.
        self.assertEqual(call_for_zero(self.vc, 'SENDDATA', handle=ha, bytes=b'no'), 0)
        self.assertEqual(call_for_zero(self.vc, 'SENDDATA', handle=listener, bytes=b'no'), 0)
        a.settimeout(0.3)
        self.assertRaises(socket.timeout, a.recv, 10)

        # Closing an accepted channel closes its connection and its lookup.
        self.assertEqual(self.vc.call('CLOSEHANDLE', handle=ha), 255)
        self.assertTrue(sees_close(a))
        self.assertEqual(self.accepted(listener, a_addr), NOT_ACCEPTED)
        # A client that disconnects keeps its channel.
        b.close()
        self.assertEqual(self.accepted(listener, b_addr), hb)

        # The listener ends on a close request and its port is free again.
        self.assertEqual(self.vc.call('CLOSEHANDLE', handle=listener), 255)
        self.assertEqual(self.vc.call('READDATA', handle=listener, p2=1), NOT_IN_USE)
        again = self.listen(port)
        c_addr = free_address()
        self.client(c_addr, port).sendall(b'again')
        hc = self.wait_accepted(again, c_addr)
        self.assertEqual(read_exactly(self.vc, hc, 5), b'again')

    def test_client_accepted_without_a_free_channel_is_refused(self):
        port = unused_port(self.vc.address)
        listener = self.listen(port)
        sources = [free_address() for _ in range(18)]
        for s in sources:
            self.client(s, port)
        served = [self.wait_accepted(listener, s) for s in sources]
        self.assertEqual(sorted(served + [listener]), list(range(1, 20)))

        refused = self.client(free_address(), port)
        self.assertTrue(sees_close(refused), 'the refused client stays connected')
        self.vc.wait_output('Error - no free handle available\r\n')

        self.assertEqual(self.vc.call('CLOSEHANDLE', handle=served[0]), 255)
        later = free_address()
        self.client(later, port).sendall(b'late')
        h = self.wait_accepted(listener, later)
        self.assertEqual(read_exactly(self.vc, h, 4), b'late')

    def test_listen_on_a_port_in_use_fails(self):
        port = unused_port(self.vc.address)
        self.listen(port)
        self.assertEqual(self.vc.call('TCPLISTEN', port=port), 254)
        self.vc.wait_output('Error - ctlBind()')


if __name__ == '__main__':
    unittest.main()
