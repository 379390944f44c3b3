"""kordash in a real browser: a headless chromium page against arvokor and
kordash on loopback addresses of their own. Screenshots of every view go to
kordash-screens/ in the build folder."""

import http.client
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

from harness import Controller, free_address, program, unused_port, wait_for
from dashpage import Browser, Kordash, TcpPeer, browser_missing
from testca import TestCA
from webattack import (Held, cpu_seconds, first_snapshot, flood_chunked, flood_headers,
                       memory_limit_kb, peak_rss_kb)
from fake_admin import FakeController

VIEWS = ('channels', 'channel', 'bvars', 'jobs', 'state', 'stream', 'activity', 'traffic', 'console')


def koradmin(vc, *args, timeout=5):
    return subprocess.run([program('koradmin'), '--host', vc.address, '--timeout', str(timeout)] +
                          [str(a) for a in args], capture_output=True, text=True, timeout=timeout + 5)


@unittest.skipIf(browser_missing(), browser_missing())
class DashboardPageTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.vc = Controller(clock0_us=1000)  # a 1 kHz position stream
        with open(os.path.join(cls.vc.jobs_dir, 'WELD1.JBI'), 'w') as f:
            f.write('/JOB\r\n')
        cls.stream_port = 9100  # on kordash's own address
        cls.dash = Kordash(cls.vc, stream_port=cls.stream_port)
        cls.page = Browser()
        cls.page.open(cls.dash.url)
        cls.page.wait_text('link-state', 'reachable')

    @classmethod
    def tearDownClass(cls):
        cls.page.close()
        code = cls.dash.stop()
        cls.vc.close()
        assert code == 0, 'kordash ended with %s:\n%s' % (code, cls.dash.output())

    def setUp(self):
        self.page.view('channels')

    def tearDown(self):
        self.assertEqual(self.page.console_errors(), [], 'errors in the browser console')

    def test_controller_stopped_and_started_again(self):
        page = self.page
        self.assertEqual(page.text('version'), '1')
        self.assertIn('admin protocol', page.js('return document.querySelector("header dl").textContent;'))
        self.assertEqual(page.text('controller'), '%s:15000' % self.vc.address)
        self.vc.stop()
        page.wait_text('link-state', 'unreachable', timeout=5)
        self.assertIn('cannot connect', page.text('link-error'))
        self.assertTrue(page.text('no-channels').startswith('unknown (unreachable: cannot connect'))
        page.screenshot('unreachable')
        self.vc.start()
        page.wait_text('link-state', 'reachable', timeout=5)

    def test_admin_port_held_by_another_client(self):
        page = self.page
        peer = TcpPeer()
        self.addCleanup(peer.close)
        handle = self.vc.call('TCPCONNECT', addr=peer.host, port=peer.port)
        page.wait(lambda: handle in page.channels(), what='the channel')
        with socket.create_connection((self.vc.address, 15000)):
            page.wait_text('link-state', 'busy', timeout=5)
            self.assertIn('serves another client', page.text('link-error'))
            # Not "No channel in use." while a channel is open: the page does not know.
            self.assertEqual(page.channels(), {})
            self.assertTrue(page.text('no-channels').startswith('unknown (busy: '), page.text('no-channels'))
            page.screenshot('busy')
        page.wait_text('link-state', 'reachable', timeout=5)
        page.wait(lambda: handle in page.channels(), what='the channel again')
        self.vc.call('CLOSEHANDLE', handle=handle)

    def test_event_stream_refused_then_retried(self):
        page = self.page
        page.js('disconnect();')

        def watch():
            conn = http.client.HTTPConnection(self.dash.host, self.dash.port, timeout=5)
            conn.request('GET', '/api/events')
            return conn.getresponse()  # holds the stream's socket

        streams = []
        self.addCleanup(lambda: [s.close() for s in streams])
        # kordash notices the page's closed stream at one of its next snapshots.
        deadline = time.monotonic() + 10
        while len(streams) < 16 and time.monotonic() < deadline:
            reply = watch()
            if reply.status == 200:
                streams.append(reply)
            else:
                reply.close()
                time.sleep(0.2)
        reply = watch()
        self.assertEqual((len(streams), reply.status, reply.read()),
                         (16, 503, b'too many pages watch this dashboard'))
        page.js('connect();')
        page.wait(lambda: page.text('no-channels').startswith('unknown (kordash refused the live data'),
                  what='the refusal on the page')
        streams.pop().close()
        page.wait(lambda: page.text('no-channels') == 'No channel in use.', timeout=10,
                  what='the page to retry')
        refusals = page.console_errors()  # the browser logs each 503; nothing else may be there
        self.assertTrue(refusals and all('503 (Service Unavailable)' in e['message'] for e in refusals), refusals)

    def test_channel_shown_read_sent_on_and_closed(self):
        page, peer = self.page, TcpPeer()
        self.addCleanup(peer.close)
        handle = self.vc.call('TCPCONNECT', addr=peer.host, port=peer.port)
        self.assertIn(handle, range(1, 20))
        peer.accept()
        shown = page.wait(lambda: page.channels().get(handle), timeout=2, what='the new channel')
        self.assertEqual(shown['peer'], '%s:%d' % (peer.host, peer.port))
        # Told from a telnet session by the command that opened it.
        self.assertEqual(shown['kind'], 'TCP client')
        peer.conn.sendall(b'ready\r\n\x01')
        page.click('#channels tbody tr[data-handle="%d"]' % handle)
        page.wait(lambda: page.text('queue-count') == '8', what='the queued bytes')
        self.assertIn('72 65 61 64 79 0d 0a 01', page.text('queue-hex'))
        self.assertTrue(page.text('queue-text').startswith('ready'))
        page.js('document.getElementById("send-text").value = arguments[0];', r'go\r\n\x7f')
        page.click('#btn-send')
        self.assertEqual(peer.receive(5), b'go\r\n\x7f')
        page.wait_text('channel-result', 'send: 5 bytes sent')
        page.screenshot('channel')
        page.click('#btn-clear')
        page.wait(lambda: page.text('queue-count') == '0', what='the queue to be cleared')
        page.click('#btn-close')
        self.assertIn('Close channel %d?' % handle, page.text('close-question'))
        page.click('#btn-close-no')
        time.sleep(0.7)  # two refreshes
        self.assertIn(handle, page.channels(), 'kept open when the engineer says no')
        page.click('#btn-close')
        page.click('#btn-close-yes')
        page.wait_text('channel-result', 'close: done')
        page.wait(lambda: handle not in page.channels(), timeout=5, what='the channel to go')
        self.assertEqual(peer.receive(1), b'', 'the controller closed the connection')
        self.assertNotIn(str(handle), koradmin(self.vc, 'handles').stdout.split(','))
        # The next channel likely gets the closed one's descriptor: its peer
        # is its own, not the one kordash remembered for that descriptor.
        other = TcpPeer()
        self.addCleanup(other.close)
        handle = self.vc.call('TCPCONNECT', addr=other.host, port=other.port)
        self.assertIn(handle, range(1, 20))
        shown = page.wait(lambda: page.channels().get(handle), timeout=2, what='the next channel')
        self.assertEqual(shown['peer'], '%s:%d' % (other.host, other.port))
        self.vc.call('CLOSEHANDLE', handle=handle)

    def test_b_variable_edited_in_place_and_set_by_the_job(self):
        page = self.page
        page.view('bvars')
        page.js('document.getElementById("b-start").value = 300;'
                'document.getElementById("b-count").value = 20;')
        page.click('#b-range button')
        self.vc.set('B305', 42)
        page.wait(lambda: page.js('const e = document.getElementById("b305"); return e && e.value;') == '42',
                  what='B305 set by the job')
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys
        cell = page.driver.find_element(By.ID, 'b310')
        cell.clear()
        cell.send_keys('201', Keys.ENTER)
        page.wait_text('b-result', 'B310: done')
        self.assertEqual(self.vc.get('B310'), 201)
        # The page's input limits are the ones kordash keeps.
        self.assertEqual(page.js('return [document.getElementById("b-count").max,'
                                 ' document.getElementById("var-count").max];'), ['1000', '200'])
        page.screenshot('bvars')

    def test_position_stream_plotted(self):
        page = self.page
        page.view('stream')
        self.vc.robot_pos(0, 100000, 200000, 300000, 0, 0, 0)
        self.assertEqual(self.vc.call('POSSTREAMCONFIG', p4=0, p5=0, p6=0), 1)
        self.assertEqual(self.vc.call('POSSTREAMSTART', addr=self.dash.host, p0=self.stream_port), 1)
        figures = lambda: (int(page.text('stream-points')), int(page.text('stream-datagrams')))  # noqa: E731
        first = page.wait(lambda: figures()[0] > 0 and figures(), what='plotted points')
        page.wait(lambda: figures()[0] > first[0] and figures()[1] > first[1], what='the plot to grow')
        page.wait(lambda: int(page.text('stream-rate')) > 300, what='the datagram rate')
        self.assertIn('X 100000  Y 200000  Z 300000', page.text('stream-last'))
        page.screenshot('stream')
        self.assertEqual(self.vc.call('POSSTREAMSTOP'), 1)
        page.wait_text('stream-rate', '0', timeout=5)
        stopped = figures()
        time.sleep(0.7)  # two refreshes: nothing more may arrive
        self.assertEqual(figures(), stopped)
        # Every datagram is counted, a few of them become points.
        self.assertLess(stopped[0] * 5, stopped[1])
        gaps = int(page.text('stream-gaps'))  # 0, unless a loaded machine dropped some
        # Numbers 3 and 4 missing: two lost records.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for seq in (0, 1, 2, 5):
                s.sendto(struct.pack('>BBH7i', seq, 9, 1, 7, 8, 9, 0, 0, 0, 0),
                         (self.dash.host, self.stream_port))
        page.wait(lambda: figures()[1] == stopped[1] + 4, what='the four datagrams')
        page.wait_text('stream-gaps', str(gaps + 2))
        self.assertTrue(page.text('stream-last').startswith('sequence 5, I/O byte 9, figure 1\nX 7  Y 8  Z 9'))

    def test_counters_view_figures_charts_and_table(self):
        page = self.page
        page.view('counters')
        page.wait(lambda: not page.js('return document.getElementById("counters-views").hidden;'),
                  what='the counters')
        failed = int(page.text('counters-failure'))
        for _ in range(2):
            self.assertEqual(self.vc.call('TCPCONNECT', addr='127.0.0.1', port=1), 254)
        page.wait(lambda: int(page.text('counters-failure')) == failed + 2, timeout=5, what='two more failures')
        rows = page.js('return Array.from(document.querySelectorAll("#counters-table tbody tr"))'
                       '.map(tr => Array.from(tr.cells).map(c => c.textContent));')
        self.assertTrue(any(r[:3] == ['TCPCONNECT', 'failure', '254 failed'] and int(r[3]) >= 2 for r in rows), rows)
        # Charted as failures per second between two readings.
        page.wait(lambda: page.js('return Chart.getChart("counters-commands-chart").data.datasets[2].data'
                                  '.some(p => p.y > 0);'), what='the failures charted')
        page.screenshot('counters')

    def test_koradmin_keeps_its_turn(self):
        for _ in range(3):
            started = time.monotonic()
            result = koradmin(self.vc, 'version', timeout=1)
            self.assertEqual((result.returncode, result.stdout), (0, '1\n'), result.stderr)
            self.assertLess(time.monotonic() - started, 2)

    def telnet_session(self):
        """TELNETCONNECT to a log-in played by a thread of the test: the channel's handle."""
        server = TcpPeer()
        self.addCleanup(server.close)

        def log_in():
            conn = server.accept()
            for prompt in (b'login: ', b'Password: '):
                conn.sendall(prompt)
                answer = b''
                while not answer.endswith(b'\r\n'):
                    answer += conn.recv(64) or b'\r\n'
            conn.sendall(b'$ ')
        thread = threading.Thread(target=log_in, daemon=True)
        thread.start()
        handle = self.vc.call('TELNETCONNECT', addr=server.host, port=server.port, timeout=10,
                              field=['robot', 'secret', '$ '])
        thread.join(5)
        return handle

    def test_views_and_screenshots(self):
        page, peer = self.page, TcpPeer()
        self.addCleanup(peer.close)
        self.addCleanup(self.vc.call, 'CLOSEALL')
        handle = self.vc.call('TCPCONNECT', addr=peer.host, port=peer.port)
        peer.accept()
        peer.conn.sendall(b'READY\r\n')
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(('0.0.0.0', 0))
            udp_port = s.getsockname()[1]
        udp = self.vc.call('UDPBIND', addr='127.0.0.1', port=9,  # p1: the port parameter's encoding
                           p1=udp_port if udp_port < 32768 else 32767 - udp_port)
        telnet = self.telnet_session()
        self.assertIn(telnet, range(1, 20))
        page.wait(lambda: len(page.channels()) == 3 and page.channels()[handle]['queued'] == 7,
                  what='three channels')
        # The controller's table has one type for both TCP clients; a UDP
        # channel shows its destination as peer and its bound port as local end.
        page.wait(lambda: page.channels()[telnet]['kind'] == 'telnet', what='the telnet label')
        shown = page.channels()
        self.assertEqual(shown[handle]['kind'], 'TCP client')
        self.assertEqual((shown[udp]['kind'], shown[udp]['peer'], shown[udp]['local']),
                         ('UDP', '127.0.0.1:9', '%s:%d' % (self.vc.address, udp_port)))
        page.screenshot('channels')
        page.view('jobs')
        page.wait(lambda: 'WELD1.JBI' in page.text('jobs'), what='the job list')
        page.js('const f = document.getElementById("ftp-form");'
                'f.server.value = "127.0.0.1"; f.job.value = "WELD1.JBI";')
        page.click('#ftp-form button[value="put"]')
        page.wait(lambda: page.text('ftp-result').startswith('-1: no connection'), timeout=15,
                  what='the transfer result')
        page.screenshot('jobs')
        page.view('state')
        self.vc.set('I5', -1234)
        page.wait(lambda: '-1234' in page.text('vars'), what='I5 on the page')
        # The launcher resets the command variable at once: the last command and
        # what its result means come from the journal.
        page.wait(lambda: 'B100 = 0, last TELNETCONNECT' in page.text('slots'), what='the last command')
        self.assertIn('%d value' % telnet, page.text('slots'))
        page.screenshot('state')

    def journal_rows(self):
        """The table of the last commands, newest first: [[#, time, slot, command, params, result, duration]]."""
        return self.page.js('return Array.from(document.querySelectorAll("#journal tbody tr"))'
                            '.map(tr => Array.from(tr.cells).map(c => c.textContent));')

    def test_activity_timeline_shows_success_failure_and_nothing_yet(self):
        page, vc = self.page, self.vc
        page.view('activity')
        closed = unused_port(vc.address)
        self.assertEqual(vc.call('INFO', p8=1, block=300), 4)
        self.assertEqual(vc.call('TCPCONNECT', addr=vc.address, port=closed), 254)
        peer = TcpPeer()
        self.addCleanup(peer.close)
        handle = vc.call('TCPCONNECT', addr=peer.host, port=peer.port, slot=1)
        peer.accept()
        # Nothing arrives: WAITPATTERN waits out its second.
        self.assertEqual(vc.call('WAITPATTERN', handle=handle, bytes='x', p6=1, slot=1), 253)
        vc.call('CLOSEHANDLE', handle=handle)
        page.wait(lambda: any(r[3] == 'CLOSEHANDLE' for r in self.journal_rows()), what='the commands in the table')
        bars = lambda sel: page.js('return Array.from(document.querySelectorAll(arguments[0]))'  # noqa: E731
                                   '.map(b => b.title);', sel)
        self.assertTrue(any(t.startswith('INFO → 4 value') for t in bars('#timeline .bar.success')))
        self.assertIn('TCPCONNECT → 254 failed, ', '\n'.join(bars('#timeline .bar.failure')))
        # The address parameters read as the address.
        failed = next(r for r in self.journal_rows() if r[3] == 'TCPCONNECT' and r[5].startswith('254'))
        self.assertIn(' %s ' % vc.address, failed[4])
        # A wait that ran out is nothing yet, not a failure.
        self.assertTrue(any(t.startswith('WAITPATTERN → 253') for t in bars('#timeline .bar.empty')))
        lanes = page.js('return Array.from(document.querySelectorAll("#timeline .lane-label")).map(l => l.textContent);')
        self.assertTrue({'slot 0', 'slot 1'} <= set(lanes), lanes)
        # A bar leads to what was asked, what came back and what the console said.
        page.js('Array.from(document.querySelectorAll("#timeline .bar.empty"))'
                '.find(b => b.title.startsWith("WAITPATTERN")).click();')
        self.assertTrue(page.text('jd-title').startswith('WAITPATTERN (command 30)'), page.text('jd-title'))
        self.assertGreaterEqual(int(page.text('jd-duration').split()[0]), 1000)
        self.assertIn('(nothing yet)', page.text('jd-result'))
        self.assertIn('Data available -1', page.text('jd-console'))
        self.assertIn('p8=%d' % handle, page.text('jd-params'))  # the handle
        page.screenshot('activity')
        # Filters: failures only, then one command, then one slot.
        page.click('#f-failures')
        names = {r[3] for r in self.journal_rows()}
        self.assertIn('TCPCONNECT', names)
        self.assertFalse(names & {'INFO', 'CLOSEHANDLE', 'WAITPATTERN'}, names)
        page.click('#f-failures')
        page.js('const s = document.getElementById("f-command"); s.value = "INFO";'
                's.dispatchEvent(new Event("change"));')
        self.assertEqual({r[3] for r in self.journal_rows()}, {'INFO'})
        self.assertEqual(bars('#timeline .bar.failure'), [])
        page.js('const s = document.getElementById("f-command"); s.value = "";'
                'const t = document.getElementById("f-slot"); t.value = "1";'
                't.dispatchEvent(new Event("change"));')
        self.assertEqual([r[3] for r in self.journal_rows()][:2], ['WAITPATTERN', 'TCPCONNECT'])
        self.assertEqual({r[2] for r in self.journal_rows()}, {'1'})
        page.js('document.getElementById("f-slot").value = ""; document.getElementById("f-slot").dispatchEvent(new Event("change"));')

    def test_traffic_captured_shown_both_ways_and_saved(self):
        page, vc, peer = self.page, self.vc, TcpPeer()
        self.addCleanup(peer.close)
        handle = vc.call('TCPCONNECT', addr=peer.host, port=peer.port)
        peer.accept()
        page.wait(lambda: handle in page.channels(), what='the channel')
        page.view('traffic')
        page.js('const s = document.getElementById("traffic-select"); s.value = arguments[0];'
                's.dispatchEvent(new Event("change"));', str(handle))
        page.click('#btn-capture-on')
        page.wait_text('capture-result', 'capture: switched on')
        page.wait(lambda: 'capture on' in page.text('capture-status'), what='capture on')
        self.assertEqual(vc.call('SENDDATA', handle=handle, bytes=b'HELLO\r\n'), 7)
        peer.conn.sendall(b'ok \x00\xff<b>')
        rows = lambda: page.js('return Array.from(document.querySelectorAll("#traffic tbody tr"))'  # noqa: E731
                               '.map(tr => Array.from(tr.cells).map(c => c.textContent));')
        page.wait(lambda: len(rows()) >= 3, what='the conversation')
        opened, sent, received = rows()[-3:]
        self.assertIn('opened: tcp ', opened[1])
        self.assertIn(' %d' % peer.port, opened[1])
        self.assertEqual(sent[1:], ['', '48 45 4c 4c 4f 0d 0a\nHELLO··'])
        self.assertEqual(received[1:], ['6f 6b 20 00 ff 3c 62 3e\nok ··<b>', ''])
        # Bytes from the peer stay text on the page (no markup).
        self.assertEqual(page.js('return document.querySelectorAll("#traffic b").length;'), 0)
        page.screenshot('traffic')
        # The download is the same conversation as a pcapng file.
        href = page.js('return document.getElementById("pcap-download").href;')
        with urllib.request.urlopen(href, timeout=10) as reply:
            data = reply.read()
            self.assertIn('attachment', reply.headers['Content-Disposition'])
        self.assertEqual(data[:4], b'\x0a\x0d\x0d\x0a')
        self.assertIn(b'HELLO\r\n', data)
        self.assertIn(b'ok \x00\xff<b>', data)
        page.click('#btn-capture-off')
        page.wait(lambda: 'capture off' in page.text('capture-status'), what='capture off')
        peer.conn.sendall(b'unseen')
        time.sleep(1.5)  # the next read of the capture
        self.assertNotIn('unseen', '\n'.join(c for r in rows() for c in r))
        # Once the channel is closed, what was said on it stays on the page.
        vc.call('CLOSEHANDLE', handle=handle)
        page.wait(lambda: page.js('return document.getElementById("traffic-select").selectedOptions[0].text;')
                  == '%d: not in use' % handle, what='the channel closed')
        self.assertIn('HELLO··', '\n'.join(c for r in rows() for c in r))

    def test_console_live_and_filtered(self):
        page, vc = self.page, self.vc
        page.view('console')
        self.assertEqual(vc.call('INFO', p8=1, block=300), 4)
        page.wait(lambda: 'Info - ArvoKOR command, Param:1 Ret:110' in page.text('console-lines'),
                  what='the console line')
        page.js('const f = document.getElementById("console-filter"); f.value = "ret:110";'
                'f.dispatchEvent(new Event("input"));')
        lines = page.text('console-lines').split('\n')
        self.assertTrue(lines and all('Info - ArvoKOR command' in line for line in lines), lines)
        self.assertRegex(lines[-1], r'^\d\d:\d\d:\d\d\.\d{3}  \S+ +Info - ')
        page.js('const f = document.getElementById("console-filter"); f.value = "";'
                'f.dispatchEvent(new Event("input"));')
        page.wait(lambda: 'Waiting on TCP connection' in page.text('console-lines'), what='every line again')
        page.screenshot('console')


