"""kordash and a headless browser for the dashboard's tests and benchmark.

    with Kordash(vc, stream_port=9000) as dash, Browser() as page:
        page.open(dash.url)
        page.wait_text('link-state', 'reachable')

Kordash runs on a loopback address of its own (harness.free_address); Browser
is Debian's chromium driven by chromedriver through python3-selenium.
"""

import os
import shutil
import subprocess

from harness import BIN, Peer, TcpPeer, free_address, program, wait_for  # noqa: F401
from arvokor.processes import at_exit, die_with_parent

SCREENSHOTS = os.path.join(BIN, 'kordash-screens')


def browser_missing():
    """Why no browser test can run here, or None."""
    if not shutil.which('chromedriver') and not os.path.exists('/usr/bin/chromedriver'):
        return 'chromedriver is not installed (scripts/deps installs chromium-driver)'
    try:
        import selenium  # noqa: F401
    except ImportError:
        return 'python3-selenium is not installed (scripts/deps installs it)'
    return None


class Kordash(Peer):
    """kordash for the controller vc (a harness.Controller)."""

    def __init__(self, vc, stream_port=None, state=True, token_file=None, listen=None, host=None,
                 tls=None):
        """vc: a controller, or the path of a --controllers file."""
        self.host = host or free_address()
        self.port = 8015
        argv = [program('kordash'), '--controllers' if isinstance(vc, str) else '--controller',
                vc if isinstance(vc, str) else vc.address,
                '--listen', listen or '%s:%d' % (self.host, self.port)]
        if state and not isinstance(vc, str):
            argv += ['--state', vc.state_path]
        if stream_port:
            argv += ['--stream-port', str(stream_port)]
        if token_file:
            argv += ['--token-file', token_file]
        if tls:  # a testca.TestCA
            argv += ['--tls-cert', tls.cert, '--tls-key', tls.key]
        self.url = '%s://%s:%d/' % ('https' if tls else 'http', self.host, self.port)
        super().__init__(subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                          stderr=subprocess.STDOUT, preexec_fn=die_with_parent))
        if self._out.wait('serving http', 15) is None:
            self.stop()
            raise AssertionError('kordash did not start:\n' + self.output())


class Browser:
    """A headless chromium page; its console is kept for the checks."""

    def __init__(self, home=None):
        """home: a HOME for the browser (its NSS database decides which CAs it trusts)."""
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        options = webdriver.ChromeOptions()
        for arg in ('--headless=new', '--no-sandbox', '--disable-gpu', '--window-size=1400,1000',
                    '--disable-dev-shm-usage', '--no-first-run', '--disable-extensions'):
            options.add_argument(arg)
        options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
        service = Service(env=dict(os.environ, HOME=home)) if home else None
        self.driver = webdriver.Chrome(options=options, service=service)
        at_exit(self.close)

    def open(self, url):
        self.driver.get(url)

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def text(self, element_id):
        return self.js('const e = document.getElementById(arguments[0]); return e ? e.textContent : null;',
                       element_id)

    def wait(self, predicate, timeout=10, what='the page'):
        return wait_for(predicate, timeout, interval=0.05, what=what)

    def wait_text(self, element_id, expected, timeout=10):
        return self.wait(lambda: self.text(element_id) == expected, timeout,
                         '#%s to read %r (reads %r)' % (element_id, expected, self.text(element_id)))

    def click(self, selector):
        self.js('document.querySelector(arguments[0]).click();', selector)

    def view(self, name):
        self.click('nav button[data-view="%s"]' % name)

    def channels(self):
        """{handle: {'kind', 'peer', 'local', 'queued'}} as the channel table shows it."""
        return {int(r[0]): {'kind': r[1], 'peer': r[2], 'local': r[3], 'queued': int(r[5])} for r in self.js(
            'return Array.from(document.querySelectorAll("#channels tbody tr"))'
            '.map(tr => Array.from(tr.cells).map(c => c.textContent));')}

    def console_errors(self):
        return [e for e in self.driver.get_log('browser') if e.get('level') == 'SEVERE']

    def screenshot(self, name):
        os.makedirs(SCREENSHOTS, exist_ok=True)
        path = os.path.join(SCREENSHOTS, name + '.png')
        self.driver.save_screenshot(path)
        return path

    def close(self):
        if self.driver is not None:
            self.driver.quit()
            self.driver = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
