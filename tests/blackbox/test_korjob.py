"""korjob against the state file alone (no controller running)."""

import os
import struct
import time
import unittest

from harness import Controller, KorjobError


class KorjobVariables(unittest.TestCase):
    def setUp(self):
        self.vc = Controller(start=False)
        self.addCleanup(self.vc.close)

    def test_state_file_is_created_when_missing(self):
        self.assertFalse(os.path.exists(self.vc.state_path))
        self.assertEqual(self.vc.get('B0'), 0)
        self.assertTrue(os.path.exists(self.vc.state_path))

    def test_every_kind_round_trips(self):
        vc = self.vc
        vc.set('B100', 255, 'I5', -32768, 'D7', -2147483648, 'R3', -1.5,
               'S92', '100:4', 'P4', [17, 1, -100000, 2, 3, 4, 5, 6],
               'IO10016', 65535, 'IO1000500', 1234)
        self.assertEqual(vc.get('B100'), 255)
        self.assertEqual(vc.get('I5'), -32768)
        self.assertEqual(vc.get('D7'), -2147483648)
        self.assertEqual(vc.get('R3'), -1.5)
        self.assertEqual(vc.get('S92'), '100:4')
        self.assertEqual(vc.get('P4'), [17, 1, -100000, 2, 3, 4, 5, 6])
        self.assertEqual(vc.get('IO10016'), 65535)
        self.assertEqual(vc.get('IO1000500'), 1234)
        # Register 500 and signal 500 are different signals.
        self.assertEqual(vc.get('IO500'), 0)

    def test_output_format_of_get(self):
        self.vc.set('R1', 0.1, 'S1', 'two words', 'P1', '1,2')
        out = self.vc.korjob('get', 'R1', 'S1', 'P1', 'b1', 'io1').stdout
        # Shortest text that reads back as the same single-precision value.
        self.assertEqual(out, '0.1\ntwo words\n1,2,0,0,0,0,0,0\n0\n0\n')

    def test_a_shorter_p_value_zeroes_the_other_words(self):
        self.vc.set('P2', [9, 9, 9, 9, 9, 9, 9, 9])
        self.vc.set('P2', [1, 2])
        self.assertEqual(self.vc.get('P2'), [1, 2, 0, 0, 0, 0, 0, 0])

    def test_text_up_to_32_characters(self):
        text = 'x' * 31 + 'y'
        self.vc.set('S5', text)
        self.assertEqual(self.vc.get('S5'), text)
        self.vc.set('S5', '')
        self.assertEqual(self.vc.get('S5'), '')
        result = self.vc.korjob('set', 'S5', 'z' * 33, check=False)
        self.assertEqual(result.returncode, 2)
        self.assertIn('32 characters', result.stderr)

    def test_ranges(self):
        self.vc.set('B300', 1, 'B305', 6, 'B309', 10)
        self.assertEqual(self.vc.get('B300..B309'), [1, 0, 0, 0, 0, 6, 0, 0, 0, 10])
        self.assertEqual(self.vc.get('B308..309'), [0, 10])
        self.vc.set('I10..I12', -7)
        self.assertEqual(self.vc.get('I9..I13'), [0, -7, -7, -7, 0])

    def test_bad_names_values_and_indices_change_nothing(self):
        self.vc.set('B1', 1)
        cases = [
            ('set', 'B1', '2', 'B2', '256'),       # a bad later pair: nothing written
            ('set', 'B1', '2', 'I1', '40000'),
            ('set', 'B1', '2', 'B1000', '0'),      # beyond the default count
            ('set', 'B1', '2', 'X1', '0'),
            ('set', 'B1', '2', 'R1', 'abc'),
            ('set', 'B1', '2', 'P1', '1,2,3,4,5,6,7,8,9'),
            ('set', 'B1', '2', 'IO500000', '1'),  # between signals and registers
            ('set', 'B1'),
            ('get', 'B5..B3'),
            ('get', 'B1..I3'),
        ]
        for args in cases:
            with self.subTest(args=args):
                result = self.vc.korjob(*args, check=False)
                self.assertEqual(result.returncode, 2)
                self.assertTrue(result.stderr.startswith('korjob: '), result.stderr)
        self.assertEqual(self.vc.get('B1'), 1)

    def test_counts_come_from_the_settings(self):
        with Controller(start=False, b_count=2000, register_count=10) as vc:
            vc.set('B1999', 3)
            self.assertEqual(vc.get('B1999'), 3)
            self.assertEqual(vc.korjob('get', 'IO1000010', check=False).returncode, 2)

    def test_robot_position_and_speeds(self):
        # Laid out as the controller's position record: X Y Z RX RY RZ RE.
        self.vc.robot_pos(7, 100000, -200000, 300000, 1, 2, 3, 4)
        self.vc.robot_speed(39, -70000, 1, 2)
        with open(self.vc.state_path, 'rb') as f:
            data = f.read()
        # The values are found in the file in that order (native byte order).
        self.assertIn(struct.pack('=7i', 100000, -200000, 300000, 1, 2, 3, 4), data)
        self.assertIn(struct.pack('=8i', -70000, 1, 2, 0, 0, 0, 0, 0), data)
        for args in (('robot', 'pos', '8', '1', '2', '3', '4', '5', '6'),
                     ('robot', 'pos', '0', '1', '2'),
                     ('robot', 'speed', '40', '1'),
                     ('robot', 'speed', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9'),
                     ('robot', 'turn')):
            with self.subTest(args=args):
                self.assertEqual(self.vc.korjob(*args, check=False).returncode, 2)

    def test_state_option_and_help(self):
        path = os.path.join(self.vc.dir, 'other.state')
        out = self.vc.korjob('--help').stdout  # --help wins over everything
        self.assertIn('korjob [--config FILE | --state FILE]', out)
        self.assertIn('RS232TEST', out)
        import subprocess
        from harness import program
        run = subprocess.run([program('korjob'), '--state', path, 'set', 'D1', '5'],
                             capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        run = subprocess.run([program('korjob'), '--state', path, 'get', 'D1'],
                             capture_output=True, text=True)
        self.assertEqual(run.stdout, '5\n')


class KorjobCall(unittest.TestCase):
    """call without a controller: the job's side of the handshake."""

    def setUp(self):
        self.vc = Controller(start=False)
        self.addCleanup(self.vc.close)

    def test_untaken_command_times_out_and_is_withdrawn(self):
        started = time.monotonic()
        result = self.vc.korjob('call', 'INFO', 'p8=1', '--timeout', '0.3', check=False)
        self.assertLess(time.monotonic() - started, 5)
        self.assertEqual(result.returncode, 1)
        self.assertIn('time-out', result.stderr)
        self.assertIn('did not take', result.stderr)
        # The parameters were written, the command number withdrawn.
        self.assertEqual(self.vc.get('I108'), 1)
        self.assertEqual(self.vc.get('B100'), 0)
        with self.assertRaises(KorjobError):
            self.vc.call('INFO', timeout=0.2, p8=1)

    def test_parameters_and_block_are_written_as_the_job_does(self):
        vc = self.vc
        vc.set('S92', '200:2', 'B310', 99)
        vc.korjob('call', 'TCPCONNECT', 'addr=10.1.2.300', 'port=40000', 'handle=19',
                  'p9=-5', 'field=user', 'field=pw', '--slot', '1', '--timeout', '0.1',
                  check=False)
        # Slot 1 of base 200: parameters I210..I219, result B340, block B341...
        self.assertEqual(vc.get('I210..I219'), [-7233, 341, 8, 340, 10, 1, 2, 300, 19, -5])
        self.assertEqual(vc.get('B340'), 0)
        self.assertEqual(bytes(vc.get('B341..B348')), b'user\rpw\r')
        self.assertEqual(vc.get('B201'), 0)
        # Binary bytes, an explicit result variable and block.
        vc.korjob('call', '2', 'bytes=hex:00ff0d', 'result=310', 'block=600',
                  '--timeout', '0.1', check=False)
        self.assertEqual(vc.get('B310'), 0)  # preset before the command
        self.assertEqual(vc.get('B600..B602'), [0, 255, 13])
        self.assertEqual(vc.get('I201..I203'), [600, 3, 310])

    def test_bad_calls_are_refused_before_anything_is_written(self):
        cases = [
            ('call', 'NOSUCH'),
            ('call', '256'),
            ('call', 'INFO', '--slot', '4'),      # S92 default gives 4 slots
            ('call', 'INFO', 'port=70000'),
            ('call', 'INFO', 'p0=1', 'port=2'),   # p0 twice
            ('call', 'INFO', 'bytes=' + 'x' * 129),
            ('call', 'INFO', 'bytes=hex:0g'),
            ('call', 'INFO', 'bytes=[1,300]'),
            ('call', 'INFO', 'color=red'),
            ('call', 'INFO', 'p1=40000'),
        ]
        for args in cases:
            with self.subTest(args=args):
                result = self.vc.korjob(*args, check=False)
                self.assertEqual(result.returncode, 2, result.stderr)
        self.assertEqual(self.vc.get('B100..B103'), [0, 0, 0, 0])


if __name__ == '__main__':
    unittest.main()
