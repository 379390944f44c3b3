#!/usr/bin/python3
"""Benchmark of position streaming and of one Modbus read.

Streaming: for each period of controller clock 0 (4 ms and 1 ms), a loopback
UDP receiver takes the position stream (arrival = the kernel's time stamp) for the given time and reports the
datagrams received per clock tick, lost sequence numbers, ticks that passed
without a datagram, the inter-arrival jitter (|gap - period|, median and 99th
percentile) and the CPU arvokor spent while streaming, next to its idle CPU.
The first datagram must be the stream's first tick (sequence number 0).

Speed output: bench_speedout changes a servo speed every 200 us through the
state file and counts the register writes of the speed output task at clock 1
= 4 ms against the ticks of the span.

With --load, streaming and speed output are measured again on the same
controller while one CPU-bound process per core runs beside it. The measuring
side (UDP receiver, bench_speedout) runs at SCHED_FIFO above the controller's
tasks where permitted.

Modbus: the time a job waits for one MODBUSREAD of 100 holding registers from
the libmodbus test server, as korjob sees it (the client waits a fixed 200 ms),
next to the time of an INFO call made the same way.

Prints ROW/NOTE lines for bench/table.py:
    bench/bench_stream_modbus.py [--seconds 10] [--reads 10] [--load] | bench/table.py
Environment: KOR_BIN (build directory, default build/default).
"""

import argparse
import os
import socket
import struct
import subprocess
import time

import benchlib
from benchlib import CpuLoad, median, note, percent, percentile, process_cpu, row
from harness import BIN, Controller, free_address


def stream_figures(arrivals, seqs, period):
    """Figures of one received stream: datagrams per tick, clock ticks, lost
    sequence numbers, ticks that passed without a datagram, gaps longer than
    1.5 periods, and the jitter list (ms)."""
    ticks = round((arrivals[-1] - arrivals[0]) / period) + 1
    lost = sum((b - a - 1) % 256 for a, b in zip(seqs, seqs[1:]))
    gaps = [b - a for a, b in zip(arrivals, arrivals[1:])]
    long_gaps = sum(1 for g in gaps if g > 1.5 * period)
    silent = max(0, ticks - len(arrivals) - lost)
    jitter = [abs(g - period) * 1e3 for g in gaps]
    return len(arrivals) / ticks, ticks, lost, silent, long_gaps, jitter


SO_TIMESTAMPNS = getattr(socket, 'SO_TIMESTAMPNS', 35)  # Linux; also the cmsg type


def arrival_time(ancillary):
    """The kernel's receive time stamp of a datagram (seconds), from its
    ancillary data; None without one."""
    for level, kind, data in ancillary:
        if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
            sec, nsec = struct.unpack('=qq', data[:16])
            return sec + nsec / 1e9
    return None


def receive_stream(vc, seconds):
    """Starts the stream to a receiver of ours, takes it for `seconds` and
    stops it. Returns arrival times, sequence numbers and arvokor's CPU share.
    The arrival is the kernel's time stamp of the datagram (on loopback the
    moment of sending), so the receiver's own wake-up does not count."""
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    rx.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    rx.bind((free_address(), 0))
    address, port = rx.getsockname()
    if vc.call('POSSTREAMSTART', addr=address,
               p0=port if port < 32768 else port - 65536) != 1:
        raise AssertionError('POSSTREAMSTART refused')
    rx.settimeout(1.0)
    arrivals, seqs = [], []
    pid = vc.proc.pid
    c0, t0 = process_cpu(pid), time.monotonic()
    end = t0 + seconds
    while time.monotonic() < end:
        data, ancillary, _, _ = rx.recvmsg(64, 64)
        stamp = arrival_time(ancillary)
        arrivals.append(stamp if stamp is not None else time.time())
        seqs.append(data[0])
    streaming = (process_cpu(pid) - c0) / (time.monotonic() - t0)
    if vc.call('POSSTREAMSTOP') != 1:
        raise AssertionError('POSSTREAMSTOP refused')
    rx.close()
    return arrivals, seqs, streaming


def stream_rows(name, arrivals, seqs, period, seconds, target):
    per_tick, ticks, lost, silent, long_gaps, jitter = stream_figures(arrivals, seqs, period)
    row('%s: datagrams per tick, %.0f s' % (name, seconds),
        '%.4f (%d in %d ticks)' % (per_tick, len(arrivals), ticks), 'every tick, none lost',
        '%d sequence numbers lost, %d ticks without datagram, first datagram number %d'
        % (lost, silent, seqs[0]))
    row('%s: inter-arrival jitter' % name,
        'median %.3f ms, p99 %.3f ms' % (median(jitter), percentile(jitter, 0.99)), target,
        'period %g ms; %d gaps over 1.5 periods' % (period * 1e3, long_gaps))