@unittest.skipIf(browser_missing(), browser_missing())
class JournalGapTest(unittest.TestCase):

    def test_entries_overwritten_while_the_port_was_held_are_counted(self):
        vc = Controller(journal=4)
        self.addCleanup(vc.close)
        for _ in range(6):
            vc.call('INFO', p8=1, block=300)
        dash = Kordash(vc, state=False)
        self.addCleanup(dash.stop)
        with Browser() as page:
            page.open(dash.url)
            page.view('activity')
            seqs = lambda: [int(r[0]) for r in page.js(  # noqa: E731
                'return Array.from(document.querySelectorAll("#journal tbody tr"))'
                '.map(tr => Array.from(tr.cells).map(c => c.textContent));')]
            # Overwritten before kordash ever read them: not missed by it.
            page.wait(lambda: seqs() == [6, 5, 4, 3], what='the four entries the controller keeps')
            self.assertNotIn('missed', page.text('journal-status'))
            with socket.create_connection((vc.address, 15000)):  # kordash cannot read meanwhile
                page.wait_text('link-state', 'busy', timeout=5)
                for _ in range(6):
                    vc.call('INFO', p8=1, block=300)
            page.wait(lambda: seqs()[:5] == [12, 11, 10, 9, 6], timeout=10, what='the newest four after a gap')
            self.assertIn('2 commands missed', page.text('journal-status'))
            self.assertEqual(page.console_errors(), [])


