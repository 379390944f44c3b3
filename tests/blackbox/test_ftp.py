"""Commands 15-18 end to end: the shared FTP connection to a real remote server
(pyftpdlib) and job files copied through it to and from the controller's own
FTP server; and the life of that own server with arvokor."""

import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from harness import Controller, free_address, observed, start_python_peer, wait_for

USER, PASSWORD = 'robot', 'secret'
# A job file as the controller keeps it, and as a server that stores text with
# LF line ends (pyftpdlib in TYPE A) keeps it.
JOB_CRLF = b'/JOB\r\n//NAME WELD1\r\n//POS\r\n///NPOS 0,0,0,0,0,0\r\nNOP\r\nEND\r\n'
JOB_LF = JOB_CRLF.replace(b'\r\n', b'\n')


class FtpPeer:
    """An FTP server script of tests/peers on an address of its own, port 21,
    over a temporary root directory."""

    def __init__(self, owner, script='ftp_pyftpd.py', *args):
        self.host = free_address()
        self.root = tempfile.mkdtemp(prefix='arvokor-ftp-')
        owner.addCleanup(shutil.rmtree, self.root, True)
        self.log = os.path.join(self.root, 'commands.log')
        extra = ['--log', self.log] if script == 'ftp_scripted.py' else []
        self.peer = start_python_peer(script, '--address', self.host, '--port', 21,
                                      '--root', self.root, *(extra + list(args)),
                                      ready='ready ', owner=owner)

    def path(self, *names):
        return os.path.join(self.root, *names)

    def write(self, name, content):
        os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
        with open(self.path(name), 'wb') as f:
            f.write(content)

    def read(self, name):
        with open(self.path(name), 'rb') as f:
            return f.read()

    def commands(self):
        try:
            with open(self.log) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []


def unused_address_with_nothing_listening():
    return free_address()


def transfer_leftovers(folder):
    """Files of job transfers that did not end (temporary names)."""
    return sorted(n for n in os.listdir(folder) if n.endswith('.kortmp'))


def write_job(vc, name, content):
    with open(os.path.join(vc.jobs_dir, name), 'wb') as f:
        f.write(content)


def read_job(vc, name):
    with open(os.path.join(vc.jobs_dir, name), 'rb') as f:
        return f.read()


class SharedConnectionTest(unittest.TestCase):

    def setUp(self):
        self.vc = Controller(ftp_server='auto')
        self.addCleanup(self.vc.close)

    def connect(self, server, user=USER, password=PASSWORD, port=21):
        return self.vc.call('FTPCONNECT', addr=server.host, port=port, field=[user, password],
                            timeout=30)

    def job_command(self, command, name, **params):
        return self.vc.call(command, bytes=name, timeout=40, **params)

    def test_connect_twice_disconnect_and_connect_again(self):
        remote = FtpPeer(self)
        self.assertEqual(self.connect(remote), 1)
        self.assertEqual(self.connect(remote), 2)       # already open: nothing opened
        self.assertEqual(self.vc.call('FTPDISCONNECT'), 1)
        self.assertEqual(self.vc.call('FTPDISCONNECT'), 1)  # nothing open: still 1
        self.assertEqual(self.connect(remote), 1)
        self.assertEqual(self.vc.call('FTPDISCONNECT'), 1)

    def test_password_is_kept_by_nothing(self):
        remote = FtpPeer(self)
        with self.vc.admin() as admin:
            self.assertTrue(admin.capture('on', 'ftp'))
        self.assertEqual(self.connect(remote), 1)
        self.assertEqual(self.vc.call('FTPDISCONNECT'), 1)
        text = observed(self.vc, 'ftp')
        self.assertNotIn(PASSWORD, text)
        self.assertIn('S PASS ***\r\n', text)
        self.assertRegex(text, r'\nR 230[ -][^\n]*\r\n\n')  # a reply line is one record

    def test_refused_login_and_missing_server_leave_no_connection(self):
        remote = FtpPeer(self)
        self.assertEqual(self.connect(remote, password='wrong'), 253)
        self.assertEqual(self.connect(remote, user='ali\nce'), 253)  # refused before sending
        self.assertEqual(self.connect(remote), 1)       # the failed attempt left nothing open
        self.assertEqual(self.vc.call('FTPDISCONNECT'), 1)
        self.assertEqual(self.vc.call('FTPCONNECT', addr=unused_address_with_nothing_listening(),
                                      port=21, field=[USER, PASSWORD], timeout=30), 254)
        self.assertEqual(self.connect(remote, port=2121), 254)  # port 2121: nothing there
        self.assertEqual(self.connect(remote), 1)

    def test_job_commands_without_connection_give_254_with_message(self):
        for command in ('FTPGETJOB', 'FTPPUTJOB'):
            mark = len(self.vc.output())
            self.assertEqual(self.job_command(command, 'WELD1.JBI'), 254)
            self.vc.wait_output('%s result 254\r\n' % command, start=mark)

    def test_get_and_put_job_files_through_the_shared_connection(self):
        remote = FtpPeer(self)
        remote.write('WELD1.JBI', JOB_LF)
        self.assertEqual(self.connect(remote), 1)
        # Remote to controller: the line ends arrive as CR LF.
        self.assertEqual(self.job_command('FTPGETJOB', 'WELD1.JBI'), 1)
        self.assertEqual(read_job(self.vc, 'WELD1.JBI'), JOB_CRLF)
        # Controller to remote, under another name on the controller first.
        big = b''.join(b'MOVL C%05d V=100.0 PL=0\r\n' % i for i in range(5000))
        write_job(self.vc, 'BIG.JBI', big)
        self.assertEqual(self.job_command('FTPPUTJOB', 'BIG.JBI'), 1)
        self.assertEqual(remote.read('BIG.JBI'), big.replace(b'\r\n', b'\n'))
        # The shared connection stays open for the next command.
        self.assertEqual(self.job_command('FTPGETJOB', 'BIG.JBI'), 1)
        self.assertEqual(read_job(self.vc, 'BIG.JBI'), big)

    def test_failed_transfers_give_253_and_keep_the_connection(self):
        remote = FtpPeer(self)
        self.assertEqual(self.connect(remote), 1)
        self.assertEqual(self.job_command('FTPGETJOB', 'MISSING.JBI'), 253)
        self.assertFalse(os.path.exists(os.path.join(self.vc.jobs_dir, 'MISSING.JBI')))
        self.assertEqual(self.job_command('FTPPUTJOB', 'MISSING.JBI'), 253)
        remote.write('EMPTY.JBI', b'')
        self.assertEqual(self.job_command('FTPGETJOB', 'EMPTY.JBI'), 253)
        # A name with a CR cannot smuggle a second command to the server.
        self.assertEqual(self.job_command('FTPGETJOB', 'A.JBI\r\nDELE WELD1.JBI'), 253)
        remote.write('WELD1.JBI', JOB_LF)
        self.assertEqual(self.job_command('FTPGETJOB', 'WELD1.JBI'), 1)
        self.assertEqual(self.job_command('FTPGETJOB', 'WELD1.JBI', p2=129), 253)

    def test_truncated_download_is_never_reported_as_moved(self):
        write_job(self.vc, 'WELD1.JBI', JOB_CRLF)
        for fault in (['--reset', '40'],
                      ['--cut', '40', '--retr-done', '426 Connection closed; transfer aborted.'],
                      ['--retr-done', '451 Local error in processing.']):
            remote = FtpPeer(self, 'ftp_scripted.py', *fault)
            remote.write('WELD1.JBI', JOB_CRLF * 20)
            self.assertEqual(self.connect(remote), 1)
            self.assertEqual(self.job_command('FTPGETJOB', 'WELD1.JBI'), 253, fault)
            # The controller's job is the old one, and nothing else arrived.
            self.assertEqual(read_job(self.vc, 'WELD1.JBI'), JOB_CRLF, fault)
            self.assertEqual(transfer_leftovers(self.vc.jobs_dir), [], fault)
            self.assertEqual(self.vc.call('FTPDISCONNECT'), 1)


