"""korjob against the state file alone (no controller running)."""

import os
import shutil
import struct
import subprocess
import tempfile
import time
import unittest

from harness import Controller, KorjobError, free_address, program, wait_for


class KorjobVariables(unittest.TestCase):
    def setUp(self):
        self.vc = Controller(start=False)
        self.addCleanup(self.vc.close)

    def test_only_the_controller_makes_the_state_file(self):
        # A mistyped path must not lead korjob to a new file nobody serves.
        missing = os.path.join(self.vc.dir, 'other.state')
        for option in (('--state', missing), ('--config', self.write_config('state = other.state'))):
            with self.subTest(option=option[0]):
                result = subprocess.run([program('korjob'), *option, 'set', 'B1', '5'],
                                        capture_output=True, text=True)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stderr, 'korjob: no controller state at %s '
                                 '(arvokor makes it when it starts)\n' % missing)
                self.assertFalse(os.path.exists(missing))
        # Start=False made it with arvokor --make-state.
        self.assertTrue(os.path.exists(self.vc.state_path))

    def write_config(self, *lines):
        path = os.path.join(self.vc.dir, 'relative.conf')
        with open(path, 'w') as f:
            f.write('\n'.join(lines) + '\n')
        return path

    def test_paths_in_a_settings_file_are_relative_to_it(self):
        # Started from another folder, korjob and arvokor find the state file
        # beside the settings file.
        os.makedirs(os.path.join(self.vc.dir, 'cell', 'jobs'))
        config = os.path.join(self.vc.dir, 'cell', 'cell.conf')
        with open(config, 'w') as f:
            f.write('state = cell.state\njobs = jobs\naddress = %s\n' % self.vc.address)
        elsewhere = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, elsewhere, True)
        make = subprocess.run([program('arvokor'), '--config', config, '--make-state'],
                              cwd=elsewhere, capture_output=True, text=True)
        self.assertEqual(make.returncode, 0, make.stderr)
        self.assertTrue(os.path.exists(os.path.join(self.vc.dir, 'cell', 'cell.state')))
        for args, out in ((('set', 'B10', '3'), ''), (('get', '--names', 'B10', 'S1..S2'),
                                                      'B10=3\nS1=\nS2=\n')):
            result = subprocess.run([program('korjob'), '--config', config, *args],
                                    cwd=elsewhere, capture_output=True, text=True)
            self.assertEqual((result.returncode, result.stdout), (0, out), result.stderr)
        self.assertEqual(os.listdir(elsewhere), [])

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
            ('set', 'B1', ' 2'), ('set', 'B1', '2 '), ('set', 'B1', ''), ('set', 'B1', '-'),
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
        path = self.vc.state_path
        out = self.vc.korjob('--help').stdout  # --help wins over everything
        self.assertIn('korjob [--config FILE | --state FILE]', out)
        self.assertIn('RS232TEST', out)
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

    def test_p1_is_not_a_variable_unless_bytes_are_moved(self):
        # UDPBIND takes its local port in p1 (port 40000 is -7233): no B range applies.
        result = self.vc.korjob('call', 'UDPBIND', 'p1=-7233', 'addr=127.0.0.1', 'port=9',
                                '--timeout', '0.1', check=False)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(self.vc.get('I101'), -7233)

    def test_result_before_the_acknowledgement_waits_for_it(self):
        # A command task may write its result before the launcher resets the
        # slot; the call ends only once both have happened. Here the test
        # plays the launcher: result first, acknowledgement half a second later.
        import subprocess
        import threading
        from harness import program
        vc = self.vc
        vc.get('B0')  # the state file exists before the two processes share it
        call = subprocess.Popen([program('korjob'), '--config', vc.config_path, 'call', 'INFO',
                                 'p8=0', '--timeout', '10'],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(call.wait)
        deadline = time.monotonic() + 10
        while vc.get('B100') != 8:
            self.assertLess(time.monotonic(), deadline, 'korjob wrote no command')
        vc.set('B110', 255)
        time.sleep(0.5)
        self.assertIsNone(call.poll(), 'korjob ended before the acknowledgement')
        vc.set('B100', 0)
        out, err = call.communicate(timeout=10)
        self.assertEqual((call.returncode, out), (0, '255 done\n'), err)

    def test_slot_layout_read_alike_by_korjob_and_the_python_package(self):
        # korjob names the command ID (or, beyond the I variables, the first
        # parameter) of the last slot S92 gives and refuses the slot after it;
        # the package must read S92 the same way.
        vc = self.vc
        for text in ('300:2', '::7::2:', ' +50:12', 'abc:3', '-5:0', '2147483648:8',
                     '99999999999999999999:1', '100', '100:4:1'):
            with self.subTest(text=text):
                vc.set('S92', text)
                layout = vc.slot_layout()
                k = layout.slots - 1
                last = vc.korjob('call', 'INFO', '--slot', k, '--timeout', '0.01', check=False)
                self.assertRegex(last.stderr, r'\bB%d\b|\bI%d\.\.' % (layout.command_id_var(k),
                                                                     layout.first_param_var(k)))
                if layout.slots < 8:
                    beyond = vc.korjob('call', 'INFO', '--slot', layout.slots, check=False)
                    self.assertIn('S92 gives %d slot(s)' % layout.slots, beyond.stderr)

    def test_help_only_in_place_of_a_command_or_its_first_argument(self):
        self.vc.set('S5', '-h', 'S6', '--help')
        self.assertEqual((self.vc.get('S5'), self.vc.get('S6')), ('-h', '--help'))
        for args in (('-h',), ('get', '--help'), ('call', '-h')):
            with self.subTest(args=args):
                self.assertIn('korjob [--config FILE', self.vc.korjob(*args).stdout)

    def test_preset_is_written_before_the_command(self):
        result = self.vc.korjob('call', 'INFO', 'p8=0', '--preset', '7', '--timeout', '0.1',
                                check=False)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(self.vc.get('B110'), 7)

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
            ('call', 'INFO', 'p1=40000', '--read', '4'),  # output beyond the B variables
            ('call', 'INFO', '--preset', '256'),
        ]
        for args in cases:
            with self.subTest(args=args):
                result = self.vc.korjob(*args, check=False)
                self.assertEqual(result.returncode, 2, result.stderr)
        self.assertEqual(self.vc.get('B100..B103'), [0, 0, 0, 0])