@unittest.skipIf(browser_missing(), browser_missing())
class ManyControllersTest(unittest.TestCase):
    """One kordash for three controllers: two running, one stopped (its state
    file alone, where the job's command numbers stay in the slots)."""

    def overview(self, page):
        """{name: [cells]} as the overview table shows it."""
        return {r[0]: r[1:] for r in page.js(
            'return Array.from(document.querySelectorAll("#controllers tbody tr"))'
            '.map(tr => Array.from(tr.cells).map(c => c.textContent));')}

    def test_overview_rows_lead_to_each_controllers_views(self):
        cells = [Controller(), Controller(), Controller(start=False)]
        for vc in cells:
            self.addCleanup(vc.close)
        cells[2].set('B100', 1, 'B101', 99, 'B102', 35)
        listing = os.path.join(cells[2].dir, 'controllers')
        with open(listing, 'w') as f:
            f.write('# the cells of line 3\n%s cell1\n%s:15000 cell2\n\n%s cell3 %s\n'
                    % (cells[0].address, cells[1].address, cells[2].address, cells[2].state_path))
        dash = Kordash(listing)
        self.addCleanup(dash.stop)
        peer = TcpPeer()
        self.addCleanup(peer.close)
        handle = cells[1].call('TCPCONNECT', addr=peer.host, port=peer.port)
        with Browser() as page:
            page.open(dash.url)
            idle = ['%s:15000' % cells[0].address, 'reachable', '0', '0', '0', '0']
            rows = page.wait(lambda: (lambda o: len(o) == 3 and o['cell2'][2] == '1' and o['cell1'] == idle and o)(
                self.overview(page)), what='three rows, one channel on cell2, counters read on cell1')
            self.assertTrue(rows['cell3'][1].startswith('unreachable: cannot connect'), rows['cell3'])
            self.assertEqual(rows['cell3'][2:], ['unknown', '—', '—', '—'])
            # A failed command reaches its row from the controller's counters.
            self.assertEqual(cells[0].call('TCPCONNECT', addr='127.0.0.1', port=1), 254)
            rows = page.wait(lambda: (lambda o: o['cell1'][4] == '1' and o)(self.overview(page)), timeout=5,
                             what="cell1's failure in its row")
            self.assertGreater(float(rows['cell1'][3]), 0)
            page.screenshot('overview')

            page.click('#controllers tbody tr[data-index="2"] a')
            page.wait(lambda: page.js('return location.search;') == '?c=2', what="cell3's page")
            self.assertFalse(page.js('return document.getElementById("overview-link").hidden;'))
            page.view('state')
            page.wait(lambda: 'TCPCONNECT' in (page.text('slots') or ''), what='the slots')
            self.assertEqual(page.js('return Array.from(document.querySelectorAll("#slots tbody tr"))'
                                     '.map(tr => tr.cells[1].textContent);'),
                             ['B100 = 1 TCPCONNECT', 'B101 = 99', 'B102 = 35 MODBUSWRITE', 'B103 = 0'])

            page.open(dash.url + '?c=1')
            page.wait(lambda: handle in page.channels(), what="cell2's channel")
            self.assertEqual(page.text('controller'), '%s:15000' % cells[1].address)
            page.screenshot('overview-cell2')

        # An action goes to the controller it names, and only there.
        def post(query, fields):
            conn = http.client.HTTPConnection(dash.host, dash.port, timeout=5)
            try:
                conn.request('POST', '/api/b' + query, json.dumps(fields), {'X-Kordash': '1'})
                reply = conn.getresponse()
                return reply.status, reply.read().decode()
            finally:
                conn.close()
        self.assertEqual(post('?c=1', {'index': 301, 'value': 55})[0], 200)
        self.assertEqual((cells[0].get('B301'), cells[1].get('B301')), (0, 55))
        for query in ('', '?c=3', '?c=-1', '?c=1x'):
            self.assertEqual(post(query, {'index': 301, 'value': 1}), (404, 'no such controller'), query)

        # The stopped controller is retried, and its row follows.
        with Browser() as page:
            page.open(dash.url)
            page.wait(lambda: self.overview(page).get('cell3', ['', ''])[1].startswith('unreachable'), what='cell3')
            cells[2].start()
            page.wait(lambda: self.overview(page)['cell3'][1] == 'reachable', timeout=10, what='cell3 reachable')
        # Ends cleanly (under the sanitizers: no leak) with every dashboard stopped.
        self.assertEqual(dash.stop(), 0, dash.output())


