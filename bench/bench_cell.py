#!/usr/bin/python3
"""Benchmark of the whole cell at once, on one virtual controller.

While the position stream runs at clock 0 = 1 ms to a loopback UDP receiver,
every channel is open and receiving: 18 TCP channels from loopback peers
(together about 1 MB/s) and the 19th as a Modbus poll that reads 10 holding registers from tests/peers' modbus_server again and
again, kordash holds the controller with its event stream open (read by us as
a page would) and the command journal is on (the default), every command slot
issues commands: slot 0 is timed by bench_roundtrip (INFO, through the state
file as a job sees it), the others issue a mix through korjob (INFO, SENDDATA
and READDATA on their channels, CHECKPATTERN, and the Modbus read on one
slot).

Figures: the round trip of slot 0 (median and p99), the stream's datagrams
against the clock ticks of the span, the receive-to-queue latency of one
channel (a probe peer sends a short line every 20 ms; the time until the
admin readout counts it in the channel's queue), the journal's sequence
numbers against the commands issued (none may be missing, nothing
unrecorded), arvokor's CPU over the span, the bytes the channels were sent.
With --load all of it again, same controller, with one CPU-bound process per
core beside it. Then all of it once more with one peer stuck: it stops
reading, its channel's send buffer is filled (admin ":tx"; the controller
runs with send_buffer = 4096 throughout, so a few blocks fill it) and slot 1
keeps a SENDDATA to it blocked throughout (each waits out the 10 s send
limit); no other channel may notice.

Prints ROW/NOTE lines for bench/table.py:
    bench/bench_cell.py [--count 3000] [--load] | bench/table.py
Environment: KOR_BIN (build directory, default build/default).
"""

import argparse
import contextlib
import os
import re
import socket
import subprocess
import threading
import time
import urllib.request

import benchlib
from bench_stream_modbus import SO_TIMESTAMPNS, arrival_time, stream_figures
from benchlib import CpuLoad, median, note, percent, percentile, process_cpu, row
from arvokor.admin import frame as admin_frame
from dashpage import Kordash
from harness import BIN, Controller, KorjobError, free_address

# Handles 1..19 are the channels: the Modbus poll takes one, the peers the rest.
CHANNELS = 18
RATE = 1_000_000  # bytes per second over the peers' channels
PERIOD = 0.001    # clock 0
MODBUS_REGISTERS = 10


