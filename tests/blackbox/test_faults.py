"""Platform failures injected into a running arvokor through its test hooks
(KOR_FAULTS, KOR_ALLOC_REPORT): each ends in the documented result and
message, and the program goes on serving."""

import ftplib
import io
import os
import resource
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from faultcase import Background, BlackHole
from harness import Controller, free_address, program, sanitizer, unused_port, wait_for
from test_ftp import JOB_CRLF, FtpPeer, read_job, transfer_leftovers, write_job
from test_ftp_load import BIG_LF, FtpLoadTest
from arvokor.admin import frame  # noqa: E402 (harness puts it on the path)
from chanpeers import encode_port, read_exactly  # noqa: E402
from test_modbus import start_server


class Env:
    """Sets environment variables for the arvokor started inside the block."""

    def __init__(self, **values):
        self.values = values
        self.saved = {}

    def __enter__(self):
        for k, v in self.values.items():
            self.saved[k] = os.environ.get(k)
            os.environ[k] = str(v)
        return self

    def __exit__(self, *exc):
        for k, v in self.saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v
        return False


class Faults(unittest.TestCase):
    def test_failed_connects_give_254_and_the_program_goes_on(self):
        with Env(KOR_FAULTS='Connect:0:-1'), Controller() as vc:
            self.assertEqual(vc.call('TCPCONNECT', addr='127.0.0.1', port=9), 254)
            vc.wait_output('Error - ctlConnect()')
            self.assertEqual(vc.call('INFO', p8=0), 255)

    def test_unreadable_parameters_drop_the_command_once(self):
        with Env(KOR_FAULTS='get:I:100:1'), Controller() as vc:
            vc.set('B110', 7)
            # The command is dropped: its ID returns to 0, no result is written.
            result = vc.korjob('call', 'INFO', 'p8=0', '--timeout', '2', check=False)
            self.assertEqual(result.returncode, 1, result.stdout)
            vc.wait_output('Error - Reading command parameters I\r\n')
            self.assertEqual(vc.get('B100'), 0)
            self.assertEqual(vc.call('INFO', p8=0), 255)

    def test_no_memory_for_a_queue_refuses_the_channel(self):
        peer = free_address()
        import socket
        server = socket.socket()
        server.bind((peer, 0))
        server.listen()
        self.addCleanup(server.close)
        with Env(KOR_FAULTS='Malloc:0:-1'), Controller() as vc:
            # A channel that could queue nothing would lose what it receives.
            self.assertEqual(vc.call('TCPCONNECT', addr=peer, port=server.getsockname()[1]), 251)
            vc.wait_output('Error - channel input queue: out of memory\r\n')
            vc.wait_output('Error - TCPCONNECT: no free handle\r\n')
            conn, _ = server.accept()
            self.addCleanup(conn.close)
            conn.settimeout(5)
            self.assertEqual(conn.recv(10), b'')  # the connection was closed again
            self.assertEqual(vc.call('INFO', p8=0), 255)
            self.assertIsNone(vc.proc.poll())

    def test_no_memory_for_the_rings_leaves_them_off(self):
        from test_admin import AdminClient
        with Env(KOR_FAULTS='Malloc:0:2'), Controller() as vc:
            vc.wait_output('Error - Journal: no memory for 2048 entries, journal off\r\n')
            vc.wait_output('Error - Console ring: no memory for 1024 lines\r\n')
            self.assertEqual(vc.call('INFO', p8=0), 255)
            with AdminClient(vc.address) as admin:
                self.assertEqual(admin.journal()[1:], (0, 0, []))
                self.assertEqual(admin.console()[1], [])
                self.assertEqual(admin.counters()['command'][8], {255: 1})

    def test_admin_port_survives_failed_accepts(self):
        from test_admin import AdminClient
        # EMFILE: no descriptor free for the accepted connection.
        with Env(KOR_FAULTS='Accept:0:3:24'), Controller() as vc:
            vc.wait_output('Error - ctlAccept(): Too many open files (admin port)\n')
            client = AdminClient(vc.address)
            self.addCleanup(client.close)
            self.assertEqual(client.request(':v'), b'1')
            self.assertNotIn('Stopping TCP server', vc.output())

    def test_allocation_report_follows_the_channels(self):
        report = os.path.join(os.environ.get('TMPDIR', '/tmp'), 'arvokor-alloc-%d' % os.getpid())
        self.addCleanup(lambda: os.path.exists(report) and os.unlink(report))
        peer = free_address()
        import socket
        server = socket.socket()
        server.bind((peer, 0))
        server.listen()
        self.addCleanup(server.close)

        def live():
            try:
                with open(report) as f:
                    return int(f.read())
            except (OSError, ValueError):
                return None

        with Env(KOR_ALLOC_REPORT=report), Controller() as vc:
            # The journal's and the console's rings stay allocated from the start on.
            wait_for(lambda: live(), what='the allocation report after the start')
            idle = live()
            handle = vc.call('TCPCONNECT', addr=peer, port=server.getsockname()[1])
            conn, _ = server.accept()
            self.addCleanup(conn.close)
            conn.sendall(b'x' * 50)
            wait_for(lambda: live() >= idle + 50, what='queued bytes in the report')
            self.assertEqual(vc.call('CLOSEHANDLE', handle=handle), 255)
            wait_for(lambda: live() == idle, what='the report back at idle')

    def test_connects_to_a_silent_host_end_after_connect_timeout(self):
        hole = free_address()
        with BlackHole(hole), Controller(connect_timeout=1) as vc:
            # Every kind of connect at once (Modbus runs on a TCP channel), a
            # command slot each.
            runs = [Background(vc.call, 'TCPCONNECT', addr=hole, port=502, slot=0),
                    Background(vc.call, 'TELNETCONNECT', addr=hole, port=23,
                               field=['user', 'secret', '$ '], slot=1, timeout=30),
                    Background(vc.call, 'FTPCONNECT', addr=hole, port=21,
                               field=['user', 'secret'], slot=2, timeout=30),
                    Background(vc.call, 'SMTP', addr=hole, port=25, slot=3, timeout=30,
                               field=['user', 'secret', 'a@cell.example', 'b@cell.example',
                                      'text'])]
            for run in runs:
                result, seconds = run.join()
                self.assertEqual(result, 254)
                self.assertLess(seconds, 1 + 4)
            self.assertEqual(vc.call('INFO', p8=0), 255)

    def test_malformed_settings_are_refused(self):
        with Controller(start=False) as vc:
            for value in ('Nowhere:1', 'Malloc', 'Malloc:x', 'get:Q:1', 'put:B:5-2', 'Socket:1:2:0'):
                with Env(KOR_FAULTS=value):
                    result = subprocess.run([program('arvokor'), '--config', vc.config_path],
                                            capture_output=True, text=True, timeout=20)
                self.assertEqual(result.returncode, 2, value)
                self.assertIn('KOR_FAULTS', result.stderr)
            with Env(KOR_FAULTS_AFTER_MS='soon'):
                result = subprocess.run([program('arvokor'), '--config', vc.config_path],
                                        capture_output=True, text=True, timeout=20)
            self.assertEqual(result.returncode, 2)
            self.assertIn('KOR_FAULTS_AFTER_MS', result.stderr)

