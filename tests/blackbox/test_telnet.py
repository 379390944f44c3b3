"""TELNETCONNECT (21) against real telnet servers on loopback: inetutils
telnetd under socat (which shows no prompt until its option requests are
answered) and, when installed, busybox telnetd."""
import os
import unittest

from harness import Controller, free_address, observed, start_python_peer, wait_for
import telnetd_peer

FAILED, NO_FREE_HANDLE = 254, 251


def start_server(owner, *extra):
    host = free_address()
    peer = start_python_peer('telnetd_peer.py', '--host', host, *extra, ready='ready',
                             owner=owner)
    return host, int(peer.output().split()[1])


@unittest.skipUnless(os.geteuid() == 0 and os.path.exists(telnetd_peer.TELNETD),
                     'needs root (test account) and inetutils telnetd')
class TelnetLogin(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.vc = Controller(capture='all')

    @classmethod
    def tearDownClass(cls):
        cls.vc.close()

    def connect(self, host, port, password=telnetd_peer.PASSWORD, prompt='$ '):
        return self.vc.call('TELNETCONNECT', addr=host, port=port, timeout=30,
                            field=[telnetd_peer.ACCOUNT, password, prompt])

    def run_shell_command(self, h):
        self.assertEqual(self.vc.call('CLEARDATA', handle=h), 255)
        self.vc.call('SENDDATA', handle=h, bytes="echo hel''lo\r\n")
        # The whole text, not a capture: whether the terminal echoes the command
        # line (which has no "hello" in it) before the answer varies from run to
        # run, and without it the leading star captures nothing.
        code, text = self.vc.call_read('WAITPATTERN', 128, handle=h, bytes='*hello\r\n*', p4=0,
                                       p6=5)
        self.assertGreaterEqual(code, len('hello\r\n'))
        self.assertLessEqual(code, 128)
        self.assertIn(b'hello\r\n', text[:code])

    def test_login_command_and_close(self):
        host, port = start_server(self)
        h = self.connect(host, port)
        self.assertTrue(1 <= h <= 19, h)
        self.addCleanup(self.vc.call, 'CLOSEALL')  # a failure must not leave the channel to the next test
        self.vc.wait_output('TELNETCONNECT result: %d' % h)
        self.run_shell_command(h)
        self.assertNotIn(telnetd_peer.PASSWORD, observed(self.vc, h))
        self.assertEqual(self.vc.call('CLOSEHANDLE', handle=h), 255)

    def test_wrong_password_and_missing_prompt(self):
        host, port = start_server(self)
        self.assertEqual(self.connect(host, port, password='wrong'), FAILED)
        self.vc.wait_output('TELNETCONNECT result: 254')
        self.assertEqual(self.connect(host, port, prompt='NO-SUCH-PROMPT>'), FAILED)

    def test_nothing_listening(self):
        host = free_address()
        self.assertEqual(self.connect(host, 2323), FAILED)

    def test_no_free_channel_closes_the_session(self):
        host, port = start_server(self)
        feed_host = free_address()
        feed = start_python_peer('feed_peer.py', '--host', feed_host, ready='ready', owner=self)
        feed_port = int(feed.output().split()[1])
        opened = []
        self.addCleanup(self.vc.call, 'CLOSEALL')
        for _ in range(19):
            opened.append(self.vc.call('TCPCONNECT', addr=feed_host, port=feed_port))
        self.assertEqual(sorted(opened), list(range(1, 20)))
        self.assertEqual(self.connect(host, port), NO_FREE_HANDLE)
        self.vc.wait_output('TELNETCONNECT result: 251')
        # Once a channel is free again, the log-in works.
        self.assertEqual(self.vc.call('CLOSEHANDLE', handle=opened[0]), 255)
        wait_for(lambda: self.vc.call('CHECKPATTERN', handle=opened[0], bytes='*') == 252,
                 what='channel %d released' % opened[0])
        h = self.connect(host, port)
        self.assertTrue(1 <= h <= 19, h)

    @unittest.skipUnless(telnetd_peer.find_busybox(), 'busybox with telnetd not installed')
    def test_busybox_server(self):
        host, port = start_server(self, '--busybox')
        h = self.connect(host, port)
        self.assertTrue(1 <= h <= 19, h)
        self.run_shell_command(h)
        self.assertEqual(self.vc.call('CLOSEHANDLE', handle=h), 255)


if __name__ == '__main__':
    unittest.main()
