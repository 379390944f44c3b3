"""The robot job's side: variables, the simulated robot and commands.

Everything goes through korjob, the one implementation of the state file and
of the slot handshake; this module turns Python values into its arguments and
its output back into values.
"""

import collections
import re
import subprocess


class KorjobError(AssertionError):
    """korjob ended with a non-zero status where success was expected
    (status 1: the command timed out; 2: a usage or state file error)."""

    def __init__(self, args, result):
        super().__init__('korjob %s: exit %d\nstdout: %s\nstderr: %s' % (
            ' '.join(args), result.returncode, result.stdout, result.stderr))
        self.result = result


class CallResult(int):
    """A command's result code (an int) with its meaning, e.g. 255 'done'.

    console: for a command of a VirtualController that failed (240..254),
    the console lines it printed, from the controller's journal (read when
    first asked for, so right after the call; None when the journal cannot
    be read); else None. repr() shows them, so an assertion message tells
    why a command failed."""

    def __new__(cls, code, meaning=''):
        result = super().__new__(cls, code)
        result.meaning = meaning
        result._console_source = None
        result._console = None
        return result

    @property
    def console(self):
        if self._console_source is not None:
            source, self._console_source = self._console_source, None
            self._console = source()
        return self._console

    def __str__(self):
        return int.__repr__(self)

    def __repr__(self):
        lines = self.console
        if lines:
            return 'CallResult(%d, %r, console=%r)' % (int(self), self.meaning, lines)
        return 'CallResult(%d, %r)' % (int(self), self.meaning)


class SlotLayout(collections.namedtuple('SlotLayout', 'base slots')):
    """The command-slot layout, as the launcher reads it from the text of S92
    ('base:slots'): slot k (0 .. slots-1) takes its command ID from B base+k
    and its parameters from I base+10k .. base+10k+9; variable numbers wrap
    at 16 bits. Mirrors the launcher's parser (korSlotLayout.h)."""

    @classmethod
    def parse(cls, text):
        """Runs of ':' count as one separator; each token is read as C's
        strtol reads it; the slot count is clamped to 1..8. The defaults
        100:4 unless the text holds exactly two tokens."""
        tokens = [t for t in text.split(':') if t]
        if len(tokens) != 2:
            return cls(100, 4)
        base, slots = (_c_long(t) for t in tokens)
        return cls((base + 2**31) % 2**32 - 2**31, min(max(slots, 1), 8))  # C's long to int

    def command_id_var(self, k):
        return (self.base + k) & 0xffff

    def first_param_var(self, k):
        return (self.base + 10 * k) & 0xffff


def _c_long(token):
    """A token as strtol reads it: leading blanks, a sign, digits; 0 without
    digits, clamped to a 64-bit long."""
    number = re.match(r'[ \t\n\v\f\r]*([+-]?[0-9]+)', token)
    value = int(number.group(1)) if number else 0
    return min(max(value, -2**63), 2**63 - 1)


def value_text(value):
    """A value as korjob set and the settings file take it."""
    if isinstance(value, (list, tuple)):
        return ','.join(str(int(v)) for v in value)
    if isinstance(value, float):
        return repr(value)
    return str(value)


def param_args(params):
    """korjob call's NAME=VALUE arguments. bytes may be bytes or a list of
    ints; a list for field gives several fields."""
    args = []
    for name, value in params.items():
        values = value if isinstance(value, (list, tuple)) and name == 'field' else [value]
        for v in values:
            if isinstance(v, (bytes, bytearray)):
                v = 'hex:' + bytes(v).hex()
            elif isinstance(v, (list, tuple)):
                v = '[' + ','.join(str(int(b)) for b in v) + ']'
            args.append('%s=%s' % (name, v))
    return args


def parse_value(var, text):
    """One line of korjob get as a value: int, float (R), str (S), list (P)."""
    kind = re.match(r'[A-Za-z]+', var).group(0).upper()
    if kind == 'S':
        return text
    if kind == 'R':
        return float(text)
    if kind == 'P':
        return [int(w) for w in text.split(',')]
    return int(text)


