"""Commands 36 and 37 (FTPLOADGET, FTPLOADPUT) end to end: server, account,
directory and job name come from S variables; the job file moves between a
real remote FTP server and the controller's own, and every failure has its code
(255 plus -1 .. -6)."""

import ftplib
import os
import shutil
import tempfile
import time
import unittest

from faultcase import Background, BlackHole, timed
from harness import Controller, free_address, observed, wait_for
from arvokor.admin import AdminClient, transfer_record  # noqa: E402 (harness finds the package)
from test_ftp import (JOB_CRLF, JOB_LF, PASSWORD, USER, FtpPeer, read_job, transfer_leftovers,
                      write_job)
from testpki import NAME, TestPki

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get('KOR_SOURCE', os.path.dirname(os.path.dirname(HERE)))
PEERS = os.path.join(SOURCE, 'tests', 'peers')

# S variables of the transfer.
S_SERVER, S_USER, S_PASSWORD, S_DIR, S_JOB = 10, 11, 12, 13, 30

# A peer that falls silent is given up after one 10 s wait; the rest is local
# work. The bound leaves room for a loaded machine, but not for a second wait.
GIVE_UP_BOUND = 15
# 300 000 bytes with LF line ends, as the remote servers keep job files.
BIG_LF = b''.join(b'MOVJ C%05d VJ=50.00\n' % i for i in range(15000))
BIG_CRLF = BIG_LF.replace(b'\n', b'\r\n')
CUT_426 = ['--retr-done', '426 Connection closed; transfer aborted.']


