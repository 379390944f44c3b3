"""Position streaming (22-24, 33), speed output (26, 27) and the time stamp
(25): a loopback UDP receiver checks the datagrams; the simulated robot's
position and servo speeds are set with korjob."""

import re
import socket
import struct
import time
import unittest

from harness import Controller, free_address, wait_for

RECORD = 32


class Receiver:
    """A UDP socket on a loopback address of its own."""

    def __init__(self):
        self.address = free_address()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.sock.bind((self.address, 0))
        self.port = self.sock.getsockname()[1]

    def close(self):
        self.sock.close()

    def recv(self, timeout=2.0):
        """One datagram, or None when none arrives within timeout."""
        self.sock.settimeout(timeout)
        try:
            data = self.sock.recv(2048)
        except socket.timeout:
            return None
        assert len(data) == RECORD, 'datagram of %d bytes' % len(data)
        return data

    def take(self, n, timeout=5.0):
        out = []
        for _ in range(n):
            data = self.recv(timeout)
            if data is None:
                raise AssertionError('only %d of %d datagrams arrived' % (len(out), n))
            out.append(data)
        return out

    def drain(self):
        """Everything already queued."""
        out = []
        while True:
            data = self.recv(0.001)
            if data is None:
                return out
            out.append(data)

    def assert_silent(self, test, seconds):
        data = self.recv(seconds)
        test.assertIsNone(data, 'a datagram arrived after the stop')


def position(data):
    """(sequence, io byte, figure, seven values) of a mode 0 record."""
    seq, io, figure, *values = struct.unpack('>BBH7i', data)
    return seq, io, figure, values


def registers(data):
    """(sequence, io byte, six 32-bit values) of a mode 1 record."""
    seq, io, zero, *rest = struct.unpack('>BBH6II', data)
    assert zero == 0 and rest[6] == 0
    return seq, io, rest[:6]


class StreamCase(unittest.TestCase):
    settings = {}

    @classmethod
    def setUpClass(cls):
        cls.vc = Controller(**cls.settings)

    @classmethod
    def tearDownClass(cls):
        cls.vc.close()

    def receiver(self):
        r = Receiver()
        self.addCleanup(r.close)
        return r

    def configure(self, robot=0, frame=0, tool=0, io=0, delay=1, mode=0):
        return self.vc.call('POSSTREAMCONFIG', p4=robot, p5=frame, p6=tool, p7=io, p0=delay,
                            p1=mode)

    def start(self, receiver):
        # The port is taken as it is (16 bits): ports above 32767 are passed
        # as negative values.
        port = receiver.port if receiver.port < 32768 else receiver.port - 65536
        return self.vc.call('POSSTREAMSTART', addr=receiver.address, p0=port)

    def stop(self):
        self.assertEqual(self.vc.call('POSSTREAMSTOP'), 1)


class StreamConfigurationTest(StreamCase):

    def test_start_refused_until_configured(self):
        r = self.receiver()
        self.assertEqual(self.start(r), 254, 'no configuration yet')
        self.assertEqual(self.configure(tool=24), 254)
        self.assertEqual(self.start(r), 254, 'after a rejected configuration')
        self.assertEqual(self.configure(robot=8), 254)
        self.assertEqual(self.configure(frame=-1), 254)
        self.assertEqual(self.start(r), 254)
        r.assert_silent(self, 0.1)
        self.assertEqual(self.configure(robot=7, frame=3, tool=23), 1)
        self.assertEqual(self.vc.call('POSSTREAMSTART', addr='127.0.0.300', p0=r.port & 0x7fff),
                         254, 'no such address')
        self.vc.wait_output('Error POSSTREAMSTART - invalid address 127.0.0.300')
        self.assertEqual(self.start(r), 1)
        self.assertIsNotNone(r.recv())
        self.stop()
        self.assertEqual(self.vc.call('POSSTREAMSTOP'), 1, 'stopping twice is harmless')


