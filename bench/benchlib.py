"""Shared pieces of the benchmark scripts.

Every benchmark prints its figures as tab-separated lines

    ROW <tab> figure <tab> value <tab> target <tab> comparison
    NOTE <tab> text

which bench/table.py turns into one table (scripts/bench does that for all of
them). Everything else a benchmark prints is commentary for a person.

The benchmarks drive virtual controllers through the black-box test harness
(tests/support/harness.py) and use only loopback addresses.
"""

import os
import socket
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
os.environ.setdefault('KOR_SOURCE', SOURCE)
os.environ.setdefault('KOR_BIN', os.path.join(SOURCE, 'build', 'default'))
sys.path.insert(0, os.path.join(SOURCE, 'tests', 'blackbox'))  # dashpage
sys.path.insert(0, os.path.join(SOURCE, 'tests', 'support'))


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


def cpu_share(pid, seconds):
    """Share of one core the process uses during the next `seconds`."""
    c0, t0 = process_cpu(pid), time.monotonic()
    time.sleep(seconds)
    return (process_cpu(pid) - c0) / (time.monotonic() - t0)


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
