"""The frame seen from a robot job: banner, handshake, INFO, undefined command
numbers, R variable bytes and position variable types, driven with korjob."""

import os
import struct
import time
import unittest

from harness import Controller


def cpu_seconds(pid):
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


class Frame(unittest.TestCase):
    def test_banner_shows_the_start_parameters_in_force(self):
        with Controller(start=False) as vc:
            vc.set('S92', '200:12')
            vc.start()
            # The console passes the banner on line by line: wait for its last one.
            vc.wait_output('ArvoKOR started successfully !\r\nVersion:\t1.32\r\n'
                           'BaseAddress:\t200\r\nChannelNo:\t8\r\nAdminPort:\t15000\r\n'
                           'ClockRate:\t1\r\n')
            # The eighth slot exists.
            self.assertEqual(vc.call('INFO', slot=7, p8=0, result=300), 255)

    def test_info_undefined_numbers_and_real_bytes(self):
        with Controller() as vc:
            code, text = vc.call_read('INFO', 13, p8=2)
            self.assertEqual((code, text), (13, b'Hello world !'))
            vc.wait_output('Info - ArvoKOR command, Param:2 Ret:110\r\n')
            for number in (19, 39, 199):
                self.assertEqual(vc.call(number), 240)

            vc.set('R3', -1.5)
            self.assertEqual(vc.call('RVARTOBYTES', p4=3, p5=300, p6=1), 1)
            self.assertEqual(bytes(vc.get('B300..B303')), struct.pack('>f', -1.5))
            self.assertEqual(vc.call('BYTESTORVAR', p4=4, p5=300, p6=1), 1)
            self.assertEqual(vc.get('R4'), -1.5)

            vc.set('P2', [19 | (7 << 22)])
            self.assertEqual(vc.call('POSVARTYPE', p4=2, result=320), 5)
            self.assertEqual(vc.get('B321'), 7)

    def test_slow_system_clock_still_serves_without_spinning(self):
        # Below 1000 Hz the clock rate per millisecond is 0; the poll loop
        # then waits one tick per pass instead of running flat out.
        with Controller(clock_rate=100) as vc:
            vc.wait_output('ClockRate:\t0\r\n')
            self.assertEqual(vc.call('INFO', p8=0), 255)
            before = cpu_seconds(vc.proc.pid)
            time.sleep(1.0)
            self.assertLess(cpu_seconds(vc.proc.pid) - before, 0.3)


if __name__ == '__main__':
    unittest.main()