def parse_call_output(out):
    """korjob call's output: '<code> <meaning>' and, with --read, 'hex: ..'.
    Returns (CallResult, bytes)."""
    first = out.split('\n', 1)[0].split(None, 1)
    code = CallResult(int(first[0]), first[1] if len(first) > 1 else '')
    match = re.search(r'^hex:(.*)$', out, re.M)
    data = bytes.fromhex(match.group(1).replace(' ', '')) if match else b''
    return code, data


class Job:
    """Plays the robot job against the controller whose settings file is
    config_path, with the korjob program at korjob_path."""

    def __init__(self, korjob_path, config_path):
        self.korjob_path = korjob_path
        self.config_path = config_path

    def korjob_program(self):
        return self.korjob_path

    def korjob(self, *args, check=True, timeout=60):
        """Runs korjob on this controller's settings; returns CompletedProcess
        (text). check=True raises KorjobError on a non-zero status."""
        argv = [self.korjob_program(), '--config', self.config_path] + [str(a) for a in args]
        result = subprocess.run(argv, capture_output=True, text=True, timeout=timeout,
                                errors='replace')
        if check and result.returncode != 0:
            raise KorjobError([str(a) for a in args], result)
        return result

    def get(self, var):
        """Value of one variable (int, float for R, str for S, list of words
        for P), or a list of them for a range like 'B300..B309'. Kinds: B I D
        R S P and IO (I/O signals; IO1000000+n is register n)."""
        lines = self.korjob('get', var).stdout.split('\n')[:-1]
        if '..' in var:
            return [parse_value(var, line) for line in lines]
        return parse_value(var, lines[0])

    def slot_layout(self):
        """The command-slot layout S92 gives now (a SlotLayout)."""
        result = self.korjob('get', 'S92', check=False)  # may lie beyond s_count
        return SlotLayout.parse(result.stdout[:-1])

    def set(self, var, value, *more):
        """set('B1', 5, 'S2', 'text', 'P3', [1, 2, 3], 'B5..B9', 0, ...)"""
        pairs = [var, value] + list(more)
        if len(pairs) % 2:
            raise ValueError('set takes VAR VALUE pairs')
        args = []
        for k in range(0, len(pairs), 2):
            args += [pairs[k], value_text(pairs[k + 1])]
        self.korjob('set', *args)

    def call(self, command, timeout=10, slot=0, **params):
        """Issues a command as a job does and returns its CallResult. command:
        a name ('TCPCONNECT') or a number. Parameters as korjob call names
        them: p0..p9, addr, port, handle, result, block, bytes, field; and
        preset=V, the value the result variable holds before the command
        (needed when 0 is a result the command can write). Raises KorjobError
        when no result comes within timeout seconds."""
        return self._call(command, timeout, slot, None, params)[0]

    def call_read(self, command, count, timeout=10, slot=0, **params):
        """Like call, and reads up to count output bytes (for a command whose
        result is a length, only those it wrote): returns (CallResult, bytes)."""
        return self._call(command, timeout, slot, count, params)

    def _call(self, command, timeout, slot, read, params):
        params = dict(params)
        preset = params.pop('preset', None)
        args = ['call', str(command)] + param_args(params)
        if preset is not None:
            args += ['--preset', str(preset)]
        args += ['--slot', str(slot), '--timeout', str(timeout)]
        if read is not None:
            args += ['--read', str(read)]
        return parse_call_output(self.korjob(*args, timeout=timeout + 30).stdout)

    def robot_pos(self, robot, *values):
        """Position of the simulated robot: X Y Z (micrometres), RX RY RZ
        (0.0001 degrees) [, RE]."""
        self.korjob('robot', 'pos', robot, *values)

    def robot_speed(self, group, *speeds):
        """Servo speeds of a control group (up to 8 axes)."""
        self.korjob('robot', 'speed', group, *speeds)
