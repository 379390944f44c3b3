"""Command 38 (PING): one real ICMP echo to a loopback address. The host that
does not answer is a loopback address inside a network namespace of the test's
own, whose firewall drops the echo requests sent to it; nothing outside that
namespace is changed."""

import os
import shlex
import stat
import unittest
from unittest import mock

import harness
from harness import Controller, free_address

SILENT_RULES = ('add table ip kor; '
                'add chain ip kor input { type filter hook input priority 0; }; '
                'add rule ip kor input ip daddr %s icmp type echo-request drop')


def start_in_namespace(vc, silent):
    """Starts vc's arvokor in a new network namespace: loopback up, echo
    requests to `silent` dropped. The namespace ends with the process."""
    real_program = harness.program
    inner = 'ip link set lo up && nft %s && exec %s "$@"' % (
        shlex.quote(SILENT_RULES % silent), shlex.quote(real_program('arvokor')))
    wrapper = os.path.join(vc.dir, 'arvokor-netns')
    with open(wrapper, 'w') as f:
        f.write('#!/bin/sh\nexec /usr/bin/unshare --net /bin/sh -c %s sh "$@"\n'
                % shlex.quote(inner))
    os.chmod(wrapper, os.stat(wrapper).st_mode | stat.S_IXUSR)

    def program(name):
        return wrapper if name == 'arvokor' else real_program(name)

    with mock.patch.object(harness, 'program', program):
        vc.start()


class PingTest(unittest.TestCase):

    def ping(self, vc, address):
        return vc.call('PING', addr=address, timeout=30)

    def test_answering_hosts_give_255(self):
        vc = Controller()
        self.addCleanup(vc.close)
        self.assertEqual(self.ping(vc, '127.0.0.1'), 255)
        self.assertEqual(self.ping(vc, vc.address), 255)
        self.assertEqual(self.ping(vc, '127.0.0.300'), 254)   # octet out of range

    def test_host_that_does_not_answer_gives_254(self):
        vc = Controller(start=False)
        self.addCleanup(vc.close)
        silent = free_address()
        start_in_namespace(vc, silent)
        self.assertEqual(self.ping(vc, silent), 254)
        self.assertEqual(self.ping(vc, '127.0.0.1'), 255)   # only that address is silent
        self.assertEqual(self.ping(vc, vc.address), 255)


if __name__ == '__main__':
    unittest.main()
