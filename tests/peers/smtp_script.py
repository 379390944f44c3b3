#!/usr/bin/python3
"""A scripted mail server for the tests: accepts one connection on a loopback
address and plays the given steps on it, in order:

  send:TEXT     send TEXT (\\r, \\n, \\t and \\\\ are unescaped; \\xHH is one byte)
  line          wait for one line from the client (up to LF) and log it
  data          wait for lines up to and including the end-of-data line ".\r\n"
  sleep:SECS    pause
  close         close the connection and stop
  reset         abort the connection (RST) and stop

After the last step it logs every further line until the client closes.
Prints "READY <port>" on stdout once it listens. The log file gets one line per
event: RECV <json string of the line>, EOF (client closed), DONE.
"""
import argparse
import json
import re
import socket
import struct
import sys
import time


def unescape(text):
    def repl(m):
        s = m.group(0)
        if s.startswith("\\x"):
            return chr(int(s[2:], 16))
        return {"\\r": "\r", "\\n": "\n", "\\t": "\t", "\\\\": "\\"}[s]
    return re.sub(r"\\x[0-9a-fA-F]{2}|\\[rnt\\]", repl, text).encode("latin-1")


class Connection:
    def __init__(self, sock, log):
        self.sock = sock
        self.log = log
        self.pending = b""

    def event(self, text):
        self.log.write(text + "\n")
        self.log.flush()

    def read_line(self):
        """One line up to LF, or None when the client closed."""
        while b"\n" not in self.pending:
            data = self.sock.recv(4096)
            if not data:
                if self.pending:
                    self.event("RECV " + json.dumps(self.pending.decode("latin-1")))
                    self.pending = b""
                self.event("EOF")
                return None
            self.pending += data
        line, self.pending = self.pending.split(b"\n", 1)
        line += b"\n"
        self.event("RECV " + json.dumps(line.decode("latin-1")))
        return line


def play(conn, steps):
    for step in steps:
        kind, _, value = step.partition(":")
        if kind == "send":
            conn.sock.sendall(unescape(value))
        elif kind == "line":
            if conn.read_line() is None:
                return
        elif kind == "data":
            while True:
                line = conn.read_line()
                if line is None:
                    return
                if line == b".\r\n":
                    break
        elif kind == "sleep":
            time.sleep(float(value))
        elif kind == "close":
            conn.sock.close()
            return
        elif kind == "reset":
            conn.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            conn.sock.close()
            return
        else:
            raise SystemExit("unknown step: " + step)
    while conn.read_line() is not None:
        pass
    conn.sock.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", default="127.0.0.1", help="loopback address to listen on")
    parser.add_argument("--port", type=int, default=0, help="port (0: any free one)")
    parser.add_argument("--log", required=True, help="event log file")
    parser.add_argument("steps", nargs="*",
                        help="send:TEXT, line, data, sleep:SECS, close, reset")
    args = parser.parse_args()
    if not args.host.startswith("127."):
        parser.error("only loopback addresses are allowed")

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((args.host, args.port))
    listener.listen(1)
    with open(args.log, "a", buffering=1) as log:
        print("READY %d" % listener.getsockname()[1], flush=True)
        sock, _ = listener.accept()
        listener.close()
        conn = Connection(sock, log)
        try:
            play(conn, args.steps)
        except OSError as e:
            conn.event("ERROR " + str(e))
        conn.event("DONE")
    return 0


if __name__ == "__main__":
    sys.exit(main())
