#!/usr/bin/python3
"""Benchmark of the command frame.

Idle: CPU used by an idle arvokor (no channel, no command) over a stretch of
seconds. Round trip: bench_roundtrip issues INFO commands through the state
file exactly as a job does and times each from the write of the command number
until the result is visible (median and 99th percentile).

Prints ROW/NOTE lines for bench/table.py:
    bench/bench_frame.py [--seconds 10] [--count 1000] | bench/table.py
Environment: KOR_BIN (build directory, default build/default).
"""

import argparse
import os
import re
import subprocess
import time

import benchlib
from benchlib import percent, row
from harness import BIN, Controller

POLL_MS = 4


def round_trip(vc, count):
    program = os.path.join(BIN, 'bench', 'bench_roundtrip')
    out = subprocess.run([program, '--state', vc.state_path, '--count', str(count)],
                         capture_output=True, text=True, check=True).stdout
    found = re.search(r'median ([\d.]+) ms, p99 ([\d.]+) ms, max ([\d.]+) ms', out)
    if not found:
        raise AssertionError('bench_roundtrip printed: %s' % out)
    return [float(v) for v in found.groups()]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--seconds', type=float, default=10, help='idle measuring time')
    parser.add_argument('--count', type=int, default=1000, help='INFO commands to time')
    args = parser.parse_args()
    with Controller() as vc:
        time.sleep(min(2, args.seconds))  # start-up is over
        idle = benchlib.cpu_share(vc.proc.pid, args.seconds)
        med, p99, worst = round_trip(vc, args.count)
    row('command round trip, %d INFO' % args.count,
        'median %.2f ms, p99 %.2f ms (max %.2f ms)' % (med, p99, worst),
        'p99 < 6 ms', 'poll period %d ms; p99 - poll = %.2f ms' % (POLL_MS, p99 - POLL_MS))
    row('arvokor CPU, idle, %.0f s' % args.seconds, percent(idle), '< 1% of a core', '')


if __name__ == '__main__':
    main()