def kordash_run(*args):
    return subprocess.run([program('kordash')] + list(args), capture_output=True, text=True, timeout=10)


class TokenTest(unittest.TestCase):

    def test_arguments_checked_at_start(self):
        result = kordash_run('--controller', '127.0.0.1', '--listen', '0.0.0.0:8015')
        self.assertEqual(result.returncode, 2)
        self.assertIn('--token-file', result.stderr)
        result = kordash_run('--controller', 'cell1')
        self.assertEqual((result.returncode, result.stdout), (2, ''))
        self.assertIn("--controller takes a dotted IPv4 address, not 'cell1'", result.stderr)
        listing = os.path.join(tempfile.mkdtemp(), 'controllers')
        with open(listing, 'w') as f:
            f.write('127.0.0.1 cell1\n127.0.0.2:99999 cell2\n')
        for args, message in (
                (('--controller', '127.0.0.1', '--controller', '127.0.0.2', '--state', 'x'),
                 '--state and --stream-port are for one controller'),
                (('--controller', '127.0.0.1:0'), "--controller port must be a port number 1..65535, not '0'"),
                (('--controllers', listing), "%s:2 port must be a port number 1..65535, not '99999'" % listing),
                (('--controllers', listing + '.missing'), 'cannot read the controllers file')):
            result = kordash_run(*args)
            self.assertEqual((result.returncode, result.stdout), (2, ''), args)
            self.assertIn(message, result.stderr)

    def test_second_kordash_on_the_same_address_refused(self):
        vc = Controller(start=False)
        self.addCleanup(vc.close)
        dash = Kordash(vc, state=False)
        self.addCleanup(dash.stop)
        result = kordash_run('--controller', vc.address, '--listen', '%s:%d' % (dash.host, dash.port))
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr, 'kordash: cannot listen on %s:%d: in use\n' % (dash.host, dash.port))

    def test_requests_need_the_cookie(self):
        vc = Controller()
        self.addCleanup(vc.close)
        token = os.path.join(tempfile.mkdtemp(), 'token')
        with open(token, 'w') as f:
            f.write('correct horse battery staple\n')
        dash = Kordash(vc, token_file=token, state=False)
        self.addCleanup(dash.stop)
        for path in ('', 'app.js', 'api/events'):
            with self.assertRaises(urllib.error.HTTPError) as caught:
                urllib.request.urlopen(dash.url + path, timeout=5)
            self.assertEqual(caught.exception.code, 401, path)
        login = urllib.request.Request(dash.url + 'login', data=b'token=correct+horse+battery+staple')
        opener = urllib.request.build_opener(NoRedirect)
        with self.assertRaises(urllib.error.HTTPError) as caught:
            opener.open(login, timeout=5)
        self.assertEqual(caught.exception.code, 303)
        cookie = caught.exception.headers['Set-Cookie'].split(';')[0]
        self.assertNotIn('horse', cookie)
        page = urllib.request.Request(dash.url, headers={'Cookie': cookie})
        with urllib.request.urlopen(page, timeout=5) as reply:
            self.assertIn(b'kordash', reply.read())


    def test_failed_log_in_pauses_only_its_own_address(self):
        vc = Controller(start=False)
        self.addCleanup(vc.close)
        token = os.path.join(tempfile.mkdtemp(), 'token')
        with open(token, 'w') as f:
            f.write('correct horse battery staple\n')
        dash = Kordash(vc, token_file=token, state=False)
        self.addCleanup(dash.stop)
        guesser, engineer = free_address(), free_address()

        def log_in(source, token):
            conn = http.client.HTTPConnection(dash.host, dash.port, timeout=5, source_address=(source, 0))
            conn.request('POST', '/login', body='token=' + token,
                         headers={'Content-Type': 'application/x-www-form-urlencoded'})
            status = conn.getresponse().status
            conn.close()
            return status

        self.assertEqual([log_in(guesser, 'wrong'), log_in(guesser, 'wrong')], [401, 429])
        self.assertEqual(log_in(engineer, 'correct+horse%20battery+staple'), 303)
        # Addresses that failed before share 60 tries a minute: after 60 failures from
        # fresh addresses the guesser waits past its own second, while an address that
        # never failed still has its try.
        time.sleep(1.1)
        crowd = [log_in(free_address(), 'wrong') for _ in range(60)]
        self.assertEqual(crowd, [401] * 60)
        self.assertEqual(log_in(guesser, 'wrong'), 429)
        self.assertEqual(log_in(free_address(), 'wrong'), 401)
        self.assertEqual(log_in(free_address(), 'correct+horse%20battery+staple'), 303)


class HttpsTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.host = free_address()
        cls.ca = TestCA(tempfile.mkdtemp(), cls.host)

    @unittest.skipIf(browser_missing(), browser_missing())
    def test_log_in_and_page_over_https(self):
        vc = Controller()
        self.addCleanup(vc.close)
        token = os.path.join(self.ca.dir, 'token')
        with open(token, 'w') as f:
            f.write('correct horse battery staple\n')
        dash = Kordash(vc, state=False, host=self.host, tls=self.ca, token_file=token)
        self.addCleanup(dash.stop)
        self.assertTrue(dash.url.startswith('https://'))
        with Browser(home=self.ca.browser_home()) as page:  # trusts the test CA, and no other
            page.open(dash.url)
            page.wait(lambda: page.js('return !!document.querySelector("input[name=token]");'),
                      what='the log-in page')
            page.js('document.querySelector("input[name=token]").value = arguments[0];'
                    'document.querySelector("form").submit();', 'correct horse battery staple')
            page.wait_text('link-state', 'reachable')
            self.assertEqual(page.js('return location.protocol;'), 'https:')
            # The log-in page itself comes with a 401; nothing else may fail.
            errors = [e for e in page.console_errors() if '401 (Unauthorized)' not in e['message']]
            self.assertEqual(errors, [])
            page.screenshot('https')
        # Plain HTTP on the HTTPS port gets no page.
        with self.assertRaises((http.client.HTTPException, ConnectionError)):
            conn = http.client.HTTPConnection(dash.host, dash.port, timeout=5)
            conn.request('GET', '/')
            conn.getresponse().read()

    def test_half_open_handshakes_cost_no_cpu_and_end_soon(self):
        vc = Controller(start=False)
        self.addCleanup(vc.close)
        token = os.path.join(self.ca.dir, 'token')
        with open(token, 'w') as f:
            f.write('correct horse battery staple\n')
        dash = Kordash(vc, state=False, host=self.host, tls=self.ca, token_file=token)
        self.addCleanup(dash.stop)
        held = Held()
        self.addCleanup(held.close)
        held.partial(dash.host, dash.port, 5, b'\x16')  # the first byte of a ClientHello
        cpu = cpu_seconds(dash.proc.pid)
        time.sleep(2)
        self.assertLess(cpu_seconds(dash.proc.pid) - cpu, 0.3)
        self.assertEqual(held.ended(6), 5, 'the half-open handshakes closed')
        status, _ = self._get(dash, '/login')
        self.assertEqual(status, 200)

    def _get(self, dash, path):
        import ssl
        context = ssl.create_default_context(cafile=self.ca.ca_cert)
        conn = http.client.HTTPSConnection(dash.host, dash.port, timeout=5, context=context)
        try:
            conn.request('GET', path)
            reply = conn.getresponse()
            return reply.status, reply.read()
        finally:
            conn.close()

    def test_wrong_files_refused_at_start(self):
        other = TestCA(tempfile.mkdtemp(), self.host)
        for cert, key, reason in (
                (self.ca.cert, other.key, 'The certificate and the given key do not match'),
                (self.ca.key, self.ca.key, 'cannot serve HTTPS with the certificate ' + self.ca.key),
                (self.ca.cert, '/nonexistent/key.pem', 'cannot read the key file /nonexistent/key.pem')):
            result = kordash_run('--controller', '127.0.0.1', '--listen', self.host + ':8015',
                                 '--tls-cert', cert, '--tls-key', key)
            self.assertEqual((result.returncode, result.stdout), (2, ''), result.stderr)
            self.assertIn(reason, result.stderr)
        result = kordash_run('--controller', '127.0.0.1', '--tls-cert', self.ca.cert)
        self.assertEqual(result.returncode, 2)
        self.assertIn('--tls-cert FILE and --tls-key FILE go together', result.stderr)

    def test_plain_http_beyond_loopback_warns(self):
        token = os.path.join(self.ca.dir, 'token2')
        with open(token, 'w') as f:
            f.write('correct horse battery staple\n')
        # Ends at the missing state file, before it listens anywhere.
        result = kordash_run('--controller', '127.0.0.1', '--listen', '0.0.0.0:8015', '--token-file', token,
                             '--state', '/nonexistent/state')
        self.assertEqual(result.returncode, 1)
        self.assertIn('warning: serving plain HTTP on 0.0.0.0: the token and the session travel in clear',
                      result.stderr)


