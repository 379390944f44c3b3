#!/usr/bin/python3
"""Benchmark of the command frame.

Idle: CPU used by an idle arvokor (no channel, no command) over a stretch of
seconds. Round trip: bench_roundtrip issues INFO commands through the state
file exactly as a job does and times each from the write of the command number
until the result is visible (median and 99th percentile). With --load the round
trip is timed again, same controller, while one CPU-bound process per core
runs beside it. Both figures are taken again on a controller with the command
journal off (journal = 0), and the difference is the journal's cost. The measuring side runs at SCHED_FIFO above the controller's
tasks where permitted.

Prints ROW/NOTE lines for bench/table.py:
    bench/bench_frame.py [--seconds 10] [--count 1000] [--load] | bench/table.py
Environment: KOR_BIN (build directory, default build/default).
"""

import argparse
import os
import re
import subprocess
import time

import benchlib
from benchlib import CpuLoad, note, percent, row
from harness import BIN, Controller

POLL_MS = 4


def round_trip(vc, count):
    program = os.path.join(BIN, 'bench', 'bench_roundtrip')
    out = subprocess.run([program, '--state', vc.state_path, '--count', str(count)],
                         capture_output=True, text=True, check=True,
                         preexec_fn=benchlib.measurer_preexec).stdout
    found = re.search(r'median ([\d.]+) ms, p99 ([\d.]+) ms, max ([\d.]+) ms', out)
    if not found:
        raise AssertionError('bench_roundtrip printed: %s' % out)
    return [float(v) for v in found.groups()]


def extension_latency(vc, count):
    """The slowest of `count` answers of each extension request (ms), on a
    full journal: the time from sending the request to its whole reply."""
    worst = {}
    with vc.admin() as admin:
        for command, payload in ((':journal', b'0'), (':console', b'0'), (':counters', b'')):
            times = []
            for _ in range(count):
                t0 = time.perf_counter()
                admin.framed(command, payload)
                times.append(time.perf_counter() - t0)
            worst[command] = max(times) * 1e3
        admin.quit()
    return worst


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--seconds', type=float, default=10, help='idle measuring time')
    parser.add_argument('--count', type=int, default=1000, help='INFO commands to time')
    parser.add_argument('--load', action='store_true',
                        help='time the round trip again with one CPU-bound process per core')
    args = parser.parse_args()
    measurer = benchlib.as_measurer()
    loaded = None
    # The same figures with the journal off, first, for the comparison.
    with Controller(journal=0) as vc:
        time.sleep(min(2, args.seconds))
        idle_off = benchlib.cpu_share(vc.proc.pid, args.seconds)
        med_off, p99_off, _ = round_trip(vc, args.count)
    with Controller() as vc:
        time.sleep(min(2, args.seconds))  # start-up is over
        idle = benchlib.cpu_share(vc.proc.pid, args.seconds)
        med, p99, worst = round_trip(vc, args.count)
        answers = extension_latency(vc, 50)
        if args.load:
            with CpuLoad() as load:
                loaded = round_trip(vc, args.count)
        scheduling = benchlib.scheduling_note(vc, measurer)
    row('command round trip, %d INFO' % args.count,
        'median %.2f ms, p99 %.2f ms (max %.2f ms)' % (med, p99, worst),
        'p99 < 6 ms', 'poll period %d ms; p99 - poll = %.2f ms' % (POLL_MS, p99 - POLL_MS))
    if loaded:
        row('command round trip, %d INFO, under load' % args.count,
            'median %.2f ms, p99 %.2f ms (max %.2f ms)' % tuple(loaded),
            'median <= 2.3 ms, p99 <= 4.5 ms', load.describe())
    row('arvokor CPU, idle, %.0f s' % args.seconds, percent(idle), '< 1% of a core', '')
    row('journal on (2048) vs off: round trip median, idle CPU',
        '%+.3f ms, %+.2f%% of a core' % (med - med_off, 100 * (idle - idle_off)),
        '<= +0.05 ms, <= +0.1%',
        'off: median %.2f ms, p99 %.2f ms, idle %s' % (med_off, p99_off, percent(idle_off)))
    row('admin :journal / :console / :counters, slowest of 50 each',
        ' / '.join('%.2f ms' % answers[c] for c in (':journal', ':console', ':counters')),
        '< 5 ms', 'journal holding the %d round trips' % args.count)
    note('frame: ' + scheduling)


if __name__ == '__main__':
    main()
