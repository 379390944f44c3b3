"""Tests of the benchmark scripts: their helpers against hand-made inputs and
real sockets, and one short run of each script that checks it still produces
its rows. Figures are never judged here, only that they are there."""

import os
import re
import socket
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import benchlib  # noqa: E402
import table  # noqa: E402
from bench_ftp import job_text  # noqa: E402
from bench_stream_modbus import stream_figures  # noqa: E402


class PercentileTest(unittest.TestCase):
    def test_nearest_rank(self):
        values = list(range(100, 0, -1))  # 100 .. 1, unsorted on purpose
        self.assertEqual(benchlib.percentile(values, 0.99), 99)
        self.assertEqual(benchlib.percentile(values, 0.0), 1)
        self.assertEqual(benchlib.percentile(values, 1.0), 100)
        self.assertEqual(benchlib.median([3, 1, 2]), 2)
        self.assertEqual(benchlib.median([7]), 7)


class StreamFiguresTest(unittest.TestCase):
    P = 0.004

    def test_steady_stream_with_wrapping_sequence_numbers(self):
        arrivals = [k * self.P for k in range(600)]
        seqs = [k % 256 for k in range(250, 850)]  # wraps 255 -> 0 twice
        per_tick, ticks, lost, silent, long_gaps, jitter = stream_figures(arrivals, seqs, self.P)
        self.assertEqual((per_tick, ticks, lost, silent, long_gaps), (1.0, 600, 0, 0, 0))
        self.assertLess(max(jitter), 1e-6)

    def test_lost_datagrams_and_silent_ticks_are_told_apart(self):
        # Ticks 0..99; the datagram of tick 10 is lost on the way (its number
        # is missing), at tick 50 the stream sent nothing (numbers go on).
        arrivals, seqs, seq = [], [], 0
        for tick in range(100):
            if tick == 50:
                continue
            if tick != 10:
                arrivals.append(tick * self.P)
                seqs.append(seq % 256)
            seq += 1
        per_tick, ticks, lost, silent, long_gaps, _ = stream_figures(arrivals, seqs, self.P)
        self.assertEqual((ticks, lost, silent, long_gaps), (100, 1, 1, 2))
        self.assertAlmostEqual(per_tick, 0.98)

    def test_late_datagram_is_a_long_gap_not_a_silent_tick(self):
        arrivals = [k * self.P for k in range(10)]
        arrivals[5] += 0.8 * self.P  # late, the next one on time
        _, ticks, lost, silent, long_gaps, jitter = stream_figures(arrivals, list(range(10)),
                                                                    self.P)
        self.assertEqual((ticks, lost, silent, long_gaps), (10, 0, 0, 1))
        self.assertAlmostEqual(max(jitter), 0.8 * self.P * 1e3)


class JobTextTest(unittest.TestCase):
    def test_size_and_shape_of_a_job_file(self):
        for size in (1 << 20, 10 << 20):
            text = job_text(size)
            self.assertLessEqual(abs(len(text) - size), 64)
            self.assertTrue(text.startswith(b'/JOB\n//NAME '))
            self.assertTrue(text.endswith(b'\nEND\n'))
            self.assertNotIn(b'\r', text)
            self.assertTrue(all(32 <= b < 127 or b == 10 for b in set(text)))


class TableTest(unittest.TestCase):
    def test_rows_aligned_notes_below_other_lines_ignored(self):
        lines = ['starting ...',
                 'ROW\tshort\t1 ms\t< 2 ms\tfine',
                 'NOTE\tload average 1.00',
                 'ROW\ta much longer figure\t10 ms',
                 'ROW']
        out = table.format_table(lines).split('\n')
        self.assertEqual(out[0].split(' | ')[0].rstrip(), 'figure')
        self.assertTrue(set(out[1]) <= set('-+'))
        self.assertEqual(len(out), 6)  # header, rule, two rows, blank, note
        bars = [line.index(' | ') for line in out[:1] + out[2:4]]
        self.assertEqual(len(set(bars)), 1, out)
        self.assertTrue(out[3].startswith('a much longer figure | 10 ms | - '))
        self.assertEqual(out[5], 'load average 1.00')

    def test_row_cells_cannot_break_the_table(self):
        import io
        from contextlib import redirect_stdout
        buf = io.StringIO()
        with redirect_stdout(buf):
            benchlib.row('a\tb', 'line\nbreak', 3)
        self.assertEqual(buf.getvalue(), 'ROW\ta b\tline break\t3\t\n')


