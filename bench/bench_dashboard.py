#!/usr/bin/python3
"""Benchmark of the dashboard (kordash) with a page open in headless chromium.

CPU: what arvokor spends over a stretch of seconds with the page open, next to
the same controller with no page (kordash not running); and kordash's own CPU
over the same stretch (every thread, user and system time).

Channel shown: a TCP channel is opened with korjob (TCPCONNECT to a loopback
peer) and an observer that the benchmark adds to the page's channel table (the
page itself has no hook) notes when its row first appears; the time from just
before the korjob call (which includes korjob's own start and the launcher's
poll) to that moment, median of --count openings. The channel is closed and
gone from the page before the next one, and a random pause of up to one
refresh period follows, so that the openings do not fall into step with the
refreshes (which would measure the worst case every time).

Prints ROW/NOTE lines for bench/table.py:
    bench/bench_dashboard.py [--seconds 10] [--count 20] | bench/table.py
Environment: KOR_BIN (build directory, default build/default).
"""

import argparse
import random
import time

import benchlib
from benchlib import cpu_shares, median, note, percent, row
from harness import Controller
from dashpage import Browser, Kordash, TcpPeer, browser_missing


REFRESH_SEC = 0.333


# Watches the channel table from outside the page's own code: notes when each
# handle's row first shows, forgets it when the row goes. A mutation observer's
# callback runs right after the page's render, so its clock reads the moment
# of the change, which polling the table from here could only bound.
WATCH_CHANNEL_ROWS = """
const table = document.querySelector('#channels tbody');
const seen = new Map();
const look = () => {
  const now = Date.now();
  const shown = new Set(Array.from(table.rows, (tr) => Number(tr.dataset.handle)));
  for (const h of shown) if (!seen.has(h)) seen.set(h, now);
  for (const h of Array.from(seen.keys())) if (!shown.has(h)) seen.delete(h);
};
new MutationObserver(look).observe(table, { childList: true, subtree: true, attributes: true });
look();
window.benchChannelRows = seen;
"""


def seen_ms(page, handle):
    return page.js('return window.benchChannelRows.get(arguments[0]) || null;', handle)


def channel_shown(vc, page):
    """Seconds from just before TCPCONNECT to the channel's row on the page."""
    peer = TcpPeer()
    time.sleep(random.uniform(0, REFRESH_SEC))
    try:
        started = time.time()
        handle = vc.call('TCPCONNECT', addr=peer.host, port=peer.port)
        if handle not in range(1, 20):
            raise AssertionError('TCPCONNECT gave %d' % handle)
        shown = page.wait(lambda: seen_ms(page, handle), timeout=10, what='channel %d on the page' % handle)
        vc.call('CLOSEHANDLE', handle=handle)
        page.wait(lambda: seen_ms(page, handle) is None, timeout=10, what='channel %d to go' % handle)
        return shown / 1000.0 - started
    finally:
        peer.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--seconds', type=float, default=10, help='CPU measuring time')
    parser.add_argument('--count', type=int, default=20, help='channel openings to time')
    args = parser.parse_args()
    missing = browser_missing()
    if missing:
        raise SystemExit(missing)
    with Controller() as vc:
        time.sleep(min(2, args.seconds))  # start-up is over
        idle = benchlib.cpu_share(vc.proc.pid, args.seconds)
        with Kordash(vc) as dash, Browser() as page:
            page.open(dash.url)
            page.wait_text('link-state', 'reachable')
            page.js(WATCH_CHANNEL_ROWS)
            watched, kordash = cpu_shares([vc.proc.pid, dash.proc.pid], args.seconds)
            times = [channel_shown(vc, page) for _ in range(args.count)]
    row('arvokor CPU, dashboard page open, %.0f s' % args.seconds, percent(watched),
        '<= idle + 0.5% of a core', 'idle %s; above idle %s' % (percent(idle), percent(watched - idle)))
    row('channel open to shown on the page, %d' % args.count,
        'median %.0f ms (max %.0f ms)' % (median(times) * 1000, max(times) * 1000), 'median < 1 s',
        'refresh period 333 ms')
    row('kordash CPU, dashboard page open, %.0f s' % args.seconds, percent(kordash),
        '<= 0.5% of a core', 'same stretch as the arvokor row')
    note('dashboard: load average %s at the end' % benchlib.load_average())


if __name__ == '__main__':
    main()
