"""UDP and serial channels against loopback peers and a socat pty pair."""

import os
import select
import socket
import subprocess
import termios
import threading
import time
import tty
import unittest

import harness
from harness import Controller, free_address, pty_pair, unused_port, wait_for
from chanpeers import (NO_DATA, NOT_IN_USE, close_all, cpu_while, encode_port,
                       read_exactly, settle)


class UdpChannelTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Every B variable exists: korjob checks p1 (here a port) as a B number.
        cls.vc = settle(Controller(b_count=65536))

    @classmethod
    def tearDownClass(cls):
        cls.vc.close()

    def tearDown(self):
        self.assertEqual(close_all(self.vc), 255)

    def peer(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((free_address(), 0))
        s.settimeout(5)
        self.addCleanup(s.close)
        return s

    def test_one_datagram_per_send_and_received_datagrams_cut_to_128(self):
        peer = self.peer()
        peer_host, peer_port = peer.getsockname()
        local = unused_port(self.vc.address, socket.SOCK_DGRAM)
        h = self.vc.call('UDPBIND', addr=peer_host, port=peer_port, p1=encode_port(local))
        self.assertIn(h, range(1, 20))

        for text in (b'one', b'two\x00', bytes(range(128))):
            self.assertEqual(self.vc.call('SENDDATA', handle=h, bytes=text), len(text))
        for text in (b'one', b'two\x00', bytes(range(128))):
            data, sender = peer.recvfrom(4096)
            self.assertEqual(data, text)
            self.assertEqual(sender, (self.vc.address, local))

        peer.sendto(b'u' * 200, (self.vc.address, local))
        peer.sendto(b'tail', (self.vc.address, local))
        self.assertEqual(read_exactly(self.vc, h, 132), b'u' * 128 + b'tail')
        self.assertEqual(self.vc.call('CLOSEHANDLE', handle=h), 255)
        self.assertEqual(self.vc.call('SENDDATA', handle=h, bytes=b'x'), NOT_IN_USE)

    def test_unbound_channel_sends_and_bad_requests_fail(self):
        peer = self.peer()
        peer_host, peer_port = peer.getsockname()
        h = self.vc.call('UDPBIND', addr=peer_host, port=peer_port, p1=0)
        self.assertIn(h, range(1, 20))
        self.assertEqual(self.vc.call('SENDDATA', handle=h, bytes=b'hi'), 2)
        self.assertEqual(peer.recvfrom(100)[0], b'hi')

        taken = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(taken.close)
        taken.bind((self.vc.address, 0))
        self.assertEqual(self.vc.call('UDPBIND', addr=peer_host, port=peer_port,
                                      p1=encode_port(taken.getsockname()[1])), 254)
        self.vc.wait_output('Error - ctlBind()')

    def test_address_that_does_not_fit_is_refused(self):
        self.assertEqual(self.vc.call('UDPBIND', addr='1000.1000.1000.1000', port=9, p1=0),
                         NO_DATA)
        self.assertEqual(self.vc.call('READDATA', handle=19, p2=1), NOT_IN_USE)


    def test_modbus_over_udp_is_one_datagram_and_a_listening_channel_refuses_it(self):
        peer = self.peer()
        peer_host, peer_port = peer.getsockname()
        local = unused_port(self.vc.address, socket.SOCK_DGRAM)
        h = self.vc.call('UDPBIND', addr=peer_host, port=peer_port, p1=encode_port(local))
        self.assertIn(h, range(1, 20))
        requests = []

        def answer():  # registers 0x0102, 0x0304 with the request's transaction id
            data, sender = peer.recvfrom(4096)
            requests.append(data)
            peer.sendto(data[:2] + b'\0\0\0\x07\x01\x03\x04\x01\x02\x03\x04', sender)
        server = threading.Thread(target=answer, daemon=True)
        server.start()
        self.assertEqual(self.vc.call('MODBUSREAD', p2=h, p1=3, p7=0, p6=2, p4=100, p5=2), 255)
        server.join(5)
        self.assertEqual(self.vc.get('D100..D101'), [258, 772])
        self.assertEqual([len(r) for r in requests], [12])
        self.assertEqual(requests[0][6:], b'\x01\x03\0\0\0\x02')

        listening = self.vc.call('TCPLISTEN', port=unused_port(self.vc.address))
        self.assertIn(listening, range(1, 20))
        self.assertEqual(self.vc.call('MODBUSREAD', p2=listening, p1=3, p7=0, p6=2, p4=100,
                                      p5=2), 254)
        self.vc.wait_output('Error - Modbus on handle %d: the channel cannot carry Modbus/TCP'
                            % listening)

    def test_captured_datagrams_name_their_real_sender_in_tshark(self):
        peer, stranger = self.peer(), self.peer()
        local = unused_port(self.vc.address, socket.SOCK_DGRAM)
        h = self.vc.call('UDPBIND', addr=peer.getsockname()[0], port=peer.getsockname()[1],
                         p1=encode_port(local))
        koradmin = [harness.program('koradmin'), '--host', self.vc.address]
        subprocess.run(koradmin + ['capture', 'on', str(h)], check=True, capture_output=True)
        self.addCleanup(subprocess.run, koradmin + ['capture', 'off', 'all'], capture_output=True)
        peer.sendto(b'one', (self.vc.address, local))
        self.assertEqual(read_exactly(self.vc, h, 3), b'one')
        stranger.sendto(b'two', (self.vc.address, local))
        self.assertEqual(read_exactly(self.vc, h, 3), b'two')
        self.assertEqual(self.vc.call('SENDDATA', handle=h, bytes=b'back'), 4)
        peer.sendto(b'three', (self.vc.address, local))
        self.assertEqual(read_exactly(self.vc, h, 5), b'three')
        path = os.path.join(self.vc.dir, 'udp.pcapng')
        subprocess.run(koradmin + ['capture', 'save', path, str(h)], check=True,
                       capture_output=True)
        shark = subprocess.run(['tshark', '-r', path, '-T', 'fields', '-e', 'ip.src', '-e',
                                'udp.srcport', '-e', 'ip.dst', '-e', 'udp.dstport'],
                               capture_output=True, text=True, timeout=60)
        self.assertEqual(shark.returncode, 0, shark.stderr)
        us = '%s\t%d' % (self.vc.address, local)
        them, other = ('%s\t%d' % s.getsockname() for s in (peer, stranger))
        self.assertEqual(shark.stdout.splitlines(), [them + '\t' + us, other + '\t' + us,
                                                     us + '\t' + them, them + '\t' + us])


class SerialChannelTest(unittest.TestCase):
    def setUp(self):
        self.a, self.b = pty_pair(owner=self)
        self.vc = Controller(com1=self.a)
        self.addCleanup(self.vc.close)
        settle(self.vc)
        self.fd = os.open(self.b, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, self.fd)
        tty.setraw(self.fd)
        termios.tcflush(self.fd, termios.TCIOFLUSH)

    def open_port(self, selector=1):
        return self.vc.call('RS232OPEN', p0=selector, p4=11520, p5=8, p6=0, p7=1)

    def read_line_side(self, n, timeout=5):
        got = b''
        deadline = time.monotonic() + timeout
        while len(got) < n and time.monotonic() < deadline:
            if select.select([self.fd], [], [], 0.1)[0]:
                got += os.read(self.fd, 4096)
        return got

    def test_all_byte_values_both_ways_and_close_while_idle(self):
        h = self.open_port()
        self.assertIn(h, range(1, 20))
        every = bytes(range(256))
        os.write(self.fd, every)
        self.assertEqual(read_exactly(self.vc, h, 256), every)

        for half in (every[:128], every[128:]):
            self.assertEqual(self.vc.call('SENDDATA', handle=h, bytes=half), 128)
        self.assertEqual(self.read_line_side(256), every)

        # An idle open port costs next to no CPU; a close ends it at once.
        self.assertLess(cpu_while(self.vc.proc.pid, 2.0), 0.5)
        self.assertEqual(self.vc.call('CLOSEHANDLE', handle=h), 255)
        self.assertEqual(self.vc.call('READDATA', handle=h, p2=1), NOT_IN_USE)
        # The port is free again.
        h2 = self.open_port(2)
        self.assertIn(h2, range(1, 20))
        os.write(self.fd, b'again')
        self.assertEqual(read_exactly(self.vc, h2, 5), b'again')
        self.assertEqual(close_all(self.vc), 255)

    def test_modbus_is_refused_without_writing_to_the_port(self):
        h = self.open_port()
        self.assertIn(h, range(1, 20))
        self.assertEqual(self.vc.call('MODBUSWRITE', p2=h, p1=6, p7=0, p6=1, p4=0, p5=0), 254)
        self.vc.wait_output('Error - Modbus on handle %d: the channel cannot carry Modbus/TCP' % h)
        self.assertEqual(self.read_line_side(1, timeout=0.3), b'')
        self.assertEqual(close_all(self.vc), 255)

    def test_bad_selector_and_receive_test(self):
        self.assertEqual(self.open_port(3), 254)
        h = self.open_port()
        self.assertIn(h, range(1, 20))
        self.assertEqual(self.vc.call('RS232TEST', handle=h, result=700), 255)
        self.vc.wait_output('Test ! 700')
        # The channel's receive task reads the same port: keep writing until
        # the test has printed some of it.
        wait_for(lambda: os.write(self.fd, b'probe') and 'Received ' in self.vc.output(),
                 interval=0.1, what='the receive test to print')
        self.assertEqual(self.vc.call('CLOSEHANDLE', handle=h), 255)
        self.vc.wait_output('Error - ctlRsRecv()')
        self.assertEqual(close_all(self.vc), 255)


if __name__ == '__main__':
    unittest.main()
