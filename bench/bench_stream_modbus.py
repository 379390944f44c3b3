#!/usr/bin/python3
"""Benchmark of position streaming and of one Modbus read.

Streaming: for each period of controller clock 0 (4 ms and 1 ms), a loopback
UDP receiver takes the position stream for the given time and reports the
datagrams received per clock tick, lost sequence numbers, the inter-arrival
jitter (|gap - period|, median and 99th percentile) and the CPU time arvokor
spent per second while streaming, next to its idle CPU.

Modbus: the time a job waits for one MODBUSREAD of 100 holding registers from
the libmodbus test server, as korjob sees it (the client waits a fixed 200 ms).

Run from the source tree after a build:
    bench/bench_stream_modbus.py [--seconds 10] [--reads 10]
Environment: KOR_BIN (build directory, default build/default).
"""

import argparse
import os
import socket
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
os.environ.setdefault('KOR_SOURCE', SOURCE)
os.environ.setdefault('KOR_BIN', os.path.join(SOURCE, 'build', 'default'))
sys.path.insert(0, os.path.join(SOURCE, 'tests', 'blackbox'))

import harness  # noqa: E402
from harness import Controller, free_address  # noqa: E402


def cpu_seconds(pid):
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def percentile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def bench_stream(period_us, seconds):
    with Controller(clock0_us=period_us) as vc:
        pid = vc.proc.pid
        c0, t0 = cpu_seconds(pid), time.monotonic()
        time.sleep(2)
        idle = (cpu_seconds(pid) - c0) / (time.monotonic() - t0)

        rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        rx.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        address = free_address()
        rx.bind((address, 0))
        port = rx.getsockname()[1]
        vc.robot_pos(0, 1, 2, 3, 4, 5, 6)
        assert vc.call('POSSTREAMCONFIG', p4=0, p5=0, p6=0, p7=0, p0=0, p1=0) == 1
        assert vc.call('POSSTREAMSTART', addr=address,
                       p0=port if port < 32768 else port - 65536) == 1
        rx.settimeout(1.0)
        rx.recv(64)  # the stream is running
        arrivals, seqs = [], []
        c0, t0 = cpu_seconds(pid), time.monotonic()
        end = t0 + seconds
        while time.monotonic() < end:
            data = rx.recv(64)
            arrivals.append(time.monotonic())
            seqs.append(data[0])
        streaming = (cpu_seconds(pid) - c0) / (time.monotonic() - t0)
        assert vc.call('POSSTREAMSTOP') == 1
        rx.close()

    period = period_us / 1e6
    ticks = (arrivals[-1] - arrivals[0]) / period + 1
    lost = sum((b - a - 1) % 256 for a, b in zip(seqs, seqs[1:]))
    jitter = [abs((b - a) - period) * 1e3 for a, b in zip(arrivals, arrivals[1:])]
    print('stream clock0 %4.1f ms: %d datagrams over %.0f ticks (%.4f per tick), %d lost; '
          'jitter median %.3f ms, p99 %.3f ms; arvokor CPU %.1f%% streaming, %.1f%% idle'
          % (period * 1e3, len(arrivals), ticks, len(arrivals) / ticks, lost,
             statistics.median(jitter), percentile(jitter, 0.99), streaming * 100, idle * 100))


def bench_modbus(reads):
    server = os.path.join(harness.BIN, 'tests', 'modbus_server')
    address = free_address()
    proc = subprocess.Popen([server, '--address', address, '--holding', '0:' + ','.join(
        str(i) for i in range(100))], stdout=subprocess.PIPE, text=True)
    try:
        port = int(proc.stdout.readline().split()[1])
        with Controller() as vc:
            handle = vc.call('TCPCONNECT', addr=address, port=port)
            times = []
            for _ in range(reads):
                t0 = time.monotonic()
                assert vc.call('MODBUSREAD', p2=handle, p1=3, p7=0, p6=100, p4=0, p5=2) == 255
                times.append((time.monotonic() - t0) * 1e3)
            assert vc.get('D99') == 99
            vc.call('CLOSEHANDLE', handle=handle)
        print('modbus read of 100 registers: median %.1f ms, max %.1f ms over %d reads '
              '(fixed reply wait 200 ms)' % (statistics.median(times), max(times), reads))
    finally:
        proc.terminate()
        proc.wait()
        proc.stdout.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--seconds', type=float, default=10, help='streaming time per clock')
    parser.add_argument('--reads', type=int, default=10, help='Modbus reads to time')
    args = parser.parse_args()
    for period_us in (4000, 1000):
        bench_stream(period_us, args.seconds)
    bench_modbus(args.reads)


if __name__ == '__main__':
    main()