def bench_stream(period_us, seconds, load):
    with Controller(clock0_us=period_us) as vc:
        pid = vc.proc.pid
        time.sleep(min(1, seconds))
        idle = benchlib.cpu_share(pid, min(2, seconds))
        vc.robot_pos(0, 1, 2, 3, 4, 5, 6)
        if vc.call('POSSTREAMCONFIG', p4=0, p5=0, p6=0, p7=0, p0=0, p1=0) != 1:
            raise AssertionError('POSSTREAMCONFIG refused')
        arrivals, seqs, streaming = receive_stream(vc, seconds)
        loaded = None
        if load:
            with CpuLoad() as busy:
                loaded = receive_stream(vc, seconds)
    period = period_us / 1e6
    name = 'position stream, clock0 %g ms' % (period * 1e3)
    stream_rows(name, arrivals, seqs, period, seconds, '')
    if loaded:
        stream_rows(name + ', under load', loaded[0], loaded[1], period, seconds,
                    'p99 <= 0.1 ms; ' + busy.describe())
    row('%s: arvokor CPU' % name, percent(streaming), '', 'same controller idle: %s'
        % percent(idle))


def speed_writes(vc, seconds, first):
    program = os.path.join(BIN, 'bench', 'bench_speedout')
    out = subprocess.run([program, '--state', vc.state_path, '--seconds', str(seconds),
                          '--first', str(first)], capture_output=True, text=True, check=True,
                         preexec_fn=benchlib.measurer_preexec).stdout
    return out.strip().replace('speed output: ', '')


def bench_speed(seconds, load):
    first = 520
    with Controller(clock1_us=4000) as vc:
        if vc.call('SPEEDOUTSTART', p4=0, p5=first, p6=1) != 1:
            raise AssertionError('SPEEDOUTSTART refused')
        idle = speed_writes(vc, seconds, first)
        loaded = None
        if load:
            with CpuLoad() as busy:
                loaded = speed_writes(vc, seconds, first)
        vc.call('SPEEDOUTSTOP')
    row('speed output, clock1 4 ms: register writes, %.0f s' % seconds, idle,
        'every tick writes', '')
    if loaded:
        row('speed output, clock1 4 ms, under load', loaded, 'every tick writes',
            busy.describe())


def timed_calls(vc, count, command, expected, **params):
    times = []
    for _ in range(count):
        t0 = time.monotonic()
        code = vc.call(command, **params)
        times.append((time.monotonic() - t0) * 1e3)
        if code != expected:
            raise AssertionError('%s gave %d' % (command, code))
    return times


def bench_modbus(reads):
    server = os.path.join(BIN, 'tests', 'modbus_server')
    address = free_address()
    proc = subprocess.Popen([server, '--address', address, '--holding', '0:' + ','.join(
        str(i) for i in range(100))], stdout=subprocess.PIPE, text=True)
    try:
        port = int(proc.stdout.readline().split()[1])
        with Controller() as vc:
            handle = vc.call('TCPCONNECT', addr=address, port=port)
            times = timed_calls(vc, reads, 'MODBUSREAD', 255, p2=handle, p1=3, p7=0, p6=100,
                                p4=0, p5=2)
            if vc.get('D99') != 99:
                raise AssertionError('the registers did not arrive')
            info = timed_calls(vc, reads, 'INFO', 255, p8=0)
            vc.call('CLOSEHANDLE', handle=handle)
    finally:
        proc.terminate()
        proc.wait()
        proc.stdout.close()
    row('Modbus read of 100 registers (korjob call)',
        'median %.1f ms, max %.1f ms (%d reads)' % (median(times), max(times), reads),
        '>= 200 ms (fixed reply wait)',
        'INFO call the same way %.1f ms; read - INFO %.1f ms'
        % (median(info), median(times) - median(info)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--seconds', type=float, default=10, help='streaming time per clock')
    parser.add_argument('--reads', type=int, default=10, help='Modbus reads to time')
    parser.add_argument('--load', action='store_true',
                        help='measure streaming and speed output again under CPU load')
    args = parser.parse_args()
    measurer = benchlib.as_measurer()
    for period_us in (4000, 1000):
        bench_stream(period_us, args.seconds, args.load)
    bench_speed(args.seconds, args.load)
    bench_modbus(args.reads)
    with Controller() as vc:
        note('stream: ' + benchlib.scheduling_note(vc, measurer))

if __name__ == '__main__':
    main()
