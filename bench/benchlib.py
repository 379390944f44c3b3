"""Shared pieces of the benchmark scripts.

Every benchmark prints its figures as tab-separated lines

    ROW <tab> figure <tab> value <tab> target <tab> comparison
    NOTE <tab> text

which bench/table.py turns into one table (scripts/bench does that for all of
them). Everything else a benchmark prints is commentary for a person.

The benchmarks drive virtual controllers through the black-box test harness
(tests/support/harness.py) and use only loopback addresses.
"""

import ctypes
import os
import signal
import socket
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
os.environ.setdefault('KOR_SOURCE', SOURCE)
os.environ.setdefault('KOR_BIN', os.path.join(SOURCE, 'build', 'default'))
sys.path.insert(0, os.path.join(SOURCE, 'tests', 'blackbox'))  # dashpage
sys.path.insert(0, os.path.join(SOURCE, 'tests', 'support'))


# SCHED_FIFO priority of the measuring side: above every task of the
# controller, below the kernel's interrupt threads (platform/host/schedule.h).
MEASURER_PRIORITY = 45


def _die_with_parent():
    try:
        ctypes.CDLL('libc.so.6', use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except OSError:
        pass


def as_measurer():
    """Runs the calling process at the measuring side's SCHED_FIFO priority, so
    that it times the controller and not its own wait for a core. False when
    the process may not (it then measures at normal priority)."""
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(MEASURER_PRIORITY))
        return True
    except OSError:
        return False


def measurer_preexec():
    """preexec_fn of a measuring child process (see as_measurer)."""
    _die_with_parent()
    as_measurer()


def _normal_priority():
    _die_with_parent()
    os.sched_setscheduler(0, os.SCHED_OTHER, os.sched_param(0))


class CpuLoad:
    """One CPU-bound process per core at normal priority while the with-block
    runs (started and stopped here; they also end with this process)."""

    def __init__(self, processes=None):
        self.count = processes or os.cpu_count() or 1
        self.procs = []

    def __enter__(self):
        for _ in range(self.count):
            self.procs.append(subprocess.Popen(
                ['/usr/bin/python3', '-c', 'while True: pass'], preexec_fn=_normal_priority))
        time.sleep(0.5)  # every one of them is spinning
        return self

    def __exit__(self, *exc):
        for p in self.procs:
            p.terminate()
        for p in self.procs:
            p.wait(10)
        self.procs = []

    def describe(self):
        return '%d CPU-bound processes at normal priority on %d cores' % (
            self.count, os.cpu_count() or 1)


def scheduling_note(vc, measurer):
    """What the figures were measured under: the controller's scheduling line
    and the measuring side's priority."""
    said = [line for line in vc.output().splitlines() if 'real-time scheduling' in line]
    controller = said[0].strip() if said else 'controller: realtime = off'
    side = ('measuring side at SCHED_FIFO %d' % MEASURER_PRIORITY if measurer
            else 'measuring side at normal priority (SCHED_FIFO refused)')
    return '%s; %s' % (controller, side)


def row(figure, value, target='', comparison=''):
    """Prints one row of the result table."""
    cells = [str(c).replace('\t', ' ').replace('\n', ' ') for c in
             (figure, value, target, comparison)]
    print('ROW\t' + '\t'.join(cells), flush=True)


def note(text):
    """Prints a line that the table shows below its rows."""
    print('NOTE\t' + text.replace('\t', ' ').replace('\n', ' '), flush=True)


def process_cpu(pid):
    """CPU seconds (user + system, every thread, also ended ones) that a
    process has used so far, with nanosecond resolution: the process's CPU
    clock (the clock id Linux derives from the pid)."""
    return time.clock_gettime(((~pid) << 3) | 2)


def voluntary_switches(pid):
    """Times the threads of a process (the live ones) have gone to sleep: a
    thread that wakes for nothing shows here even when its CPU is too small
    to measure."""
    total = 0
    for tid in os.listdir('/proc/%d/task' % pid):
        try:
            with open('/proc/%d/task/%s/status' % (pid, tid)) as f:
                for line in f:
                    if line.startswith('voluntary_ctxt_switches:'):
                        total += int(line.split()[1])
        except OSError:
            pass  # the thread ended meanwhile
    return total


def cpu_and_wakeups(pid, seconds):
    """Share of one core and sleeps per second of the process over `seconds`."""
    w0 = voluntary_switches(pid)
    share = cpu_share(pid, seconds)
    return share, (voluntary_switches(pid) - w0) / seconds


def cpu_share(pid, seconds):
    """Share of one core the process uses during the next `seconds`."""
    c0, t0 = process_cpu(pid), time.monotonic()
    time.sleep(seconds)
    return (process_cpu(pid) - c0) / (time.monotonic() - t0)


def cpu_shares(pids, seconds):
    """Share of one core each process uses during the same next `seconds`."""
    c0, t0 = [process_cpu(p) for p in pids], time.monotonic()
    time.sleep(seconds)
    elapsed = time.monotonic() - t0
    return [(process_cpu(p) - c) / elapsed for p, c in zip(pids, c0)]


def percentile(values, q):
    """Nearest-rank percentile (q from 0 to 1) of a non-empty sequence."""
    ordered = sorted(values)
    rank = int(q * (len(ordered) - 1) + 0.5)
    return ordered[min(len(ordered) - 1, max(0, rank))]


def median(values):
    return percentile(values, 0.5)


def percent(share):
    """A share of one core as text."""
    return '%.2f%% of a core' % (share * 100)


def load_average():
    with open('/proc/loadavg') as f:
        return ' '.join(f.read().split()[:3])


class TcpReceiveQueue:
    """How many received bytes a TCP socket of another process holds that its
    owner has not read yet, looked up through the kernel's socket diagnostics
    (one exact lookup by the connection's four-tuple, some microseconds)."""

    _SOCK_DIAG_BY_FAMILY = 20
    _NLM_F_REQUEST = 1
    _NETLINK_SOCK_DIAG = 4

    def __init__(self, local, remote):
        """local: (host, port) of the watched socket; remote: its peer."""
        self._nl = socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, self._NETLINK_SOCK_DIAG)
        sockid = (struct.pack('>HH', local[1], remote[1]) +
                  socket.inet_aton(local[0]) + bytes(12) +
                  socket.inet_aton(remote[0]) + bytes(12) +
                  struct.pack('=III', 0, 0xffffffff, 0xffffffff))  # any interface, no cookie
        request = struct.pack('=BBBxI', socket.AF_INET, socket.IPPROTO_TCP, 0,
                              0xffffffff) + sockid
        self._message = struct.pack('=IHHII', 16 + len(request), self._SOCK_DIAG_BY_FAMILY,
                                    self._NLM_F_REQUEST, 1, 0) + request

    def unread(self):
        self._nl.send(self._message)
        data = self._nl.recv(8192)
        length, kind = struct.unpack_from('=IH', data)
        if kind != self._SOCK_DIAG_BY_FAMILY or length < 16 + 72:
            raise OSError('socket diagnostics: no such connection')
        # inet_diag_msg: family, state, timer, retrans, id (48), expires, rqueue, ...
        return struct.unpack_from('=I', data, 16 + 4 + 48 + 4)[0]

    def close(self):
        self._nl.close()