class OutOfDescriptors(unittest.TestCase):
    """arvokor's descriptor limit reached: what needs a descriptor fails with
    254 and says why, everything else works (a command task runs without
    one), a listening channel keeps its waiting connection, the admin port
    answers again, once descriptors come free."""

    def test_limit_reached_and_freed(self):
        # The address build also checks vptrs (UBSan). On a miss in its type
        # cache that check probes the vtable's memory through a pipe(); at the
        # limit the pipe fails, the check reports "invalid vptr" for a sound
        # object (a channel's release, shared_ptr's _Sp_counted_base) and,
        # not recoverable in this build, ends arvokor: the next command then
        # times out. With that check disabled the case passes in this build.
        if sanitizer() == 'address':
            self.skipTest("UBSan's vptr check needs a pipe to probe memory: at the "
                          "descriptor limit it reports a false 'invalid vptr' and ends arvokor")
        peer = socket.socket()
        self.addCleanup(peer.close)
        peer.bind((free_address(), 0))
        peer.listen(32)
        with Controller() as vc:
            port = unused_port(vc.address)
            listener = vc.call('TCPLISTEN', port=port)
            self.assertTrue(1 <= listener <= 19, listener)
            used = len(os.listdir('/proc/%d/fd' % vc.proc.pid))
            # Room for three more channels (four descriptors each) and a bit.
            resource.prlimit(vc.proc.pid, resource.RLIMIT_NOFILE, (used + 14, used + 14))
            handles = []
            while len(handles) < 19:
                h = vc.call('TCPCONNECT', addr=peer.getsockname()[0],
                            port=peer.getsockname()[1])
                if not 1 <= h <= 19:
                    break
                handles.append(h)
            self.assertEqual(h, 254)
            self.assertLess(len(handles), 5)
            vc.wait_output('Error - Could not create TCP socket: Too many open files')
            self.assertEqual(vc.call('INFO', p8=0), 255)
            source = free_address()
            client = socket.socket()
            self.addCleanup(client.close)
            client.bind((source, 0))
            client.connect((vc.address, port))
            vc.wait_output('Error - ctlAccept(): Too many open files')
            for h in handles:
                self.assertEqual(vc.call('CLOSEHANDLE', handle=h), 255)
            wait_for(lambda: 1 <= vc.call('TCPISACCEPTED', handle=listener, addr=source) <= 19,
                     timeout=5, what='the waiting connection to be accepted')
            admin = subprocess.run([program('koradmin'), '--host', vc.address, 'version'],
                                   capture_output=True, text=True, timeout=30)
            self.assertEqual((admin.returncode, admin.stdout.strip()), (0, '1'), admin.stderr)
            h = vc.call('TCPCONNECT', addr=peer.getsockname()[0], port=peer.getsockname()[1])
            self.assertTrue(1 <= h <= 19, h)