class OwnServerOffTest(unittest.TestCase):

    def test_job_transfer_fails_without_the_controllers_server(self):
        vc = Controller()           # ftp_server off
        self.addCleanup(vc.close)
        remote = FtpPeer(self)
        remote.write('WELD1.JBI', JOB_LF)
        self.assertEqual(vc.call('FTPCONNECT', addr=remote.host, port=21,
                                 field=[USER, PASSWORD], timeout=30), 1)
        self.assertEqual(vc.call('FTPGETJOB', bytes='WELD1.JBI', timeout=30), 253)


def server_pid(arvokor_pid):
    """The pid of arvokor's FTP server child, or None."""
    result = subprocess.run(['pgrep', '-P', str(arvokor_pid)], capture_output=True, text=True)
    pids = [int(p) for p in result.stdout.split()]
    return pids[0] if pids else None


def port_open(host, port):
    try:
        with socket.create_connection((host, port), timeout=0.5):
            return True
    except OSError:
        return False


class OwnServerLifeTest(unittest.TestCase):

    def test_server_runs_with_arvokor_and_ends_when_it_is_killed(self):
        vc = Controller(ftp_server='auto')
        self.addCleanup(vc.close)
        self.assertTrue(port_open(vc.address, 21))
        pid = wait_for(lambda: server_pid(vc.proc.pid), what='the FTP server process')
        # The server does not inherit arvokor's blocked stop signals.
        with open('/proc/%d/status' % pid) as f:
            blocked = re.search(r'^SigBlk:\s*(\w+)', f.read(), re.M).group(1)
        self.assertEqual(int(blocked, 16), 0)
        vc.proc.send_signal(signal.SIGKILL)
        vc.proc.wait(10)
        wait_for(lambda: not port_open(vc.address, 21), timeout=10,
                 what='the FTP server to end with arvokor')

    def test_server_ends_when_arvokor_stops_and_ftp_port_moves_it(self):
        vc = Controller(ftp_server='auto', ftp_port=2121)
        self.addCleanup(vc.close)
        self.assertTrue(port_open(vc.address, 2121))
        self.assertFalse(port_open(vc.address, 21))
        # The core still reaches it on port 21: a transfer through it works.
        remote = FtpPeer(self)
        remote.write('WELD1.JBI', JOB_LF)
        self.assertEqual(vc.call('FTPCONNECT', addr=remote.host, port=21,
                                 field=[USER, PASSWORD], timeout=30), 1)
        self.assertEqual(vc.call('FTPGETJOB', bytes='WELD1.JBI', timeout=30), 1)
        self.assertEqual(read_job(vc, 'WELD1.JBI'), JOB_CRLF)
        self.assertEqual(vc.stop(), 0)
        self.assertFalse(port_open(vc.address, 2121))


if __name__ == '__main__':
    unittest.main()
