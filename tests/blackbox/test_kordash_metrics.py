"""kordash's /metrics scraped by Debian's Prometheus server: a scripted run of
commands on a virtual controller, then PromQL over Prometheus' HTTP API. The
Counters view of the page is tested with the other views in test_kordash."""

import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

from harness import Controller, Peer, TcpPeer, free_address
from fake_admin import FakeController
from dashpage import Kordash
from arvokor.processes import die_with_parent

TOKEN = 'correct horse battery staple'


def prometheus_missing():
    for tool in ('prometheus', 'promtool'):
        if not shutil.which(tool):
            return '%s is not installed (scripts/deps installs prometheus)' % tool
    return None


def scrape(dash, token=None):
    headers = {'Authorization': 'Bearer ' + token} if token else {}
    request = urllib.request.Request(dash.url + 'metrics', headers=headers)
    with urllib.request.urlopen(request, timeout=10) as reply:
        return reply.headers['Content-Type'], reply.read().decode()


class Prometheus(Peer):
    """Debian's Prometheus on a loopback address of its own, scraping kordash
    once a second with the token as a bearer token."""

    def __init__(self, dash, token_file):
        self.dir = tempfile.mkdtemp()
        self.url = 'http://%s:9090/' % free_address()
        config = os.path.join(self.dir, 'prometheus.yml')
        with open(config, 'w') as f:
            f.write('global: {scrape_interval: 1s, scrape_timeout: 1s}\n'
                    'scrape_configs:\n'
                    '  - job_name: kordash\n'
                    '    authorization: {credentials_file: %s}\n'
                    '    static_configs: [{targets: ["%s:%d"]}]\n' % (token_file, dash.host, dash.port))
        argv = ['prometheus', '--config.file', config, '--storage.tsdb.path', os.path.join(self.dir, 'data'),
                '--web.listen-address', self.url[len('http://'):-1]]
        super().__init__(subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                          stderr=subprocess.STDOUT, preexec_fn=die_with_parent))
        self.wait_output('Server is ready to receive web requests', 30)

    def query(self, promql, at=None):
        """The instant vector's samples (at a time, else now) as {frozenset(labels): value}."""
        args = {'query': promql}
        if at is not None:
            args['time'] = '%.3f' % at
        url = self.url + 'api/v1/query?' + urllib.parse.urlencode(args)
        with urllib.request.urlopen(url, timeout=5) as reply:
            data = json.loads(reply.read())
        self.last_answer = data
        return {frozenset(r['metric'].items()): float(r['value'][1]) for r in data['data']['result']}

    def wait_value(self, promql, accept, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            values = list(self.query(promql).values())
            if len(values) == 1 and accept(values[0]):
                return values[0]
            time.sleep(0.25)
        raise AssertionError('%s: %s' % (promql, self.last_answer))

    def stop(self):
        code = super().stop()
        shutil.rmtree(self.dir, ignore_errors=True)
        return code


@unittest.skipIf(prometheus_missing(), prometheus_missing())
class PrometheusScrapeTest(unittest.TestCase):

    def test_failed_commands_counted_and_queried(self):
        cell1, cell2 = Controller(), Controller(start=False)
        self.addCleanup(cell2.close)
        self.addCleanup(cell1.close)
        folder = tempfile.mkdtemp()
        token_file, listing = os.path.join(folder, 'token'), os.path.join(folder, 'controllers')
        with open(token_file, 'w') as f:
            f.write(TOKEN + '\n')
        # A third controller answers with thousands of channel kinds (then with
        # bytes that are not UTF-8 and numbers out of range): the others' series go on.
        fake = FakeController(free_address(), mode='utf8')
        self.addCleanup(fake.close)
        with open(listing, 'w') as f:
            f.write('%s cell1\n%s cell2\n%s fake\n' % (cell1.address, cell2.address, fake.address))
        # One failure before the first scrape: the failure series exists from then on,
        # so that increase() sees the later ones as an increase.
        self.assertEqual(cell1.call('TCPCONNECT', addr='127.0.0.1', port=1), 254)
        dash = Kordash(listing, token_file=token_file)
        self.addCleanup(dash.stop)

        # A scraper cannot log in: the bearer token, and nothing else, lets it in.
        for token in (None, 'wrong token of the same kind'):
            with self.assertRaises(urllib.error.HTTPError) as caught:
                scrape(dash, token)
            self.assertEqual(caught.exception.code, 401, token)
            time.sleep(1.1)  # a wrong token pauses this address for a second
        kind, text = scrape(dash, TOKEN)
        self.assertTrue(kind.startswith('text/plain; version=0.0.4'), kind)
        self.assertIn('arvokor_up{controller="cell1"} 1\n', text)
        self.assertIn('arvokor_up{controller="cell2"} 0\n', text)
        check = subprocess.run(['promtool', 'check', 'metrics'], input=text, capture_output=True, text=True,
                               timeout=30)
        self.assertEqual((check.returncode, check.stdout + check.stderr), (0, ''), text)

        prometheus = Prometheus(dash, token_file)
        self.addCleanup(prometheus.stop)
        failed = 'arvokor_commands_total{controller="cell1",result="failure"}'
        prometheus.wait_value(failed, lambda v: v == 1)
        peer = TcpPeer(self)
        handle = cell1.call('TCPCONNECT', addr=peer.host, port=peer.port)
        for _ in range(3):
            self.assertEqual(cell1.call('TCPCONNECT', addr='127.0.0.1', port=1), 254)
        self.assertEqual(cell1.call('CLOSEHANDLE', handle=handle), 255)
        prometheus.wait_value('sum(%s)' % failed, lambda v: v == 4)
        # Prometheus extrapolates the rise between the first and the last sample in
        # the window towards its edges: by at most 1.1 scrape intervals each.
        at = time.time()
        rise = prometheus.query('sum(increase(%s[30s]))' % failed, at)
        samples = prometheus.query('sum(count_over_time(%s[30s]))' % failed, at)
        self.assertEqual(len(rise), 1, prometheus.last_answer)
        rise, samples = list(rise.values())[0], list(samples.values())[0]
        self.assertTrue(3 <= rise <= 3 * (1 + 2.2 / (samples - 1)), (rise, samples))
        self.assertGreater(prometheus.wait_value('sum(rate(%s[30s]))' % failed, lambda v: v > 0), 0)
        # The last command may reach the counters after the scrape that saw the failures.
        prometheus.wait_value('sum(arvokor_commands_total{controller="cell1",command="CLOSEHANDLE"})',
                              lambda v: v == 1)
        self.assertEqual(prometheus.query('sum by (command) (arvokor_commands_total{controller="cell1"})'),
                         {frozenset({'command': 'TCPCONNECT'}.items()): 5.0,
                          frozenset({'command': 'CLOSEHANDLE'}.items()): 1.0})
        self.assertEqual(prometheus.wait_value('arvokor_command_duration_seconds_count{controller="cell1"}',
                                               lambda v: v == 6), 6)
        self.assertEqual(prometheus.wait_value('arvokor_up{controller="cell2"}', lambda v: True), 0)
        self.assertEqual(prometheus.query('count(arvokor_channels_opened_total{controller="fake"})'),
                         {frozenset(): 6.0})  # five kinds and other
        fake.mode = 'absurd'
        prometheus.wait_value('arvokor_replies_refused_total{controller="fake"}', lambda v: v > 0)
        prometheus.wait_value('arvokor_up{controller="fake"}', lambda v: v == 0)
        self.assertEqual(prometheus.wait_value('arvokor_up{controller="cell1"}', lambda v: True), 1)
        # Ends cleanly (under the sanitizers: no race or leak reported).
        self.assertEqual(dash.stop(), 0, dash.output())


if __name__ == '__main__':
    unittest.main()