class WithController(unittest.TestCase):
    """korjob and arvokor together: the command handshake end to end."""

    def test_call_round_trip_and_console(self):
        with Controller() as vc:
            code, data = vc.call_read('INFO', 4, p8=1)
            self.assertEqual((code, data), (4, b'1.32'))
            # --read N prints only what the command wrote: 4 bytes, not 10.
            out = vc.korjob('call', 'INFO', 'p8=1', '--read', '10').stdout
            self.assertEqual(out, '4 bytes\ntext: "1.32"\nhex: 31 2e 33 32\n')
            # The console line shows up while arvokor runs (not buffered).
            vc.wait_output('Info - ArvoKOR command', timeout=5)
            self.assertEqual(vc.call(10), 240)          # undefined number
            self.assertEqual(vc.call('info', p8=0), 255)  # names in any case
            out = vc.korjob('call', 'INFO', 'p8=0', '--slot', '3').stdout
            self.assertEqual(out, '255 done\n')
            self.assertEqual(vc.get('B100..B103'), [0, 0, 0, 0])
            # Taken, but no result: INFO with an undefined selector writes none.
            result = vc.korjob('call', 'INFO', 'p8=7', '--timeout', '0.5', check=False)
            self.assertEqual(result.returncode, 1)
            self.assertIn('was taken but wrote no result', result.stderr)
            self.assertEqual(vc.stop(), 0)

    def test_values_survive_a_restart_and_stopped_controller_times_out(self):
        with Controller() as vc:
            vc.set('D10', 77, 'S3', 'kept')
            self.assertEqual(vc.stop(), 0)
            result = vc.korjob('call', 'INFO', '--timeout', '0.3', check=False)
            self.assertEqual(result.returncode, 1)
            self.assertIn('did not take', result.stderr)
            vc.start()
            self.assertEqual(vc.get('D10'), 77)
            self.assertEqual(vc.get('S3'), 'kept')
            self.assertEqual(vc.call('INFO', p8=0), 255)

    def test_a_command_written_while_arvokor_is_down_is_answered_at_start(self):
        import subprocess
        with Controller() as vc:
            self.assertEqual(vc.stop(), 0)
            # A job writes its command into slot 1 and waits for the result.
            job = subprocess.Popen([vc.korjob_program(), '--config', vc.config_path, 'call',
                                    'INFO', 'p8=0', '--slot', '1', '--timeout', '30'],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            self.addCleanup(job.kill)
            wait_for(lambda: vc.get('B101') == 8, what='the command in slot 1')
            vc.start()
            out, _ = job.communicate(timeout=30)
            self.assertEqual(out, '241 not run: controller restarted\n')
            vc.wait_output('Command 8 in slot 1 not run: controller restarted\r\n')
            self.assertEqual(vc.get('B100..B103'), [0, 0, 0, 0])
            self.assertNotIn('Info - ArvoKOR command', vc.output(), 'it did not run')
            self.assertEqual(vc.call('INFO', p8=0, slot=1), 255)

    def test_a_second_arvokor_on_the_same_state_file_refuses_to_start(self):
        import subprocess
        from harness import program
        with Controller() as vc:
            # Its own address: only the state file is shared.
            other = os.path.join(vc.dir, 'second.conf')
            with open(other, 'w') as f:
                f.write('address = %s\nstate = %s\njobs = %s\nftp_server = off\n'
                        % (free_address(), vc.state_path, vc.jobs_dir))
            second = subprocess.run([program('arvokor'), '--config', other], cwd=vc.dir,
                                    capture_output=True, text=True, timeout=30)
            self.assertEqual(second.returncode, 1, second.stdout + second.stderr)
            self.assertIn('state file %s is in use by process %d' % (vc.state_path, vc.proc.pid),
                          second.stderr)
            # The same file under another name (a symbolic link): refused too.
            link = os.path.join(vc.dir, 'link.state')
            os.symlink(vc.state_path, link)
            with open(other, 'w') as f:
                f.write('address = %s\nstate = %s\njobs = %s\nftp_server = off\n'
                        % (free_address(), link, vc.jobs_dir))
            second = subprocess.run([program('arvokor'), '--config', other], cwd=vc.dir,
                                    capture_output=True, text=True, timeout=30)
            self.assertEqual(second.returncode, 1, second.stdout + second.stderr)
            self.assertIn('is in use by process %d' % vc.proc.pid, second.stderr)
            self.assertEqual(vc.call('INFO', p8=0), 255)  # the first goes on; korjob needs no lock
            self.assertEqual(vc.stop(), 0)
            vc.start()  # the lock went with the first process

    def test_start_parameters_come_from_s92(self):
        with Controller(start=False) as vc:
            vc.set('S92', '300:2')
            vc.start()
            vc.wait_output('BaseAddress:\t300\r\nChannelNo:\t2\r\n')
            self.assertEqual(vc.call('INFO', slot=1, p8=0), 255)
            self.assertEqual(vc.get('B300..B301'), [0, 0])
            # korjob's default result of slot 1 is B 300 + 10 + 130.
            self.assertEqual(vc.get('B440'), 255)


class ArvokorSettings(unittest.TestCase):
    def run_arvokor(self, text):
        import subprocess
        import tempfile
        from harness import program
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, 'bad.conf')
            with open(path, 'w') as f:
                f.write(text)
            return subprocess.run([program('arvokor'), '--config', path], cwd=d,
                                  capture_output=True, text=True, timeout=30)

    def test_bad_settings_name_the_key(self):
        cases = [
            ('adress = 127.0.0.1\n', "unknown key 'adress'"),
            ('b_count = lots\n', "'b_count'"),
            ('b_count = 70000\n', "'b_count'"),
            ('address = 127.0.0\n', "'address'"),
            ('ftp_port = 0\n', "'ftp_port'"),
            ('mail_tls = yes\n', "'mail_tls': must be one of off,starttls,tls"),
            ('just words\n', "expected 'key = value'"),
        ]
        for text, message in cases:
            with self.subTest(text=text):
                result = self.run_arvokor(text)
                self.assertEqual(result.returncode, 2)
                self.assertIn(message, result.stderr)

    def test_comments_blank_lines_and_crlf_are_fine(self):
        import subprocess
        from harness import program
        result = subprocess.run([program('arvokor'), '--config', '/nonexistent/arvokor.conf'],
                                capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 2)
        self.assertIn('/nonexistent/arvokor.conf', result.stderr)
        with Controller(start=False) as vc:
            with open(vc.config_path, 'a') as f:
                f.write('# a comment\r\n\r\ns_count = 500   # trailing comment\r\n')
            vc.start()
            vc.set('S499', 'last')
            self.assertEqual(vc.get('S499'), 'last')