def own_listing(vc):
    """The names the controller's own FTP server lists."""
    with ftplib.FTP(vc.address, 'ftp', '', timeout=10) as ftp:
        return ftp.nlst()


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
             password=PASSWORD, timeout=60, **params):
        vc.set('S%d' % S_SERVER, server, 'S%d' % S_USER, user, 'S%d' % S_PASSWORD, password,
               'S%d' % S_JOB, job)
        for k, piece in enumerate(dirs):
            vc.set('S%d' % (S_DIR + k), piece)
        values = dict(p4=S_SERVER, p5=S_USER, p6=S_PASSWORD, p7=S_DIR, p0=len(dirs), p1=S_JOB)
        values.update(params)
        return vc.call(command, timeout=timeout, **values)

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

    def test_cut_short_downloads_keep_the_controllers_job(self):
        vc = self.controller()
        write_job(vc, 'WELD1.JBI', JOB_CRLF)
        admin = vc.admin()
        self.addCleanup(admin.close)
        for fault in (['--reset', '100000'],
                      ['--cut', '100000'] + CUT_426,
                      ['--retr-done', '451 Local error in processing.']):
            remote = FtpPeer(self, 'ftp_scripted.py', *fault)
            remote.write('robot/jobs/WELD1.JBI', BIG_LF)
            mark = len(vc.output())
            self.assertEqual(self.load(vc, 'FTPLOADGET', remote.host), 249, fault)
            vc.wait_output('KOR FTPLOAD Error-6\r\n', start=mark)
            self.assertEqual(admin.ftpget(remote.host, 'WELD1.JBI', USER, PASSWORD,
                                          '/robot/jobs')[0], -6, fault)
            # The old job stays; no part of the new one is left or listed.
            self.assertEqual(read_job(vc, 'WELD1.JBI'), JOB_CRLF, fault)
            self.assertEqual(transfer_leftovers(vc.jobs_dir), [], fault)
        # A slow server is no failure.
        remote = FtpPeer(self, 'ftp_scripted.py', '--slow', '200000')
        remote.write('robot/jobs/WELD1.JBI', BIG_LF)
        self.assertEqual(self.load(vc, 'FTPLOADGET', remote.host), 255)
        self.assertEqual(read_job(vc, 'WELD1.JBI'), BIG_CRLF)
        # The controller's server refusing the stored file.
        remote = FtpPeer(self, 'ftp_scripted.py', '--stor-done', '452 Insufficient storage.')
        os.makedirs(remote.path('robot', 'jobs'))
        self.assertEqual(self.load(vc, 'FTPLOADPUT', remote.host), 249)

    def test_stalled_servers_are_given_up_after_one_wait_in_every_form(self):
        vc = self.controller()
        write_job(vc, 'WELD1.JBI', JOB_CRLF)
        frozen = [FtpPeer(self, 'ftp_scripted.py', '--freeze', '100000') for _ in range(3)]
        frozen[0].write('robot/jobs/WELD1.JBI', BIG_LF)
        frozen[1].write('robot/jobs/WELD1.JBI', BIG_LF)
        frozen[2].write('WELD1.JBI', BIG_LF)
        self.assertEqual(vc.call('FTPCONNECT', addr=frozen[2].host, port=21,
                                 field=[USER, PASSWORD], slot=1), 1)
        admin = vc.admin(timeout=60)
        self.addCleanup(admin.close)
        # The three forms at once, each from a server that falls silent after
        # 100 000 bytes: the job command, the shared connection and the admin port.
        runs = [Background(self.load, vc, 'FTPLOADGET', frozen[0].host),
                Background(vc.call, 'FTPGETJOB', bytes='WELD1.JBI', slot=1, timeout=60),
                Background(lambda: admin.ftpget(frozen[1].host, 'WELD1.JBI', USER, PASSWORD,
                                                '/robot/jobs')[0])]
        wait_for(lambda: all('RETR WELD1.JBI' in p.commands() for p in frozen), timeout=10,
                 what='three transfers to be under way')
        time.sleep(0.5)  # the first 100 000 bytes arrive
        arriving, listed = transfer_leftovers(vc.jobs_dir), own_listing(vc)
        outcomes = [run.join() for run in runs]
        self.assertEqual([result for result, _ in outcomes], [249, 253, -6])
        for result, seconds in outcomes:
            self.assertLess(seconds, GIVE_UP_BOUND, result)
        # While the parts arrived, the controller's server did not list them.
        self.assertEqual(len(arriving), 3)
        self.assertEqual(listed, ['WELD1.JBI'])
        # A silent server gets nothing more: no QUIT that would wait again.
        for peer in frozen[:2]:
            self.assertNotIn('QUIT', peer.commands())
        self.assertEqual(read_job(vc, 'WELD1.JBI'), JOB_CRLF)
        self.assertEqual(transfer_leftovers(vc.jobs_dir), [])
        # The given-up shared connection counts as closed: a job that retries
        # the connect gets a new one; the controller serves on.
        remote = FtpPeer(self)
        remote.write('robot/jobs/WELD1.JBI', BIG_LF)
        remote.write('SHARED.JBI', JOB_LF)
        self.assertEqual(vc.call('FTPCONNECT', addr=remote.host, port=21,
                                 field=[USER, PASSWORD], slot=1), 1)
        self.assertEqual(vc.call('FTPGETJOB', bytes='SHARED.JBI', slot=1, timeout=30), 1)
        self.assertEqual(read_job(vc, 'SHARED.JBI'), JOB_CRLF)
        self.assertEqual(vc.call('FTPDISCONNECT'), 1)
        self.assertEqual(self.load(vc, 'FTPLOADGET', remote.host), 255)
        self.assertEqual(read_job(vc, 'WELD1.JBI'), BIG_CRLF)

    def test_failed_uploads_keep_the_remote_job(self):
        # The controller's server breaks off every download after 100 000 bytes.
        vc = self.controller(ftp_server=scripted_own_server(
            '--user', 'ftp', '--password', '""', '--cut', '100000', '--retr-done',
            "'426 Transfer aborted.'"))
        write_job(vc, 'WELD1.JBI', BIG_CRLF)
        remote = FtpPeer(self)  # stores what arrives, also a part
        remote.write('robot/jobs/WELD1.JBI', JOB_LF)
        self.assertEqual(self.load(vc, 'FTPLOADPUT', remote.host), 249)
        admin = vc.admin(timeout=60)
        self.addCleanup(admin.close)
        self.assertEqual(admin.ftpput(remote.host, 'WELD1.JBI', USER, PASSWORD,
                                      '/robot/jobs')[0], -6)
        self.assertEqual(vc.call('FTPCONNECT', addr=remote.host, port=21,
                                 field=[USER, PASSWORD]), 1)
        self.assertEqual(vc.call('FTPPUTJOB', bytes='WELD1.JBI', timeout=30), 253)
        self.assertEqual(remote.read('robot/jobs/WELD1.JBI'), JOB_LF)
        self.assertEqual(transfer_leftovers(remote.path('robot', 'jobs')), [])
        self.assertEqual(transfer_leftovers(remote.root), [])

    def test_uploads_to_servers_that_stall_drop_or_cannot_rename(self):
        vc = self.controller()
        write_job(vc, 'WELD1.JBI', BIG_CRLF)
        for fault, expected in ((['--stor-freeze', '100000'], 249),
                                (['--stor-reset', '100000'], 249),
                                (['--no-rename'], 255)):
            remote = FtpPeer(self, 'ftp_scripted.py', *fault)
            remote.write('robot/jobs/WELD1.JBI', JOB_LF)
            mark = len(vc.output())
            result, seconds = timed(self.load, vc, 'FTPLOADPUT', remote.host)
            self.assertEqual(result, expected, fault)
            self.assertLess(seconds, GIVE_UP_BOUND, fault)
            self.assertEqual(transfer_leftovers(remote.path('robot', 'jobs')), [], fault)
            self.assertEqual(remote.read('robot/jobs/WELD1.JBI'),
                             BIG_CRLF if expected == 255 else JOB_LF, fault)
        # Without a rename the job is stored under its own name directly.
        vc.wait_output('the server refuses renaming; WELD1.JBI stored directly', start=mark)

    def test_servers_that_take_no_temporary_name(self):
        vc = self.controller()
        write_job(vc, 'WELD1.JBI', BIG_CRLF)
        # A server whose folder takes only job files refuses the temporary
        # name at STOR: the job is stored under its own name, with one line.
        remote = FtpPeer(self, 'ftp_pyftpd.py', '--stor-suffix', '.JBI')
        remote.write('robot/jobs/WELD1.JBI', JOB_LF)
        mark = len(vc.output())
        self.assertEqual(self.load(vc, 'FTPLOADPUT', remote.host), 255)
        self.assertEqual(remote.read('robot/jobs/WELD1.JBI'), BIG_LF)
        vc.wait_output('KOR job transfer: the server refuses the temporary name; WELD1.JBI '
                       'stored directly on %s\r\n' % remote.host, start=mark)
        self.assertEqual(vc.output()[mark:].count('KOR job transfer'), 1)
        self.assertEqual(transfer_leftovers(remote.path('robot', 'jobs')), [])

        # An upload-only server (no rename, no delete) gets the job; the
        # temporary copy it keeps is named on the console with the server.
        # After a restart the next transfer's name is a new one.
        remote = FtpPeer(self, 'ftp_pyftpd.py', '--perm', 'elrw')
        folder = remote.path('robot', 'jobs')
        os.makedirs(folder)
        left = []
        for run in range(2):
            if run:
                vc.stop()
                vc.start()
            mark = len(vc.output())
            self.assertEqual(self.load(vc, 'FTPLOADPUT', remote.host), 255, run)
            self.assertEqual(remote.read('robot/jobs/WELD1.JBI'), BIG_LF, run)
            new = [n for n in transfer_leftovers(folder) if n not in left]
            self.assertEqual(len(new), 1, (run, left, transfer_leftovers(folder)))
            vc.wait_output('KOR job transfer: %s may be left on %s: 550 ' % (new[0], remote.host),
                           start=mark)
            vc.wait_output('the server refuses renaming; WELD1.JBI stored directly on %s\r\n'
                           % remote.host, start=mark)
            left += new

    def test_controllers_server_without_renaming_and_temporary_names_off(self):
        # The controller's own server allows no RNFR/RNTO/DELE: a download
        # falls back to the job's own name as an upload does.
        vc = self.controller(ftp_server=(
            'exec /usr/bin/python3 %s/ftp_pyftpd.py --address "$VC_FTP_ADDRESS" --port '
            '"$VC_FTP_PORT" --root "$VC_FTP_ROOT" --perm elrw' % PEERS))
        write_job(vc, 'WELD1.JBI', JOB_CRLF)
        remote = FtpPeer(self)
        remote.write('robot/jobs/WELD1.JBI', BIG_LF)
        mark = len(vc.output())
        self.assertEqual(self.load(vc, 'FTPLOADGET', remote.host), 255)
        self.assertEqual(read_job(vc, 'WELD1.JBI').replace(b'\r\n', b'\n'), BIG_LF)
        left = transfer_leftovers(vc.jobs_dir)
        self.assertEqual(len(left), 1)
        vc.wait_output('KOR job transfer: %s may be left on %s' % (left[0], vc.address),
                       start=mark)
        vc.wait_output('the server refuses renaming; WELD1.JBI stored directly on %s\r\n'
                       % vc.address, start=mark)

        # ftp_temporary_names = off: the job's own name only, as for servers
        # whose watchers pick up any new file.
        vc = self.controller(ftp_temporary_names='off')
        write_job(vc, 'WELD1.JBI', JOB_CRLF)
        remote = FtpPeer(self, 'ftp_scripted.py')
        remote.write('robot/jobs/WELD1.JBI', JOB_LF)
        self.assertEqual(self.load(vc, 'FTPLOADPUT', remote.host), 255)
        self.assertEqual(remote.read('robot/jobs/WELD1.JBI'), JOB_CRLF)
        self.assertIn('STOR WELD1.JBI', remote.commands())
        self.assertEqual([c for c in remote.commands() if c.startswith(('RNFR', 'DELE'))], [])
        self.assertEqual(self.load(vc, 'FTPLOADGET', remote.host), 255)
        self.assertNotIn('kortmp', vc.output())

    def test_killed_mid_transfer_the_restart_keeps_the_old_jobs(self):
        vc = self.controller()
        write_job(vc, 'WELD1.JBI', JOB_CRLF)
        remote = FtpPeer(self, 'ftp_scripted.py', '--freeze', '100000')
        remote.write('robot/jobs/WELD1.JBI', BIG_LF)
        # The call's own wait ends in a failure: its controller is gone.
        Background(self.load, vc, 'FTPLOADGET', remote.host, timeout=15, slot=1)

        # The remote sends 100 000 bytes; of those the controller's server may
        # still hold the last block or its own write buffer, so half will do.
        def part_arrived():
            parts = transfer_leftovers(vc.jobs_dir)
            return parts and os.path.getsize(os.path.join(vc.jobs_dir, parts[0])) > 50000
        wait_for(part_arrived, timeout=15, what='the download to be under way')
        vc.proc.kill()
        vc.proc.wait(10)
        vc.stop()
        parts = transfer_leftovers(vc.jobs_dir)
        vc.start()
        self.assertEqual(read_job(vc, 'WELD1.JBI'), JOB_CRLF)
        self.assertEqual(len(parts), 1)
        vc.wait_output('removed %s, left by an interrupted job transfer' % parts[0])
        self.assertEqual(transfer_leftovers(vc.jobs_dir), [])
        healthy = FtpPeer(self)
        healthy.write('robot/jobs/WELD1.JBI', BIG_LF)
        self.assertEqual(self.load(vc, 'FTPLOADGET', healthy.host), 255)
        self.assertEqual(read_job(vc, 'WELD1.JBI'), BIG_CRLF)

        # Killed during an upload (the controller's server sends slowly): the
        # remote job stays; the part there is the remote server's to clean.
        vc = self.controller(ftp_server=scripted_own_server(
            '--user', 'ftp', '--password', '""', '--slow', '100000'))
        write_job(vc, 'WELD1.JBI', BIG_CRLF)
        remote = FtpPeer(self)
        remote.write('robot/jobs/WELD1.JBI', JOB_LF)
        Background(self.load, vc, 'FTPLOADPUT', remote.host, timeout=15, slot=1)
        folder = remote.path('robot', 'jobs')
        wait_for(lambda: sum(os.path.getsize(os.path.join(folder, n))
                             for n in os.listdir(folder)) > 100000,
                 timeout=15, what='the upload to be under way')
        vc.proc.kill()
        vc.proc.wait(10)
        vc.stop()
        vc.start()
        self.assertEqual(remote.read('robot/jobs/WELD1.JBI'), JOB_LF)
        self.assertEqual(len(transfer_leftovers(folder)), 1)

    def test_black_holed_servers_fail_within_the_connect_limit(self):
        vc = self.controller(connect_timeout=1)
        write_job(vc, 'WELD1.JBI', JOB_CRLF)
        hole = free_address()
        # The data connection's address swallows every packet as well.
        remote = FtpPeer(self, 'ftp_scripted.py', '--pasv-address', hole)
        remote.write('robot/jobs/WELD1.JBI', BIG_LF)
        admin = vc.admin(timeout=30)
        self.addCleanup(admin.close)
        with BlackHole(hole):
            for run, expected in ((lambda: self.load(vc, 'FTPLOADGET', hole), 252),
                                  (lambda: admin.ftpget(hole, 'WELD1.JBI', USER, PASSWORD)[0], -3),
                                  (lambda: vc.call('FTPCONNECT', addr=hole, port=21,
                                                   field=[USER, PASSWORD], timeout=30), 254),
                                  (lambda: self.load(vc, 'FTPLOADGET', remote.host), 249)):
                result, seconds = timed(run)
                self.assertEqual(result, expected)
                self.assertLess(seconds, 1 + 4, expected)
        self.assertEqual(read_job(vc, 'WELD1.JBI'), JOB_CRLF)


