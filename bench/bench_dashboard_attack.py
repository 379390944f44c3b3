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

A hostile controller (tests/peers/fake_admin.py) beside a healthy one, for
--seconds each of its modes (trickle, flood, oversize, absurd, utf8, silence)
while a page watches it: kordash's peak memory and CPU over that time and the
engineer's page time on the healthy controller (three files, the first
snapshot and an action); and how long SIGTERM takes while a reply trickles.

A crowd, each attack with its peak memory, CPU and the engineer's page time
from a fresh address: capture = all on a UDP channel that anyone fills with
1-byte datagrams (the Traffic view open, its records and the pcapng file
fetched); 16 live streams from one address; 10 addresses holding
100 connections each; 20 TLS handshakes stopped after one byte; 8 scrapers
while a controller never answers; 39 addresses guessing the token.

Prints ROW/NOTE lines for bench/table.py:
    bench/bench_dashboard_attack.py [--flood-mb 200] [--count 10] [--parts network,controller,crowd]
        | bench/table.py
Environment: KOR_BIN (build directory, default build/default).
"""

import argparse
import http.client
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import urllib.request

import benchlib  # noqa: F401  (sets up the module path)
from benchlib import median, row, note
from harness import Controller, free_address, unused_port
from dashpage import Kordash
from webattack import Held, first_snapshot, flood_chunked, flood_headers, peak_rss_kb
from fake_admin import FakeController
from testca import TestCA

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


def reset_peak(pid):
    """Starts the resident high-water mark (VmHWM) afresh from now."""
    try:
        with open('/proc/%d/clear_refs' % pid, 'w') as f:
            f.write('5')
    except OSError:
        pass


class Measured:
    """Peak memory and CPU share of kordash while an attack runs."""

    def __init__(self, pid):
        self.pid = pid

    def __enter__(self):
        reset_peak(self.pid)
        self.cpu, self.started = benchlib.process_cpu(self.pid), time.monotonic()
        return self

    def __exit__(self, *exc):
        self.share = (benchlib.process_cpu(self.pid) - self.cpu) / (time.monotonic() - self.started)
        self.peak_mb = peak_rss_kb(self.pid) / 1024

    def text(self, page):
        return 'peak %.1f MB, %s, engineer %s' % (self.peak_mb, benchlib.percent(self.share), page)


def engineer_page(host, port, c=None, vc=None, timeout=10):
    """The engineer's page from a fresh address: three files, the first
    snapshot and (with vc) a B variable set; its time as text."""
    source = free_address()
    query = '' if c is None else '?c=%d' % c
    started = time.monotonic()
    try:
        for path in ('/' + query, '/app.js', '/style.css'):
            if get(host, port, path, source, timeout) != 200:
                return 'refused ' + path
        snap = first_snapshot(host, port, '/api/events' + query, source, timeout)
        if snap.get('link') != 'reachable':
            return 'link ' + snap.get('link', '?')
        if vc is not None:
            conn = http.client.HTTPConnection(host, port, timeout=timeout, source_address=(source, 0))
            conn.request('POST', '/api/b' + query, json.dumps({'index': 303, 'value': 7}),
                         {'X-Kordash': '1', 'Content-Type': 'application/json'})
            reply = conn.getresponse()
            ok = json.loads(reply.read()).get('ok')
            conn.close()
            if not ok:
                return 'action refused'
    except (OSError, AssertionError, http.client.HTTPException, ValueError) as e:
        return 'failed after %.1f s (%s)' % (time.monotonic() - started, type(e).__name__)
    return '%.0f ms' % ((time.monotonic() - started) * 1000)


def watcher(host, port, path, stop, seen):
    """A page that keeps a stream open until stop is set; seen['link'] is the
    link state of its last snapshot."""
    while not stop.is_set():
        try:
            conn = http.client.HTTPConnection(host, port, timeout=5)
            conn.request('GET', path)
            reply = conn.getresponse()
            seen['link'] = 'refused %d' % reply.status if reply.status != 200 else seen.get('link')
            while not stop.is_set():
                line = reply.fp.readline()
                if not line:
                    break
                if line.startswith(b'data: '):
                    try:
                        seen['link'] = json.loads(line[6:]).get('link')
                    except ValueError:
                        seen['link'] = 'a snapshot that is not JSON'
            conn.close()
        except (OSError, http.client.HTTPException):
            stop.wait(0.2)


def controller_part(args):
    folder = tempfile.mkdtemp()
    listing = os.path.join(folder, 'controllers')
    try:
        with Controller() as vc:
            # A kordash and a fake controller of their own for each mode: one
            # mode's harm must not spill into the next one's figures.
            for mode in ('trickle', 'flood', 'oversize', 'absurd', 'utf8', 'silence'):
                fake = FakeController(free_address(), mode=mode)
                with open(listing, 'w') as f:
                    f.write('%s healthy\n%s fake\n' % (vc.address, fake.address))
                try:
                    with Kordash(listing) as dash:
                        stop, seen = threading.Event(), {}
                        viewer = threading.Thread(target=watcher, args=(
                            dash.host, dash.port, '/api/events?c=1&logs=journal,console', stop, seen),
                            daemon=True)
                        with Measured(dash.proc.pid) as m:
                            viewer.start()
                            time.sleep(args.seconds / 2)
                            page = engineer_page(dash.host, dash.port, 0, vc)
                            time.sleep(args.seconds / 2)
                        stop.set()
                        viewer.join(10)
                        row('hostile controller: %s, %g s' % (mode, args.seconds), m.text(page), '< 128 MB',
                            'its page: %s' % (seen.get('link') or 'no snapshot'))
                        if mode == 'silence':
                            scrapers_row(dash, vc)
                finally:
                    fake.close()
        sigterm_row(listing)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def sigterm_row(listing):
    """How long SIGTERM takes while a controller trickles its job list."""
    fake = FakeController(free_address(), mode='trickle')
    try:
        with open(listing, 'w') as f:
            f.write('%s fake\n' % fake.address)
        dash = Kordash(listing)
        page = http.client.HTTPConnection(dash.host, dash.port, timeout=5)
        page.request('GET', '/api/events')  # a page watches: the job list is read
        deadline = time.monotonic() + 10
        while not fake.hostile and time.monotonic() < deadline:
            time.sleep(0.01)
        started = time.monotonic()
        dash.proc.send_signal(signal.SIGTERM)
        try:
            dash.proc.wait(35)
            took = '%.2f s' % (time.monotonic() - started)
        except subprocess.TimeoutExpired:
            took = 'not within 35 s'
        dash.stop()
        page.close()
        row('SIGTERM while a controller trickles a reply', took, '< 2 s')
    finally:
        fake.close()


def scrapers_row(dash, vc):
    """Several scrapers while a controller never answers, and the engineer."""
    scrapes = []

    def scrape():
        started = time.monotonic()
        try:
            get(dash.host, dash.port, '/metrics', free_address(), 10)
            scrapes.append(time.monotonic() - started)
        except (OSError, http.client.HTTPException):
            scrapes.append(float('inf'))

    with Measured(dash.proc.pid) as m:
        threads = [threading.Thread(target=scrape) for _ in range(8)]
        for t in threads:
            t.start()
        page = engineer_page(dash.host, dash.port, 0, vc)
        for t in threads:
            t.join(15)
    row('8 scrapers, one controller silent', m.text(page), '', 'slowest scrape %.0f ms' % (max(scrapes) * 1000))


def capture_row(args):
    """capture = all and anyone sending 1-byte datagrams to a UDP channel."""
    from chanpeers import encode_port
    with Controller(capture='all', capture_bytes=16 << 20) as vc:
        local = unused_port(vc.address, socket.SOCK_DGRAM)
        sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sender.bind((free_address(), 0))
        handle = vc.call('UDPBIND', addr=sender.getsockname()[0], port=sender.getsockname()[1],
                         p1=encode_port(local))
        deadline = time.monotonic() + args.seconds * 2
        while time.monotonic() < deadline:
            for _ in range(1000):
                sender.sendto(b'x', (vc.address, local))
        sender.close()
        with Kordash(vc, state=False) as dash:
            stop, seen = threading.Event(), {}
            viewer = threading.Thread(target=watcher, args=(
                dash.host, dash.port, '/api/events?capture=%d' % handle, stop, seen), daemon=True)
            with Measured(dash.proc.pid) as m:
                viewer.start()
                time.sleep(2)
                started = time.monotonic()
                with urllib.request.urlopen(dash.url + 'api/capture?channel=%d' % handle, timeout=30) as r:
                    page_json = len(r.read())
                json_ms = (time.monotonic() - started) * 1000
                started = time.monotonic()
                with urllib.request.urlopen(dash.url + 'api/capture.pcapng?channel=%d' % handle, timeout=60) as r:
                    status, size = r.status, len(r.read())
                pcap_s = time.monotonic() - started
                page = engineer_page(dash.host, dash.port, vc=vc)
            stop.set()
            viewer.join(10)
        row('capture = all, 1-byte datagrams for %g s' % (args.seconds * 2), m.text(page), '< 128 MB',
            '/api/capture %d bytes in %.0f ms; pcapng %s, %.1f MB in %.1f s' % (
                page_json, json_ms, status, size / 1e6, pcap_s))


def crowd_part(args):
    capture_row(args)
    with Controller() as vc:
        with Kordash(vc, state=False) as dash:
            pid = dash.proc.pid
            first_snapshot(dash.host, dash.port, '/api/events', free_address())
            hog, streams = free_address(), []
            time.sleep(1)  # the first snapshot's stream is noticed as closed
            with Measured(pid) as m:
                # As many as it gets (16), then a page from a fresh address.
                for _ in range(20):
                    try:
                        conn = http.client.HTTPConnection(dash.host, dash.port, timeout=5,
                                                          source_address=(hog, 0))
                        conn.request('GET', '/api/events')
                        reply = conn.getresponse()  # holds the stream's socket
                        streams.append((conn, reply))
                        if reply.status != 200:
                            break
                    except (OSError, http.client.HTTPException):
                        break
                time.sleep(0.5)
                page = engineer_page(dash.host, dash.port, vc=vc)
            for conn, reply in streams:
                reply.close()
                conn.close()
            row('16 live streams from one address', m.text(page), '< 128 MB',
                '%d streams asked for' % len(streams))
            time.sleep(1)
            held = Held()
            try:
                with Measured(pid) as m:
                    for _ in range(10):
                        held.idle(dash.host, dash.port, 100, source=free_address())
                    time.sleep(0.5)
                    page = engineer_page(dash.host, dash.port, vc=vc)
                    alive = held.alive()
            finally:
                held.close()
            row('10 addresses x 100 connections', m.text(page), '< 128 MB', '%d of 1000 held open' % alive)
    folder = tempfile.mkdtemp()
    host = free_address()
    ca = TestCA(folder, host)
    token = os.path.join(folder, 'token')
    with open(token, 'w') as f:
        f.write('correct horse battery staple\n')
    try:
        with Controller() as vc, Kordash(vc, state=False, host=host, tls=ca, token_file=token) as dash:
            pid = dash.proc.pid
            held = Held()
            try:
                with Measured(pid) as m:
                    held.partial(dash.host, dash.port, 20, b'\x16')
                    time.sleep(args.seconds)
                    context = ssl.create_default_context(cafile=ca.ca_cert)
                    started = time.monotonic()
                    conn = http.client.HTTPSConnection(dash.host, dash.port, timeout=10, context=context)
                    conn.request('GET', '/login')
                    status = conn.getresponse().status
                    conn.close()
                    page = '%d in %.0f ms' % (status, (time.monotonic() - started) * 1000)
                ended = held.ended(20)
            finally:
                held.close()
            row('20 TLS handshakes stopped after one byte, %g s' % args.seconds, m.text('log-in page ' + page),
                '~0 % of a core', '%d of 20 closed within %g s more' % (ended, 20))
            guessers = [free_address() for _ in range(39)]
            answered = [0]
            stop = threading.Event()

            def guess(source):
                context = ssl.create_default_context(cafile=ca.ca_cert)
                while not stop.is_set():
                    try:
                        conn = http.client.HTTPSConnection(dash.host, dash.port, timeout=5,
                                                           source_address=(source, 0), context=context)
                        conn.request('POST', '/login', body='token=wrong',
                                     headers={'Content-Type': 'application/x-www-form-urlencoded'})
                        if conn.getresponse().status == 401:
                            answered[0] += 1
                        conn.close()
                    except (OSError, http.client.HTTPException):
                        pass
                    stop.wait(0.05)

            with Measured(pid) as m:
                threads = [threading.Thread(target=guess, args=(g,), daemon=True) for g in guessers]
                for t in threads:
                    t.start()
                time.sleep(args.seconds * 2)
                context = ssl.create_default_context(cafile=ca.ca_cert)
                conn = http.client.HTTPSConnection(dash.host, dash.port, timeout=10, context=context,
                                                   source_address=(free_address(), 0))
                conn.request('POST', '/login', body='token=correct+horse+battery+staple',
                             headers={'Content-Type': 'application/x-www-form-urlencoded'})
                login = conn.getresponse().status
                conn.close()
                stop.set()
                for t in threads:
                    t.join(10)
            row('39 addresses guessing the token, %g s' % (args.seconds * 2), m.text('log-in %d' % login), '',
                '%d guesses checked (%.0f a minute)' % (answered[0], answered[0] * 60 / (args.seconds * 2)))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--flood-mb', type=int, default=200, help='size of each flood')
    parser.add_argument('--count', type=int, default=10, help='page loads to time')
    parser.add_argument('--idle', type=int, default=500, help='idle connections held')
    parser.add_argument('--slow', type=int, default=30, help='slow clients held')
    parser.add_argument('--full', type=int, default=1000, help='connections with a large unfinished body')
    parser.add_argument('--seconds', type=float, default=5, help='length of each hostile controller mode')
    parser.add_argument('--parts', default='network,controller,crowd', help='which attacks')
    args = parser.parse_args()
    parts = args.parts.split(',')
    if 'network' in parts:
        network_part(args)
    if 'controller' in parts:
        controller_part(args)
    if 'crowd' in parts:
        crowd_part(args)
    note('kordash under attack: loopback only, the machine shared with other work (load %s)' %
         benchlib.load_average())


def network_part(args):
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


if __name__ == '__main__':
    socket.setdefaulttimeout(30)
    main()
