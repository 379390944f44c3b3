"""Commands 36 and 37 (FTPLOADGET, FTPLOADPUT) end to end: server, account,
directory and job name come from S variables; the job file moves between a
real remote FTP server and the controller's own, and every failure has its code
(255 plus -1 .. -6)."""

import os
import unittest

from harness import Controller, free_address
from test_ftp import JOB_CRLF, JOB_LF, PASSWORD, USER, FtpPeer, read_job, write_job

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get('KOR_SOURCE', os.path.dirname(os.path.dirname(HERE)))
PEERS = os.path.join(SOURCE, 'tests', 'peers')

# S variables of the transfer.
S_SERVER, S_USER, S_PASSWORD, S_DIR, S_JOB = 10, 11, 12, 13, 30


def scripted_own_server(*args):
    """An ftp_server command line: the scripted server as the controller's own
    (it knows only robot / secret, so "ftp" cannot log in)."""
    return ('exec /usr/bin/python3 %s/ftp_scripted.py --address "$VC_FTP_ADDRESS" '
            '--port "$VC_FTP_PORT" --root "$VC_FTP_ROOT" %s' % (PEERS, ' '.join(args)))


class FtpLoadTest(unittest.TestCase):

    def controller(self, **settings):
        settings.setdefault('ftp_server', 'auto')
        vc = Controller(**settings)
        self.addCleanup(vc.close)
        return vc

    def load(self, vc, command, server, job='WELD1', dirs=('/robot/', 'jobs'), user=USER,
             password=PASSWORD, **params):
        vc.set('S%d' % S_SERVER, server, 'S%d' % S_USER, user, 'S%d' % S_PASSWORD, password,
               'S%d' % S_JOB, job)
        for k, piece in enumerate(dirs):
            vc.set('S%d' % (S_DIR + k), piece)
        values = dict(p4=S_SERVER, p5=S_USER, p6=S_PASSWORD, p7=S_DIR, p0=len(dirs), p1=S_JOB)
        values.update(params)
        return vc.call(command, timeout=60, **values)

    def test_get_and_put_with_directory_joined_from_s_variables(self):
        vc = self.controller()
        remote = FtpPeer(self)
        remote.write('robot/jobs/WELD1.JBI', JOB_LF)
        mark = len(vc.output())
        self.assertEqual(self.load(vc, 'FTPLOADGET', remote.host), 255)
        # The password never reaches the console.
        vc.wait_output('KOR FTPLOAD IP:%s,User:%s,Passw:***,Dir:/robot/jobs,JobName:WELD1.JBI,'
                       'Mode:1\r\n' % (remote.host, USER), start=mark)
        self.assertNotIn(PASSWORD, vc.output())
        self.assertEqual(read_job(vc, 'WELD1.JBI'), JOB_CRLF)

        big = b''.join(b'MOVJ C%05d VJ=50.00\r\n' % i for i in range(20000))
        write_job(vc, 'BIG.JBI', big)
        mark = len(vc.output())
        self.assertEqual(self.load(vc, 'FTPLOADPUT', remote.host, job='BIG'), 255)
        vc.wait_output('JobName:BIG.JBI,Mode:0\r\n', start=mark)
        self.assertEqual(remote.read('robot/jobs/BIG.JBI'), big.replace(b'\r\n', b'\n'))
        self.assertNotIn('KOR FTPLOAD Error', vc.output())

    def test_texts_across_both_halves_of_an_s_variable(self):
        vc = self.controller()
        user, password = 'cell07-operator-nr2', 'pass-word-with-24-chars!'
        remote = FtpPeer(self, 'ftp_pyftpd.py', '--user', user, '--password', password)
        remote.write('abcdefghijklmnopqrstuvwxyz-12345/WELD-SEAM-2024-V17.JBI', JOB_LF)
        self.assertEqual(self.load(vc, 'FTPLOADGET', remote.host, job='WELD-SEAM-2024-V17',
                                   dirs=('abcdefghijklmnopqrstuvwxyz-12345',), user=user,
                                   password=password), 255)
        self.assertEqual(read_job(vc, 'WELD-SEAM-2024-V17.JBI'), JOB_CRLF)
        # Pieces are joined while they fit into 255 characters: of eight
        # 32-character pieces the last is left out.
        remote.write('x' * 224 + '/LONG.JBI', JOB_LF)
        self.assertEqual(self.load(vc, 'FTPLOADGET', remote.host, job='LONG', dirs=('x' * 32,) * 8,
                                   user=user, password=password), 255)
        self.assertEqual(read_job(vc, 'LONG.JBI'), JOB_CRLF)
        # No directory variables: the login directory.
        remote.write('TOP.JBI', JOB_LF)
        self.assertEqual(self.load(vc, 'FTPLOADGET', remote.host, job='TOP', dirs=(), user=user,
                                   password=password), 255)

    def test_remote_failures(self):
        vc = self.controller()
        remote = FtpPeer(self)
        remote.write('robot/jobs/EMPTY.JBI', b'')
        write_job(vc, 'WELD1.JBI', JOB_CRLF)
        cases = [
            ('FTPLOADGET', dict(server=free_address()), 252),            # -3 no server
            ('FTPLOADPUT', dict(server=free_address()), 252),
            ('FTPLOADGET', dict(server=remote.host, password='wrong'), 251),  # -4 login
            ('FTPLOADPUT', dict(server=remote.host, password='wrong'), 251),
            ('FTPLOADGET', dict(server=remote.host, user='ali\nce'), 251),  # refused before sending
            ('FTPLOADGET', dict(server=remote.host, dirs=('/none',)), 250),   # -5 directory
            ('FTPLOADPUT', dict(server=remote.host, dirs=('/none',)), 250),
            ('FTPLOADGET', dict(server=remote.host, job='EMPTY'), 249),       # -6 nothing moved
            ('FTPLOADGET', dict(server=remote.host, job='MISSING'), 249),
            ('FTPLOADPUT', dict(server=remote.host, job='MISSING'), 249),
        ]
        for command, args, expected in cases:
            mark = len(vc.output())
            self.assertEqual(self.load(vc, command, **args), expected, (command, args))
            vc.wait_output('KOR FTPLOAD Error%d\r\n' % (expected - 255), start=mark)

    def test_unreadable_s_variable_gives_an_empty_text(self):
        vc = self.controller(s_count=100)
        remote = FtpPeer(self)
        remote.write('robot/jobs/.JBI', JOB_LF)
        # The job name variable does not exist: the name is ".JBI" alone.
        self.assertEqual(self.load(vc, 'FTPLOADGET', remote.host, p1=500), 255)
        self.assertEqual(read_job(vc, '.JBI'), JOB_CRLF)

    def test_controllers_own_server_failures(self):
        remote = FtpPeer(self)
        remote.write('robot/jobs/WELD1.JBI', JOB_LF)
        vc = self.controller(ftp_server='off')
        self.assertEqual(self.load(vc, 'FTPLOADGET', remote.host), 254)  # -1
        self.assertEqual(self.load(vc, 'FTPLOADPUT', remote.host), 254)
        vc.close()

        vc = self.controller(ftp_server=scripted_own_server('--log', '"$VC_FTP_ROOT/own.log"'))
        log = os.path.join(vc.jobs_dir, 'own.log')
        # Download mode contacts the remote server first: an unreachable one
        # means the controller's server is never contacted.
        self.assertEqual(self.load(vc, 'FTPLOADGET', free_address()), 252)
        self.assertFalse(os.path.exists(log))
        self.assertEqual(self.load(vc, 'FTPLOADGET', remote.host), 253)  # -2 login refused
        self.assertEqual(self.load(vc, 'FTPLOADPUT', remote.host), 253)
        with open(log) as f:
            self.assertIn('USER ftp', f.read())

    def test_failed_transfers_end_every_connection_they_opened(self):
        vc = self.controller(ftp_server=scripted_own_server(
            '--user', 'ftp', '--password', '""', '--log', '"$VC_FTP_ROOT/own.log"'))
        own_log = os.path.join(vc.jobs_dir, 'own.log')
        write_job(vc, 'WELD1.JBI', JOB_CRLF)

        def own_commands():
            with open(own_log) as f:
                return f.read().splitlines()

        remote = FtpPeer(self, 'ftp_scripted.py')
        os.makedirs(remote.path('robot', 'jobs'))
        # Upload: the controller's server first, then the refused remote login.
        self.assertEqual(self.load(vc, 'FTPLOADPUT', remote.host, password='wrong'), 251)
        self.assertEqual(own_commands()[-1], 'QUIT')
        self.assertEqual(remote.commands()[-1], 'QUIT')
        # Download: the remote server first; the controller's is never contacted.
        before = own_commands()
        self.assertEqual(self.load(vc, 'FTPLOADGET', remote.host, password='wrong'), 251)
        self.assertEqual(own_commands(), before)
        self.assertEqual(remote.commands()[-1], 'QUIT')

        # A directory change that is never answered, and one answered with half
        # a line, fail after the wait limit; the controller's session still ends.
        for fault in ('--silent', '--stall'):
            remote = FtpPeer(self, 'ftp_scripted.py', fault, 'CWD')
            mark = len(own_commands())
            self.assertEqual(self.load(vc, 'FTPLOADPUT', remote.host), 250, fault)
            self.assertEqual(own_commands()[mark:], ['USER ftp', 'PASS ', 'QUIT'], fault)

    def test_cut_short_copies_are_failures(self):
        vc = self.controller()
        for fault in (['--reset', '100'],
                      ['--hang', '100'],
                      ['--cut', '100', '--retr-done', '426 Connection closed; transfer aborted.'],
                      ['--retr-done', '451 Local error in processing.']):
            remote = FtpPeer(self, 'ftp_scripted.py', *fault)
            remote.write('robot/jobs/WELD1.JBI', JOB_CRLF * 50)
            mark = len(vc.output())
            self.assertEqual(self.load(vc, 'FTPLOADGET', remote.host), 249, fault)
            vc.wait_output('KOR FTPLOAD Error-6\r\n', start=mark)
        # The controller's server refusing the stored file.
        remote = FtpPeer(self, 'ftp_scripted.py', '--stor-done', '452 Insufficient storage.')
        os.makedirs(remote.path('robot', 'jobs'))
        write_job(vc, 'WELD1.JBI', JOB_CRLF)
        self.assertEqual(self.load(vc, 'FTPLOADPUT', remote.host), 249)


if __name__ == '__main__':
    unittest.main()
