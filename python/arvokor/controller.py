"""A virtual controller running ArvoKOR, started and stopped by a test."""

import os
import shutil
import subprocess
import sys
import tempfile

from . import processes
from .admin import AdminClient, AdminError
from .job import Job, value_text

BANNER = 'ArvoKOR started successfully !'


class VirtualController(Job):
    """arvokor with a settings file in a folder of its own.

    VirtualController(**settings): keys of the settings file (com1=path,
    b_count=2000, ...). address defaults to a free loopback address, the
    state file and job folder to the controller's folder; the controller's own
    FTP server is off unless ftp_server='auto' is given.

    directory: the folder (default: a new temporary one, removed at close
    unless ARVOKOR_KEEP is set). bin_dir: where arvokor and korjob are
    (default $ARVOKOR_BIN, else PATH). start=False prepares the folder,
    the settings and the state file (arvokor --make-state) without starting
    the controller: korjob works on the state file alone.

    Attributes: address, dir, jobs_dir, state_path, config_path, settings, proc.
    """

    def __init__(self, start=True, banner_timeout=15, directory=None, bin_dir=None, **settings):
        self.bin_dir = bin_dir
        self.address = settings.pop('address', None) or processes.free_address()
        self._own_dir = directory is None
        self.dir = tempfile.mkdtemp(prefix='arvokor-') if directory is None else directory
        os.makedirs(self.dir, exist_ok=True)
        self.jobs_dir = os.path.join(self.dir, 'jobs')
        self.state_path = os.path.join(self.dir, 'arvokor.state')
        self.config_path = os.path.join(self.dir, 'arvokor.conf')
        keys = {'address': self.address, 'state': self.state_path, 'jobs': self.jobs_dir,
                'ftp_server': 'off'}
        keys.update({k: value_text(v) for k, v in settings.items()})
        self.jobs_dir = keys['jobs']
        self.state_path = keys['state']
        os.makedirs(self.jobs_dir, exist_ok=True)
        with open(self.config_path, 'w') as f:
            for k, v in keys.items():
                f.write('%s = %s\n' % (k, v))
        self.settings = keys
        super().__init__(None, self.config_path)
        self.proc = None
        self._out = None
        self._closed = False
        processes.at_exit(self.close)
        if start:
            self.start(banner_timeout)
        else:
            self.make_state()

    def make_state(self):
        """Makes the state file as the controller starts with it (korjob never
        makes one), without starting the controller."""
        result = subprocess.run([self.program('arvokor'), '--config', self.config_path,
                                 '--make-state'], cwd=self.dir, stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=60)
        if result.returncode != 0:
            raise AssertionError('arvokor --make-state failed (exit %d):\n%s%s'
                                 % (result.returncode, result.stdout, result.stderr))

    def program(self, name):
        """Path of arvokor, korjob or koradmin as this controller uses them
        (looked up at each use, so a test may wrap one)."""
        return processes.find_program(name, self.bin_dir)

    def korjob_program(self):
        return self.program('korjob')

    # -- life cycle
    def start(self, banner_timeout=15):
        """Starts arvokor and waits until it takes commands."""
        if self.proc is not None and self.proc.poll() is None:
            raise RuntimeError('the controller is already running')
        # The launcher answers and clears what waits in the command area
        # before its banner: a command written after start() is run.
        self.proc = subprocess.Popen([self.program('arvokor'), '--config', self.config_path],
                                     cwd=self.dir, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     preexec_fn=processes.controller_preexec)
        self._out = processes.Output(self.proc.stdout)
        if self._out.wait(BANNER, banner_timeout) is None:
            code = processes.stop_process(self.proc)
            raise AssertionError('arvokor did not print its banner (exit %s):\n%s'
                                 % (code, self.output()))
        return self

    def stop(self, timeout=10):
        """Stops arvokor with SIGTERM; returns its exit status (None if not started)."""
        if self.proc is None:
            return None
        code = processes.stop_process(self.proc, timeout)
        self._out.join()
        self.proc.stdout.close()
        return code

    def close(self):
        """Stops the controller and removes its temporary folder."""
        if self._closed:
            return
        self._closed = True
        self.stop()
        if os.environ.get('ARVOKOR_KEEP') or os.environ.get('KOR_KEEP'):
            sys.stderr.write('kept %s\n' % self.dir)
        elif self._own_dir:
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    # -- console
    def output(self):
        """Everything arvokor printed so far (stdout and stderr)."""
        return self._out.text() if self._out else ''

    def console_lines(self):
        """The console so far as lines, without their line ends."""
        return [line.rstrip('\r') for line in self.output().split('\n') if line.rstrip('\r')]

    def wait_output(self, text, timeout=10, start=0):
        """Waits until text appears in the console output (from character
        offset start on); returns the offset just past it."""
        end = self._out.wait(text, timeout, start) if self._out else None
        if end is None:
            raise AssertionError('%r not printed within %s s; console:\n%s'
                                 % (text, timeout, self.output()))
        return end

    # -- the job side: a failed command brings its console lines
    def _call(self, command, timeout, slot, read, params):
        code, data = super()._call(command, timeout, slot, read, params)
        if 240 <= code < 255:  # not a value, not done
            code._console_source = lambda: self._journal_console(command, slot, code)
        return code, data

    def _journal_console(self, command, slot, code):
        """The console lines of the slot's last journal entry of this command
        with this result; None when the journal cannot be read (the admin port
        busy with another client for a second, the journal off)."""
        try:
            with self.admin(timeout=1.0, connect_timeout=1.0) as admin:
                entries = admin.journal()[3]
        except (OSError, AdminError):
            return None
        command = str(command)
        for entry in reversed(entries):
            same = entry.id == int(command) if command.isdigit() else \
                entry.name.upper() == command.upper()
            if entry.slot == slot and same and entry.result == int(code):
                return entry.console
        return None

    # -- the admin port
    def admin(self, **options):
        """An AdminClient connected to this controller's admin port."""
        return AdminClient(self.address, **options)

