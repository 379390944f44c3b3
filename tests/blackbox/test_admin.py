"""The admin port, driven with raw request frames and with koradmin, against a
running arvokor on its own loopback address."""
import json
import os
import re
import socket
import subprocess
import time
import unittest

import harness
from harness import TcpPeer, unused_port, wait_for
from arvokor.admin import FTP_LOAD_MEANINGS, AdminClient, frame, transfer_record  # noqa: E402

KOR_BIN = os.environ.get("KOR_BIN", os.path.join(os.path.dirname(__file__), "../../build/default"))
KORADMIN = os.path.join(KOR_BIN, "koradmin")


class AdminFrames(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ctl = harness.Controller()
        cls.ctl.__enter__()
        cls.client = AdminClient(cls.ctl.address)

    @classmethod
    def tearDownClass(cls):
        cls.client.close()
        cls.ctl.__exit__(None, None, None)

    def test_version_and_unknown(self):
        self.assertEqual(self.client.request(":v"), b"1")
        self.assertEqual(self.client.request(":v1"), b"Unknown command")
        self.assertEqual(self.client.request(":nonsense"), b"Unknown command")

    def test_malformed_requests_get_no_reply_and_connection_stays(self):
        self.client.send_raw(b":v".ljust(15, b"\0"))        # 15 bytes: too short
        self.assertEqual(self.client.collect(first_wait=0.5), b"")
        self.client.send_raw(frame(":v", b"ab", length=3))   # length one more than sent
        self.assertEqual(self.client.collect(first_wait=0.5), b"")
        self.assertEqual(self.client.request(":v"), b"1")

    def test_set_and_get_b_variables(self):
        self.assertEqual(self.client.request(":sb5", bytes([7, 8, 9])), b"0")
        self.assertEqual(self.ctl.get("B5"), 7)
        self.assertEqual(self.ctl.get("B7"), 9)
        self.assertEqual(self.client.request(":gb5", b"3", expect=3), bytes([7, 8, 9]))
        self.assertEqual(len(self.client.request(":gb0", b"4", expect=4)), 4)
        # An empty payload writes nothing and replies 0.
        self.assertEqual(self.client.request(":sb900", b""), b"0")

    def test_get_bytes_count_out_of_bounds(self):
        self.assertEqual(self.client.request(":gb0", b"-5"), b"-1")
        self.assertEqual(self.client.request(":gb0", b"99999999999"), b"-1")
        self.assertEqual(self.client.request(":gb0", b""), b"-1")

    def test_set_bytes_failure_reports_the_variable_layer_result(self):
        # B variables beyond the configured count cannot be written.
        reply = self.client.request(":sb999", bytes([1, 2, 3]))
        self.assertNotEqual(reply, b"0")

    def test_handles_with_no_channel(self):
        self.assertEqual(self.client.request(":h?"), b"0")
        self.assertEqual(self.client.request(":h20"), b"-1")
        self.assertEqual(self.client.request(":hc20"), b"-1")
        self.assertEqual(self.client.request(":h5"), b"-1")
        self.assertEqual(self.client.request(":ir5"), b"-1")
        self.assertEqual(self.client.request(":ir-3"), b"-1")
        self.assertEqual(self.client.request(":ic30"), b"-1")
        self.assertEqual(self.client.request(":tx3", b"abc"), b"-1")

    def test_txsb_is_transmit_on_handle_zero(self):
        self.assertEqual(self.client.request(":txsb", b"x"), b"-1")

    def test_job_list_empty_then_some(self):
        jobs = self.ctl.jobs_dir
        for name in os.listdir(jobs):
            os.remove(os.path.join(jobs, name))
        self.assertEqual(self.client.request(":list"), b"\n")
        for name in ("A.JBI", "B.JBI"):
            with open(os.path.join(jobs, name), "w") as f:
                f.write("/JOB\r\n")
        self.assertEqual(self.client.request(":list"), b"\nA.JBI\nB.JBI\n")
        for name in ("A.JBI", "B.JBI"):
            os.remove(os.path.join(jobs, name))

    def test_job_list_stops_before_4095_bytes(self):
        jobs = self.ctl.jobs_dir
        names = ["J%015d.JBI" % i for i in range(300)]  # 21 bytes each with its LF
        for name in names:
            with open(os.path.join(jobs, name), "w") as f:
                f.write("/JOB\r\n")
        try:
            reply = self.client.request(":list")
            # 1 + 194 * 21 = 4075; one more name would make 4096.
            self.assertEqual(len(reply), 4075)
            self.assertEqual(reply, b"\n" + b"".join(n.encode() + b"\n" for n in names[:194]))
        finally:
            for name in names:
                os.remove(os.path.join(jobs, name))


class AdminChannels(unittest.TestCase):
    """Channel rows of the command table, with channels opened through korjob."""

    def test_readout_queue_clear_send_close(self):
        with harness.Controller() as ctl:
            # A TCP listener of the test that echoes nothing and records what it gets.
            server = TcpPeer(owner=self)
            handle = ctl.call("TCPCONNECT", addr=server.host, port=server.port)
            self.assertTrue(1 <= handle <= 19, handle)
            peer = server.accept()
            admin = AdminClient(ctl.address)
            try:
                self.assertEqual(admin.request(":h?"), str(handle).encode())
                record = admin.request(":h%d" % handle, expect=208)
                self.assertEqual(len(record), 208)
                text = lambda off, size: record[off:off + size].split(b"\0")[0].decode()
                self.assertEqual(text(0, 12), str(handle))
                self.assertEqual(text(36, 12), "1")
                self.assertEqual(text(76, 12), "1")
                self.assertTrue(text(132, 40).startswith("/pipe/"))
                # Queue: the peer sends, the admin shows it (left in place), then clears it.
                peer.sendall(b"hello admin")
                wait_for(lambda: admin.request(":ir%d" % handle) != b"-1", 5, 0.05, "queued data")
                self.assertEqual(admin.request(":ir%d" % handle), b"hello admin")
                self.assertEqual(text(196, 12), "0")  # taken before the data arrived
                self.assertEqual(admin.request(":ic%d" % handle), b"0")
                self.assertEqual(admin.request(":ir%d" % handle), b"-1")
                # Send on the channel: the peer receives the payload.
                self.assertEqual(admin.request(":tx%d" % handle, b"to peer"), b"7")
                self.assertEqual(peer.recv(100), b"to peer")
                # Close request: the channel is released by its task soon after.
                self.assertEqual(admin.request(":hc%d" % handle), b"0")
                wait_for(lambda: admin.request(":h?") == b"0", 5, 0.05, "the channel's release")
                self.assertEqual(admin.request(":h?"), b"0")
            finally:
                admin.close()

    def test_transmit_on_listening_channel_is_refused(self):
        with harness.Controller() as ctl:
            port = unused_port("127.0.0.1")
            handle = ctl.call("TCPLISTEN", port=port)
            self.assertTrue(1 <= handle <= 19, handle)
            admin = AdminClient(ctl.address)
            try:
                self.assertEqual(admin.request(":tx%d" % handle, b"x"), b"-1")
                self.assertEqual(admin.request(":h?"), str(handle).encode())
                # Several channels are listed in ascending order.
                handle2 = ctl.call("UDPBIND", p1=0, addr="127.0.0.1", port=9)
                self.assertEqual(admin.request(":h?"),
                                 ",".join(str(h) for h in sorted((handle, handle2))).encode())
            finally:
                admin.close()

    def test_transmit_on_accepted_connection_is_refused(self):
        with harness.Controller() as ctl:
            port = unused_port("127.0.0.1")
            listener = ctl.call("TCPLISTEN", port=port)
            self.assertTrue(1 <= listener <= 19, listener)
            client = socket.create_connection((ctl.address, port), timeout=5)
            admin = AdminClient(ctl.address)
            try:
                def accepted_handles():
                    listed = admin.request(":h?").decode()
                    return [int(h) for h in listed.split(",") if h and int(h) != listener]
                accepted = wait_for(accepted_handles, 5, 0.05, "the accepted connection")
                self.assertEqual(len(accepted), 1, accepted)
                record = admin.request(":h%d" % accepted[0], expect=208)
                self.assertEqual(record[76:88].split(b"\0")[0], b"3")  # accepted connection
                self.assertEqual(admin.request(":tx%d" % accepted[0], b"x"), b"-1")
                client.settimeout(0.3)
                with self.assertRaises(socket.timeout):
                    client.recv(10)
            finally:
                admin.close()
                client.close()

    def test_quit_then_next_client(self):
        with harness.Controller() as ctl:
            first = AdminClient(ctl.address)
            self.assertEqual(first.request(":v"), b"1")
            first.send_raw(frame(":q"))
            # The server ends the connection: the client sees end of file.
            first.sock.settimeout(5)
            self.assertEqual(first.sock.recv(10), b"")
            first.close()
            second = AdminClient(ctl.address)
            self.assertEqual(second.request(":v"), b"1")
            second.close()
            self.assertIn("Starting admin server", ctl.output())


class AdminConsole(unittest.TestCase):
    """The server's console messages, and its stop when the port is taken."""

    def test_messages_of_a_served_connection(self):
        with harness.Controller() as ctl:
            ctl.wait_output("Starting admin server\n")
            mark = ctl.wait_output("Waiting on TCP connection...\r\n")
            client = AdminClient(ctl.address)
            self.assertEqual(client.request(":v"), b"1")
            client.close()
            end = ctl.wait_output("Admin server closed\r\n", start=mark)
            ctl.wait_output("Waiting on TCP connection...\r\n", start=end)

    def test_an_idle_client_is_closed_after_10_s_and_the_next_is_served(self):
        with harness.Controller() as ctl:
            ctl.wait_output("Waiting on TCP connection")  # the admin port listens
            # Served first: half a frame, then nothing.
            idle = socket.create_connection((ctl.address, 15000), timeout=30)
            self.addCleanup(idle.close)
            idle.sendall(frame(":v")[:8])
            time.sleep(0.2)
            start = time.monotonic()
            waiting = subprocess.run([KORADMIN, "--host", ctl.address, "--timeout", "30",
                                      "version"], capture_output=True, text=True, timeout=60)
            self.assertEqual((waiting.returncode, waiting.stdout.strip()), (0, "1"),
                             waiting.stderr)
            self.assertLess(time.monotonic() - start, 14, "served once the idle one was closed")
            self.assertEqual(idle.recv(10), b"", "the idle client was closed")
            self.assertEqual(
                ctl.output().count("Admin client closed: no complete request for 10 s\r\n"), 1)

    def test_an_idle_client_alone_keeps_its_session(self):
        with harness.Controller() as ctl:
            ctl.wait_output("Waiting on TCP connection")
            alone = socket.create_connection((ctl.address, 15000), timeout=30)
            self.addCleanup(alone.close)
            for pause in (0, 12):  # then past the 10 s, with nobody else at the port
                time.sleep(pause)
                alone.sendall(frame(":v"))
                self.assertEqual(alone.recv(10), b"1", pause)
            self.assertNotIn("Admin client closed", ctl.output())

    def test_port_taken_stops_the_server_only(self):
        address = harness.free_address()
        blocker = socket.socket()
        try:
            blocker.bind((address, 15000))
            blocker.listen(1)
            with harness.Controller(address=address) as ctl:
                ctl.wait_output("Stopping TCP server...")
                self.assertNotIn("Waiting on TCP connection", ctl.output())
                self.assertEqual(ctl.call("INFO", p8=0), 255)  # commands are still served
        finally:
            blocker.close()


class AdminJobTransfer(unittest.TestCase):
    """":ftpp" and ":ftpg" against a real remote FTP server and the controller's own."""

    def test_put_and_get_and_a_refused_login(self):
        from test_ftp import JOB_CRLF, JOB_LF, PASSWORD, USER, FtpPeer, read_job, write_job
        with harness.Controller(ftp_server="auto") as ctl:
            remote = FtpPeer(self)
            os.makedirs(remote.path("cell"), exist_ok=True)
            write_job(ctl, "PUT1.JBI", JOB_CRLF)
            admin = AdminClient(ctl.address)
            try:
                record = transfer_record(USER, PASSWORD, "cell", "PUT1.JBI", remote.host)
                self.assertEqual(admin.request(":ftpp", record), b"0\r\n")
                self.assertEqual(remote.read("cell/PUT1.JBI"), JOB_LF)
                remote.write("cell/GET1.JBI", JOB_LF)
                record = transfer_record(USER, PASSWORD, "cell", "GET1.JBI", remote.host)
                self.assertEqual(admin.request(":ftpg", record), b"0\r\n")
                self.assertEqual(read_job(ctl, "GET1.JBI"), JOB_CRLF)
                record = transfer_record(USER, "wrong", "cell", "GET1.JBI", remote.host)
                self.assertEqual(admin.request(":ftpg", record), b"-4\r\n")
                # Fields the client leaves unterminated are cut inside their room.
                record = b"u" * 404
                self.assertTrue(admin.request(":ftpg", record).endswith(b"\r\n"))
            finally:
                admin.close()
            result = subprocess.run([KORADMIN, "--host", ctl.address, "ftpget", "--server", remote.host,
                                     "--user", USER, "--password", PASSWORD, "--dir", "cell",
                                     "--job", "GET1.JBI"], capture_output=True, text=True, timeout=60)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            self.assertIn("job file moved", result.stdout)


class Koradmin(unittest.TestCase):
    """koradmin end to end for each subcommand."""

    @classmethod
    def setUpClass(cls):
        cls.ctl = harness.Controller()
        cls.ctl.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.ctl.__exit__(None, None, None)

    def run_tool(self, *args, check=True):
        result = subprocess.run([KORADMIN, "--host", self.ctl.address, *args], capture_output=True,
                                text=True, timeout=30)
        if check:
            self.assertEqual(result.returncode, 0, result.stderr)
        return result

    def test_help(self):
        result = subprocess.run([KORADMIN, "--help"], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0)
        self.assertIn("readout N", result.stdout)
        # The ways to keep the FTP password out of ps are told where users look.
        self.assertIn("--password-file FILE", result.stdout)
        self.assertIn("KORADMIN_FTP_PASSWORD", result.stdout)

    def test_version_handles_jobs(self):
        self.assertEqual(self.run_tool("version").stdout.strip(), "1")
        self.assertEqual(self.run_tool("handles").stdout.strip(), "no channel in use")
        self.assertEqual(json.loads(self.run_tool("--json", "handles").stdout), {"handles": []})
        with open(os.path.join(self.ctl.jobs_dir, "K.JBI"), "w") as f:
            f.write("x")
        try:
            self.assertIn("K.JBI", self.run_tool("jobs").stdout)
            self.assertEqual(json.loads(self.run_tool("--json", "jobs").stdout)["jobs"], ["K.JBI"])
        finally:
            os.remove(os.path.join(self.ctl.jobs_dir, "K.JBI"))

    def test_setb_getb(self):
        self.assertEqual(self.run_tool("setb", "40", "1", "2", "255").stdout, "done\n")
        out = self.run_tool("getb", "40", "3").stdout
        self.assertIn("B40 = 1", out)
        self.assertIn("B42 = 255", out)
        data = json.loads(self.run_tool("--json", "getb", "40", "3").stdout)
        self.assertEqual(data["bytes"], [1, 2, 255])

    def test_failures_are_explained(self):
        result = self.run_tool("readout", "20", check=False)
        self.assertEqual(result.returncode, 1)
        self.assertIn("not in use", result.stdout)
        result = self.run_tool("queue", "3", check=False)
        self.assertEqual(result.returncode, 1)
        result = self.run_tool("close", "3", check=False)
        self.assertEqual(result.returncode, 1)
        result = self.run_tool("clear", "30", check=False)
        self.assertEqual(result.returncode, 1)
        result = self.run_tool("send", "3", "x", check=False)
        self.assertEqual(result.returncode, 1)
        result = subprocess.run([KORADMIN, "--host", self.ctl.address, "--port", "1", "version"],
                                capture_output=True, text=True)
        self.assertEqual(result.returncode, 3)
        self.assertIn("connection refused", result.stderr.lower())
        # A server whose backlog is full takes no connection: the connect is
        # bounded by --timeout too.
        full = socket.socket()
        self.addCleanup(full.close)
        full.bind((harness.free_address(), 0))
        full.listen(0)
        queued = []
        for _ in range(3):
            c = socket.socket()
            c.setblocking(False)
            c.connect_ex(full.getsockname())
            queued.append(c)
            self.addCleanup(c.close)
        start = time.monotonic()
        result = subprocess.run([KORADMIN, "--host", full.getsockname()[0], "--port",
                                 str(full.getsockname()[1]), "--timeout", "1", "version"],
                                capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 3, result.stderr)
        self.assertIn("no connection within 1 s", result.stderr)
        self.assertLess(time.monotonic() - start, 5)
        result = subprocess.run([KORADMIN, "bogus"], capture_output=True, text=True)
        self.assertEqual(result.returncode, 2)

    def test_raw(self):
        out = self.run_tool("--json", "raw", ":v").stdout
        self.assertEqual(json.loads(out)["text"], "1")
        out = self.run_tool("raw", ":sb60", "\\x05\\x06").stdout
        self.assertIn("30", out)  # the reply "0" as a hex dump
        self.assertEqual(self.ctl.get("B61"), 6)

    def test_refusals_come_without_waiting_for_the_time_out(self):
        start = time.monotonic()
        result = self.run_tool("--timeout", "20", "readout", "5", check=False)
        self.assertEqual(result.returncode, 1)
        self.assertLess(time.monotonic() - start, 10)


class KoradminChannel(unittest.TestCase):
    """koradmin's channel subcommands on an open TCP channel."""

    def test_readout_queue_send_clear_close_and_quit(self):
        with harness.Controller() as ctl:
            server = TcpPeer()
            handle = ctl.call("TCPCONNECT", addr=server.host, port=server.port)
            self.assertTrue(1 <= handle <= 19, handle)
            peer = server.accept()

            def tool(*args, status=0):
                result = subprocess.run([KORADMIN, "--host", ctl.address, *map(str, args)],
                                        capture_output=True, text=True, timeout=30)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                return result.stdout

            try:
                self.assertEqual(tool("handles").strip(), str(handle))
                lines = {line[:13].strip(): line[14:]
                         for line in tool("readout", handle).splitlines()}
                self.assertEqual(lines["handle"], str(handle))
                self.assertEqual(lines["inUse"], "1")
                self.assertEqual(lines["type"], "1 (TCP client)")
                # The peer it connected to.
                self.assertEqual((lines["ipAddress"], lines["port"]),
                                 (server.host, str(server.port)))
                self.assertTrue(lines["pipeName"].startswith("/pipe/"))
                record = json.loads(tool("--json", "readout", handle))
                self.assertEqual((record["queued"], record["handle"]), (0, handle))  # numbers

                peer.sendall(b"AB\x01\xff")
                wait_for(lambda: json.loads(tool("--json", "readout", handle))["queued"] == 4,
                         5, 0.05, "4 bytes queued")
                out = tool("queue", handle)
                self.assertIn("4 bytes", out)
                self.assertIn("41 42 01 ff", out)
                self.assertIn("AB..", out)
                self.assertEqual(json.loads(tool("--json", "queue", handle))["bytes"],
                                 [0x41, 0x42, 1, 0xff])
                self.assertEqual(tool("clear", handle).strip(), "done")
                self.assertEqual(tool("queue", handle), "0 bytes\n")  # empty is no failure
                tool("queue", handle + 1, status=1)

                self.assertEqual(tool("send", handle, "hi\\r\\n").strip(), "4 bytes sent")
                self.assertEqual(peer.recv(100), b"hi\r\n")

                self.assertEqual(tool("close", handle).strip(), "done")
                wait_for(lambda: tool("handles").strip() == "no channel in use", 5, 0.05,
                         "the channel's release")
                self.assertEqual(tool("handles").strip(), "no channel in use")
                self.assertEqual(peer.recv(100), b"")  # the channel's socket is closed

                # quit ends the served connection; the next client is served.
                self.assertEqual(tool("quit"), "")
                self.assertEqual(tool("version").strip(), "1")

                # The address from the controller's settings file, or from
                # KORADMIN_HOST; --host and --config exclude each other.
                for args, env in ((["--config", ctl.config_path], {}),
                                  ([], {"KORADMIN_HOST": ctl.address})):
                    result = subprocess.run([KORADMIN, *args, "version"], capture_output=True,
                                            text=True, timeout=30, env=dict(os.environ, **env))
                    self.assertEqual((result.returncode, result.stdout), (0, "1\n"), result.stderr)
                result = subprocess.run([KORADMIN, "--host", ctl.address, "--config",
                                         ctl.config_path, "version"], capture_output=True, text=True)
                self.assertEqual(result.returncode, 2)
            finally:
                server.close()

    def test_python_client_reads_what_koradmin_reads(self):
        # Two clients of one protocol: the package's record layout and reply
        # parsing must agree with koradmin's.
        with harness.Controller() as ctl:
            server = TcpPeer()
            handle = ctl.call("TCPCONNECT", addr=server.host, port=server.port)
            peer = server.accept()
            with open(os.path.join(ctl.jobs_dir, "A.JBI"), "w") as f:
                f.write("/JOB\r\n")

            def tool(*args):
                result = subprocess.run([KORADMIN, "--json", "--host", ctl.address, *map(str, args)],
                                        capture_output=True, text=True, timeout=30)
                return json.loads(result.stdout)

            try:
                with ctl.admin() as admin:
                    self.assertEqual(admin.version(), "1")
                    self.assertEqual(admin.handles(), [handle])
                    self.assertEqual(admin.jobs(), ["A.JBI"])
                    peer.sendall(b"AB\x00\xff")
                    harness.wait_for(lambda: admin.readout(handle)["queued"] == "4")
                    self.assertEqual(admin.queue(handle), b"AB\x00\xff")
                    admin.setb(300, [7, 0, 255])
                    self.assertEqual(admin.getb(300, 3), bytes([7, 0, 255]))
                    self.assertTrue(admin.send(handle, b"hi"))
                    self.assertEqual(peer.recv(100), b"hi")
                    record = admin.readout(handle)
                    self.assertIsNone(admin.readout(handle + 1))
                # One client at a time: koradmin's turn once ours is closed.
                # koradmin gives the number fields as JSON numbers.
                texts = ("ipAddress", "taskName", "pipeName")
                self.assertEqual(tool("readout", handle),
                                 {k: v if k in texts else int(v) for k, v in record.items()})
                self.assertEqual(tool("jobs")["jobs"], ["A.JBI"])
                self.assertEqual(tool("getb", 300, 3)["bytes"], [7, 0, 255])
                with ctl.admin() as admin:
                    self.assertTrue(admin.clear(handle))
                    self.assertEqual(admin.queue(handle), b"-1")
                    self.assertTrue(admin.close_channel(handle))
                    harness.wait_for(lambda: admin.handles() == [])
                    self.assertFalse(admin.close_channel(handle))
            finally:
                server.close()

    def test_ftpput(self):
        from test_ftp import JOB_CRLF, JOB_LF, PASSWORD, USER, FtpPeer, write_job
        with harness.Controller(ftp_server="auto") as ctl:
            remote = FtpPeer(self)
            os.makedirs(remote.path("cell"), exist_ok=True)
            write_job(ctl, "KPUT.JBI", JOB_CRLF)
            args = [KORADMIN, "--host", ctl.address, "ftpput", "--server", remote.host,
                    "--user", USER, "--password", PASSWORD, "--dir", "cell", "--job", "KPUT.JBI"]
            result = subprocess.run(args, capture_output=True, text=True, timeout=60)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            # One wording with the Python package (and the command reference).
            self.assertEqual(result.stdout.strip(), "0: " + FTP_LOAD_MEANINGS[0])
            self.assertEqual(remote.read("cell/KPUT.JBI"), JOB_LF)
            args[args.index("--password") + 1] = "wrong"
            result = subprocess.run(args, capture_output=True, text=True, timeout=60)
            self.assertEqual(result.returncode, 1)
            self.assertIn("-4: " + FTP_LOAD_MEANINGS[-4], result.stdout)

            # The password kept off the command line: a file's first line, or
            # the environment; an explicit one wins over the environment.
            without = args[:args.index("--password")] + args[args.index("--password") + 2:]
            password_file = os.path.join(ctl.dir, "ftp-password")
            with open(password_file, "w") as f:
                f.write(PASSWORD + "\r\nnot this line\n")
            env = dict(os.environ, KORADMIN_FTP_PASSWORD="wrong")
            for extra, status in (([], 1), (["--password-file", password_file], 0),
                                  (["--password", PASSWORD], 0)):
                result = subprocess.run(without + extra, capture_output=True, text=True,
                                        timeout=60, env=env)
                self.assertEqual(result.returncode, status, (extra, result.stdout))
            env["KORADMIN_FTP_PASSWORD"] = PASSWORD
            result = subprocess.run(without, capture_output=True, text=True, timeout=60, env=env)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            for extra in (["--password", "x", "--password-file", password_file],
                          ["--password-file", password_file + ".missing"]):
                result = subprocess.run(without + extra, capture_output=True, text=True,
                                        timeout=60)
                self.assertEqual(result.returncode, 2, result.stdout + result.stderr)


class WhatHappened(unittest.TestCase):
    """Journal, console and counters: what a job's commands did, read back
    through the extension requests and koradmin."""

    def journal(self, ctl, since=0):
        with ctl.admin() as admin:
            return admin.journal(since)

    def test_journal_explains_success_failure_time_out_and_hides_secrets(self):
        with harness.Controller() as ctl:
            closed_port = unused_port(ctl.address)
            info_call = ctl.call("INFO", p8=1, block=300)
            self.assertEqual(info_call, 4)
            refused_call = ctl.call("TCPCONNECT", addr=ctl.address, port=closed_port)
            self.assertEqual(refused_call, 254)
            # A channel on which nothing arrives: WAITPATTERN waits out its 1 s.
            server = socket.socket()
            server.bind((ctl.address, 0))
            server.listen(1)
            handle = ctl.call("TCPCONNECT", addr=ctl.address, port=server.getsockname()[1])
            peer, _ = server.accept()
            self.assertEqual(ctl.call("WAITPATTERN", handle=handle, bytes="x", p6=1), 253)
            ctl.call("CLOSEHANDLE", handle=handle)
            peer.close()
            server.close()
            ctl.set("S20", ctl.address, "S21", "robot", "S22", "S3cret-pw", "S23", "jobs")
            self.assertEqual(ctl.call("FTPLOADGET", p4=20, p5=21, p6=22, p7=23, p0=1, p1=23), 252)
            nxt, capacity, unrecorded, entries = self.journal(ctl)
            self.assertEqual((capacity, unrecorded), (2048, 0))
            self.assertEqual([e.seq for e in entries], list(range(1, nxt)))
            info, refused, connected, wait, close, ftp = entries
            self.assertEqual((info.name, info.id, info.result, info.params[8]), ("INFO", 8, 4, 1))
            self.assertEqual(info.console, ["Info - ArvoKOR command, Param:1 Ret:110"])
            self.assertEqual((refused.name, refused.result), ("TCPCONNECT", 254))
            self.assertEqual(refused.params[4:8], [int(x) for x in ctl.address.split(".")])
            # The specified text, then what failed: the address and port.
            self.assertEqual(refused.console, ["Error - ctlConnect(): Connection refused (to %s:%d)"
                                               % (ctl.address, closed_port)])
            self.assertEqual((connected.result, wait.name, wait.result), (handle, "WAITPATTERN", 253))
            self.assertGreaterEqual(wait.duration_ms, 1000)
            self.assertIn("Data available -1", wait.console)
            self.assertEqual((close.name, ftp.name, ftp.result), ("CLOSEHANDLE", "FTPLOADGET", 252))
            text = "\n".join(ftp.console) + ctl.output()
            self.assertNotIn("S3cret-pw", text)
            self.assertIn("User:robot,Passw:***,", ftp.console[0])
            # koradmin shows the failed command with what the console said.
            out = subprocess.run([KORADMIN, "--host", ctl.address, "journal", "--since", "1"],
                                 capture_output=True, text=True, timeout=30)
            self.assertEqual(out.returncode, 0, out.stderr)
            first = out.stdout.splitlines()[:2]
            self.assertRegex(first[0], r"#2 slot 0  TCPCONNECT \(1\)  p=.*-> 254 failed  \d+ ms$")
            self.assertEqual(first[1], "    | " + refused.console[0])
            # The Python package's failed call brings the same lines, also in
            # its repr (an assertion message); a value (INFO's length) none.
            self.assertEqual(refused_call.console, refused.console)
            self.assertIn(refused.console[0], repr(refused_call))
            self.assertIsNone(info_call.console)
            out = subprocess.run([KORADMIN, "--host", ctl.address, "journal", "--json"],
                                 capture_output=True, text=True, timeout=30)
            entries = json.loads(out.stdout)
            self.assertEqual(entries[1]["result"], 254)
            self.assertEqual(entries[1]["params"][4:8], [int(x) for x in ctl.address.split(".")])

    def test_reader_that_fell_behind_sees_the_gap(self):
        with harness.Controller(journal=4) as ctl:
            for _ in range(7):
                ctl.call("INFO", p8=1, block=300)
            nxt, capacity, _, entries = self.journal(ctl)
            self.assertEqual((nxt, capacity), (8, 4))
            self.assertEqual([e.seq for e in entries], [4, 5, 6, 7])
            out = subprocess.run([KORADMIN, "--host", ctl.address, "journal", "--since", "1"],
                                 capture_output=True, text=True, timeout=30)
            self.assertEqual(out.stdout.splitlines()[0],
                             "... 2 entries missed (overwritten before they were read)")

    def test_counters_match_a_scripted_run(self):
        with harness.Controller() as ctl:
            closed_port = unused_port(ctl.address)
            for _ in range(7):
                self.assertEqual(ctl.call("TCPCONNECT", addr=ctl.address, port=closed_port), 254)
            server = socket.socket()
            server.bind((ctl.address, 0))
            server.listen(1)
            handle = ctl.call("TCPCONNECT", addr=ctl.address, port=server.getsockname()[1])
            peer, _ = server.accept()
            # 10000 bytes into an 8192-byte queue: 1808 are dropped.
            peer.sendall(b"z" * 10000)
            self.assertEqual(ctl.call("SENDDATA", handle=handle, bytes="hello"), 5)
            with ctl.admin() as admin:
                harness.wait_for(lambda: admin.counters().get("bytes_in", {}).get("tcpclient") == 10000)
                counters = admin.counters()
            ctl.call("CLOSEHANDLE", handle=handle)
            peer.close()
            server.close()
            self.assertEqual(counters["command"][1], {254: 7, handle: 1})
            self.assertEqual(counters["command"][2], {5: 1})
            self.assertEqual(counters["bytes_dropped"], {"tcpclient": 1808})
            self.assertEqual(counters["bytes_out"], {"tcpclient": 5})
            self.assertEqual(counters["channels_opened"], {"tcpclient": 1})
            self.assertEqual(sum(counters["duration_ms_le"].values())
                             + counters["duration_ms_over"][30000], 9)
            self.assertEqual(counters["admin_sessions"], 1)
            # By command: classes, durations with their sum; by handle: bytes; the start.
            self.assertEqual(counters["command_result"][1], {"failure": 7, "success": 1})
            self.assertEqual(sum(counters["command_duration_ms_le"][1].values()), 8)
            self.assertIn(1, counters["command_duration_ms_sum"])
            self.assertEqual(counters["handle_bytes_in"], {handle: 10000})
            self.assertEqual(counters["handle_bytes_out"], {handle: 5})
            self.assertLess(abs(counters["started_ms"] / 1000 - time.time()), 120)
            self.assertNotIn("slot_busy", counters)  # nothing runs while the admin port reads
            out = subprocess.run([KORADMIN, "--host", ctl.address, "counters", "--json"],
                                 capture_output=True, text=True, timeout=30)
            self.assertEqual(json.loads(out.stdout)["command"]["1"]["254"], 7)
            # In words: a heading per counter, commands by name, results by meaning.
            out = subprocess.run([KORADMIN, "--host", ctl.address, "counters"],
                                 capture_output=True, text=True, timeout=30).stdout
            self.assertRegex(out, r"(?m)^command: command, result +count$")
            self.assertRegex(out, r"(?m)^  TCPCONNECT \(1\) 254 failed +7$")
            self.assertRegex(out, r"(?m)^bytes_dropped: kind +count\n  tcpclient +1808$")
            self.assertRegex(out, r"(?m)^counter +count\n(  \w+ +\d+\n)*  admin_sessions +\d+$")

    def test_console_shows_repeats_live_and_folds_only_a_flood(self):
        waiting = "Waiting on TCP connection..."
        with harness.Controller() as ctl:
            wait_for(lambda: waiting in ctl.output())
            # A line repeated at a human pace is on the console as it happens,
            # each time, before the next session starts.
            for n in range(2, 6):
                time.sleep(0.45)
                with ctl.admin() as admin:
                    admin.quit()
                wait_for(lambda: ctl.output().count(waiting) == n, timeout=1)
            # A flood: at most three more are shown, the rest counted, and the
            # count comes within a second without another line.
            for _ in range(12):
                with ctl.admin() as admin:
                    admin.quit()
            ended = time.monotonic()
            wait_for(lambda: "last message repeated" in ctl.output(), timeout=1.5)
            self.assertLess(time.monotonic() - ended, 1.5)
            time.sleep(1)  # every count of the flood is out
            out = ctl.output()
            counts = [int(n) for n in re.findall(r"last message repeated (\d+) times", out)]
            shown = out.count(waiting) - 5
            self.assertLessEqual(shown, 3, out)
            self.assertEqual(shown + sum(counts), 12, out)
            self.assertEqual(ctl.call("INFO", p8=1, block=300), 4)
            with ctl.admin() as admin:
                _, lines = admin.console()
            texts = [l["text"] for l in lines]
            folds = [l for l in lines if l["text"].startswith("last message repeated")]
            self.assertEqual(sum(l["count"] for l in folds), sum(counts))
            self.assertEqual({l["task"] for l in folds},
                             {l["task"] for l in lines if l["text"] == waiting})
            self.assertIn("Info - ArvoKOR command, Param:1 Ret:110", texts)

if __name__ == "__main__":
    unittest.main()
