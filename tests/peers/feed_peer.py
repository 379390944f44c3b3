#!/usr/bin/python3
"""A TCP device on loopback that sends known data when told to.

Every accepted connection first gets the greeting (if any). Then each line
the client sends (ended by LF; a CR before it is ignored) is one order:

    SEND <hex>          send these bytes now
    REPEAT <n> <hex>    send these bytes n times over, as one piece
    LATER <ms> <hex>    send these bytes after <ms> milliseconds
    CLOSE               close the connection

Other lines are ignored. Prints "ready <port>" once it listens and serves
until SIGTERM or SIGINT.
"""
import argparse
import signal
import socket
import sys
import threading


def serve_client(conn, greeting):
    timers = []
    try:
        if greeting:
            conn.sendall(greeting)
        pending = b""
        while True:
            chunk = conn.recv(4096)
            if not chunk:
                return
            pending += chunk
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                words = line.rstrip(b"\r").decode("ascii", "replace").split()
                if not words:
                    continue
                order = words[0].upper()
                if order == "SEND" and len(words) == 2:
                    conn.sendall(bytes.fromhex(words[1]))
                elif order == "REPEAT" and len(words) == 3:
                    conn.sendall(bytes.fromhex(words[2]) * int(words[1]))
                elif order == "LATER" and len(words) == 3:
                    data = bytes.fromhex(words[2])
                    t = threading.Timer(int(words[1]) / 1000.0, _send_quietly, (conn, data))
                    t.daemon = True
                    t.start()
                    timers.append(t)
                elif order == "CLOSE":
                    return
    except OSError:
        pass
    finally:
        for t in timers:
            t.cancel()
        conn.close()


def _send_quietly(conn, data):
    try:
        conn.sendall(data)
    except OSError:
        pass


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--host", default="127.0.0.1", help="loopback address to listen on")
    ap.add_argument("--port", type=int, default=0, help="port (0: a free one)")
    ap.add_argument("--greeting", default="", help="bytes (hex) sent to every new connection")
    args = ap.parse_args()
    if not args.host.startswith("127."):
        ap.error("only loopback addresses are allowed")
    greeting = bytes.fromhex(args.greeting)

    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((args.host, args.port))
    server.listen(20)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print("ready %d" % server.getsockname()[1], flush=True)
    try:
        while True:
            conn, _ = server.accept()
            threading.Thread(target=serve_client, args=(conn, greeting), daemon=True).start()
    except KeyboardInterrupt:
        pass
    finally:
        server.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