class HostileControllerTest(unittest.TestCase):
    """One controller of two answers wrongly (tests/peers/fake_admin.py): its
    page says so and it is counted, while the healthy one's page, actions and
    series go on, and kordash stays small and stops at once."""

    @classmethod
    def setUpClass(cls):
        cls.vc = Controller()
        cls.fake = FakeController(free_address())
        cls.folder = tempfile.mkdtemp()
        listing = os.path.join(cls.folder, 'controllers')
        with open(listing, 'w') as f:
            f.write('%s healthy\n%s fake\n' % (cls.vc.address, cls.fake.address))
        cls.dash = Kordash(listing)

    @classmethod
    def tearDownClass(cls):
        code = cls.dash.stop()
        cls.fake.close()
        cls.vc.close()
        shutil.rmtree(cls.folder, ignore_errors=True)
        assert code == 0, 'kordash ended with %s:\n%s' % (code, cls.dash.output())

    def get(self, path, timeout=10, source=None):
        conn = http.client.HTTPConnection(self.dash.host, self.dash.port, timeout=timeout,
                                          source_address=(source, 0) if source else None)
        try:
            conn.request('GET', path)
            reply = conn.getresponse()
            return reply.status, reply.read()
        finally:
            conn.close()

    def healthy_still_served(self, value):
        """The healthy controller's page, an action on it and its series."""
        started = time.monotonic()
        snap = first_snapshot(self.dash.host, self.dash.port, '/api/events?c=0', free_address())
        self.assertEqual(snap['link'], 'reachable')
        self.assertLess(time.monotonic() - started, 2.5)
        conn = http.client.HTTPConnection(self.dash.host, self.dash.port, timeout=10)
        conn.request('POST', '/api/b?c=0', json.dumps({'index': 302, 'value': value}),
                     {'X-Kordash': '1', 'Content-Type': 'application/json'})
        reply = conn.getresponse()
        self.assertEqual((reply.status, json.loads(reply.read())['ok']), (200, True))
        conn.close()
        self.assertEqual(self.vc.get('B302'), value)
        status, text = self.get('/metrics')
        self.assertEqual(status, 200)
        self.assertIn(b'arvokor_up{controller="healthy"} 1\n', text)
        if shutil.which('promtool'):
            check = subprocess.run(['promtool', 'check', 'metrics'], input=text, capture_output=True, timeout=30)
            self.assertEqual((check.returncode, check.stdout + check.stderr), (0, b''), text[:2000])
        return text

    def fake_page(self, accept, what, timeout=10):
        """Snapshots of the fake controller's page until accept(snapshot)."""
        deadline = time.monotonic() + timeout
        snap = None
        while time.monotonic() < deadline:
            snap = first_snapshot(self.dash.host, self.dash.port, '/api/events?c=1&logs=journal,console',
                                  free_address())
            if accept(snap):
                return snap
            time.sleep(0.3)
        raise AssertionError('%s: the last snapshot was %s' % (what, json.dumps(snap)[:2000]))

    def test_wrong_replies_refused_said_and_counted(self):
        self.fake.mode = 'healthy'
        self.fake_page(lambda s: s['link'] == 'reachable', 'the fake healthy at first')
        value = 1
        # A trickle that pauses (a loaded machine) ends the list early: it is not understood.
        for mode, said in (('trickle', ('did not end within', 'job list reply is not understood')),
                           ('flood', ('longer than the 4095 bytes',)),
                           ('oversize', ('beyond the 65536 bytes',)), ('absurd', ('refused',)),
                           ('silence', ('no reply within',))):
            self.fake.mode = mode
            before = self.fake_page(lambda s: True, 'a snapshot')['refused']
            snap = self.fake_page(lambda s: any(text in s.get('error', '') for text in said), mode)
            self.assertEqual(snap['link'], 'busy' if mode == 'silence' else 'misbehaving', mode)
            if mode != 'silence':
                self.assertGreater(snap['refused'], before, mode)
            value += 1
            text = self.healthy_still_served(value)
            self.assertIn(b'arvokor_up{controller="fake"} 0\n', text, mode)
            if mode != 'silence':
                self.assertRegex(text.decode(), r'arvokor_replies_refused_total\{controller="fake"\} [1-9]')
        # Kept logs are bounded per entry: nothing of the 256 KiB lines was kept.
        for log in ('journal', 'console'):
            status, body = self.get('/api/%s?c=1&after=0' % log)
            self.assertEqual(status, 200)
            self.assertLess(len(body), 4096, log)
        self.fake.mode = 'absurd'  # the same console line on every read is kept once at most
        time.sleep(2.5)
        items = json.loads(self.get('/api/console?c=1&after=0')[1])['items']
        self.assertLessEqual(len(items), 1, items)
        self.assertLess(peak_rss_kb(self.dash.proc.pid), memory_limit_kb(128 << 10))

    def test_labels_from_closed_sets(self):
        self.fake.mode = 'utf8'
        self.fake_page(lambda s: s['link'] == 'reachable', 'the fake read')
        deadline = time.monotonic() + 10
        while b'kind="other"' not in self.get('/metrics')[1] and time.monotonic() < deadline:
            time.sleep(0.3)
        text = self.healthy_still_served(77)
        self.assertIn(b'arvokor_up{controller="fake"} 1\n', text)
        self.assertIn(b'arvokor_channels_opened_total{controller="fake",kind="other"} 2000\n', text)
        # 2000 kinds are one series: the fake has no more series than the healthy controller.
        fake, healthy = text.count(b'controller="fake"'), text.count(b'controller="healthy"')
        self.assertLessEqual(fake, healthy + 10, (fake, healthy))
        # Console text that is not UTF-8 reaches the page as replacement characters.
        self.fake_page(lambda s: s.get('logs', {}).get('console', {}).get('last', 0) > 0, 'the console read')
        items = json.loads(self.get('/api/console?c=1&after=0')[1])['items']
        self.assertIn('caf\ufffd \ufffd\ufffd', [i['text'] for i in items])

    def test_scrapes_do_not_wait_on_a_silent_controller(self):
        self.fake.mode = 'silence'
        self.fake_page(lambda s: s['link'] == 'busy', 'the fake silent')
        results = []

        def scrape():
            started = time.monotonic()
            status, _ = self.get('/metrics')
            results.append((status, time.monotonic() - started))

        scrapers = [threading.Thread(target=scrape) for _ in range(8)]
        for t in scrapers:
            t.start()
        self.healthy_still_served(99)
        for t in scrapers:
            t.join(10)
        self.assertEqual([r[0] for r in results], [200] * 8)
        self.assertLess(max(r[1] for r in results), 2.0, results)  # each waited 2.5 s before


