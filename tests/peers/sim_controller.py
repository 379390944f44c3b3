"""Many simulated controllers' admin ports in one process: the crowd that
fills a fleet beyond the virtual controllers one machine can run (the plant
benchmark's 180 next to 20 real ones). Never a stand-in where a real
controller can run.

    sim_controller.py [--seed N] [--period S] [--failures P] [--outage-every S] ADDR[:PORT]...

Each address gets a controller of its own (port 15000 when none is given)
that answers like the admin server: one client at a time, one request frame
per receive, the unframed replies (":v", ":h?", ":hN" readout records, ":irN",
":gbN", ":list", ...) and the framed journal, console and counters. Every
`--period` seconds on average a job on it runs one command: channels open,
send, receive and close, now and then a command fails (`--failures`, the share
of commands) with its console line, and the journal, console and counters move
as a controller's do. With `--outage-every S` a controller goes away on
average once in S seconds (its port closed for 3 to 10 s) and comes back
restarted (counters from zero, a new start time).

Prints "listening ADDR:PORT" per controller, then "ready". Runs with Debian's
/usr/bin/python3 (asyncio, no threads).
"""

import argparse
import asyncio
import collections
import random
import struct
import sys
import time

HEADER = 16
READOUT_SIZE = 208
TEXT_BODY_MAX = 65536
JOURNAL_SIZE = 2048
CONSOLE_SIZE = 1024
BOUNDS = (1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 30000)
JOBS = b'\nWELD1.JBI\nPICK.JBI\nPLACE.JBI\nHOME.JBI\n'

TCPCONNECT, SENDDATA, CLOSEHANDLE, READDATA, INFO = 1, 2, 4, 5, 8
NAMES = {TCPCONNECT: 'TCPCONNECT', SENDDATA: 'SENDDATA', CLOSEHANDLE: 'CLOSEHANDLE',
         READDATA: 'READDATA', INFO: 'INFO'}
EMPTY = {(READDATA, 253)}  # a polling job's "nothing yet"


def now_ms():
    return int(time.time() * 1000)


def framed(command, body):
    return command.encode().ljust(12, b'\0') + struct.pack('>I', len(body)) + body


