#!/usr/bin/python3
"""Benchmark of the channels.

Queue fill: a loopback peer sends 8192 bytes on a TCP channel whose input queue
is empty; the time until the channel's receive task has read the last of them
from its socket (watched through the kernel's socket diagnostics) is the time
the queue takes to fill (the admin port confirms that it is full). Repeated
after CLEARDATA; reported as bytes per second with the CPU arvokor spent. For
comparison the same peer then sends while the queue is full, so the channel
only reads and drops.

Idle channels: CPU used by arvokor over a stretch of seconds with 19 channels
open and nothing arriving: TCP clients with live peers, TCP clients whose peer
has closed, a listening channel with one accepted connection, UDP sockets and
the serial port on a socat pty; next to the same controller with no channel.
The threads' sleeps per second (voluntary context switches) show wake-ups too
small to see in the CPU figure.

Prints ROW/NOTE lines for bench/table.py:
    bench/bench_channels.py [--rounds 40] [--seconds 10] | bench/table.py
Environment: KOR_BIN (build directory, default build/default).
"""

import argparse
import json
import socket
import subprocess
import time

import benchlib
from benchlib import TcpReceiveQueue, median, percent, process_cpu, row
from harness import Controller, free_address, program, pty_pair, unused_port
from chanpeers import ScriptedServer, encode_port, settle

QUEUE_BYTES = 8192
POLL_SEC = 0.0001


def open_tcp_channel(vc, server):
    handle = vc.call('TCPCONNECT', addr=server.host, port=server.port)
    if handle not in range(1, 20):
        raise AssertionError('TCPCONNECT gave %d' % handle)
    return handle, server.next_conn()


def queued_bytes(vc, handle):
    """Bytes waiting in a channel's input queue, as the admin port shows them."""
    out = subprocess.run([program('koradmin'), '--host', vc.address, '--json', 'readout',
                          str(handle)], capture_output=True, text=True, check=True).stdout
    return int(json.loads(out)['queued'])


def wait_drained(probe, timeout=5.0):
    """Polls until the watched socket holds no unread byte; returns the time.
    Sleeps between looks: a busy poll would take a core from arvokor on a
    small, shared machine and make the figure depend on the scheduler."""
    deadline = time.perf_counter() + timeout
    while probe.unread() > 0:
        if time.perf_counter() > deadline:
            raise AssertionError('the channel stopped reading its socket')
        time.sleep(POLL_SEC)
    return time.perf_counter()