class FtpTlsTest(unittest.TestCase):
    """ftp_tls = explicit: every form of job transfer through servers that
    require TLS, vsftpd also requiring each data connection to resume the
    control connection's session; files byte-exact both ways."""

    @classmethod
    def setUpClass(cls):
        cls.pki_dir = tempfile.mkdtemp(prefix='arvokor-pki-')
        cls.pki = TestPki(cls.pki_dir)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.pki_dir, True)

    controller = FtpLoadTest.controller
    load = FtpLoadTest.load

    def tls_controller(self):
        return self.controller(ftp_tls='explicit', tls_ca=self.pki.ca, ftp_tls_name=NAME)

    def tls_peer(self, script='vsftpd_peer.py', cert='good', *args):
        certificate, key = self.pki.cert(cert)
        return FtpPeer(self, script, '--tls-cert', certificate, '--tls-key', key, *args)

    def test_vsftpd_load_get_put_shared_connection_and_admin(self):
        vc = self.tls_controller()
        remote = self.tls_peer()
        big = b''.join(b'MOVJ C%05d VJ=50.00\r\n' % i for i in range(20000))
        remote.write('robot/jobs/WELD1.JBI', big)
        remote.write('up/.keep', b'')
        for folder in ('robot', 'robot/jobs', 'up'):   # uploads run as the user "ftp"
            os.chmod(remote.path(folder), 0o777)
        user = dict(user='anonymous', password='')
        self.assertEqual(self.load(vc, 'FTPLOADGET', remote.host, **user), 255)
        self.assertEqual(read_job(vc, 'WELD1.JBI'), big)
        write_job(vc, 'PUT1.JBI', JOB_CRLF)
        self.assertEqual(self.load(vc, 'FTPLOADPUT', remote.host, job='PUT1', **user), 255)
        self.assertEqual(remote.read('robot/jobs/PUT1.JBI'), JOB_CRLF)

        # The shared connection: several transfers in the one TLS session.
        self.assertEqual(vc.call('FTPCONNECT', addr=remote.host, port=21,
                                 field=['anonymous', ''], timeout=30), 1)
        remote.write('GET2.JBI', JOB_CRLF)
        self.assertEqual(vc.call('FTPGETJOB', bytes='GET2.JBI', timeout=40), 1)
        self.assertEqual(read_job(vc, 'GET2.JBI'), JOB_CRLF)
        os.makedirs(os.path.join(vc.jobs_dir, 'up'))   # vsftpd's root is not writable
        write_job(vc, 'up/PUT2.JBI', big)
        self.assertEqual(vc.call('FTPPUTJOB', bytes='up/PUT2.JBI', timeout=40), 1)
        self.assertEqual(remote.read('up/PUT2.JBI'), big)
        self.assertEqual(vc.call('FTPDISCONNECT'), 1)

        admin = AdminClient(vc.address)
        self.addCleanup(admin.close)
        record = transfer_record('anonymous', '', 'robot/jobs', 'PUT1.JBI', remote.host)
        self.assertEqual(admin.request(':ftpg', record), b'0\r\n')
        write_job(vc, 'PUT3.JBI', big)
        record = transfer_record('anonymous', '', 'robot/jobs', 'PUT3.JBI', remote.host)
        self.assertEqual(admin.request(':ftpp', record), b'0\r\n')
        self.assertEqual(remote.read('robot/jobs/PUT3.JBI'), big)
        self.assertNotIn('TLS:', vc.output())

    def test_pyftpdlib_tls_get_and_put(self):
        vc = self.tls_controller()
        remote = self.tls_peer('ftp_pyftpd.py')
        with vc.admin() as admin:
            self.assertTrue(admin.capture('on', 'ftp'))
        remote.write('robot/jobs/WELD1.JBI', JOB_LF)
        self.assertEqual(self.load(vc, 'FTPLOADGET', remote.host), 255)
        self.assertEqual(read_job(vc, 'WELD1.JBI'), JOB_CRLF)
        write_job(vc, 'PUT1.JBI', JOB_CRLF)
        self.assertEqual(self.load(vc, 'FTPLOADPUT', remote.host, job='PUT1'), 255)
        self.assertEqual(remote.read('robot/jobs/PUT1.JBI'), JOB_LF)
        # What went inside TLS is captured as text, the password as ***.
        text = observed(vc, 'ftp')
        self.assertNotIn(PASSWORD, text)
        self.assertEqual(text.count('S PASS ***\r\n'), 4, text)  # remote and own server, twice
        self.assertIn('S AUTH TLS\r\n', text)

    def test_no_tls_or_a_refused_certificate_is_no_server(self):
        vc = self.tls_controller()
        plain = FtpPeer(self, 'ftp_scripted.py')   # answers AUTH TLS with 502
        mark = len(vc.output())
        self.assertEqual(self.load(vc, 'FTPLOADGET', plain.host), 252)
        vc.wait_output('FTP: no TLS with %s' % plain.host, start=mark)
        self.assertFalse(any(c.startswith(('USER', 'PASS')) for c in plain.commands()))
        for cert, reason in (('expired', 'expired'), ('other_ca', 'unknown CA')):
            with self.subTest(cert=cert):
                remote = self.tls_peer('ftp_pyftpd.py', cert)
                mark = len(vc.output())
                self.assertEqual(self.load(vc, 'FTPLOADGET', remote.host), 252)
                vc.wait_output('refused: %s' % reason, start=mark)
                self.assertEqual(vc.call('FTPCONNECT', addr=remote.host, port=21,
                                         field=[USER, PASSWORD], timeout=30), 254)


if __name__ == '__main__':
    unittest.main()
