"""Pattern commands (9, 13, 14, 30) on a TCP channel to a loopback device that
sends known data when told to (tests/peers/feed_peer.py)."""
import threading
import time
import unittest

from harness import Controller, free_address, start_python_peer, wait_for

NOTHING, NOT_IN_USE, FAILED = 253, 252, 254


class PatternCommands(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.peer_host = free_address()
        cls.peer = start_python_peer('feed_peer.py', '--host', cls.peer_host, ready='ready')
        cls.peer_port = int(cls.peer.output().split()[1])
        cls.vc = Controller()

    @classmethod
    def tearDownClass(cls):
        cls.vc.close()
        cls.peer.stop()

    # -- helpers
    def open_channel(self):
        h = self.vc.call('TCPCONNECT', addr=self.peer_host, port=self.peer_port)
        self.assertTrue(1 <= h <= 19, h)
        self.addCleanup(self.vc.call, 'CLOSEHANDLE', handle=h)
        return h

    def order(self, h, line):
        self.vc.call('SENDDATA', handle=h, bytes=line + '\n')

    def feed(self, h, data):
        """Makes the device send data now and waits until all of it is queued."""
        self.order(h, 'SEND ' + bytes(data).hex())
        wait_for(lambda: self.queued(h) >= len(data), what='%d bytes queued' % len(data))

    def queued(self, h):
        """Bytes queued (up to 128 seen), without changing the queue."""
        code = self.vc.call('CHECKPATTERNBINRES', handle=h, bytes=b'*', block=900, result=899)
        return 0 if code == NOTHING else code

    # -- checks
    def test_text_pattern_capture_anchor_and_required_length(self):
        h = self.open_channel()
        self.feed(h, b'POS=123;rest')
        code, out = self.vc.call_read('CHECKPATTERN', 3, handle=h, bytes='POS=*;', p4=1)
        self.assertEqual((code, out), (3, b'123'))
        # The output went over the pattern's variables.
        self.assertEqual(self.vc.get('B111..B116'), list(b'123=*;'))
        self.assertEqual(self.vc.call('CHECKPATTERN', handle=h, bytes='OS=*;', p4=1), NOTHING)
        self.assertEqual(self.vc.call('CHECKPATTERN', handle=h, bytes='*OS=*;', p4=1), 1)
        self.assertEqual(self.vc.call('CHECKPATTERN', handle=h, bytes='POS=*;', p4=2), NOTHING)
        self.assertEqual(self.vc.call('CHECKPATTERN', handle=h, bytes='POS=*;', p4=1, p5=3), 3)
        self.assertEqual(self.vc.call('CHECKPATTERN', handle=h, bytes='POS=*;', p4=1, p5=2),
                         NOTHING)
        # Text form: a starless pattern must equal the whole data.
        self.assertEqual(self.vc.call('CHECKPATTERN', handle=h, bytes='POS'), NOTHING)
        self.assertEqual(self.vc.call('CHECKPATTERNBIN', handle=h, bytes='POS'), 12)

    def test_empty_result_is_one_zero_byte(self):
        h = self.open_channel()
        self.feed(h, b'abab')
        self.vc.set('B111', 77)
        code, out = self.vc.call_read('CHECKPATTERN', 1, handle=h, bytes='ab*ab', p4=1)
        self.assertEqual((code, out), (1, b'\x00'))

    def test_binary_forms_and_where_they_write(self):
        h = self.open_channel()
        data = bytes([2, 0, 0xff, 0x2a + 1, 3, 9])
        self.feed(h, data)
        pattern = bytes([2, 0x2a, 3, 0x2a])
        # 13 writes after the result variable and leaves the pattern alone.
        code, out = self.vc.call_read('CHECKPATTERNBINRES', 3, handle=h, bytes=pattern, p4=1,
                                      result=300, block=400)
        self.assertEqual((code, out), (3, bytes([0, 0xff, 0x2b])))
        self.assertEqual(self.vc.get('B400..B403'), list(pattern))
        code, out = self.vc.call_read('CHECKPATTERNBINRES', 1, handle=h, bytes=pattern, p4=2,
                                      result=300, block=400)
        self.assertEqual((code, out), (1, bytes([9])))
        # 14 writes over the pattern.
        code, out = self.vc.call_read('CHECKPATTERNBIN', 6, handle=h, bytes=pattern, result=300,
                                      block=400)
        self.assertEqual((code, out), (6, data))

    def test_clear_flag_removes_the_matched_data(self):
        h = self.open_channel()
        self.feed(h, b'OK1')
        self.assertEqual(self.vc.call('CHECKPATTERNBIN', handle=h, bytes='OK*', p4=1), 1)
        self.assertEqual(self.queued(h), 3)  # no flag: kept
        self.assertEqual(self.vc.call('CHECKPATTERNBIN', handle=h, bytes='NO*', p6=1), NOTHING)
        self.assertEqual(self.queued(h), 3)  # no match: kept
        self.assertEqual(self.vc.call('CHECKPATTERN', handle=h, bytes='OK*', p4=1, p6=1), 1)
        self.assertEqual(self.queued(h), 0)
        self.assertEqual(self.vc.call('CHECKPATTERN', handle=h, bytes='*'), NOTHING)

    def test_no_data_handle_not_in_use_and_block_rule(self):
        h = self.open_channel()
        for command in ('CHECKPATTERN', 'CHECKPATTERNBIN', 'CHECKPATTERNBINRES'):
            self.assertEqual(self.vc.call(command, handle=h, bytes='*'), NOTHING, command)
        free = 1 if h != 1 else 2
        for handle in (0, free, 20, 300, -1):
            self.assertEqual(self.vc.call('CHECKPATTERN', handle=handle, bytes='*'), NOT_IN_USE)
        self.vc.wait_output('Error - CHECKPATTERN 300: no active handle')
        self.assertEqual(self.vc.call('CHECKPATTERNBIN', handle=h, p1=111, p2=129), NOTHING)
        self.assertEqual(self.vc.call('CHECKPATTERNBIN', handle=h, p1=111, p2=-1), NOTHING)

    def test_output_that_cannot_be_written(self):
        # B999 is the last B variable: output from B1000 on cannot be written.
        h = self.open_channel()
        self.feed(h, b'ABC')
        mark = len(self.vc.output())
        self.assertEqual(self.vc.call('CHECKPATTERNBINRES', handle=h, bytes='*', result=999,
                                      block=500),
                         FAILED)
        self.vc.wait_output('Error - CHECKPATTERN %d: writing to vars\r\n' % h, start=mark)
        self.assertEqual(self.queued(h), 3)  # nothing removed

    def test_result_longer_than_a_block_is_refused_and_data_kept(self):
        h = self.open_channel()
        self.order(h, 'REPEAT 200 4c')
        wait_for(lambda: self.vc.call('CHECKPATTERNBIN', handle=h, bytes=b'L' * 100 + b'*',
                                      p4=1) == 100, what='200 bytes queued')
        self.assertEqual(self.vc.call('CHECKPATTERNBIN', handle=h, bytes='*', p6=1), NOTHING)
        self.vc.wait_output('result of 200 bytes is longer than 128')
        code, out = self.vc.call_read('READDATA', 128, handle=h, block=500)
        self.assertEqual((code, out), (128, b'L' * 128))

    def test_waitpattern_matches_queued_data_at_once(self):
        h = self.open_channel()
        self.feed(h, b'T=42\r\n')
        code, out = self.vc.call_read('WAITPATTERN', 2, handle=h, bytes='T=*\r\n', p4=1, p6=5)
        self.assertEqual((code, out), (2, b'42'))
        self.assertEqual(self.queued(h), 0)  # positive p6 clears

    def test_waitpattern_waits_through_other_data(self):
        h = self.open_channel()
        self.order(h, 'LATER 300 ' + b'noise '.hex())
        self.order(h, 'LATER 900 ' + b'ACK:7;'.hex())
        code, out = self.vc.call_read('WAITPATTERN', 1, handle=h, bytes='*ACK:*;', p4=2, p6=-5)
        self.assertEqual((code, out), (1, b'7'))
        self.assertEqual(self.queued(h), 12)  # negative p6 keeps the queue

    def test_waitpattern_times_out(self):
        h = self.open_channel()
        start = time.monotonic()
        self.assertEqual(self.vc.call('WAITPATTERN', handle=h, bytes='x', p6=2), NOTHING)
        self.assertGreaterEqual(time.monotonic() - start, 1.9)
        self.vc.wait_output('Data available -1')
        self.assertEqual(self.vc.call('WAITPATTERN', handle=99, bytes='x', p6=1), NOT_IN_USE)

    def test_waitpattern_time_out_is_seconds_at_any_clock_rate(self):
        # At 500 Hz p6 = 1 is 500 ticks: one second, as at 1000 Hz.
        with Controller(clock_rate=500) as vc:
            h = vc.call('TCPCONNECT', addr=self.peer_host, port=self.peer_port)
            self.assertTrue(1 <= h <= 19, h)
            start = time.monotonic()
            self.assertEqual(vc.call('WAITPATTERN', handle=h, bytes='x', p6=1, timeout=10),
                             NOTHING)
            self.assertGreaterEqual(time.monotonic() - start, 0.9)
            self.assertLess(time.monotonic() - start, 1.8)
            self.assertEqual(vc.call('CLOSEHANDLE', handle=h), 255)

    def test_waitpattern_ends_when_the_channel_is_closed(self):
        h = self.open_channel()
        result = {}

        def wait():
            result['code'] = self.vc.call('WAITPATTERN', handle=h, bytes='never', p6=0,
                                          slot=1, timeout=20)

        waiter = threading.Thread(target=wait)
        waiter.start()
        time.sleep(0.5)
        self.assertEqual(self.vc.call('CLOSEHANDLE', handle=h), 255)
        waiter.join(25)
        self.assertEqual(result.get('code'), NOTHING)


if __name__ == '__main__':
    unittest.main()
