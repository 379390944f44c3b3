#!/usr/bin/python3
"""Benchmark of one kordash over a plant-sized fleet: real virtual controllers
(20 by default) and simulated ones (180, tests/peers/sim_controller.py, one
process), the overview open in headless chromium.

kordash's CPU (share of a core over --seconds, the overview open) and its
peak resident memory (VmHWM at the end, after every part below).

Overview page: the time from the browser's request to the table showing a
row for every controller with its admin port's state (performance.now() of
the page), at the first open (the refreshes start with the page) and on
reloads (median of 3); its size (the page's files as transferred and the
overview's first event) and what its event stream sends a second.

Failure to row: a command fails on a real controller (korjob's TCPCONNECT to
a loopback port nobody listens on) and the time until its row's failures
column counts it, median of --count; then one real controller is killed and
the time until its row shows it down.

/metrics: the time of a whole scrape (a new connection each) and its size,
median of --scrapes.

Prints ROW/NOTE lines for bench/table.py:
    bench/bench_plant.py [--real 20] [--simulated 180] [--seconds 30] | bench/table.py
Environment: KOR_BIN (build directory, default build/default).
"""

import argparse
import contextlib
import http.client
import os
import random
import tempfile
import time

import benchlib
from benchlib import load_average, median, note, percent, row
from harness import Controller, free_address, start_python_peer
from dashpage import Browser, Kordash, browser_missing

# Resolves (in the page) when the table has `count` rows, none still
# "connecting": performance.now() then, ms from the start of the navigation.
ROWS_SHOWN = """
const [count, done] = [arguments[0], arguments[arguments.length - 1]];
const ready = () => {
  const rows = document.querySelectorAll('#controllers tbody tr');
  return rows.length === count &&
      Array.from(rows).every((tr) => tr.cells[2].textContent && tr.cells[2].textContent !== 'connecting');
};
const look = () => (ready() ? done(performance.now()) : setTimeout(look, 5));
look();
"""

# Bytes the page's files took on the wire (the event stream never ends: not among them).
PAGE_BYTES = """
const entries = performance.getEntriesByType('navigation').concat(performance.getEntriesByType('resource'));
return entries.filter((e) => !e.name.includes('/api/'))
    .reduce((sum, e) => sum + (e.transferSize || e.encodedBodySize || 0), 0);
"""


def cpu_shares(pids, seconds):
    """Share of one core each process uses during the next `seconds`."""
    c0, t0 = [benchlib.process_cpu(p) for p in pids], time.monotonic()
    time.sleep(seconds)
    elapsed = time.monotonic() - t0
    return [(benchlib.process_cpu(p) - c) / elapsed for p, c in zip(pids, c0)]


def status_field(pid, name):
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith(name + ':'):
                return int(line.split()[1])
    return 0


def open_overview(page, url, count):
    """ms from the request to every row showing its controller's state."""
    page.driver.set_script_timeout(60)
    page.open(url)
    return page.driver.execute_async_script(ROWS_SHOWN, count)


def stream_rate(dash, seconds):
    """Events a second and bytes a second an overview stream sends, and its first event's size."""
    conn = http.client.HTTPConnection(dash.host, dash.port, timeout=10)
    conn.request('GET', '/api/overview')
    reply = conn.getresponse()
    first, events, size, started = None, 0, 0, time.monotonic()
    event = b''
    while time.monotonic() - started < seconds:
        line = reply.readline()
        if not line:
            break
        event += line
        if line == b'\n':
            if event.startswith(b'data:'):
                first = first or len(event)
                events += 1
                size += len(event)
            event = b''
    elapsed = time.monotonic() - started
    conn.close()
    return events / elapsed, size / elapsed, first or 0


def scrape(dash):
    """Seconds for one whole /metrics scrape on a new connection, and its body."""
    started = time.monotonic()
    conn = http.client.HTTPConnection(dash.host, dash.port, timeout=10)
    conn.request('GET', '/metrics')
    reply = conn.getresponse()
    body = reply.read()
    took = time.monotonic() - started
    conn.close()
    if reply.status != 200:
        raise AssertionError('/metrics gave %d' % reply.status)
    return took, body


def row_cell(page, index, cell):
    return page.js('const tr = document.querySelector(`#controllers tr[data-index="${arguments[0]}"]`);'
                   'return tr ? tr.cells[arguments[1]].textContent : null;', index, cell)


def failure_shown(vc, index, page):
    """Seconds from just before a failing TCPCONNECT to its row counting the failure."""
    page.wait(lambda: (row_cell(page, index, 5) or '—').isdigit(), timeout=10, what='the failures column')
    before = int(row_cell(page, index, 5))
    time.sleep(random.uniform(0, 1))  # out of step with the once-a-second rows
    started = time.monotonic()
    result = vc.call('TCPCONNECT', addr='127.0.0.1', port=1)
    if result != 254:
        raise AssertionError('TCPCONNECT to a closed port gave %d' % result)
    page.wait(lambda: row_cell(page, index, 5) == str(before + 1), timeout=10, what='the failure in the row')
    return time.monotonic() - started


