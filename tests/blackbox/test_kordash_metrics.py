"""kordash's /metrics scraped by Debian's Prometheus server, configured as the
README's "Prometheus and alerts" says, with the package's alert rules: a
scripted run of commands on two virtual controllers, then the README's PromQL
over Prometheus' HTTP API against the controllers' journals. The Counters view
of the page is tested with the other views in test_kordash."""

import collections
import json
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

from harness import SOURCE, Controller, Peer, TcpPeer, free_address
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


RULES = '/usr/share/arvokor/prometheus/arvokor-rules.yml'
# The results of the scripted run that are nothing yet rather than failures.
EMPTY = {('READDATA', 253), ('CHECKPATTERN', 253), ('WAITPATTERN', 253)}


def readme_section(heading):
    """The fenced blocks under a README heading, as {language: [text]}."""
    with open(os.path.join(SOURCE, 'README.md')) as f:
        text = f.read()
    part = re.split(r'\n##+ ', text.split('\n### %s\n' % heading, 1)[1], 1)[0]
    blocks = collections.defaultdict(list)
    for language, code in re.findall(r'```(\w+)\n(.*?)```', part, re.S):
        blocks[language].append(code)
    return blocks


def result_class(name, result):
    if (name, result) in EMPTY:
        return 'empty'
    return 'failure' if result == -1 or 240 <= result <= 254 else 'success'


class Prometheus(Peer):
    """Debian's Prometheus on a loopback address of its own with the README's
    prometheus.yml: kordash's address, the token file and the rules of this
    tree put in, a scrape and a rule evaluation every second."""

    def __init__(self, dash, token_file):
        self.dir = tempfile.mkdtemp()
        self.url = 'http://%s:9090/' % free_address()
        text = readme_section('Prometheus and alerts')['yaml'][0]
        for old, new in ((RULES, os.path.join(SOURCE, 'packaging', 'prometheus', 'arvokor-rules.yml')),
                         ('127.0.0.1:8015', '%s:%d' % (dash.host, dash.port)),
                         ('/etc/prometheus/kordash.token', token_file),
                         ('scrape_interval: 15s', 'scrape_interval: 1s\n    scrape_timeout: 1s')):
            if old not in text:
                raise AssertionError("%r is not in the README's prometheus.yml:\n%s" % (old, text))
            text = text.replace(old, new)
        config = os.path.join(self.dir, 'prometheus.yml')
        with open(config, 'w') as f:
            f.write('global: {evaluation_interval: 1s}\n' + text)
        argv = ['prometheus', '--config.file', config, '--storage.tsdb.path', os.path.join(self.dir, 'data'),
                '--web.listen-address', self.url[len('http://'):-1]]
        super().__init__(subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                          stderr=subprocess.STDOUT, preexec_fn=die_with_parent))
        self.wait_output('Server is ready to receive web requests', 30)

    def get(self, path, **args):
        url = self.url + path + ('?' + urllib.parse.urlencode(args) if args else '')
        with urllib.request.urlopen(url, timeout=5) as reply:
            data = json.loads(reply.read())
        self.last_answer = data
        return data['data']

    def query(self, promql, at=None):
        """The instant vector's samples (at a time, else now) as {frozenset(labels): value}."""
        args = {'query': promql}
        if at is not None:
            args['time'] = '%.3f' % at
        data = self.get('api/v1/query', **args)
        return {frozenset(r['metric'].items()): float(r['value'][1]) for r in data['result']}

    def by(self, promql, labels, at=None):
        """{(label values...): value} of the samples, by the given labels."""
        return {tuple(dict(k)[label] for label in labels): v
                for k, v in self.query(promql, at).items() if v}

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


def journal_of(cell):
    client = cell.admin()
    try:
        return client.journal()[3]
    finally:
        client.close()


def metric(text, name, **labels):
    """The value of one sample of a /metrics text, or None."""
    for line in text.split('\n'):
        head, _, value = line.rpartition(' ')
        if head.startswith(name + '{') and all(('%s="%s"' % kv) in head for kv in labels.items()):
            return float(value)
    return None


