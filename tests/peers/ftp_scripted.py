#!/usr/bin/python3
"""A scripted FTP server for the faults a real server will not produce.

Serves the files of --root over a minimal FTP dialogue (USER, PASS, TYPE, PASV,
PORT, RETR, STOR, NLST, LIST, CWD, CDUP, PWD, MKD, RMD, DELE, RNFR, RNTO, SIZE,
MDTM, SYST, SITE, QUIT) and misbehaves where told to:

  --reply CMD=TEXT    answer CMD with TEXT (\\r\\n inside TEXT separates lines)
  --silent CMD        never answer CMD
  --stall CMD         answer CMD with the start of a line, then say nothing more
  --hangup CMD        close the control connection after answering CMD
  --endless CMD       answer CMD (or the greeting: --endless greeting) with
                      "CODE-" continuation lines, one every 0.2 s, for ever
  --trickle CMD       answer CMD with a line that never ends, a byte every 0.2 s
  --cut N             RETR: send only the first N bytes, then close the data connection
  --reset N           RETR: send N bytes, then abort the data connection (RST)
  --hang N            RETR: send N bytes, then keep the data connection open, silent
  --freeze N          RETR: send N bytes, then fall silent on both connections (a
                      peer that is gone: no completion reply, no answer to QUIT)
  --slow BPS          RETR: send at about BPS bytes per second
  --stor-reset N      STOR: abort the data connection (RST) after N bytes, reply 426
  --stor-freeze N     STOR: stop reading after N bytes and fall silent on both connections
  --no-rename         refuse RNFR with 502
  --retr-done TEXT    RETR completion reply (default 226)
  --stor-done TEXT    STOR completion reply (default 226)
  --pasv-address A    PASV: listen for the data connection on A (default: --address)
  --pasv-port P       PASV: ... on port P (default: any free port)
  --pasv-text TEXT    PASV: reply TEXT instead of the usual one (the listener stays)
  --auth-extra TEXT   AUTH TLS: send TEXT (\\r\\n separates lines) right behind the
                      234 reply, in the same packet, before the handshake
  --tls-cert PEM      with --tls-key: answer AUTH TLS (then PBSZ, PROT) and run the
                      data connections in TLS after PROT P; every data connection
                      ends with close_notify except one cut by --cut (a TCP close
                      only, as an attacker in between would cause)

STOR keeps the received bytes unchanged. Every command line received is
appended to --log. Prints "ready <port>" on stdout once it listens.
"""
import argparse
import os
import socket
import ssl
import struct
import sys
import threading
import time


def parse_args():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--address", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--root", required=True)
    p.add_argument("--log")
    p.add_argument("--greeting", default="220 scripted server ready")
    p.add_argument("--user", default="robot")
    p.add_argument("--password", default="secret")
    p.add_argument("--reply", action="append", default=[])
    p.add_argument("--silent", action="append", default=[])
    p.add_argument("--stall", action="append", default=[])
    p.add_argument("--hangup", action="append", default=[])
    p.add_argument("--endless", action="append", default=[])
    p.add_argument("--trickle", action="append", default=[])
    p.add_argument("--cut", type=int)
    p.add_argument("--reset", type=int)
    p.add_argument("--hang", type=int)
    p.add_argument("--freeze", type=int)
    p.add_argument("--slow", type=int)
    p.add_argument("--stor-reset", type=int)
    p.add_argument("--stor-freeze", type=int)
    p.add_argument("--no-rename", action="store_true")
    p.add_argument("--retr-done", default="226 Transfer complete.")
    p.add_argument("--stor-done", default="226 Transfer complete.")
    p.add_argument("--pasv-address")
    p.add_argument("--pasv-port", type=int, default=0)
    p.add_argument("--pasv-text")
    p.add_argument("--tls-cert")
    p.add_argument("--auth-extra")
    p.add_argument("--tls-key")
    return p.parse_args()


ARGS = parse_args()
ARGS.endless = [w.upper() for w in ARGS.endless]
ARGS.trickle = [w.upper() for w in ARGS.trickle]
TLS = None
if ARGS.tls_cert:
    TLS = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    TLS.load_cert_chain(ARGS.tls_cert, ARGS.tls_key)
REPLIES = {}
for item in ARGS.reply:
    cmd, _, text = item.partition("=")
    REPLIES[cmd.upper()] = text.replace("\\r\\n", "\r\n")
LOG_LOCK = threading.Lock()


def log(line):
    if ARGS.log:
        with LOG_LOCK, open(ARGS.log, "a") as f:
            f.write(line + "\n")