# Where the state file's lock lives: after magic, version, sizes, counts,
# retired flag and boot id, at the next 64-byte boundary.
LOCK_OFFSET = 128


class DamagedStateFiles(unittest.TestCase):
    """Each form of damage is refused with a message that says what is
    damaged and how to recover; no value is given up unasked, no wait for
    the state lock is without bound, SIGTERM ends arvokor while it starts."""

    def prepared(self):
        vc = Controller()
        self.addCleanup(vc.close)
        vc.set('D10', 4711)
        vc.stop()
        return vc

    def arvokor(self, vc, *args, timeout=30):
        return subprocess.run([program('arvokor'), '--config', vc.config_path] + list(args),
                              capture_output=True, text=True, timeout=timeout, cwd=vc.dir)

    def damage(self, vc, offset, data):
        with open(vc.state_path, 'r+b') as f:
            f.seek(offset)
            f.write(data)

    def test_zeroed_header_is_refused_until_asked_to_start_over(self):
        vc = self.prepared()
        self.damage(vc, 0, b'\0' * 8)
        with open(vc.state_path, 'rb') as f:
            damaged = f.read()
        got = vc.korjob('get', 'D10', check=False)
        self.assertEqual(got.returncode, 2, got.stderr)
        self.assertIn('is damaged (its first bytes', got.stderr)
        self.assertIn('--new-state', got.stderr)
        run = self.arvokor(vc)
        self.assertNotEqual(run.returncode, 0)
        self.assertIn('is damaged (its first bytes', run.stdout + run.stderr)
        with open(vc.state_path, 'rb') as f:
            self.assertEqual(f.read(), damaged, 'the file is left as it was')
        proc = subprocess.Popen([program('arvokor'), '--config', vc.config_path, '--new-state'],
                                cwd=vc.dir, stdout=subprocess.DEVNULL)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.terminate)
        wait_for(lambda: vc.korjob('get', 'D10', check=False).stdout.strip() == '0',
                 what='a new state file')
        with open(vc.state_path + '.damaged', 'rb') as f:
            self.assertEqual(f.read(), damaged)

    def test_damaged_lock_area_says_so_and_is_repaired_keeping_the_values(self):
        vc = self.prepared()
        self.damage(vc, LOCK_OFFSET, bytes((i * 37 + 11) % 256 for i in range(40)))
        got = vc.korjob('get', 'D10', check=False)
        self.assertEqual(got.returncode, 2, got.stderr)
        self.assertIn('lock', got.stderr)
        self.assertIn('--repair-state', got.stderr)
        self.assertNotIn('replaced while in use', got.stderr)
        run = self.arvokor(vc)
        self.assertNotEqual(run.returncode, 0)
        self.assertIn('--repair-state', run.stdout + run.stderr)
        proc = subprocess.Popen([program('arvokor'), '--config', vc.config_path,
                                 '--repair-state'], cwd=vc.dir, stdout=subprocess.DEVNULL)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.terminate)
        wait_for(lambda: vc.korjob('get', 'D10', check=False).stdout.strip() == '4711',
                 what='the repaired state file')

    def test_lock_held_by_a_running_thread_ends_every_wait(self):
        vc = self.prepared()
        holder = subprocess.Popen(['sleep', '120'])
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        self.damage(vc, LOCK_OFFSET, holder.pid.to_bytes(4, 'little'))
        start = time.monotonic()
        got = vc.korjob('get', 'D10', check=False)
        self.assertEqual(got.returncode, 2, got.stderr)
        self.assertLess(time.monotonic() - start, 20)
        self.assertIn('held for more than 10 s by thread %d of process %d (sleep)'
                      % (holder.pid, holder.pid), got.stderr)
        # arvokor waits for the lock before its banner: SIGTERM ends it there.
        proc = subprocess.Popen([program('arvokor'), '--config', vc.config_path], cwd=vc.dir,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        time.sleep(1)
        proc.send_signal(signal.SIGTERM)
        out = proc.communicate(timeout=5)[0]
        self.assertEqual(proc.returncode, 1)
        self.assertIn('stopped by SIGTERM while starting', out)


class FullJobFolder(unittest.TestCase):
    """The job folder on a small file system of its own that fills up: a
    download fails keeping the old job, the console says the folder is full,
    the controller's FTP server prints no traceback and leaves no temporary
    file behind."""

    load = FtpLoadTest.load

    def small_folder(self, size):
        folder = tempfile.mkdtemp(prefix='arvokor-jobs-')
        self.addCleanup(os.rmdir, folder)
        mounted = subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=%s' % size, 'tmpfs',
                                  folder], capture_output=True)
        if mounted.returncode != 0:
            self.skipTest('cannot mount a tmpfs here: %s' % mounted.stderr.decode().strip())
        self.addCleanup(subprocess.run, ['umount', '-l', folder])
        return folder

    def test_download_into_a_full_folder(self):
        folder = self.small_folder('512k')
        vc = Controller(ftp_server='auto', jobs=folder)
        self.addCleanup(vc.close)
        write_job(vc, 'WELD1.JBI', JOB_CRLF)
        with open(os.path.join(folder, 'FILLER.JBI'), 'wb') as f:
            f.write(b'x' * (320 * 1024))  # less room left than the job needs
        remote = FtpPeer(self, 'ftp_scripted.py')
        remote.write('robot/jobs/WELD1.JBI', BIG_LF)
        self.assertEqual(self.load(vc, 'FTPLOADGET', remote.host), 249)
        vc.wait_output('not stored: no space left on device')
        self.assertEqual(read_job(vc, 'WELD1.JBI'), JOB_CRLF)
        self.assertEqual(transfer_leftovers(folder), [], vc.output())
        # A store that only fails when its file is closed (the last buffered
        # bytes), and one that a client leaves behind: no temporary file stays.
        with ftplib.FTP(vc.address, 'ftp', '', timeout=10) as ftp:
            with self.assertRaises(ftplib.error_temp) as refused:
                ftp.storbinary('STOR PART.JBI.7.kortmp', io.BytesIO(BIG_LF))
            self.assertIn('no space left on device', str(refused.exception))
        wait_for(lambda: transfer_leftovers(folder) == [], timeout=5,
                 what='the temporary file to be removed')
        self.assertNotIn('Traceback', vc.output())
        os.unlink(os.path.join(folder, 'FILLER.JBI'))
        self.assertEqual(self.load(vc, 'FTPLOADGET', remote.host), 255)


