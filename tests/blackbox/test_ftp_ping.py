"""Command 38 (PING): one real ICMP echo to a loopback address. The host that
does not answer is a loopback address whose echo requests a firewall rule of
this test drops (removed again at the end)."""

import os
import subprocess
import unittest

from harness import Controller, free_address


class PingTest(unittest.TestCase):

    def setUp(self):
        self.vc = Controller()
        self.addCleanup(self.vc.close)

    def ping(self, address):
        return self.vc.call('PING', addr=address, timeout=30)

    def test_answering_hosts_give_255(self):
        self.assertEqual(self.ping('127.0.0.1'), 255)
        self.assertEqual(self.ping(self.vc.address), 255)

    def test_host_that_does_not_answer_gives_254(self):
        silent = free_address()
        table = 'kor_ping_%d' % os.getpid()
        subprocess.run(['nft', 'add table inet %s; add chain inet %s input { type filter hook '
                        'input priority 0; }; add rule inet %s input iif "lo" ip daddr %s icmp '
                        'type echo-request drop' % (table, table, table, silent)], check=True)
        self.addCleanup(subprocess.run, ['nft', 'delete table inet %s' % table])
        self.assertEqual(self.ping(silent), 254)
        self.assertEqual(self.ping('127.0.0.1'), 255)   # only that address is silent

    def test_address_octets_out_of_range_give_254(self):
        self.assertEqual(self.ping('127.0.0.300'), 254)


if __name__ == '__main__':
    unittest.main()