class ProbeTest(unittest.TestCase):
    def test_unread_bytes_of_a_socket_seen_from_outside(self):
        server = socket.socket()
        server.bind(('127.0.0.1', 0))
        server.listen()
        client = socket.create_connection(server.getsockname())
        conn, _ = server.accept()
        try:
            probe = benchlib.TcpReceiveQueue(conn.getsockname(), conn.getpeername())
            self.assertEqual(probe.unread(), 0)
            client.sendall(b'x' * 5000)
            deadline = time.monotonic() + 5
            while probe.unread() != 5000 and time.monotonic() < deadline:
                time.sleep(0.01)
            self.assertEqual(probe.unread(), 5000)
            got = 0
            while got < 1000:
                got += len(conn.recv(1000 - got))
            self.assertEqual(probe.unread(), 4000)
            # The other direction of the same connection is another socket.
            reverse = benchlib.TcpReceiveQueue(conn.getpeername(), conn.getsockname())
            self.assertEqual(reverse.unread(), 0)
            probe.close()
            reverse.close()
            client.close()
            conn.close()
            gone = benchlib.TcpReceiveQueue(('127.0.0.1', 1), ('127.0.0.1', 2))
            self.assertRaises(OSError, gone.unread)
            gone.close()
        finally:
            server.close()

    def test_process_cpu_clock_of_another_process(self):
        burner = subprocess.Popen([sys.executable, '-c',
                                   'import time\nend = time.process_time() + 0.3\n'
                                   'while time.process_time() < end: pass\ntime.sleep(30)'])
        try:
            deadline = time.monotonic() + 20
            while benchlib.process_cpu(burner.pid) < 0.3 and time.monotonic() < deadline:
                time.sleep(0.05)
            used = benchlib.process_cpu(burner.pid)
            self.assertGreaterEqual(used, 0.3)
            self.assertLess(used, 5)
            time.sleep(0.2)  # now it sleeps: the clock stands nearly still
            self.assertLess(benchlib.process_cpu(burner.pid) - used, 0.05)
        finally:
            burner.kill()
            burner.wait()


class ShortRunTest(unittest.TestCase):
    """Each benchmark, run briefly, still gives all of its rows."""

    def run_bench(self, script, *args, rows):
        result = subprocess.run([sys.executable, os.path.join(HERE, script)] + list(args),
                                capture_output=True, text=True, timeout=240, cwd=HERE)
        self.assertEqual(result.returncode, 0, result.stderr)
        found = [line.split('\t') for line in result.stdout.splitlines()
                 if line.startswith('ROW\t')]
        self.assertEqual(len(found), rows, result.stdout)
        for cells in found:
            self.assertEqual(len(cells), 5, cells)
            self.assertTrue(cells[1] and cells[2], cells)
        return found

    def test_frame(self):
        # --load: the busy processes start and stop, the loaded row follows.
        found = self.run_bench('bench_frame.py', '--seconds', '0.5', '--count', '20', '--load',
                               rows=5)
        self.assertIn('under load', found[1][1])

    def test_channels(self):
        self.run_bench('bench_channels.py', '--rounds', '2', '--seconds', '0.5', rows=5)

    def test_dashboard(self):
        # kordash's own CPU is measured beside the controller's (the figure is there).
        found = self.run_bench('bench_dashboard.py', '--seconds', '0.5', '--count', '2', rows=3)
        self.assertTrue(found[2][1].startswith('kordash CPU'), found[2])
        self.assertIn('% of a core', found[2][2])
        found = self.run_bench('bench_dashboard_fleet.py', '--controllers', '2', '--seconds', '0.5',
                               '--count', '1', rows=3)
        self.assertTrue(found[0][1].startswith('kordash CPU'), found[0])
        self.assertIn('% of a core', found[0][2])
        self.run_bench('bench_dashboard_attack.py', '--flood-mb', '2', '--count', '1', '--idle', '20',
                       '--slow', '2', '--full', '100', '--parts', 'network', rows=7)
        self.run_bench('bench_dashboard_attack.py', '--seconds', '0.5', '--parts', 'controller,crowd', rows=13)

    def test_plant(self):
        # Two real controllers and a few simulated ones; one of the real ones is killed.
        found = self.run_bench('bench_plant.py', '--real', '2', '--simulated', '4', '--seconds', '1',
                               '--count', '1', '--scrapes', '2', rows=7)
        self.assertIn('6 controllers (2 real, 4 simulated)', found[0][1])
        self.assertNotIn("'reachable'", found[5][4])

    def test_stream_and_modbus(self):
        self.run_bench('bench_stream_modbus.py', '--seconds', '0.5', '--reads', '1', rows=8)
        # The whole cell, then with one peer stuck: the journal holds every
        # command the slots issued, and a send to the stuck peer was blocked throughout.
        found = self.run_bench('bench_cell.py', '--count', '30', rows=11)
        rows = {cells[1].split(': ', 1)[1]: cells for cells in found}
        journal = rows['journal entries vs commands issued']
        recorded, issued = re.match(r'(\d+) of (\d+) \(0 unrecorded\)', journal[2]).groups()
        self.assertEqual(recorded, issued, journal)
        blocked = re.search(r'blocked through (\d+)% of the span', rows['the stuck sends'][4])
        self.assertGreaterEqual(int(blocked.group(1)), 90, rows['the stuck sends'])

    def test_modbus(self):
        found = self.run_bench('bench_modbus.py', '--count', '3', '--fixed-count', '1', rows=4)
        self.assertIn('libmodbus', found[1][4])

    @unittest.skipUnless(os.geteuid() == 0, 'both FTP servers listen on port 21')
    def test_ftp(self):
        found = self.run_bench('bench_ftp.py', '--sizes', '1', '--repeat', '1', rows=1)
        self.assertIn('ratio', found[0][4])

    @unittest.skipUnless(os.geteuid() == 0, 'vsftpd listens on port 21 and needs root')
    def test_tls(self):
        found = self.run_bench('bench_tls.py', '--mib', '1', '--repeat', '1', '--mails', '1',
                               rows=3)
        self.assertIn('ratio', found[0][4])


if __name__ == '__main__':
    unittest.main()
