"""The admin port (TCP 15000): its frame layout and a client.

A request is one frame sent in one piece: a 12-byte command text (NUL
padded), a 4-byte big-endian payload length and the payload. Replies are not
framed: a client reads until the expected size arrives or the server goes
quiet. The extension requests (journal, console, counters, capture) are
answered with a framed reply: the command text, the body's length, the body.
"""

import socket
import struct
import time

PORT = 15000
COMMAND_FIELD = 12
MAX_PAYLOAD = 2031

# The job transfer record of ":ftpp" / ":ftpg": NUL-padded text fields.
TRANSFER_FIELDS = (('user', 33), ('password', 33), ('directory', 257), ('job', 65),
                   ('server', 16))

# The channel readout of ":h<n>": (name, offset, size) of NUL-padded texts.
READOUT_SIZE = 208
READOUT_FIELDS = (('handle', 0, 12), ('socket', 12, 12), ('reserved', 24, 12),
                  ('inUse', 36, 12), ('ipAddress', 48, 16), ('listenHandle', 64, 12),
                  ('type', 76, 12), ('taskId', 88, 12), ('taskName', 100, 32),
                  ('pipeName', 132, 40), ('pipeFd', 172, 12), ('port', 184, 12),
                  ('queued', 196, 12))

# The command reference's words, as koradmin and kordash print them.
FTP_LOAD_MEANINGS = {
    0: 'job file moved',
    -1: "no connection to the controller's own FTP server",
    -2: "the controller's FTP server refused the login",
    -3: 'no connection to the remote server',
    -4: 'the remote server refused the login',
    -5: 'the remote server refused the directory change',
    -6: 'nothing moved: a file could not be opened on either side, the file is empty, '
        'or the copy was cut short',
}


class JournalEntry:
    """One command of the journal: seq, start_ms, duration_ms, slot, id,
    result (-1: none written), name, params (p0..p9), console (its lines)."""

    def __init__(self, words):
        (self.seq, self.start_ms, self.duration_ms, self.slot, self.id,
         self.result) = (int(w) for w in words[:6])
        self.name = words[6]
        self.params = [int(w) for w in words[7:17]]
        self.console = []

    def __repr__(self):
        return 'JournalEntry(#%d %s %s -> %d)' % (self.seq, self.name, self.params, self.result)


def parse_journal(body):
    """A ":journal" body as (next sequence, capacity, unrecorded, entries)."""
    lines = body.decode('latin-1').split('\n')
    tag, nxt, capacity, unrecorded = lines[0].split()
    if tag != 'J':
        raise AdminError('not a journal reply: %r' % lines[0])
    entries = []
    for line in lines[1:]:
        if line.startswith('E '):
            entries.append(JournalEntry(line[2:].split()))
        elif line.startswith('L ') and entries:
            entries[-1].console.append(line[2:])
    return int(nxt), int(capacity), int(unrecorded), entries


def parse_console(body):
    """A ":console" body as (next sequence, lines); each line a dict of seq,
    time_ms, task, count and text."""
    lines = body.decode('latin-1').split('\n')
    nxt = int(lines[0].split()[1])
    out = []
    for line in lines[1:]:
        if not line:
            continue
        seq, time_ms, task, count, text = (line.split(' ', 4) + [''])[:5]
        out.append({'seq': int(seq), 'time_ms': int(time_ms), 'task': task,
                    'count': int(count), 'text': text})
    return nxt, out


def parse_counters(body):
    """A ":counters" body as a dict: a counter without keys maps to its
    value, one with keys to nested dicts by its keys (ints where numeric)."""
    out = {}
    for line in body.decode('latin-1').split('\n'):
        words = line.split()
        if len(words) < 2:
            continue
        at = out
        keys = [int(k) if k.lstrip('-').isdigit() else k for k in words[1:-1]]
        if not keys:
            out[words[0]] = int(words[-1])
            continue
        at = out.setdefault(words[0], {})
        for key in keys[:-1]:
            at = at.setdefault(key, {})
        at[keys[-1]] = int(words[-1])
    return out


def frame(command, payload=b'', length=None):
    """One request frame. command: str or bytes, cut or padded to 12 bytes;
    length: the length field when it should not match the payload."""
    field = command.encode() if isinstance(command, str) else bytes(command)
    field = field.ljust(COMMAND_FIELD, b'\0')[:COMMAND_FIELD]
    if isinstance(payload, str):
        payload = payload.encode()
    return field + struct.pack('>I', len(payload) if length is None else length) + payload


def transfer_record(user='', password='', directory='', job='', server=''):
    """The payload of a job transfer request."""
    values = {'user': user, 'password': password, 'directory': directory, 'job': job,
              'server': server}
    record = b''
    for name, size in TRANSFER_FIELDS:
        text = values[name].encode()
        if len(text) >= size:
            raise ValueError('%s holds at most %d characters' % (name, size - 1))
        record += text.ljust(size, b'\0')
    return record


def parse_readout(record):
    """A channel readout as a dict of texts."""
    return {name: record[off:off + size].split(b'\0', 1)[0].decode('latin-1')
            for name, off, size in READOUT_FIELDS}


class AdminError(AssertionError):
    """The server refused a request ("-1") or did not answer."""