def kill_shown(vc, index, page):
    """Seconds from killing a controller to its row showing it down."""
    time.sleep(random.uniform(0, 1))
    started = time.monotonic()
    vc.proc.kill()
    page.wait(lambda: (row_cell(page, index, 2) or 'reachable') != 'reachable', timeout=20,
              what='the killed controller in its row')
    took = time.monotonic() - started
    vc.proc.wait(10)
    return took, row_cell(page, index, 2)


def ms(seconds):
    return '%.0f ms' % (seconds * 1000)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--real', type=int, default=20, help='virtual controllers')
    parser.add_argument('--simulated', type=int, default=180, help='simulated controllers')
    parser.add_argument('--seconds', type=float, default=30, help='CPU measuring time')
    parser.add_argument('--count', type=int, default=10, help='failures to time')
    parser.add_argument('--scrapes', type=int, default=20)
    args = parser.parse_args()
    missing = browser_missing()
    if missing:
        raise SystemExit(missing)
    total = args.real + args.simulated
    load_start = load_average()
    with contextlib.ExitStack() as stack:
        cells = [stack.enter_context(Controller()) for _ in range(args.real)]
        addresses = [free_address() for _ in range(args.simulated)]
        sim = stack.enter_context(start_python_peer('sim_controller.py', *addresses, ready='ready',
                                                    timeout=60)) if addresses else None
        listing = os.path.join(tempfile.mkdtemp(), 'controllers')
        with open(listing, 'w') as f:
            f.writelines('%s cell%d\n' % (vc.address, k + 1) for k, vc in enumerate(cells))
            f.writelines('%s sim%d\n' % (a, k + 1) for k, a in enumerate(addresses))
        dash = stack.enter_context(Kordash(listing))
        page = stack.enter_context(Browser())
        first_open = open_overview(page, dash.url, total)
        page_bytes = page.js(PAGE_BYTES)
        reloads = [open_overview(page, dash.url, total) for _ in range(3)]
        page.wait(lambda: page.js('return document.getElementById("reachable-count").textContent;')
                  == str(total), timeout=30, what='every controller reachable')
        time.sleep(2)
        pids = [dash.proc.pid] + ([sim.proc.pid] if sim else []) + [vc.proc.pid for vc in cells]
        shares = cpu_shares(pids, args.seconds)
        kordash, sim_share, real = shares[0], shares[1] if sim else 0, shares[1 + bool(sim):]
        events, rate, first_event = stream_rate(dash, min(5, args.seconds))
        times = [failure_shown(cells[k % len(cells)], k % len(cells), page) for k in range(args.count)]
        scrapes = [scrape(dash) for _ in range(args.scrapes)]
        killed, shown_as = kill_shown(cells[-1], len(cells) - 1, page) if cells else (None, '')
        peak, threads = status_field(dash.proc.pid, 'VmHWM'), status_field(dash.proc.pid, 'Threads')
    load_end = load_average()
    fleet = '%d controllers (%d real, %d simulated)' % (total, args.real, args.simulated)
    row('kordash CPU, overview of %s open, %.0f s' % (fleet, args.seconds), percent(kordash),
        '<= 5% of a core', 'simulator %s; real controllers %s in all (mean %s)' % (
            percent(sim_share), percent(sum(real)), percent(sum(real) / max(1, len(real)))))
    row('kordash peak memory (VmHWM), %d controllers' % total, '%.1f MB' % (peak / 1024), '<= 150 MB',
        '%d threads' % threads)
    row('overview page load, %d rows filled' % total,
        'first %.0f ms, reload median %.0f ms' % (first_open, median(reloads)), '< 1 s',
        'request to every row showing its admin port state; reloads max %.0f ms' % max(reloads))
    row('overview page size', '%.1f KB files + %.1f KB first event' % (page_bytes / 1024, first_event / 1024),
        '', 'its event stream: %.1f events/s, %.1f KB/s' % (events, rate / 1024))
    row('failed command to shown in its row, %d' % args.count,
        'median %s (max %s)' % (ms(median(times)), ms(max(times))), '< 2 s', 'counters read once a second')
    if killed is not None:
        row('controller killed to shown in its row', ms(killed), '< 2 s', 'row reads %r' % shown_as)
    took = [t for t, _ in scrapes]
    body = scrapes[-1][1]
    row('/metrics scrape, %d controllers, %d' % (total, args.scrapes),
        'median %s (max %s)' % (ms(median(took)), ms(max(took))), '< 100 ms',
        '%.1f KB, %d lines' % (len(body) / 1024, body.count(b'\n')))
    note('plant: load average %s at the start, %s at the end; %d cores' % (
        load_start, load_end, os.cpu_count() or 1))


if __name__ == '__main__':
    main()