def bench_fill(rounds, capture=False):
    """Returns arvokor's CPU per byte filled (s/B)."""
    payload = bytes(range(256)) * (QUEUE_BYTES // 256)
    with Controller(capture='all' if capture else 'off') as vc:
        settle(vc)
        pid = vc.proc.pid
        server = ScriptedServer(free_address())
        handle, conn = open_tcp_channel(vc, server)
        probe = TcpReceiveQueue(conn.getpeername(), conn.getsockname())
        times, cpus = [], []
        for _ in range(rounds):
            if vc.call('CLEARDATA', handle=handle) != 255:
                raise AssertionError('CLEARDATA failed')
            time.sleep(0.005)  # the CLEARDATA task has ended
            c0, t0 = process_cpu(pid), time.perf_counter()
            conn.sendall(payload)
            t1 = wait_drained(probe)
            time.sleep(0.001)  # the last chunk is pushed right after its read
            cpus.append(process_cpu(pid) - c0)
            times.append(t1 - t0)
        if queued_bytes(vc, handle) != QUEUE_BYTES:
            raise AssertionError('the queue is not full after a fill')
        code, head = vc.call_read('READDATA', 128, handle=handle)
        if code != 128 or head != payload[:128]:
            raise AssertionError('the queue does not hold what was sent (%d)' % code)

        # The queue is full now: what arrives is read and dropped.
        flood = payload * 256  # 2 MiB
        c0, t0 = process_cpu(pid), time.perf_counter()
        conn.sendall(flood)
        t1 = wait_drained(probe, 30)
        full_cpu = process_cpu(pid) - c0
        full_rate = len(flood) / (t1 - t0)
        probe.close()
        vc.call('CLOSEALL')
        conn.close()
        server.close()

    fill_time = median(times)
    rate = QUEUE_BYTES / fill_time
    cpu = median(cpus)
    if capture:
        return cpu / QUEUE_BYTES
    row('TCP channel: peer to empty queue until full (8192 B)',
        '%.1f MB/s (fill %.2f ms, median of %d; fastest %.2f ms)'
        % (rate / 1e6, fill_time * 1e3, rounds, min(times) * 1e3),
        '', 'queue full, read and dropped: %.1f MB/s' % (full_rate / 1e6))
    row('TCP channel: arvokor CPU per queue fill',
        '%.2f ms per 8192 B (%.0f ns/B; %.0f%% of a core while filling)'
        % (cpu * 1e3, cpu / QUEUE_BYTES * 1e9, 100 * cpu / fill_time),
        '', 'queue full: %.0f ns/B' % (full_cpu / len(flood) * 1e9))
    return cpu / QUEUE_BYTES


def open_idle_channels(vc, keep):
    """Opens 19 channels of every kind; returns a description of them."""
    host = free_address()
    live = ScriptedServer(host)
    keep.append(live)
    kinds = []
    for _ in range(6):
        _, conn = open_tcp_channel(vc, live)
        keep.append(conn)
    kinds.append('6 TCP')
    closing = ScriptedServer(host, on_accept=lambda c: c.close())
    keep.append(closing)
    for _ in range(5):
        open_tcp_channel(vc, closing)
    kinds.append('5 TCP peer closed')
    port = unused_port(vc.address)
    listener = vc.call('TCPLISTEN', p0=encode_port(port))
    if listener not in range(1, 20):
        raise AssertionError('TCPLISTEN gave %d' % listener)
    client = socket.create_connection((vc.address, port), timeout=5)
    keep.append(client)
    kinds.append('listener + 1 accepted')
    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.bind((host, 0))
    keep.append(sink)
    for _ in range(5):
        local = unused_port(vc.address, socket.SOCK_DGRAM)
        h = vc.call('UDPBIND', addr=host, port=sink.getsockname()[1], p1=encode_port(local))
        if h not in range(1, 20):
            raise AssertionError('UDPBIND gave %d' % h)
    kinds.append('5 UDP')
    h = vc.call('RS232OPEN', p0=1, p4=11520, p5=8, p6=0, p7=1)
    if h not in range(1, 20):
        raise AssertionError('RS232OPEN gave %d' % h)
    kinds.append('serial')
    # All 19 in use: a 20th is refused.
    if vc.call('UDPBIND', addr=host, port=9, p1=0) != 251:
        raise AssertionError('a 20th channel was not refused')
    return ', '.join(kinds)


def bench_idle(seconds):
    keep = []
    pty = pty_pair()
    try:
        with Controller(com1=pty.a, b_count=65536) as vc:
            settle(vc)
            time.sleep(min(1, seconds))
            pid = vc.proc.pid
            bare, bare_wakes = benchlib.cpu_and_wakeups(pid, min(seconds, 5))
            kinds = open_idle_channels(vc, keep)
            time.sleep(min(1, seconds))  # peers that closed have been seen
            busy, busy_wakes = benchlib.cpu_and_wakeups(pid, seconds)
            vc.call('CLOSEALL')
    finally:
        for k in keep:
            k.close()
        pty.stop()
    row('arvokor CPU, 19 idle channels, %.0f s' % seconds, percent(busy),
        '< 1% of a core', 'no channel: %s (%s)' % (percent(bare), kinds))
    row('arvokor wake-ups per second, 19 idle channels', '%.1f' % busy_wakes, '',
        'no channel: %.1f (the launcher polls every 4 ms)' % bare_wakes)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--rounds', type=int, default=40, help='queue fills to time')
    parser.add_argument('--seconds', type=float, default=10, help='idle measuring time')
    args = parser.parse_args()
    off = bench_fill(args.rounds)
    on = bench_fill(args.rounds, capture=True)
    row('TCP channel: CPU per byte filled, capture on vs off',
        '%.0f vs %.0f ns/B (%+.0f%%)' % (on * 1e9, off * 1e9, 100 * (on / off - 1)),
        '<= +20%', 'capture ring 64 KiB, median of the fills')
    bench_idle(args.seconds)


if __name__ == '__main__':
    main()