class CaptureFloodTest(unittest.TestCase):

    def test_a_ring_of_one_byte_datagrams_is_read_in_pages(self):
        from chanpeers import encode_port
        vc = Controller(capture='all', capture_bytes=4 << 20)
        self.addCleanup(vc.close)
        local = unused_port(vc.address, socket.SOCK_DGRAM)
        sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(sender.close)
        sender.bind((free_address(), 0))
        handle = vc.call('UDPBIND', addr=sender.getsockname()[0], port=sender.getsockname()[1],
                         p1=encode_port(local))
        dash = Kordash(vc, state=False)
        self.addCleanup(dash.stop)
        path = '/api/events?capture=%d' % handle

        def captured():
            return first_snapshot(dash.host, dash.port, path).get('logs', {}).get(
                'capture', {}).get('count', 0)

        # Anyone may send: bursts until the ring holds over 100 000 17-byte
        # records (what the socket buffer drops while a sanitizer build
        # receives slowly is sent again by the next burst).
        deadline = time.monotonic() + 180
        while captured() <= 100000:
            self.assertLess(time.monotonic(), deadline, 'the ring never filled')
            for _ in range(50000):
                sender.sendto(b'x', (vc.address, local))
        url = dash.url + 'api/capture?channel=%d' % handle
        started = time.monotonic()
        with urllib.request.urlopen(url, timeout=10) as reply:
            page = json.loads(reply.read())
        self.assertLess(time.monotonic() - started, 2)
        self.assertEqual(len(page['records']), 500)  # the newest page only
        self.assertGreater(page['count'], 100000)
        with urllib.request.urlopen(dash.url + 'api/capture.pcapng?channel=%d' % handle, timeout=30) as reply:
            self.assertIn('attachment', reply.headers['Content-Disposition'])
            self.assertEqual(reply.read(4), b'\x0a\x0d\x0d\x0a')
        self.assertEqual(first_snapshot(dash.host, dash.port, '/api/events')['link'], 'reachable')
        self.assertLess(peak_rss_kb(dash.proc.pid), memory_limit_kb(128 << 10))