class Session:
    def __init__(self, conn):
        self.conn = conn
        self.file = conn.makefile("rb")
        self.cwd = "/"
        self.user = None
        self.pasv = None
        self.port_addr = None
        self.rename_from = None
        self.protect = False

    def send(self, text):
        self.conn.sendall(text.encode("latin-1") + b"\r\n")

    def path(self, name):
        full = os.path.normpath(os.path.join(ARGS.root, self.cwd.lstrip("/"), name))
        return full

    def data_connection(self):
        data = None
        if self.pasv is not None:
            self.pasv.settimeout(10)
            data, _ = self.pasv.accept()
            self.pasv.close()
            self.pasv = None
        elif self.port_addr is not None:
            data = socket.create_connection(self.port_addr, timeout=10)
            self.port_addr = None
        if data is not None and self.protect:
            data.settimeout(10)
            data = TLS.wrap_socket(data, server_side=True)
        return data

    def end_data(self, data):
        """Closes a data connection; a TLS one with close_notify."""
        if isinstance(data, ssl.SSLSocket):
            try:
                data.unwrap()
            except (OSError, ValueError):
                pass
        data.close()

    def drip(self, word, code):
        """Sends a reply that never ends until the client goes away."""
        chunk = (code + "- still going\r\n") if word in ARGS.endless else "x"
        if word in ARGS.trickle:
            self.conn.sendall(code.encode() + b" ")
        try:
            while True:
                self.conn.sendall(chunk.encode("latin-1"))
                time.sleep(0.2)
        except OSError:
            return

    def run(self):
        if "GREETING" in ARGS.endless or "GREETING" in ARGS.trickle:
            return self.drip("GREETING", "220")
        self.send(ARGS.greeting)
        if not ARGS.greeting.startswith("2"):
            return
        while True:
            raw = self.file.readline()
            if not raw:
                return
            line = raw.decode("latin-1").rstrip("\r\n")
            log(line)
            word, _, arg = line.partition(" ")
            word = word.upper()
            if word in ARGS.silent:
                continue
            if word in ARGS.endless or word in ARGS.trickle:
                return self.drip(word, "250")
            if word in ARGS.stall:
                self.conn.sendall(b"250 this line never e")
                while self.file.readline():
                    pass
                return
            if word in REPLIES and word not in ("RETR", "STOR", "NLST", "LIST"):
                self.conn.sendall(REPLIES[word].encode("latin-1") + b"\r\n")
                if word == "PASV":
                    self.open_pasv()
                if word in ARGS.hangup:
                    return
                continue
            handler = getattr(self, "do_" + word, None)
            if handler is None:
                self.send("502 Command not implemented.")
                continue
            if handler(arg) == "quit" or word in ARGS.hangup:
                return

    # --- log-in and simple commands
    def do_USER(self, arg):
        self.user = arg
        self.send("331 Password required.")

    def do_PASS(self, arg):
        if self.user == ARGS.user and arg == ARGS.password:
            self.send("230 Logged in.")
        else:
            self.send("530 Login incorrect.")

    def do_QUIT(self, arg):
        self.send("221 Goodbye.")
        return "quit"

    def do_AUTH(self, arg):
        if TLS is None or arg.upper() != "TLS":
            self.send("502 Command not implemented.")
            return
        extra = (ARGS.auth_extra or "").replace("\\r\\n", "\r\n")
        self.conn.sendall(("234 AUTH TLS successful.\r\n" + extra).encode("latin-1"))
        self.file.close()
        self.conn = TLS.wrap_socket(self.conn, server_side=True)
        self.file = self.conn.makefile("rb")

    def do_PBSZ(self, arg):
        self.send("200 PBSZ=0")

    def do_PROT(self, arg):
        self.protect = TLS is not None and arg.upper() == "P"
        self.send("200 Protection set.")

    def do_TYPE(self, arg):
        self.send("200 Type set to %s." % arg)

    def do_SYST(self, arg):
        self.send("215 UNIX Type: L8")

    def do_PWD(self, arg):
        self.send('257 "%s" is the current directory.' % self.cwd)

    def do_CWD(self, arg):
        target = os.path.normpath(os.path.join(self.cwd, arg))
        if os.path.isdir(os.path.join(ARGS.root, target.lstrip("/"))):
            self.cwd = target
            self.send("250 Directory changed.")
        else:
            self.send("550 No such directory.")

    def do_CDUP(self, arg):
        self.cwd = os.path.dirname(self.cwd.rstrip("/")) or "/"
        self.send("250 Directory changed.")

    def do_MKD(self, arg):
        os.makedirs(self.path(arg), exist_ok=True)
        self.send('257 "%s" created.' % arg)

    def do_RMD(self, arg):
        try:
            os.rmdir(self.path(arg))
            self.send("250 Removed.")
        except OSError:
            self.send("550 Cannot remove.")

    def do_DELE(self, arg):
        try:
            os.remove(self.path(arg))
            self.send("250 Deleted.")
        except OSError:
            self.send("550 Cannot delete.")

    def freeze(self, data):
        """Says nothing more: logs what arrives until the client goes away."""
        while True:
            raw = self.file.readline()
            if not raw:
                data.close()
                return "quit"
            log(raw.decode("latin-1").rstrip("\r\n"))

    def do_RNFR(self, arg):
        if ARGS.no_rename:
            self.send("502 Command not implemented.")
            return
        self.rename_from = self.path(arg)
        self.send("350 Ready for RNTO.")

    def do_RNTO(self, arg):
        os.rename(self.rename_from, self.path(arg))
        self.send("250 Renamed.")

    def do_SIZE(self, arg):
        try:
            self.send("213 %d" % os.path.getsize(self.path(arg)))
        except OSError:
            self.send("550 No such file.")

    def do_MDTM(self, arg):
        self.send("213 20240102030405")

    def do_SITE(self, arg):
        self.send("200 SITE %s done." % arg)

    # --- data connections
    def open_pasv(self):
        address = ARGS.pasv_address or ARGS.address
        self.pasv = socket.socket()
        self.pasv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.pasv.bind((address, ARGS.pasv_port))
        self.pasv.listen(1)
        return address, self.pasv.getsockname()[1]

    def do_PASV(self, arg):
        address, port = self.open_pasv()
        if ARGS.pasv_text:
            self.send(ARGS.pasv_text)
            return
        h = address.replace(".", ",")
        self.send("227 Entering Passive Mode (%s,%d,%d)." % (h, port >> 8, port & 255))

    def do_PORT(self, arg):
        n = [int(x) for x in arg.split(",")]
        self.port_addr = ("%d.%d.%d.%d" % tuple(n[:4]), n[4] * 256 + n[5])
        self.send("200 PORT command successful.")

    def preliminary(self, word):
        if word in REPLIES:
            self.send(REPLIES[word])
            return REPLIES[word].startswith("1")
        self.send("150 Opening data connection.")
        return True

    def do_RETR(self, arg):
        try:
            with open(self.path(arg), "rb") as f:
                content = f.read()
        except OSError:
            self.send("550 No such file.")
            return
        if not self.preliminary("RETR"):
            return
        data = self.data_connection()
        if ARGS.cut is not None:
            data.sendall(content[:ARGS.cut])
            data.close()
        elif ARGS.reset is not None:
            data.sendall(content[:ARGS.reset])
            data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            data.close()
        elif ARGS.freeze is not None:
            data.sendall(content[:ARGS.freeze])
            return self.freeze(data)
        elif ARGS.slow is not None:
            step = max(1, ARGS.slow // 20)
            for at in range(0, len(content), step):
                data.sendall(content[at:at + step])
                time.sleep(0.05)
            self.end_data(data)
        elif ARGS.hang is not None:
            data.sendall(content[:ARGS.hang])
            data.settimeout(60)
            try:
                data.recv(1)
            except OSError:
                pass
            data.close()
        else:
            data.sendall(content)
            self.end_data(data)
        self.send(ARGS.retr_done)

    def do_STOR(self, arg):
        if not os.path.isdir(os.path.dirname(self.path(arg))):
            self.send("553 No such directory.")
            return
        if not self.preliminary("STOR"):
            return
        data = self.data_connection()
        chunks = []
        received = 0
        while True:
            chunk = data.recv(65536)
            if not chunk:
                break
            chunks.append(chunk)
            received += len(chunk)
            if ARGS.stor_freeze is not None and received >= ARGS.stor_freeze:
                return self.freeze(data)
            if ARGS.stor_reset is not None and received >= ARGS.stor_reset:
                data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                data.close()
                self.send("426 Connection closed; transfer aborted.")
                return
        data.close()
        with open(self.path(arg), "wb") as f:
            f.write(b"".join(chunks))
        self.send(ARGS.stor_done)

    def listing(self, arg, long_form):
        if not self.preliminary("LIST" if long_form else "NLST"):
            return
        data = self.data_connection()
        folder = self.path(arg) if arg else self.path(".")
        for name in sorted(os.listdir(folder)):
            text = ("-rw-r--r-- 1 ftp ftp %d Jan 01 00:00 %s" %
                    (os.path.getsize(os.path.join(folder, name)), name)) if long_form else name
            data.sendall(text.encode() + b"\r\n")
        data.close()
        self.send("226 Transfer complete.")

    def do_NLST(self, arg):
        self.listing(arg, False)

    def do_LIST(self, arg):
        self.listing(arg, True)


def serve(conn):
    session = Session(conn)
    try:
        session.run()
    except OSError:
        pass
    finally:
        session.file.close()
        session.conn.close()


def main():
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((ARGS.address, ARGS.port))
    listener.listen(8)
    print("ready %d" % listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    main()
