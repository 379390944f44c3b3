"""A network namespace of a test's own with random packet loss on its
loopback interface (nftables `numgen random`; this kernel has no netem):

    ns = LossyNamespace.make(self)           # skips the test where not permitted
    ns.set_loss(20)                          # percent of packets dropped, both ways
    proc = subprocess.Popen(ns.prefix() + ['/path/to/peer', ...])
    vc = NamespaceController(ns)             # arvokor runs inside the namespace

Everything inside talks over the namespace's own loopback addresses, so no
packet leaves it. The namespace is removed at the test's clean-up.
"""

import itertools
import os
import stat
import subprocess
import tempfile
import unittest

import harness

_numbers = itertools.count()


def _run(*argv):
    return subprocess.run(list(argv), capture_output=True, text=True, timeout=30)


class LossyNamespace:
    TABLE = 'korloss'

    def __init__(self, name):
        self.name = name
        self.loss = 0

    @classmethod
    def make(cls, owner):
        """A new namespace with its loopback up, removed at owner's clean-up;
        skips owner's test with a message where namespaces are not permitted."""
        name = 'kor%d_%d' % (os.getpid(), next(_numbers))
        made = _run('ip', 'netns', 'add', name)
        if made.returncode != 0:
            raise unittest.SkipTest('network namespaces are not permitted here: '
                                    + made.stderr.strip())
        ns = cls(name)
        owner.addCleanup(ns.remove)
        up = _run('ip', 'netns', 'exec', name, 'ip', 'link', 'set', 'lo', 'up')
        table = ns._nft('add table inet %s; add chain inet %s input '
                        '{ type filter hook input priority 0; }' % (cls.TABLE, cls.TABLE))
        if up.returncode != 0 or table.returncode != 0:
            raise unittest.SkipTest('cannot set up the namespace %s: %s%s'
                                    % (name, up.stderr.strip(), table.stderr.strip()))
        return ns

    def _nft(self, script):
        return _run('ip', 'netns', 'exec', self.name, 'nft', script)

    def prefix(self):
        """The command prefix that runs a program inside the namespace."""
        return ['ip', 'netns', 'exec', self.name]

    def set_loss(self, percent):
        """Drops `percent` % of the packets arriving on the namespace's
        loopback (0: none)."""
        self._nft('flush chain inet %s input' % self.TABLE).check_returncode()
        if percent > 0:
            self._nft('add rule inet %s input iif "lo" numgen random mod 100 < %d drop'
                      % (self.TABLE, percent)).check_returncode()
        self.loss = percent

    def remove(self):
        _run('ip', 'netns', 'del', self.name)


class NamespaceController(harness.Controller):
    """A virtual controller whose arvokor runs inside the namespace (korjob
    works on its state file from outside as always)."""

    def __init__(self, ns, **settings):
        self.ns = ns
        self._wrapper_dir = tempfile.mkdtemp(prefix='kor_ns_')
        self._wrapper = os.path.join(self._wrapper_dir, 'arvokor')
        with open(self._wrapper, 'w') as f:
            f.write('#!/bin/sh\nexec %s %s "$@"\n'
                    % (' '.join(ns.prefix()), harness.program('arvokor')))
        os.chmod(self._wrapper, os.stat(self._wrapper).st_mode | stat.S_IXUSR)
        super().__init__(**settings)

    def program(self, name):
        return self._wrapper if name == 'arvokor' else super().program(name)

    def close(self):
        super().close()
        try:
            os.remove(self._wrapper)
            os.rmdir(self._wrapper_dir)
        except OSError:
            pass
