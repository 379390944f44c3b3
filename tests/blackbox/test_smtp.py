"""Command 20 (SMTP) end to end: a job's mail reaches a real, authenticating
mail server (aiosmtpd) on loopback, and the server stores what it received."""

import base64
import datetime
import json
import os
import re
import shutil
import tempfile
import unittest

from faultcase import Background
from harness import Controller, free_address, observed, start_python_peer, wait_for
from testpki import NAME, TestPki

USER, PASSWORD = 'robot', 's3cret^1'
SENDER, RECIPIENT = 'robot@cell7.example', 'shift@plant.example'


class MailServer:
    """smtp_server.py with its store directory; events() reads its log."""

    def __init__(self, owner, *args, host=None):
        self.host = host or free_address()
        self.dir = tempfile.mkdtemp(prefix='arvokor-smtp-')
        owner.addCleanup(shutil.rmtree, self.dir, True)
        self.peer = start_python_peer('smtp_server.py', '--host', self.host, '--dir', self.dir,
                                      '--user', USER, '--password', PASSWORD, *args,
                                      ready='READY', owner=owner)
        self.port = int(re.search(r'READY (\d+)', self.peer.output()).group(1))

    def events(self):
        try:
            with open(os.path.join(self.dir, 'events.log')) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def wait_event(self, prefix):
        return wait_for(lambda: any(e.startswith(prefix) for e in self.events()),
                        what='mail server event %r' % prefix)

    def mail(self, n=1):
        with open(os.path.join(self.dir, 'mail-%d.eml' % n), 'rb') as f:
            return f.read()