@unittest.skipIf(prometheus_missing(), prometheus_missing())
class PrometheusScrapeTest(unittest.TestCase):

    def script(self, cell1, cell2):
        """Failures of several kinds, polling that finds nothing and successes on
        both controllers; a wait runs in slot 1 of cell1 meanwhile."""
        peer = TcpPeer(self)
        handle = cell1.call('TCPCONNECT', addr=peer.host, port=peer.port)
        peer.accept()
        waiting = threading.Thread(target=cell1.call, args=('WAITPATTERN',),
                                   kwargs=dict(handle=handle, bytes='x', p6=4, slot=1))
        waiting.start()
        self.addCleanup(waiting.join)
        # The wait shows as slot 1 busy while it runs.
        deadline = time.monotonic() + 3
        while not metric(scrape(self.dash, TOKEN)[1], 'arvokor_slot_busy_since_seconds',
                         controller='cell1', slot='1') and time.monotonic() < deadline:
            time.sleep(0.2)
        busy = metric(scrape(self.dash, TOKEN)[1], 'arvokor_slot_busy_since_seconds', controller='cell1', slot='1')
        self.assertGreater(busy, self.started, 'slot 1 busy while WAITPATTERN waits')
        for _ in range(3):
            self.assertEqual(cell1.call('TCPCONNECT', addr='127.0.0.1', port=1), 254)
        self.assertEqual(cell1.call('SENDDATA', handle=handle, bytes='abc'), 3)
        for _ in range(2):
            self.assertEqual(cell1.call('READDATA', handle=handle, p1=0, p2=10), 253)
        self.assertEqual(cell1.call('CHECKPATTERN', handle=handle, bytes='x'), 253)
        self.assertEqual(cell1.call('CLOSEHANDLE', handle=handle + 1), 252)
        self.assertEqual(cell2.call('TCPCONNECT', addr='127.0.0.1', port=1), 254)
        self.assertEqual(cell2.call('READDATA', handle=5, p1=0, p2=10), 252)
        self.assertEqual(cell2.call(99), 240)
        self.assertEqual(cell2.call('INFO', p8=1), 4)
        waiting.join()
        return handle

    def test_readme_queries_count_every_failure_of_a_scripted_run(self):
        cell1, cell2, cell3 = Controller(), Controller(), Controller(start=False)
        for cell in (cell3, cell2, cell1):
            self.addCleanup(cell.close)
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder, True)
        token_file, listing = os.path.join(folder, 'token'), os.path.join(folder, 'controllers')
        with open(token_file, 'w') as f:
            f.write(TOKEN + '\n')
        # A fourth controller answers with thousands of channel kinds (then with
        # bytes that are not UTF-8 and numbers out of range): the others' series go on.
        fake = FakeController(free_address(), mode='utf8')
        self.addCleanup(fake.close)
        with open(listing, 'w') as f:
            f.write('%s cell1\n%s cell2\n%s cell3\n%s fake\n'
                    % (cell1.address, cell2.address, cell3.address, fake.address))
        dash = self.dash = Kordash(listing, token_file=token_file)
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
        # Nothing listens on cell3's admin port: down, and why.
        self.assertIn('arvokor_up{controller="cell3"} 0\n', text)
        self.assertIn('arvokor_down_reason{controller="cell3",reason="refused"} 1\n', text)
        self.assertNotIn('arvokor_commands_total{controller="cell3"', text)
        check = subprocess.run(['promtool', 'check', 'metrics'], input=text, capture_output=True, text=True,
                               timeout=30)
        self.assertEqual((check.returncode, check.stdout + check.stderr), (0, ''), text)
        self.started = metric(text, 'arvokor_start_time_seconds', controller='cell1')
        self.assertLess(abs(self.started - time.time()), 120, text)

        prometheus = Prometheus(dash, token_file)
        self.addCleanup(prometheus.stop)
        # Every series there at 0 before the first command of the run.
        for cell in ('cell1', 'cell2'):
            prometheus.wait_value('arvokor_commands_total{controller="%s",command="TCPCONNECT",result="failure"}'
                                  % cell, lambda v: v == 0)
        handle = self.script(cell1, cell2)

        journals = {name: journal_of(cell) for name, cell in (('cell1', cell1), ('cell2', cell2))}
        counted = collections.Counter((name, e.name if e.name != '?' else 'other', result_class(e.name, e.result))
                                      for name, entries in journals.items() for e in entries)
        for cell in ('cell1', 'cell2'):
            total = sum(v for k, v in counted.items() if k[0] == cell)
            prometheus.wait_value('sum(arvokor_commands_total{controller="%s"})' % cell, lambda v: v == total)
        # The README's queries at the last scrape, which saw every command.
        at = list(prometheus.query('max(timestamp(arvokor_up{controller="cell1"}))').values())[0]
        queries = readme_section('Prometheus and alerts')['promql'][0].strip().split('\n')
        failures = {(cell, command): float(n) for (cell, command, cls), n in counted.items() if cls == 'failure'}
        self.assertEqual(failures, {('cell1', 'TCPCONNECT'): 3, ('cell1', 'CLOSEHANDLE'): 1,
                                    ('cell2', 'TCPCONNECT'): 1, ('cell2', 'READDATA'): 1,
                                    ('cell2', 'other'): 1})
        self.assertEqual(prometheus.by(queries[0], ('controller', 'command'), at), failures)
        codes = collections.Counter((name, e.name if e.name != '?' else 'other', str(e.result))
                                    for name, entries in journals.items() for e in entries
                                    if result_class(e.name, e.result) == 'failure')
        self.assertEqual(prometheus.by(queries[1], ('controller', 'command', 'code'), at),
                         {k: float(v) for k, v in codes.items()})
        # Polling that found nothing is no failure; it counts as empty.
        empties = prometheus.by('sum by (controller, command) (increase(arvokor_commands_total{result="empty"}[10m]))',
                                ('controller', 'command'), at)
        self.assertEqual(empties, {('cell1', 'READDATA'): 2.0, ('cell1', 'CHECKPATTERN'): 1.0,
                                   ('cell1', 'WAITPATTERN'): 1.0})
        # Durations by command, their sum exactly the journal's.
        waited = prometheus.query('arvokor_command_duration_seconds_sum{controller="cell1",command="WAITPATTERN"}', at)
        self.assertEqual(list(waited.values()), [sum(e.duration_ms for e in journals['cell1']
                                                     if e.name == 'WAITPATTERN') / 1000])
        self.assertGreaterEqual(list(waited.values())[0], 4)
        p95 = prometheus.by(queries[2], ('controller', 'command'), at)
        self.assertTrue(2 < p95[('cell1', 'WAITPATTERN')] <= 5, p95)
        self.assertEqual(prometheus.by('arvokor_handle_bytes_total{controller="cell1",direction="sent"}',
                                       ('handle',), at), {(str(handle),): 3.0})
        self.assertEqual(prometheus.by(queries[3], ('controller', 'reason'), at), {('cell3', 'refused'): 1.0})
        # The package's rules are loaded and evaluate without error.
        rules = [r for g in prometheus.get('api/v1/rules')['groups'] for r in g['rules']]
        self.assertEqual(len(rules), 6, rules)
        prometheus_wait = time.monotonic() + 10
        while any(r.get('health') != 'ok' for r in rules) and time.monotonic() < prometheus_wait:
            time.sleep(0.5)
            rules = [r for g in prometheus.get('api/v1/rules')['groups'] for r in g['rules']]
        self.assertEqual([r['health'] for r in rules], ['ok'] * 6, rules)

        # A client holding cell2's admin port: cell2 is down as busy, its last reading not served as current.
        with socket.create_connection((cell2.address, 15000), timeout=5):
            deadline = time.monotonic() + 8
            while time.monotonic() < deadline:
                text = scrape(dash, TOKEN)[1]
                if 'arvokor_up{controller="cell2"} 0\n' in text:
                    break
                time.sleep(0.25)
            self.assertIn('arvokor_down_reason{controller="cell2",reason="busy"} 1\n', text)
            self.assertNotIn('arvokor_commands_total{controller="cell2"', text)
        prometheus.wait_value('arvokor_up{controller="cell2"}', lambda v: v == 1)

        # The fake's thousands of channel kinds are one "other" series beside the five kinds.
        self.assertEqual(prometheus.query('count(arvokor_channels_opened_total{controller="fake"})'),
                         {frozenset(): 6.0})
        # Then its numbers out of range: refused, down as misbehaving; the others' series go on.
        fake.mode = 'absurd'
        prometheus.wait_value('arvokor_replies_refused_total{controller="fake"}', lambda v: v > 0)
        prometheus.wait_value('arvokor_up{controller="fake"}', lambda v: v == 0)
        self.assertEqual(prometheus.wait_value('arvokor_down_reason{controller="fake",reason="misbehaving"}',
                                               lambda v: True), 1)
        self.assertEqual(prometheus.wait_value('arvokor_up{controller="cell1"}', lambda v: True), 1)
        # Ends cleanly (under the sanitizers: no race or leak reported).
        self.assertEqual(dash.stop(), 0, dash.output())


if __name__ == '__main__':
    unittest.main()
