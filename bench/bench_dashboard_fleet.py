#!/usr/bin/python3
"""Benchmark of one kordash watching many virtual controllers (all on loopback
addresses of their own), its overview page open in headless chromium.

CPU: kordash's share of a core with the overview open, and each controller's
arvokor CPU with the overview open next to the same controller unwatched
(kordash not running); the largest and the mean difference.

Row shown: a command fails on one controller (korjob's TCPCONNECT to a
loopback port nobody listens on) and the time until its row's failures
column counts it (from the controller's counters, read once a second),
median of --count failures.

Prints ROW/NOTE lines for bench/table.py:
    bench/bench_dashboard_fleet.py [--controllers 20] [--seconds 10] [--count 10] | bench/table.py
Environment: KOR_BIN (build directory, default build/default).
"""

import argparse
import contextlib
import os
import random
import tempfile
import time

import benchlib
from benchlib import cpu_shares, median, note, percent, row
from harness import Controller
from dashpage import Browser, Kordash, browser_missing


def row_failures(page, index):
    return page.js('const tr = document.querySelector(`#controllers tr[data-index="${arguments[0]}"]`);'
                   'return tr ? tr.cells[5].textContent : null;', index)


def failure_shown(vc, index, page):
    """Seconds from just before a failing TCPCONNECT to its row counting the failure."""
    page.wait(lambda: (row_failures(page, index) or '—').isdigit(), timeout=10, what='the failures column')
    before = int(row_failures(page, index))
    time.sleep(random.uniform(0, 1))  # out of step with the once-a-second rows
    started = time.monotonic()
    result = vc.call('TCPCONNECT', addr='127.0.0.1', port=1)
    if result != 254:
        raise AssertionError('TCPCONNECT to a closed port gave %d' % result)
    page.wait(lambda: row_failures(page, index) == str(before + 1), timeout=10, what='the failure in the row')
    return time.monotonic() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--controllers', type=int, default=20)
    parser.add_argument('--seconds', type=float, default=10, help='CPU measuring time')
    parser.add_argument('--count', type=int, default=10, help='failures to time')
    args = parser.parse_args()
    missing = browser_missing()
    if missing:
        raise SystemExit(missing)
    with contextlib.ExitStack() as stack:
        cells = [stack.enter_context(Controller()) for _ in range(args.controllers)]
        listing = os.path.join(tempfile.mkdtemp(), 'controllers')
        with open(listing, 'w') as f:
            f.writelines('%s cell%d\n' % (vc.address, k + 1) for k, vc in enumerate(cells))
        pids = [vc.proc.pid for vc in cells]
        time.sleep(2)  # start-up is over
        idle = cpu_shares(pids, args.seconds)
        dash = stack.enter_context(Kordash(listing))
        page = stack.enter_context(Browser())
        page.open(dash.url)
        page.wait(lambda: page.js('return document.getElementById("reachable-count").textContent;')
                  == str(args.controllers), timeout=20, what='every controller reachable')
        shares = cpu_shares(pids + [dash.proc.pid], args.seconds)
        watched, kordash = shares[:-1], shares[-1]
        times = [failure_shown(cells[k % len(cells)], k % len(cells), page) for k in range(args.count)]
    added = [w - i for w, i in zip(watched, idle)]
    row('kordash CPU, overview of %d controllers open, %.0f s' % (args.controllers, args.seconds),
        percent(kordash), '<= 2% of a core', 'same stretch as the arvokor rows')
    row('arvokor CPU added by the overview, largest of %d' % args.controllers, percent(max(added)),
        '<= +0.5% of a core', 'mean %s; idle mean %s' % (percent(sum(added) / len(added)),
                                                     percent(sum(idle) / len(idle))))
    row('failed command to shown in its row, %d' % args.count,
        'median %.0f ms (max %.0f ms)' % (median(times) * 1000, max(times) * 1000), '< 2 s',
        'counters read once a second')
    note('dashboard fleet: load average %s at the end' % benchlib.load_average())


if __name__ == '__main__':
    main()