class SmtpCommandTest(unittest.TestCase):

    def setUp(self):
        self.vc = Controller(hostname='cell7-controller')
        self.addCleanup(self.vc.close)

    def send(self, server, fields, port=None, **params):
        mark = len(self.vc.output())
        code = self.vc.call('SMTP', addr=server.host, port=port or server.port, field=fields,
                            timeout=40, **params)
        if 'p2' not in params:
            self.vc.wait_output('SMTP result: %d\r\n' % code, start=mark)
        return code

    def test_mail_arrives_header_by_header(self):
        server = MailServer(self)
        body = '.Cell 7 stopped\nalarm 4711\nsee log'
        self.assertEqual(self.send(server, [USER, PASSWORD, SENDER, RECIPIENT, body]), 1)
        server.wait_event('CLOSED 1')
        events = server.events()
        self.assertIn('EHLO cell7-controller', events)
        self.assertIn('AUTH LOGIN', events)     # both offered: LOGIN is used
        self.assertIn('QUIT', events)

        head, _, stored_body = server.mail().decode('ascii').partition('\r\n\r\n')
        lines = head.split('\r\n')
        self.assertEqual(len(lines), 9, head)
        date = re.fullmatch(r'Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), ([1-9]|[12]\d|3[01]) '
                            r'(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) (\d{4}) '
                            r'(\d\d):(\d\d):(\d\d) ', lines[0])
        self.assertIsNotNone(date, lines[0])
        stamp = datetime.datetime.strptime(lines[0][6:].strip(), '%a, %d %b %Y %H:%M:%S')
        self.assertLess(abs((datetime.datetime.now() - stamp).total_seconds()), 300)
        self.assertEqual(lines[1:], [
            'From: %s <%s>' % (SENDER, SENDER),
            'X-Mailer: Quorvel',
            'X-Priority: 3 (Normal)',
            'To: %s' % RECIPIENT,
            'Subject: Arvo KOR mail',
            'MIME-Version: 1.0',
            'Content-type: text/plain; charset="US-ASCII"',
            'Content-Transfer-Encoding: 7bit',
        ])
        self.assertEqual(stored_body, body + '\r\n\r\n')
        with open(os.path.join(server.dir, 'mail-1.json')) as f:
            envelope = json.load(f)
        self.assertEqual(envelope, {'mail_from': SENDER, 'rcpt_tos': [RECIPIENT]})

    def test_a_dot_line_in_the_message_cannot_end_the_mail(self):
        server = MailServer(self)
        body = 'first\n.\nMAIL FROM:<evil@example>\nlast'
        self.assertEqual(self.send(server, [USER, PASSWORD, SENDER, RECIPIENT, body]), 1)
        server.wait_event('CLOSED 1')
        self.assertNotIn('MAIL FROM:<evil@example>', server.events())
        stored = server.mail().decode('ascii')
        # The server removes the extra dot only after CR LF; the whole text is there.
        self.assertTrue(stored.endswith('\r\n\r\nfirst\n..\nMAIL FROM:<evil@example>\nlast\r\n\r\n'),
                        stored)

    def test_servers_that_fall_silent_or_break_off_fail_the_mail_in_time(self):
        login = ['send:220 ready\\r\\n', 'line', 'send:250-mail\\r\\n250 AUTH PLAIN\\r\\n',
                 'line', 'send:235 ok\\r\\n']
        to_data = ['line', 'send:250 ok\\r\\n', 'line', 'send:250 ok\\r\\n', 'line',
                   'send:354 go on\\r\\n']
        cases = [(login + to_data + ['data', 'sleep:30'], 253),  # no answer to the end of data
                 (login + to_data + ['close'], 253),             # gone during the message
                 (login + ['line', 'reset'], 253),               # reset at MAIL FROM
                 (['sleep:30'], 254)]                            # no greeting
        runs = []
        for slot, (steps, expected) in enumerate(cases):
            host = free_address()
            log = os.path.join(self.vc.dir, 'script-%d.log' % slot)
            peer = start_python_peer('smtp_script.py', '--host', host, '--log', log, *steps,
                                     ready='READY', owner=self)
            port = int(re.search(r'READY (\d+)', peer.output()).group(1))
            runs.append(Background(self.vc.call, 'SMTP', addr=host, port=port, slot=slot,
                                   timeout=40, field=[USER, PASSWORD, SENDER, RECIPIENT, 'x']))
        for run, (steps, expected) in zip(runs, cases):
            result, seconds = run.join()
            self.assertEqual(result, expected, steps[-1])
            self.assertLess(seconds, 15, steps[-1])  # one wait of 10 s at most
        self.assertEqual(self.send(MailServer(self), [USER, PASSWORD, SENDER, RECIPIENT, 'x']), 1)

    def test_failed_login_gives_254(self):
        server = MailServer(self)
        self.assertEqual(self.send(server, [USER, 'wrong', SENDER, RECIPIENT, 'x']), 254)
        server.wait_event('CLOSED 1')
        self.assertFalse(any(e.startswith('MAIL') for e in server.events()))

    def test_log_in_secrets_are_kept_by_nothing(self):
        """AUTH LOGIN, AUTH PLAIN and an AUTH LOGIN refused after its first 334:
        the capture, the journal and the console keep no answer of the log-in."""
        other = 'Pl41n-pw'  # PLAIN turns the '^' of PASSWORD into a NUL
        encoded = [base64.b64encode(t.encode()).decode() for t in (USER, PASSWORD)]
        plain = base64.b64encode(('\0%s\0%s' % (USER, other)).encode()).decode()
        with self.vc.admin() as admin:
            self.assertTrue(admin.capture('on', 'smtp'))
        for mechanism, password in (('LOGIN', PASSWORD), ('PLAIN', other)):
            server = MailServer(self, '--mechanisms', mechanism, '--password', password)
            self.assertEqual(self.send(server, [USER, password, SENDER, RECIPIENT, 'x']), 1)
        host = free_address()
        steps = ['send:220 ready\\r\\n', 'line', 'send:250-mail\\r\\n250 AUTH LOGIN\\r\\n',
                 'line', 'send:334 VXNlcm5hbWU6\\r\\n', 'line', 'send:535 no\\r\\n', 'close']
        peer = start_python_peer('smtp_script.py', '--host', host, '--log',
                                 os.path.join(self.vc.dir, 'refused.log'), *steps,
                                 ready='READY', owner=self)
        port = int(re.search(r'READY (\d+)', peer.output()).group(1))
        self.assertEqual(self.vc.call('SMTP', addr=host, port=port, timeout=40,
                                      field=[USER, PASSWORD, SENDER, RECIPIENT, 'x']), 254)
        text = observed(self.vc, 'smtp')
        for secret in encoded + [plain, PASSWORD, other]:
            self.assertNotIn(secret, text)
        self.assertIn('S AUTH PLAIN ***\r\n', text)
        # Both answers of the first AUTH LOGIN, the one answer of the refused one.
        self.assertEqual(text.count('S ***\r\n'), 3, text)
        self.assertIn('R 235 ', text)  # the replies are kept

    def test_refused_recipient_gives_253_without_data(self):
        server = MailServer(self, '--refuse-rcpt', RECIPIENT)
        self.assertEqual(self.send(server, [USER, PASSWORD, SENDER, RECIPIENT, 'x']), 253)
        server.wait_event('CLOSED 1')
        events = server.events()
        self.assertIn('RCPT TO:<%s>' % RECIPIENT, events)
        self.assertNotIn('DATA', events)
        self.assertNotIn('QUIT', events)

    def test_address_that_could_inject_a_command_is_refused(self):
        server = MailServer(self)
        sender = 'a@b>\nRCPT TO:<evil@example'
        self.assertEqual(self.send(server, [USER, PASSWORD, sender, RECIPIENT, 'x']), 253)
        server.wait_event('CLOSED 1')
        self.assertFalse(any(e.startswith(('MAIL', 'RCPT')) for e in server.events()))

    def test_fields_are_bounded_one_by_one_and_the_block_by_their_number(self):
        # Fields are read one variable at a time: 128 characters each, so the
        # five fields may span up to 5 x 129 variables.
        server = MailServer(self)
        body = 'B' * 128
        self.assertEqual(self.send(server, [USER, PASSWORD, SENDER, RECIPIENT, body]), 1)
        server.wait_event('CLOSED 1')
        self.assertTrue(server.mail().endswith(body.encode() + b'\r\n\r\n'))

        server = MailServer(self)
        self.assertEqual(self.send(server, [USER, PASSWORD, SENDER, RECIPIENT, 'x'], p2=5 * 129 + 1),
                         253)
        self.assertEqual(server.events(), [])
        self.assertNotIn('SMTP result: 253', self.vc.output())