class PositionStreamTest(StreamCase):

    POS = [100000, -200000, 300000, 1800000, -900000, 450000, 77]

    def setUp(self):
        self.vc.robot_pos(1, *self.POS)
        self.vc.set('IO10050', 0x1A5)
        self.assertEqual(self.configure(robot=1, frame=0, tool=3, io=10050), 1)

    def test_records_follow_the_robot_and_stop_cleanly(self):
        r = self.receiver()
        self.assertEqual(self.start(r), 1)
        records = [position(d) for d in r.take(300)]
        for k, (seq, io, _, values) in enumerate(records):
            self.assertEqual(seq, k % 256, 'sequence numbers count on and wrap after 255')
            self.assertEqual(io, 0xA5)
            self.assertEqual(values, self.POS)

        moved = [1, 2, 3, 4, 5, 6, -7]
        self.vc.robot_pos(1, *moved)
        wait_for(lambda: position(r.take(1)[0])[3] == moved, 5, interval=0,
                 what='the new position')

        self.stop()
        r.drain()
        r.assert_silent(self, 0.3)

    def test_header_only_when_set(self):
        self.vc.set('P5', [16, 0, 11, -22, 33, -44, 55, -66])
        self.assertEqual(self.vc.call('POSRECHEADER', p4=5), 1)
        r = self.receiver()
        self.assertEqual(self.start(r), 1)
        first, second = r.take(2)
        self.assertEqual(struct.unpack('>8i', first), (0, 11, -22, 33, -44, 55, -66, 0))
        self.assertEqual(position(second)[0], 0)
        self.assertEqual(position(second)[3], self.POS)
        self.stop()

        self.vc.set('P6', [0])
        self.assertEqual(self.vc.call('POSRECHEADER', p4=6), 1)
        self.assertEqual(self.vc.call('POSRECHEADER', p4=5000), 253, 'no such P variable')
        r.drain()
        self.assertEqual(self.start(r), 1)
        seq, _, _, values = position(r.take(1)[0])
        self.assertEqual((seq, values), (0, self.POS), 'no header when it is all zero')
        self.stop()

    def test_second_start_replaces_the_first_stream(self):
        a, b = self.receiver(), self.receiver()
        self.assertEqual(self.start(a), 1)
        a.take(5)
        self.assertEqual(self.start(b), 1)
        a.drain()
        self.assertEqual([position(d)[0] for d in b.take(3)], [0, 1, 2])
        a.assert_silent(self, 0.2)
        self.stop()
        b.drain()
        b.assert_silent(self, 0.2)


class RegisterStreamTest(StreamCase):
    # Slow clock 0 so that the test can change signals between ticks.
    settings = {'clock0_us': 50000}

    def test_registers_with_delayed_io(self):
        self.vc.set('IO1000500..IO1000511', 0)
        pairs = []
        for k in range(12):
            pairs += ['IO%d' % (1000500 + k), k + 1]
        self.vc.set('IO10060', 11, *pairs)
        # Mode 5 is cut to mode 1.
        self.assertEqual(self.configure(io=10060, delay=3, mode=5), 1)
        r = self.receiver()
        started = time.monotonic()
        self.assertEqual(self.start(r), 1)
        first = r.recv(3)
        waited = time.monotonic() - started
        self.assertIsNotNone(first)
        self.assertGreater(waited, 0.1, 'nothing is sent during the first three ticks')
        seq, io, values = registers(first)
        self.assertEqual((seq, io), (0, 11))
        self.assertEqual(values, [((2 * k + 2) << 16) | (2 * k + 1) for k in range(6)])

        # Register 500 and the I/O signal change in the same tick: the register
        # shows at once, the I/O value three records later.
        self.vc.set('IO1000500', 0x5555, 'IO10060', 22)
        seen = {}
        while 'io' not in seen:
            seq, io, values = registers(r.take(1)[0])
            if values[0] & 0xffff == 0x5555:
                seen.setdefault('register', seq)
            if io == 22:
                seen['io'] = seq
        self.assertIn('register', seen)
        self.assertEqual(seen['io'] - seen['register'], 3)
        self.stop()


class SpeedOutputTest(StreamCase):

    def speed_registers(self):
        return self.vc.get('IO1000544..IO1000559')

    def test_registers_follow_the_servo_speeds(self):
        self.vc.robot_speed(0, -70000, 70000, 0, 0, 0, 0, 0, -1)
        self.assertEqual(self.vc.call('SPEEDOUTSTART', p4=0, p5=545, p6=1), 253)
        self.assertEqual(self.vc.call('SPEEDOUTSTART', p4=40, p5=0, p6=1), 253)
        self.assertEqual(self.vc.call('SPEEDOUTSTART', p4=0, p5=544, p6=2), 1)
        expected = [4464, 1, 4464, 1] + [0] * 10 + [1, 0]
        wait_for(lambda: self.speed_registers() == expected, 5, what='speed registers')

        self.vc.robot_speed(0, 123456)
        expected = [57920, 1] + [0] * 14
        wait_for(lambda: self.speed_registers() == expected, 5, what='new speed registers')

        self.assertEqual(self.vc.call('SPEEDOUTSTOP'), 1)
        self.vc.set('IO1000544', 7)
        time.sleep(0.2)
        self.assertEqual(self.vc.get('IO1000544'), 7, 'no register write after the stop')


class TimeStampTest(StreamCase):

    def test_time_of_day_into_an_s_variable(self):
        self.vc.set('S10', 'x')
        self.assertEqual(self.vc.call('TIMESTAMP', p4=10), 1)
        now = time.localtime()
        text = self.vc.get('S10')
        match = re.fullmatch(r'(\d\d):(\d\d):(\d\d):(\d\d\d)', text)
        self.assertIsNotNone(match, text)
        h, m, s, _ = (int(g) for g in match.groups())
        stamped = h * 3600 + m * 60 + s
        current = now.tm_hour * 3600 + now.tm_min * 60 + now.tm_sec
        self.assertLessEqual((current - stamped) % 86400, 3)
        self.assertEqual(self.vc.call('TIMESTAMP', p4=5000), 254, 'no such S variable')


if __name__ == '__main__':
    unittest.main()