class Simulated:
    """One controller's state: channels, journal, console and counters."""

    def __init__(self, address, rng, failures):
        self.address = address
        self.rng = rng
        self.failures = failures
        self.lock = asyncio.Lock()  # one admin client at a time
        self.restart()

    def restart(self):
        self.started = now_ms()
        self.channels = {}  # handle -> {'peer', 'port', 'socket', 'queued'}
        self.journal = collections.deque(maxlen=JOURNAL_SIZE)
        self.journal_next = 1
        self.console = collections.deque(maxlen=CONSOLE_SIZE)
        self.console_next = 1
        self.results = collections.Counter()    # (id, result)
        self.classes = collections.Counter()    # (id, class)
        self.buckets = collections.Counter()    # bound
        self.id_buckets = collections.Counter()  # (id, bound)
        self.duration_sum = collections.Counter()  # id
        self.kinded = collections.Counter()     # (name, kind)
        self.handle_bytes = collections.Counter()  # (in|out, handle)
        self.sessions = 0
        self.next_socket = 20
        for text in ('ArvoKOR started successfully !', 'Version:\t1.32', 'AdminPort:\t15000',
                     'Starting admin server', 'Waiting on TCP connection...'):
            self.say('tKor2', text)

    def say(self, task, text):
        self.console.append((self.console_next, now_ms(), task, text))
        self.console_next += 1

    # -------------------------------------------------------------- the job

    def step(self):
        """One command of the cell's job, with its result, journal entry and counters."""
        rng = self.rng
        failing = rng.random() < self.failures
        lines = []
        open_handles = sorted(self.channels)
        choice = rng.random()
        if not open_handles or (choice < 0.25 and len(open_handles) < 6):
            cid, result, params, lines = self.connect(failing)
        elif choice < 0.55:
            cid, result, params, lines = self.send(rng.choice(open_handles), failing)
        elif choice < 0.85:
            cid, result, params, lines = self.read(rng.choice(open_handles))
        elif choice < 0.95:
            handle = rng.choice(open_handles)
            del self.channels[handle]
            self.kinded['channels_closed', 'tcpclient'] += 1
            cid, result, params = CLOSEHANDLE, 0, [handle]
        else:
            cid, result, params = INFO, 0, []
        self.record(cid, result, params + [0] * (10 - len(params)), lines)

    def connect(self, failing):
        peer = '10.0.%d.%d' % (self.rng.randint(1, 9), self.rng.randint(2, 250))
        port = self.rng.choice((502, 2000, 7000))
        octets = [int(x) for x in peer.split('.')]
        params = [1, 0, 0] + octets + [port >> 8, port & 0xff]
        if failing:
            text = 'Error - ctlConnect(): Connection refused (to %s:%d)' % (peer, port)
            self.say('tKor5', text)
            return TCPCONNECT, 254, params, [text]
        handle = min(h for h in range(1, 20) if h not in self.channels)
        self.next_socket += 1
        self.channels[handle] = {'peer': peer, 'port': port, 'socket': self.next_socket, 'queued': 0}
        self.kinded['channels_opened', 'tcpclient'] += 1
        return TCPCONNECT, handle, params, []

    def send(self, handle, failing):
        if failing:
            del self.channels[handle]
            self.kinded['channels_closed', 'tcpclient'] += 1
            text = 'Error - send(): Connection reset by peer (handle %d)' % handle
            self.say('tKor5', text)
            return SENDDATA, 254, [handle, 0], [text]
        size = self.rng.randint(4, 200)
        ch = self.channels[handle]
        answer = self.rng.randint(0, 300)
        ch['queued'] = min(8192, ch['queued'] + answer)
        self.kinded['bytes_out', 'tcpclient'] += size
        self.kinded['bytes_in', 'tcpclient'] += answer
        self.handle_bytes['out', handle] += size
        self.handle_bytes['in', handle] += answer
        return SENDDATA, size, [handle, size], []

    def read(self, handle):
        ch = self.channels[handle]
        if ch['queued'] == 0:
            return READDATA, 253, [handle, 100], []
        taken = min(ch['queued'], 100)
        ch['queued'] -= taken
        return READDATA, taken, [handle, 100], []

    def record(self, cid, result, params, lines):
        duration = int(self.rng.expovariate(1 / 3.0)) if result != 254 else self.rng.randint(0, 2)
        bound = next((b for b in BOUNDS if duration <= b), None)
        self.results[cid, result] += 1
        cls = ('empty' if (cid, result) in EMPTY else
               'failure' if result == -1 or 240 <= result <= 254 else 'success')
        self.classes[cid, cls] += 1
        self.buckets[bound] += 1
        self.id_buckets[cid, bound] += 1
        self.duration_sum[cid] += duration
        start = now_ms() - duration
        self.journal.append((self.journal_next, 'E %d %d %d %d %d %d %s %s\n' % (
            self.journal_next, start, duration, self.rng.randint(0, 3), cid, result, NAMES[cid],
            ' '.join(str(p) for p in params)) + ''.join('L %s\n' % t for t in lines)))
        self.journal_next += 1

    # ----------------------------------------------------------- the replies

    def answer(self, command, payload):
        """The reply to one request frame (None: end the session)."""
        for text, whole, method in RULES:
            if (command == text) if whole else (text in command):
                return method(self, command, payload)
        extension = EXTENSIONS.get(command)
        return extension(self, command, payload) if extension else b'Unknown command'

    @staticmethod
    def number(command, offset):
        digits = ''
        for c in command[offset:]:
            if not (c.isdigit() or (c in '+-' and not digits)):
                break
            digits += c
        try:
            return int(digits)
        except ValueError:
            return 0

    def quit(self, command, payload):
        return None

    def version(self, command, payload):
        return b'1'

    def clear_queue(self, command, payload):
        ch = self.channels.get(self.number(command, 3))
        if ch:
            ch['queued'] = 0
        return b'0'

    def read_queue(self, command, payload):
        ch = self.channels.get(self.number(command, 3))
        if not ch or not ch['queued']:
            return b'-1'
        return bytes(self.rng.randrange(32, 127) for _ in range(ch['queued']))

    def transmit(self, command, payload):
        handle = self.number(command, 3)
        if handle not in self.channels:
            return b'-1'
        self.kinded['bytes_out', 'tcpclient'] += len(payload)
        return b'%d' % len(payload)

    def set_bytes(self, command, payload):
        return b'0'

    def get_bytes(self, command, payload):
        count = self.number(payload.decode('latin-1'), 0)
        if count <= 0 or count > 65536:
            return b'-1'
        return bytes(count)

    def handles(self, command, payload):
        return (','.join(str(h) for h in sorted(self.channels)) or '0').encode()

    def close_handle(self, command, payload):
        handle = self.number(command, 3)
        if self.channels.pop(handle, None) is None:
            return b'-1'
        self.kinded['channels_closed', 'tcpclient'] += 1
        return b'0'

    def readout(self, command, payload):
        handle = self.number(command, 2)
        ch = self.channels.get(handle)
        if not ch:
            return b'-1'
        rec = bytearray(READOUT_SIZE)

        def put(offset, size, value):
            data = value if isinstance(value, bytes) else str(value).encode()
            rec[offset:offset + len(data[:size - 1])] = data[:size - 1]
        for offset, size, value in ((0, 12, handle), (12, 12, ch['socket']), (24, 12, 0), (36, 12, 1),
                                    (48, 16, ch['peer'].encode()), (64, 12, -1), (76, 12, 1),
                                    (88, 12, 5), (100, 32, b'tKor5'), (172, 12, -1),
                                    (184, 12, ch['port']), (196, 12, ch['queued'])):
            put(offset, size, value)
        return bytes(rec)

    def transfer(self, command, payload):
        return b'-2\r\n'  # the FTP server could not be reached

    def job_list(self, command, payload):
        return JOBS

    def journal_reply(self, command, payload):
        after = self.number(payload.decode('latin-1'), 0)
        body = b'J %d %d 0\n' % (self.journal_next, JOURNAL_SIZE)
        for seq, text in self.journal:
            if seq <= after:
                continue
            entry = text.encode()
            if len(body) + len(entry) > TEXT_BODY_MAX:
                break
            body += entry
        return framed(command, body)

    def console_reply(self, command, payload):
        after = self.number(payload.decode('latin-1'), 0)
        body = b'C %d %d 0\n' % (self.console_next, CONSOLE_SIZE)
        for seq, ms, task, text in self.console:
            if seq <= after:
                continue
            line = ('%d %d %s 1 %s\n' % (seq, ms, task, text)).encode()
            if len(body) + len(line) > TEXT_BODY_MAX:
                break
            body += line
        return framed(command, body)

    def counters_reply(self, command, payload):
        out = ['command %d %d %d' % (cid, result, n) for (cid, result), n in sorted(self.results.items())]
        out += ['duration_ms_le %d %d' % (b, self.buckets[b]) for b in BOUNDS]
        out.append('duration_ms_over 30000 %d' % self.buckets[None])
        out += ['%s %s %d' % (name, kind, n) for (name, kind), n in sorted(self.kinded.items())]
        out += ['position_datagrams 0', 'position_ticks_without 0', 'speed_ticks 0',
                'speed_ticks_missed 0', 'admin_sessions %d' % self.sessions]
        out += ['command_result %d %s %d' % (cid, cls, n) for (cid, cls), n in sorted(self.classes.items())]
        by_bound = sorted(self.id_buckets.items(), key=lambda kv: (kv[0][0], kv[0][1] or 1 << 30))
        for (cid, bound), n in by_bound:
            out.append('command_duration_ms_le %d %d %d' % (cid, bound, n) if bound is not None else
                       'command_duration_ms_over %d 30000 %d' % (cid, n))
        out += ['command_duration_ms_sum %d %d' % (cid, n) for cid, n in sorted(self.duration_sum.items())]
        out.append('started_ms %d' % self.started)
        out += ['handle_bytes_%s %d %d' % (way, h, n) for (way, h), n in sorted(self.handle_bytes.items())]
        return framed(command, ('\n'.join(out) + '\n').encode())

    def capture_reply(self, command, payload):
        words = payload.decode('latin-1').split()
        if len(words) == 2 and words[0] == 'read':
            return framed(command, b'capture %s off 0\n' % words[1].encode())
        return framed(command, b'0' if len(words) == 2 and words[0] in ('on', 'off') else b'-1')