class SmtpTlsTest(unittest.TestCase):
    """mail_tls: STARTTLS or TLS from the first byte, the server's certificate
    verified against a CA made here; no login ever in clear."""

    def setUp(self):
        self.host = free_address()
        self.dir = tempfile.mkdtemp(prefix='arvokor-pki-')
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.pki = TestPki(self.dir, address=self.host)

    def controller(self, mode, name=NAME):
        settings = dict(mail_tls=mode, tls_ca=self.pki.ca)
        if name:
            settings['mail_tls_name'] = name
        vc = Controller(**settings)
        self.addCleanup(vc.close)
        return vc

    def server(self, mode, cert='good'):
        certificate, key = self.pki.cert(cert)
        return MailServer(self, '--tls', mode, '--tls-cert', certificate, '--tls-key', key,
                          host=self.host)

    def send(self, vc, server):
        return vc.call('SMTP', addr=server.host, port=server.port, timeout=40,
                       field=[USER, PASSWORD, SENDER, RECIPIENT, 'over TLS'])

    def test_starttls_then_login_inside_it(self):
        vc = self.controller('starttls')
        server = self.server('starttls')
        self.assertEqual(self.send(vc, server), 1)
        server.wait_event('CLOSED 1')
        events = server.events()
        self.assertEqual([e for e in events if e.startswith(('EHLO', 'STARTTLS', 'TLS', 'AUTH'))],
                         ['EHLO arvokor-vc', 'STARTTLS', 'TLS 1', 'EHLO arvokor-vc', 'AUTH LOGIN'])
        self.assertTrue(server.mail().endswith(b'over TLS\r\n\r\n'))

    def test_tls_from_the_first_byte_verified_by_address(self):
        vc = self.controller('tls', name=None)   # the certificate carries the address
        server = self.server('implicit')
        self.assertEqual(self.send(vc, server), 1)
        server.wait_event('CLOSED 1')
        self.assertEqual(server.events()[:2], ['CONNECT 1', 'TLS 1'])
        self.assertTrue(server.mail().endswith(b'over TLS\r\n\r\n'))
        other = self.server('implicit', 'other_name')   # a name only, not the address
        self.assertEqual(self.send(vc, other), 254)
        vc.wait_output('refused: name mismatch')

    def test_server_without_starttls_never_sees_the_login(self):
        vc = self.controller('starttls')
        server = MailServer(self, host=self.host)   # offers AUTH in clear, no STARTTLS
        self.assertEqual(self.send(vc, server), 254)
        vc.wait_output('offers no STARTTLS')
        server.wait_event('CLOSED 1')
        self.assertFalse(any(e.startswith(('AUTH', 'LOGIN', 'MAIL')) for e in server.events()))

    def test_refused_certificates_fail_with_the_reason(self):
        vc = self.controller('starttls')
        for cert, reason in (('expired', 'expired'), ('other_name', 'name mismatch'),
                             ('other_ca', 'unknown CA')):
            with self.subTest(cert=cert):
                server = self.server('starttls', cert)
                mark = len(vc.output())
                self.assertEqual(self.send(vc, server), 254)
                vc.wait_output('refused: %s' % reason, start=mark)
                server.wait_event('CLOSED 1')
                self.assertFalse(any(e.startswith(('AUTH', 'LOGIN')) for e in server.events()))
                server.peer.stop()


if __name__ == '__main__':
    unittest.main()
