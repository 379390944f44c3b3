#!/usr/bin/python3
"""Benchmark of kordash under attack from the network (all on loopback).

Memory: kordash's resident high-water mark (VmHWM) after 200 MB of 2 KiB
header lines on each of two connections, and after a 200 MB chunked body.

Memory with every connection full: 1000 connections (kordash's limit, 100
from each of 10 addresses), each with a chunked body of 15 KiB (just below the
limit) and no end.

Page load under siege: with 500 idle connections and 30 slow clients (one
header line every 2 s) held, the time an engineer needs to load the page
(index.html, app.js, style.css, chart.min.js, each on a connection of its own,
then the first snapshot of the event stream) and the log-in page; --count
loads, median and maximum. The attackers come from loopback addresses of
their own (90 connections each, below kordash's limit of 100 per address), as
they would from other machines.

Prints ROW/NOTE lines for bench/table.py:
    bench/bench_dashboard_attack.py [--flood-mb 200] [--count 10] | bench/table.py
Environment: KOR_BIN (build directory, default build/default).
"""

import argparse
import http.client
import socket
import time

import benchlib  # noqa: F401  (sets up the module path)
from benchlib import median, row, note
from harness import Controller, free_address
from dashpage import Kordash
from webattack import Held, flood_chunked, flood_headers, peak_rss_kb

ASSETS = ('/', '/app.js', '/style.css', '/chart.min.js')


def get(host, port, path, source, timeout=10):
    conn = http.client.HTTPConnection(host, port, timeout=timeout, source_address=(source, 0))
    try:
        conn.request('GET', path)
        reply = conn.getresponse()
        reply.read()
        return reply.status
    finally:
        conn.close()


def first_event(host, port, source, timeout=10):
    conn = http.client.HTTPConnection(host, port, timeout=timeout, source_address=(source, 0))
    try:
        conn.request('GET', '/api/events')
        reply = conn.getresponse()
        while True:
            line = reply.fp.readline()
            if not line or line.startswith(b'data: '):
                return reply.status
    finally:
        conn.close()


def page_load(dash, source):
    started = time.monotonic()
    for path in ASSETS:
        if get(dash.host, dash.port, path, source) != 200:
            raise AssertionError(path + ' not served')
    first_event(dash.host, dash.port, source)
    return time.monotonic() - started


def login_load(dash, source):
    started = time.monotonic()
    get(dash.host, dash.port, '/login', source)
    return time.monotonic() - started


def timed(what, count):
    times = []
    for _ in range(count):
        try:
            times.append(what())
        except (OSError, AssertionError, http.client.HTTPException):
            times.append(float('inf'))
    return times


def ms(times):
    if min(times) == float('inf'):
        return 'never (all %d failed)' % len(times)
    failed = sum(t == float('inf') for t in times)
    text = 'median %.0f ms, max %.0f ms' % (median(times) * 1000, max(times) * 1000)
    return text + (', %d of %d failed' % (failed, len(times)) if failed else '')


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--flood-mb', type=int, default=200, help='size of each flood')
    parser.add_argument('--count', type=int, default=10, help='page loads to time')
    parser.add_argument('--idle', type=int, default=500, help='idle connections held')
    parser.add_argument('--slow', type=int, default=30, help='slow clients held')
    parser.add_argument('--full', type=int, default=1000, help='connections with a large unfinished body')
    args = parser.parse_args()
    engineer = free_address()
    attackers = [free_address() for _ in range((args.idle + args.slow + 89) // 90)]
    with Controller() as vc, Kordash(vc, state=False) as dash:
        pid = dash.proc.pid
        first_event(dash.host, dash.port, engineer)
        base = peak_rss_kb(pid)
        total = args.flood_mb << 20
        results = [flood_headers(dash.host, dash.port, total) for _ in range(2)]
        after_headers = peak_rss_kb(pid)
        chunked = flood_chunked(dash.host, dash.port, total)
        after_chunked = peak_rss_kb(pid)
        row('kordash peak memory, 2 x %d MB of header lines' % args.flood_mb, '%.1f MB' % (after_headers / 1024),
            '< 64 MB', 'from %.1f MB; answers %s after %s' % (
                base / 1024, [r[0] for r in results], ', '.join('%.1f MB' % (r[1] / 1e6) for r in results)))
        row('kordash peak memory, %d MB chunked body' % args.flood_mb, '%.1f MB' % (after_chunked / 1024),
            '< 64 MB', 'answer %s after %.1f MB' % (chunked[0], chunked[1] / 1e6))
        held = Held()
        try:
            head = ('POST /api/b HTTP/1.1\r\nHost: %s:%d\r\nX-Kordash: 1\r\nTransfer-Encoding: chunked\r\n\r\n'
                    '%x\r\n' % (dash.host, dash.port, 15 << 10)).encode()
            for _ in range(args.full // 100):
                held.partial(dash.host, dash.port, 100, head + b' ' * (15 << 10), source=free_address())
            time.sleep(1)
            full_open = held.alive()
            after_full = peak_rss_kb(pid)
        finally:
            held.close()
        row('kordash peak memory, %d connections with 15 KiB bodies each' % args.full, '%.1f MB' % (after_full / 1024),
            '< 64 MB', '%d of them held open' % full_open)
        quiet = timed(lambda: page_load(dash, engineer), args.count)
        held = Held()
        try:
            for k in range(args.idle):
                held.idle(dash.host, dash.port, 1, source=attackers[k // 90])
            for k in range(args.idle, args.idle + args.slow):
                held.slow(dash.host, dash.port, 1, source=attackers[k // 90])
            time.sleep(1)
            open_first = held.alive()
            pages = timed(lambda: page_load(dash, engineer), args.count)
            logins = timed(lambda: login_load(dash, engineer), args.count)
            open_now = held.alive()
        finally:
            held.close()
        row('page load, nothing held, %d' % args.count, ms(quiet), '', '4 files and the first snapshot')
        row('page load, %d idle + %d slow connections held, %d' % (args.idle, args.slow, args.count),
            ms(pages), 'max < 1 s', 'held connections open: %d at the start, %d at the end' % (open_first, open_now))
        row('log-in page, same siege, %d' % args.count, ms(logins), 'max < 1 s')
        row('kordash peak memory, whole run', '%.1f MB' % (peak_rss_kb(pid) / 1024), '< 64 MB')
    note('kordash under attack: loopback only, the machine shared with other work (load %s)' %
         benchlib.load_average())


if __name__ == '__main__':
    socket.setdefaulttimeout(30)
    main()