class StuckPeer(unittest.TestCase):
    """A peer that never reads while a send to it blocks: every other channel
    goes on at once, and closing the stuck channel ends the send."""

    def listener(self, host, window=None):
        s = socket.socket()
        if window:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, window)
        s.bind((host, 0))
        s.listen()
        self.addCleanup(s.close)
        return s

    def connected(self, vc, listener):
        handle = vc.call('TCPCONNECT', addr=listener.getsockname()[0],
                         port=listener.getsockname()[1])
        self.assertIn(handle, range(1, 20))
        conn, _ = listener.accept()
        self.addCleanup(conn.close)
        conn.settimeout(5)
        return handle, conn

    def within_a_second(self, what, fn, *args, **kwargs):
        start = time.monotonic()
        result = fn(*args, **kwargs)
        self.assertLess(time.monotonic() - start, 1.0, what)
        return result

    def test_a_blocked_send_holds_up_no_other_channel(self):
        host = free_address()
        modbus_host, modbus_port = start_server(self, '--holding', '0:258,772')
        # Small send buffers: a peer that stops reading stops the send after a few blocks.
        with Controller(send_buffer=4096) as vc:
            stuck, _ = self.connected(vc, self.listener(host, window=4096))
            healthy, peer = self.connected(vc, self.listener(host))
            udp_peer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.addCleanup(udp_peer.close)
            udp_peer.bind((host, 0))
            udp_local = unused_port(vc.address, socket.SOCK_DGRAM)
            udp = vc.call('UDPBIND', addr=host, port=udp_peer.getsockname()[1],
                          p1=encode_port(udp_local))
            listen_port = unused_port(vc.address)
            listening = vc.call('TCPLISTEN', port=listen_port)
            modbus = vc.call('TCPCONNECT', addr=modbus_host, port=modbus_port)
            self.assertTrue(all(h in range(1, 20) for h in (udp, listening, modbus)))

            admin = vc.admin(timeout=30)
            self.addCleanup(admin.close)
            for _ in range(1000):  # ":tx" blocks until one does not answer
                admin.send_raw(frame(':tx%d' % stuck, b'y' * 2031))
                reply = admin.collect(expect=4, first_wait=1.0)
                if not reply:
                    break
                self.assertEqual(reply, b'2031')
            else:
                self.fail('the stuck peer took every block')
            blocked_at = time.monotonic()

            peer.sendall(b'T=42\r\n')
            self.assertEqual(self.within_a_second(
                'WAITPATTERN', vc.call_read, 'WAITPATTERN', 2, handle=healthy, bytes='T=*\r\n',
                p4=1, p6=5), (2, b'42'))
            peer.sendall(b'more')
            self.assertEqual(self.within_a_second('READDATA', read_exactly, vc, healthy, 4),
                             b'more')
            datagrams = [b'%02d' % k for k in range(50)]
            for d in datagrams:
                udp_peer.sendto(d, (vc.address, udp_local))
            self.assertEqual(self.within_a_second('UDP', read_exactly, vc, udp, 100),
                             b''.join(datagrams))
            client = socket.create_connection((vc.address, listen_port), timeout=5)
            self.addCleanup(client.close)
            source = client.getsockname()[0]
            accepted = self.within_a_second(
                'TCPISACCEPTED', wait_for,
                lambda: (lambda h: h if h != 249 else 0)(
                    vc.call('TCPISACCEPTED', handle=listening, addr=source)), 1.0)
            self.assertIn(accepted, range(1, 20))
            self.assertEqual(self.within_a_second(
                'MODBUSREAD', vc.call, 'MODBUSREAD', p2=modbus, p1=3, p7=0, p6=2, p4=100, p5=2),
                255)
            self.assertEqual(vc.get('D100..D101'), [258, 772])
            self.assertLess(time.monotonic() - blocked_at, 8, 'the send gave up meanwhile')

            # The stuck channel closes at once, and its send fails within a second.
            self.assertEqual(self.within_a_second('CLOSEHANDLE', vc.call, 'CLOSEHANDLE',
                                                  handle=stuck), 255)
            self.assertEqual(self.within_a_second('the stuck send', admin.collect,
                                                  expect=2, first_wait=1.0), b'-1')
            vc.wait_output('Error - ctlSend()')
            wait_for(lambda: stuck not in admin.handles(), 1.0)


if __name__ == '__main__':
    unittest.main()