# The admin server's table, tested in order; the first rule that applies wins.
RULES = ((':v', True, Simulated.version), (':q', True, Simulated.quit),
         (':ic', False, Simulated.clear_queue), (':ir', False, Simulated.read_queue),
         (':tx', False, Simulated.transmit), (':sb', False, Simulated.set_bytes),
         (':gb', False, Simulated.get_bytes), (':h?', True, Simulated.handles),
         (':hc', False, Simulated.close_handle), (':h', False, Simulated.readout),
         (':ftpp', False, Simulated.transfer), (':ftpg', False, Simulated.transfer),
         (':list', False, Simulated.job_list))
EXTENSIONS = {':journal': Simulated.journal_reply, ':console': Simulated.console_reply,
              ':counters': Simulated.counters_reply, ':capture': Simulated.capture_reply}


class Crowd:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.sims = []
        for address in args.addresses:
            host, _, port = address.partition(':')
            sim = Simulated(host, random.Random(self.rng.random()), args.failures)
            sim.port = int(port or 15000)
            sim.server = None
            self.sims.append(sim)

    async def serve(self, sim):
        sim.server = await asyncio.start_server(lambda r, w: self.session(sim, r, w),
                                                sim.address, sim.port, backlog=16)

    async def session(self, sim, reader, writer):
        try:
            async with sim.lock:
                sim.sessions += 1
                while True:
                    head = await reader.readexactly(HEADER)
                    length = struct.unpack('>I', head[12:])[0]
                    payload = await reader.readexactly(length) if length else b''
                    command = head[:12].split(b'\0', 1)[0].decode('latin-1')
                    reply = sim.answer(command, payload)
                    if reply is None:
                        break
                    writer.write(reply)
                    await writer.drain()
                sim.say('tKor4', 'Waiting on TCP connection...')
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            writer.close()

    async def jobs(self):
        """Each controller's job runs a command every `period` seconds on average."""
        period = self.args.period
        due = [time.monotonic() + self.rng.uniform(0, period) for _ in self.sims]
        while True:
            now = time.monotonic()
            for k, sim in enumerate(self.sims):
                if due[k] <= now:
                    if sim.server is not None:
                        sim.step()
                    due[k] = now + self.rng.uniform(0.5, 1.5) * period
            await asyncio.sleep(max(0.01, min(due) - time.monotonic()))

    async def outages(self):
        every = self.args.outage_every
        while every > 0:
            await asyncio.sleep(self.rng.expovariate(len(self.sims) / every))
            sim = self.rng.choice(self.sims)
            if sim.server is None:
                continue
            sim.server.close()
            sim.server = None
            asyncio.get_running_loop().call_later(self.rng.uniform(3, 10), self.come_back, sim)

    def come_back(self, sim):
        async def again():
            sim.restart()
            try:
                await self.serve(sim)
            except OSError:
                asyncio.get_running_loop().call_later(1, self.come_back, sim)
        asyncio.ensure_future(again())

    async def main(self):
        for sim in self.sims:
            await self.serve(sim)
            print('listening %s:%d' % (sim.address, sim.port))
        print('ready', flush=True)
        await asyncio.gather(self.jobs(), self.outages())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('addresses', nargs='+', help='ADDR[:PORT] of each controller')
    parser.add_argument('--seed', type=int, default=1)
    parser.add_argument('--period', type=float, default=2.0, help='mean seconds between commands')
    parser.add_argument('--failures', type=float, default=0.02, help='share of commands that fail')
    parser.add_argument('--outage-every', type=float, default=0,
                        help='mean seconds between outages of one controller (0: none)')
    args = parser.parse_args()
    try:
        asyncio.run(Crowd(args).main())
    except KeyboardInterrupt:
        sys.exit(0)


if __name__ == '__main__':
    main()