class HarnessHelpers(unittest.TestCase):
    """The shared helpers themselves, and the serial port end to end."""

    def test_free_addresses_are_distinct_loopback_addresses(self):
        from harness import free_address
        addresses = {free_address() for _ in range(5)}
        self.assertEqual(len(addresses), 5)
        for a in addresses:
            self.assertTrue(a.startswith('127.'))

    def test_python_peer_and_serial_line(self):
        import tempfile
        import socket
        from harness import free_address, pty_pair, start_python_peer
        host = free_address()
        with tempfile.NamedTemporaryFile('w', suffix='.py', delete=False) as f:
            f.write('import socket, sys\n'
                    's = socket.socket(); s.bind((sys.argv[1], 0)); s.listen()\n'
                    'print("port", s.getsockname()[1], flush=True)\n'
                    'c, _ = s.accept(); c.sendall(c.recv(100).upper())\n')
        self.addCleanup(os.unlink, f.name)
        peer = start_python_peer(f.name, host, ready='port ', owner=self)
        port = int(wait_line(peer, 'port '))
        with socket.create_connection((host, port), timeout=5) as c:
            c.sendall(b'abc')
            self.assertEqual(c.recv(10), b'ABC')

        a, b = pty_pair(owner=self)
        with Controller(com1=a) as vc:
            handle = vc.call('RS232OPEN', p0=1, p4=11520, p5=8)
            self.assertTrue(1 <= handle <= 19, handle)
            fd = os.open(b, os.O_RDWR | os.O_NOCTTY)
            self.addCleanup(os.close, fd)
            self.assertEqual(vc.call('SENDDATA', handle=handle, bytes=bytes(range(256))[:128]), 128)
            got = b''
            while len(got) < 128:
                got += os.read(fd, 256)
            self.assertEqual(got, bytes(range(128)))
            self.assertEqual(vc.call('CLOSEHANDLE', handle=handle), 255)


def wait_line(peer, prefix, timeout=5):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for line in peer.output().split('\n')[:-1]:  # complete lines only
            if line.startswith(prefix):
                return line[len(prefix):]
        time.sleep(0.02)
    raise AssertionError('no line %r' % prefix)


if __name__ == '__main__':
    unittest.main()