class StopTest(unittest.TestCase):

    def test_sigterm_ends_kordash_while_a_controller_trickles(self):
        fake = FakeController(free_address(), mode='trickle')
        self.addCleanup(fake.close)
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder, True)
        listing = os.path.join(folder, 'controllers')
        with open(listing, 'w') as f:
            f.write('%s fake\n' % fake.address)
        dash = Kordash(listing)
        self.addCleanup(dash.stop)
        page = http.client.HTTPConnection(dash.host, dash.port, timeout=5)
        self.addCleanup(page.close)
        page.request('GET', '/api/events')  # a page watches: the job list is read
        wait_for(lambda: fake.hostile, 10, interval=0.01, what='the job list trickling')
        started = time.monotonic()
        dash.proc.send_signal(signal.SIGTERM)
        dash.proc.wait(10)
        self.assertLess(time.monotonic() - started, 2.0)
        self.assertEqual(dash.proc.returncode, 0, dash.output())


class AttackTest(unittest.TestCase):
    """Hostile clients against kordash (no token, loopback): each must fail to
    take it down. The sizes are bounded; bench/bench_dashboard_attack.py
    measures the full-size attacks."""

    @classmethod
    def setUpClass(cls):
        cls.vc = Controller()
        cls.dash = Kordash(cls.vc, state=False)

    @classmethod
    def tearDownClass(cls):
        code = cls.dash.stop()
        cls.vc.close()
        assert code == 0, 'kordash ended with %s after the attacks:\n%s' % (code, cls.dash.output())

    def request(self, method, path, body=None, headers=None, source=None):
        conn = http.client.HTTPConnection(self.dash.host, self.dash.port, timeout=5,
                                          source_address=(source, 0) if source else None)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            reply = conn.getresponse()
            return reply.status, reply.read().decode()
        finally:
            conn.close()

    def post(self, path, fields):
        body = fields if isinstance(fields, str) else json.dumps(fields)
        return self.request('POST', path, body, {'X-Kordash': '1', 'Content-Type': 'application/json'})

    def test_floods_are_cut_off(self):
        status, sent = flood_headers(self.dash.host, self.dash.port, 16 << 20)
        self.assertEqual(status, 431)
        self.assertLess(sent, 16 << 20)
        status, sent = flood_chunked(self.dash.host, self.dash.port, 16 << 20)
        self.assertLess(sent, 16 << 20, 'a chunked body is bounded too')
        body = '{"index":1,"value":1}' + ' ' * 20000
        self.assertEqual(self.post('/api/b', body)[0], 413)
        self.assertLess(peak_rss_kb(self.dash.proc.pid), memory_limit_kb(64 << 10))
        self.assertEqual(self.request('GET', '/')[0], 200)

    def test_held_connections_leave_the_page_reachable(self):
        held = Held(gap=0.5)
        self.addCleanup(held.close)
        for k in range(3):
            held.idle(self.dash.host, self.dash.port, 60, source=free_address())
        held.slow(self.dash.host, self.dash.port, 30, source=free_address())
        flooder = free_address()
        held.idle(self.dash.host, self.dash.port, 110, source=flooder)  # 100 per address
        wait_for(lambda: held.alive() == 310, 10, what='the connections beyond 100 from one address closed')
        for path in ('/', '/login', '/app.js'):
            self.assertEqual(self.request('GET', path)[0], 200, path)

    def test_live_streams_shared_among_addresses(self):
        hog, streams = free_address(), []
        self.addCleanup(lambda: [c.close() for c in streams])

        def watch(source):
            conn = http.client.HTTPConnection(self.dash.host, self.dash.port, timeout=5,
                                              source_address=(source, 0))
            conn.request('GET', '/api/events')
            reply = conn.getresponse()
            streams.append(conn)
            return reply

        # kordash notices another test's closed stream at one of its next snapshots.
        replies, deadline = [], time.monotonic() + 10
        while len(replies) < 16 and time.monotonic() < deadline:
            reply = watch(hog)
            if reply.status == 200:
                replies.append(reply)
            else:
                time.sleep(0.2)
        self.assertEqual(len(replies), 16)
        # A new address gets in: the hog's newest stream is taken back...
        snap = first_snapshot(self.dash.host, self.dash.port, '/api/events', free_address())
        self.assertEqual(snap['link'], 'reachable')
        wait_for(lambda: replies[-1].fp.readline() == b'', 5, what="the hog's newest stream ended")
        # ... and the hog gets no more while it holds most.
        engineer = watch(free_address())
        self.assertEqual(engineer.status, 200)
        self.assertEqual(watch(hog).status, 503)

    def test_crowd_of_addresses_leaves_room_for_a_new_one(self):
        held = Held()
        self.addCleanup(held.close)
        for _ in range(10):
            held.idle(self.dash.host, self.dash.port, 100, source=free_address())
        engineer = free_address()
        started = time.monotonic()
        for path in ('/', '/app.js', '/style.css'):
            self.assertEqual(self.request('GET', path, source=engineer)[0], 200, path)
        first_snapshot(self.dash.host, self.dash.port, '/api/events', engineer)
        self.assertLess(time.monotonic() - started, 5)  # never before
        self.assertLessEqual(held.alive(), 810)
        self.assertLess(peak_rss_kb(self.dash.proc.pid), memory_limit_kb(128 << 10))

    def test_json_fields_checked_before_narrowing(self):
        self.vc.set('B301', 7)
        for path, fields, message in (
                ('/api/b', {'index': 4294967597, 'value': 123}, 'index must be 0..65535'),
                ('/api/b', {'index': 301, 'value': 2 ** 63}, 'value must be 0..255'),
                ('/api/b', {'index': '301', 'value': 1}, 'index must be a whole number'),
                ('/api/b', {'index': 301.0, 'value': 1}, 'index must be a whole number'),
                ('/api/b', '[301, 1]', 'the request body must be a JSON object'),
                ('/api/channel/send', {'handle': 2 ** 32 + 19, 'text': 'x'}, 'handle must be 0..19'),
                ('/api/channel/close', {'handle': [19]}, 'handle must be a whole number'),
                ('/api/ftp/get', {'server': 127001, 'job': 'A.JBI'}, 'server must be a text')):
            self.assertEqual(self.post(path, fields), (400, message), fields)
        self.assertEqual(self.vc.get('B301'), 7)
        self.assertEqual(self.post('/api/b', {'index': 301, 'value': 123})[0], 200)
        self.assertEqual(self.vc.get('B301'), 123)


class NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args):
        return None


if __name__ == '__main__':
    unittest.main()
