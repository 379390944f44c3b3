"""Echo peer of the channel tests: TCP and UDP echo on one loopback address.

    echo_peer.py HOST TCP_PORT UDP_PORT

TCP: every accepted connection gets back what it sends (each connection in a
thread of its own). UDP: every datagram is sent back to its sender, one
datagram per datagram. Prints "ready" once both sockets are bound; runs until
it is terminated. Port 0 leaves that protocol out.
"""

import socket
import sys
import threading


def serve_tcp_client(conn):
    with conn:
        while True:
            try:
                data = conn.recv(4096)
            except OSError:
                return
            if not data:
                return
            conn.sendall(data)


def serve_tcp(listener):
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve_tcp_client, args=(conn,), daemon=True).start()


def serve_udp(sock):
    while True:
        data, sender = sock.recvfrom(65536)
        sock.sendto(data, sender)


def main():
    if len(sys.argv) != 4 or sys.argv[1] in ('-h', '--help'):
        print(__doc__)
        return 0 if len(sys.argv) == 2 else 2
    host, tcp_port, udp_port = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    threads = []
    if tcp_port:
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((host, tcp_port))
        listener.listen(32)
        threads.append(threading.Thread(target=serve_tcp, args=(listener,), daemon=True))
    if udp_port:
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        udp.bind((host, udp_port))
        threads.append(threading.Thread(target=serve_udp, args=(udp,), daemon=True))
    for t in threads:
        t.start()
    print('ready', flush=True)
    threading.Event().wait()
    return 0


if __name__ == '__main__':
    sys.exit(main())