class AdminClient:
    """One connection to the admin port. The server serves one client at a
    time, so a second client waits until the first one closes."""

    def __init__(self, address, port=PORT, timeout=5.0, connect_timeout=10.0):
        self.timeout = timeout
        deadline = time.monotonic() + connect_timeout
        while True:
            try:
                self.sock = socket.create_connection((address, port), timeout=timeout)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    # -- raw frames
    def send_raw(self, data):
        self.sock.sendall(data)

    def request(self, command, payload=b'', expect=None, quiet=0.3):
        """Sends one frame; returns the unframed reply (b'' if none)."""
        self.send_raw(frame(command, payload))
        return self.collect(expect, quiet)

    def collect(self, expect=None, quiet=0.3, first_wait=None):
        """Reads a reply: waits up to first_wait (default: the time-out) for
        its first bytes, then until expect bytes have come or the server is
        quiet for `quiet` seconds. A "-1" where more is expected is a refusal:
        after it only the quiet time is awaited."""
        self.sock.settimeout(self.timeout if first_wait is None else first_wait)
        data = b''
        try:
            while expect is None or len(data) < expect:
                chunk = self.sock.recv(65536)
                if not chunk:
                    break
                data += chunk
                longer = expect is not None and data != b'-1'
                self.sock.settimeout(self.timeout if longer else quiet)
        except socket.timeout:
            pass
        return data

    def _result(self, command, payload=b'', what='request'):
        reply = self.request(command, payload)
        if not reply:
            raise AdminError('%s: no reply' % what)
        return reply

    # -- every request
    def version(self):
        """The program version reply, e.g. '1'."""
        return self._result(':v').decode('latin-1')

    def handles(self):
        """Channels in use, as a list of numbers."""
        reply = self._result(':h?').decode('latin-1')
        return [] if reply == '0' else [int(h) for h in reply.split(',') if h]

    def readout(self, handle):
        """Channel handle's table record as a dict of texts (None if not in use)."""
        reply = self.request(':h%d' % handle, expect=READOUT_SIZE)
        if reply == b'-1':
            return None
        if len(reply) < READOUT_SIZE:
            raise AdminError('short readout: %d of %d bytes' % (len(reply), READOUT_SIZE))
        return parse_readout(reply)

    def queue(self, handle):
        """Bytes waiting in the channel's input queue (b'-1' when nothing
        is queued or the channel is not in use, as the server replies)."""
        return self.request(':ir%d' % handle)

    def clear(self, handle):
        """Empties the channel's input queue; True unless refused."""
        return self._result(':ic%d' % handle) != b'-1'

    def close_channel(self, handle):
        """Asks the channel's owner to close it; True unless refused."""
        return self._result(':hc%d' % handle) != b'-1'

    def send(self, handle, data):
        """Sends data on the channel; True unless refused."""
        return self._result(':tx%d' % handle, data) != b'-1'

    def getb(self, first, count):
        """B variables first .. first+count-1 as bytes."""
        reply = self.request(':gb%d' % first, str(count).encode(), expect=count)
        if len(reply) != count:
            raise AdminError(':gb%d %d: reply %r' % (first, count, reply[:16]))
        return reply

    def setb(self, first, values):
        """Writes B variables from first on; values: bytes or ints 0..255."""
        reply = self._result(':sb%d' % first, bytes(values))
        if reply != b'0':
            raise AdminError(':sb%d: reply %r' % (first, reply))

    def jobs(self):
        """The controller's job file names."""
        reply = self._result(':list').decode('latin-1')
        return [name for name in reply[1:].split('\n') if name]

    def ftpput(self, server, job, user='', password='', directory='', timeout=60):
        """Copies a job file from the controller to an FTP server;
        returns (code, meaning)."""
        return self._transfer(':ftpp', server, job, user, password, directory, timeout)

    def ftpget(self, server, job, user='', password='', directory='', timeout=60):
        """Copies a job file from an FTP server to the controller;
        returns (code, meaning)."""
        return self._transfer(':ftpg', server, job, user, password, directory, timeout)

    def _transfer(self, command, server, job, user, password, directory, timeout):
        record = transfer_record(user, password, directory, job, server)
        self.send_raw(frame(command, record))
        reply = self.collect(first_wait=timeout).decode('latin-1').strip()
        code = int(reply)
        return code, FTP_LOAD_MEANINGS.get(code, 'unknown result')

    # -- extension requests (framed replies)
    def framed(self, command, payload=b''):
        """Sends an extension request; returns the reply's body."""
        self.send_raw(frame(command, payload))
        self.sock.settimeout(self.timeout)
        header = self._exactly(16)
        if header[:12].rstrip(b'\0') != command.encode():
            raise AdminError('%s: reply not framed: %r' % (command, header))
        return self._exactly(struct.unpack('>I', header[12:16])[0])

    def _exactly(self, n):
        data = b''
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise AdminError('connection closed after %d of %d bytes' % (len(data), n))
            data += chunk
        return data

    def journal(self, since=0):
        """Commands after sequence number `since`: (next, capacity,
        unrecorded, [JournalEntry])."""
        return parse_journal(self.framed(':journal', str(since)))

    def console(self, since=0):
        """Console lines after `since`: (next, [dict])."""
        return parse_console(self.framed(':console', str(since)))

    def counters(self):
        """The counters since start, as parse_counters gives them."""
        return parse_counters(self.framed(':counters'))

    def capture(self, action, handle='all'):
        """Switches capture on or off ('on'/'off') for a handle or 'all';
        True unless refused."""
        return self.framed(':capture', '%s %s' % (action, handle)) != b'-1'

    def capture_read(self, handle):
        """A channel's captured traffic, the raw ":capture read" body."""
        return self.framed(':capture', 'read %s' % handle)

    def quit(self):
        """Ends the served connection."""
        self.send_raw(frame(':q'))
