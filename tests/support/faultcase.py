"""Helpers of the fault cases: timed calls, calls in the background, and a
loopback address (and port) that swallows every TCP packet sent to it, as a
host that is switched off or cut away does: a connect to it gets no answer at
all and waits for the kernel's SYN retries (about 130 s) unless bounded. The
black hole is an nftables drop rule in an output chain of a table of its own,
removed at the end:

    with BlackHole(host, 21):              # raises unittest.SkipTest without nft rights
        result, seconds = timed(vc.call, 'FTPCONNECT', ...)
    run = Background(vc.call, 'TCPCONNECT', ..., slot=1)
    result, seconds = run.join()

Only loopback addresses are accepted.
"""

import itertools
import os
import subprocess
import threading
import time
import unittest

_numbers = itertools.count()


class BlackHole:

    def __init__(self, host, port=None):
        if not host.startswith('127.'):
            raise ValueError('only loopback addresses may be black-holed: %s' % host)
        self.host = host
        self.port = port
        self.table = 'arvokor_hole_%d_%d' % (os.getpid(), next(_numbers))

    def _nft(self, script):
        try:
            return subprocess.run(['nft', script], capture_output=True, text=True)
        except OSError as err:  # no nft at all
            return subprocess.CompletedProcess(['nft'], 127, '', str(err))

    def __enter__(self):
        match = 'ip daddr %s' % self.host
        if self.port is not None:
            match += ' tcp dport %d' % self.port
        result = self._nft('add table ip %s; add chain ip %s out '
                           '{ type filter hook output priority 0; }; add rule ip %s out %s drop'
                           % (self.table, self.table, self.table, match))
        if result.returncode != 0:
            self._nft('delete table ip %s' % self.table)
            raise unittest.SkipTest('nft drop rules are not permitted here: %s'
                                    % (result.stderr.strip() or result.returncode))
        return self

    def __exit__(self, *exc):
        self._nft('delete table ip %s' % self.table)
        return False


def timed(fn, *args, **kwargs):
    """fn's result and the seconds it took."""
    start = time.monotonic()
    result = fn(*args, **kwargs)
    return result, time.monotonic() - start


class Background(threading.Thread):
    """Runs timed(fn, ...) in a thread; join() gives (result, seconds) or
    raises what fn raised."""

    def __init__(self, fn, *args, **kwargs):
        super().__init__(daemon=True)
        self.call = (fn, args, kwargs)
        self.outcome = (None, None)
        self.start()

    def run(self):
        fn, args, kwargs = self.call
        try:
            self.outcome = timed(fn, *args, **kwargs)
        except Exception as err:  # handed to join
            self.outcome = (err, None)

    def join(self, timeout=90):
        super().join(timeout)
        if self.is_alive():
            raise AssertionError('%r still running after %s s' % (self.call[0], timeout))
        if isinstance(self.outcome[0], Exception):
            raise self.outcome[0]
        return self.outcome