class Senders:
    """The channels' peers: one loopback listener per channel, then one
    thread pacing every connection to its share of RATE and reading what the
    channel sends back (except the stuck peer's, and the probe's pacing)."""

    def __init__(self, host):
        self.host = host
        self.conns = []
        self.sent = 0
        self.stuck = None  # the peer that stopped reading
        self.probe = None  # the probe's peer: not paced
        self._stop = threading.Event()
        self._thread = None

    def connect(self, vc):
        """Opens a channel of vc to a new listener; returns its handle."""
        listener = socket.socket()
        listener.bind((self.host, 0))
        listener.listen(1)
        handle = vc.call('TCPCONNECT', addr=self.host, port=listener.getsockname()[1])
        if not 0 <= handle < 20:
            raise AssertionError('TCPCONNECT gave %d' % handle)
        listener.settimeout(5)
        conn, _ = listener.accept()
        listener.close()
        conn.setblocking(False)
        self.conns.append(conn)
        return handle

    def start(self):
        self._stop.clear()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def stop(self):
        self._stop.set()
        self._thread.join()

    def _run(self):
        step = 0.01
        chunk = b'x' * (int(RATE * step) // len(self.conns) - 2) + b'\r\n'
        due = time.monotonic()
        while not self._stop.is_set():
            for conn in self.conns:
                if conn is not self.stuck:
                    with contextlib.suppress(BlockingIOError, OSError):
                        conn.recv(65536)
                if conn is self.probe:
                    continue
                try:
                    self.sent += conn.send(chunk)
                except (BlockingIOError, OSError):
                    pass  # the channel's queue is full: arvokor drops, the peer waits
            due += step
            self._stop.wait(max(0, due - time.monotonic()))

    def close(self):
        for conn in self.conns:
            conn.close()


class StreamReceiver:
    """The position stream's receiver, in a thread of its own."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sock.bind((free_address(), 0))
        self.sock.settimeout(0.2)
        self.arrivals, self.seqs = [], []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def start(self, vc):
        address, port = self.sock.getsockname()
        self._thread.start()
        if vc.call('POSSTREAMSTART', addr=address, p0=port if port < 32768 else port - 65536) != 1:
            raise AssertionError('POSSTREAMSTART refused')

    def take(self):
        """The arrivals and sequence numbers so far, and starts anew."""
        got = self.arrivals, self.seqs
        self.arrivals, self.seqs = [], []
        return got

    def stop(self, vc):
        if vc.call('POSSTREAMSTOP') != 1:
            raise AssertionError('POSSTREAMSTOP refused')
        self._stop.set()
        self._thread.join()
        self.sock.close()

    def _run(self):
        while not self._stop.is_set():
            try:
                data, ancillary, _, _ = self.sock.recvmsg(64, 64)
            except socket.timeout:
                continue
            stamp = arrival_time(ancillary)
            self.arrivals.append(stamp if stamp is not None else time.time())
            self.seqs.append(data[0])


class EventReader:
    """kordash's event stream for the page, read as a browser would."""

    def __init__(self, url):
        self.bytes = 0
        self._response = urllib.request.urlopen(url + 'api/events?channel=0', timeout=10)
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        with contextlib.suppress(OSError, ValueError, AttributeError):  # closed under us
            while True:
                data = self._response.read1(65536)
                if not data:
                    return
                self.bytes += len(data)

    def close(self):
        with contextlib.suppress(OSError):
            self._response.close()


class SlotWorker:
    """One command slot issuing its mix through korjob until stopped; counts
    the commands it issued and the unexpected results."""

    def __init__(self, vc, slot, handle, modbus):
        self.vc, self.slot, self.handle, self.modbus = vc, slot, handle, modbus
        self.issued = 0
        self.faults = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _mix(self):
        vc, slot, h = self.vc, self.slot, self.handle
        base = 400 + 130 * slot  # B variables of this slot: no two slots share any
        if self.modbus is not None:
            return [('MODBUSREAD', lambda: vc.call(
                'MODBUSREAD', slot=slot, p2=self.modbus, p1=3, p7=0, p6=MODBUS_REGISTERS,
                p4=0, p5=2), (255,))]
        return [
            ('INFO', lambda: vc.call('INFO', slot=slot, p8=0), (255,)),
            ('SENDDATA', lambda: vc.call('SENDDATA', slot=slot, handle=h, p1=base, p2=16), (16,)),
            ('READDATA', lambda: vc.call('READDATA', slot=slot, handle=h, p1=base, p2=128),
             tuple(range(1, 129)) + (253,)),
            ('CHECKPATTERN', lambda: vc.call('CHECKPATTERN', slot=slot, handle=h, p1=base,
                                             p2=0, p3=base + 129, p4=0, p5=0, p6=1),
             tuple(range(0, 129)) + (253,)),
        ]

    def _run(self):
        mix = self._mix()
        k = 0
        while not self._stop.is_set():
            name, command, expected = mix[k % len(mix)]
            k += 1
            self.issued += 1
            try:
                code = command()
            except KorjobError as e:  # no result in time: told, not fatal
                self.faults.append('%s on slot %d: %s' % (name, self.slot, e))
                continue
            if code not in expected:
                self.faults.append('%s on slot %d gave %d' % (name, self.slot, code))

    def start(self):
        self._thread.start()

    def stop(self):
        self._stop.set()
        self._thread.join()


class QueueProbe:
    """Receive-to-queue latency of one channel: its peer sends a 12-byte
    line every 20 ms, and the admin readout is polled until the channel's
    queue counts it. The admin server serves one client: the probe holds it
    only while it runs."""

    LINE = b'probe-line\r\n'

    def __init__(self, vc, handle, conn):
        self.vc, self.handle, self.conn = vc, handle, conn
        self.latencies = []
        self._stop = threading.Event()
        self._thread = None

    def start(self):
        self.latencies = []
        self._stop.clear()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def stop(self):
        self._stop.set()
        self._thread.join()
        return self.latencies

    def _queued(self, admin):
        record = admin.readout(self.handle)
        return int(record['queued']) if record else -1

    def _run(self):
        with self.vc.admin(timeout=ADMIN_TIMEOUT) as admin:
            admin.request(':ic%d' % self.handle, quiet=0.05)
            expected = self._queued(admin)
            while not self._stop.is_set():
                if expected > 8192 - 256:
                    admin.request(':ic%d' % self.handle, quiet=0.05)
                    expected = self._queued(admin)
                    continue
                sent = time.monotonic()
                self.conn.send(self.LINE)
                expected += len(self.LINE)
                while self._queued(admin) < expected and not self._stop.is_set():
                    pass
                # A line not yet counted when the span ends counts as late as that.
                self.latencies.append(time.monotonic() - sent)
                self._stop.wait(0.02)
            admin.quit()


class StuckPeer:
    """One channel whose peer stopped reading: its send buffer is filled
    with admin ":tx" blocks until one does not answer, then slot `slot`
    keeps a SENDDATA to it blocked (each waits out the send limit)."""

    def __init__(self, vc, slot, handle):
        self.vc, self.slot, self.handle = vc, slot, handle
        self.issued = 0
        self.results = {}
        self.calls = []  # (begun, ended) of every SENDDATA
        self.begun = None  # of the one under way
        self.fill_bytes = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def fill(self):
        """Sends blocks until one fails (it waited out the send limit);
        returns once it has (the admin server is free again)."""
        block = b'y' * 2031
        done = str(len(block)).encode()
        with self.vc.admin(timeout=ADMIN_TIMEOUT) as admin:
            for _ in range(20000):
                admin.send_raw(admin_frame(':tx%d' % self.handle, block))
                reply = admin.collect(expect=len(done), first_wait=15)
                if reply != done:
                    break
                self.fill_bytes += len(block)
            else:
                raise AssertionError('the stuck peer took 40 MB')
            admin.collect(quiet=0.1, first_wait=0.1)  # the rest of a "-1"
            admin.quit()

    def start(self):
        self._thread.start()

    def stop(self):
        self._stop.set()
        self._thread.join()

    def wait_blocked(self, limit=60):
        """Returns once a SENDDATA has been under way for a second (a peer
        that took a few more bytes lets the first ones through)."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            begun = self.begun
            if begun is not None and time.monotonic() - begun > 1:
                return
            time.sleep(0.05)
        raise AssertionError('no SENDDATA to the stuck peer blocked')

    def blocked_share(self, start, end):
        """The share of [start, end] during which a SENDDATA that took over a
        second was under way."""
        calls = list(self.calls)
        if self.begun is not None:
            calls.append((self.begun, time.monotonic()))
        covered = sum(max(0.0, min(e, end) - max(b, start)) for b, e in calls if e - b > 1)
        return covered / (end - start)

    def _run(self):
        base = 400 + 130 * self.slot
        while not self._stop.is_set():
            self.issued += 1
            self.begun = time.monotonic()
            try:
                code = self.vc.call('SENDDATA', slot=self.slot, handle=self.handle, p1=base,
                                    p2=128, timeout=20)
            except KorjobError:
                code = 'none'
            self.calls.append((self.begun, time.monotonic()))
            self.begun = None
            self.results[code] = self.results.get(code, 0) + 1


def round_trip(vc, count):
    program = os.path.join(BIN, 'bench', 'bench_roundtrip')
    out = subprocess.run([program, '--state', vc.state_path, '--count', str(count),
                          '--slot', '0'], capture_output=True, text=True, check=True,
                         preexec_fn=benchlib.measurer_preexec).stdout
    found = re.search(r'median ([\d.]+) ms, p99 ([\d.]+) ms, max ([\d.]+) ms', out)
    if not found:
        raise AssertionError('bench_roundtrip printed: %s' % out)
    return [float(v) for v in found.groups()]


# The admin server's answers may wait for a send that holds the channel table
# (as it did before sends held their own channel only): wait that long.
ADMIN_TIMEOUT = 30


def journal_position(vc):
    with vc.admin(timeout=ADMIN_TIMEOUT) as admin:
        nxt, _, unrecorded, _ = admin.journal(1 << 30)
        admin.quit()
    return nxt, unrecorded


def counters(vc):
    """arvokor's own counts: channel bytes taken and dropped (every kind),
    position datagrams and clock ticks that passed without one."""
    with vc.admin(timeout=ADMIN_TIMEOUT) as admin:
        got = admin.counters()
        admin.quit()

    def total(value):
        return sum(total(v) for v in value.values()) if isinstance(value, dict) else value
    return {k: total(got.get(k, 0)) for k in ('bytes_in', 'bytes_dropped', 'position_datagrams',
                                              'position_ticks_without')}


def measure(vc, workers, receiver, senders, count, probe):
    """One span: every slot busy while slot 0 is timed. Returns the figures."""
    counted0 = counters(vc)
    probe.start()
    receiver.take()
    sent0 = senders.sent
    pid = vc.proc.pid
    c0, t0 = process_cpu(pid), time.monotonic()
    began = t0
    issued0 = [w.issued for w in workers]
    timed = round_trip(vc, count)
    issued = sum(w.issued - i for w, i in zip(workers, issued0))
    span = time.monotonic() - t0
    cpu = (process_cpu(pid) - c0) / span
    arrivals, seqs = receiver.take()
    bytes_sent = senders.sent - sent0
    queue_latency = probe.stop()
    counted = {k: v - counted0[k] for k, v in counters(vc).items()}
    return dict(timed=timed, span=span, cpu=cpu, arrivals=arrivals, seqs=seqs, began=began,
                rate=bytes_sent / span, issued_by_workers=issued,
                counted=counted, queue_latency=queue_latency)


def span_rows(name, fig, count, slots):
    med, p99, worst = fig['timed']
    row('%s: round trip, %d INFO on slot 0' % (name, count),
        'median %.2f ms, p99 %.2f ms (max %.2f ms)' % (med, p99, worst), 'p99 <= 4.5 ms',
        '%d other slots issued %d commands in %.1f s' % (slots - 1, fig['issued_by_workers'],
                                                          fig['span']))
    if len(fig['arrivals']) > 1:
        per_tick, ticks, lost, silent, long_gaps, jitter = stream_figures(
            fig['arrivals'], fig['seqs'], PERIOD)
        row('%s: position stream at 1 ms, datagrams vs ticks' % name,
            '%d in %d ticks (%d lost, %d ticks without one)' % (len(fig['arrivals']), ticks,
                                                                 lost, silent),
            'every tick sent', 'jitter median %.3f ms, p99 %.3f ms, max %.2f ms; %d gaps over '
            '1.5 ms; arvokor counted %d ticks without a datagram'
            % (median(jitter), percentile(jitter, 0.99), max(jitter), long_gaps,
               fig['counted']['position_ticks_without']))
    else:
        row('%s: position stream at 1 ms' % name, 'no datagram received', 'every tick sent', '')
    lat = [v * 1e3 for v in fig['queue_latency']]
    if lat:
        row('%s: receive to queue, one channel' % name,
            'p99 %.2f ms, max %.2f ms' % (percentile(lat, 0.99), max(lat)), 'unchanged by a stuck peer',
            'median %.2f ms over %d lines (admin readout polled)' % (median(lat), len(lat)))
    else:
        row('%s: receive to queue, one channel' % name,
            'no line counted in %.1f s' % fig['span'], 'unchanged by a stuck peer',
            'the admin readout itself waited all along')
    row('%s: arvokor CPU' % name, percent(fig['cpu']), '',
        '%d peers sent %.0f kB/s; the channels took %.0f kB/s, dropped %.0f kB/s (full queues)'
        % (CHANNELS, fig['rate'] / 1e3, fig['counted']['bytes_in'] / fig['span'] / 1e3,
           fig['counted']['bytes_dropped'] / fig['span'] / 1e3))


def start_modbus(address):
    server = os.path.join(BIN, 'tests', 'modbus_server')
    proc = subprocess.Popen([server, '--address', address, '--holding', '0:' + ','.join(
        str(i) for i in range(MODBUS_REGISTERS))], stdout=subprocess.PIPE, text=True)
    return proc, int(proc.stdout.readline().split()[1])


def run(vc, args, stack, measurer):
    host = free_address()
    proc, port = start_modbus(host)
    stack.callback(lambda: (proc.terminate(), proc.wait(), proc.stdout.close()))
    modbus = vc.call('TCPCONNECT', addr=host, port=port)
    senders = Senders(host)
    stack.callback(senders.close)
    # Channel 0 is the one whose peer gets stuck, the last one the probe's.
    handles = [senders.connect(vc) for _ in range(CHANNELS)]
    senders.probe = senders.conns[-1]
    probe = QueueProbe(vc, handles[-1], senders.conns[-1])
    dash = stack.enter_context(Kordash(vc))
    events = EventReader(dash.url)
    stack.callback(events.close)
    vc.robot_pos(0, 1, 2, 3, 4, 5, 6)
    if vc.call('POSSTREAMCONFIG', p4=0, p5=0, p6=0, p7=0, p0=0, p1=0) != 1:
        raise AssertionError('POSSTREAMCONFIG refused')
    receiver = StreamReceiver()
    receiver.start(vc)
    senders.start()
    slots = vc.slot_layout().slots
    workers = [SlotWorker(vc, k, handles[(k - 1) % (CHANNELS - 1)],
                          modbus if k == slots - 1 else None)
               for k in range(1, slots)]
    start = journal_position(vc)
    for w in workers:
        w.start()
    time.sleep(1)  # every slot is busy
    spans = [measure(vc, workers, receiver, senders, args.count, probe)]
    loaded = None
    if args.load:
        with CpuLoad() as busy:
            loaded = measure(vc, workers, receiver, senders, args.count, probe)
            spans.append(loaded)
    # One peer stuck: slot 1 leaves its mix for the blocked SENDDATA.
    workers[0].stop()
    stuck = StuckPeer(vc, 1, handles[0])
    senders.stuck = senders.conns[0]
    stuck.fill()
    stuck.start()
    stuck.wait_blocked()
    stalled = measure(vc, workers, receiver, senders, args.count, probe)
    spans.append(stalled)
    stuck.stop()
    for w in workers[1:]:
        w.stop()
    senders.stop()
    receiver.stop(vc)
    time.sleep(0.2)  # the last commands are journalled
    faults = [f for w in workers for f in w.faults]
    name = 'cell, %d slots' % slots
    span_rows(name, spans[0], args.count, slots)
    if loaded:
        span_rows(name + ', under load', loaded, args.count, slots)
        note('cell under load: ' + busy.describe())
    span_rows(name + ', one peer stuck', stalled, args.count, slots)
    row('%s, one peer stuck: the stuck sends' % name,
        '%d SENDDATA, results %s' % (stuck.issued, ', '.join(
            '%s: %d' % (k, v) for k, v in sorted(stuck.results.items(), key=str))),
        'blocked all along (254 after the 10 s limit)',
        'a SENDDATA was blocked through %s of the span; the send buffer took %d bytes of '
        'admin :tx' % ('%.0f%%' % (100 * stuck.blocked_share(
            stalled['began'], stalled['began'] + stalled['span'])), stuck.fill_bytes))
    journal_check(vc, name, start, workers, args.count * len(spans) + stuck.issued)
    row('%s: unexpected results' % name, '%d' % len(faults), 'none',
        '; '.join(faults[:3] + ['kordash event stream read: %d bytes' % events.bytes]))
    note('cell: ' + benchlib.scheduling_note(vc, measurer))


def journal_check(vc, name, start, workers, timed):
    """The journal's sequence numbers from before the workers started until
    after everything stopped, against the commands issued meanwhile."""
    seq1, unrecorded1 = journal_position(vc)
    issued = sum(w.issued for w in workers) + timed + 1  # + POSSTREAMSTOP
    recorded = seq1 - start[0]
    row('%s: journal entries vs commands issued' % name,
        '%d of %d (%d unrecorded)' % (recorded, issued, unrecorded1 - start[1]),
        'none lost', 'every command of the run, the timed ones included')


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--count', type=int, default=3000,
                        help='INFO commands timed on slot 0 per span')
    parser.add_argument('--load', action='store_true',
                        help='measure again with one CPU-bound process per core')
    args = parser.parse_args()
    # Only bench_roundtrip measures at SCHED_FIFO: the korjob calls of the
    # other slots stay at normal priority, as a job's would.
    measurer = benchlib.as_measurer()
    os.sched_setscheduler(0, os.SCHED_OTHER, os.sched_param(0))
    # Small send buffers: a peer that stops reading stops its channel's sends
    # after a few kilobytes (in every span alike).
    with Controller(clock0_us=1000, send_buffer=4096) as vc, contextlib.ExitStack() as stack:
        run(vc, args, stack, measurer)


if __name__ == '__main__':
    main()
