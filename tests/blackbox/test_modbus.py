"""Modbus TCP commands (MODBUSREAD 34, MODBUSWRITE 35) against a real Modbus
TCP server built on libmodbus (tests/peers/modbus_server.cpp), over a TCP
channel opened with TCPCONNECT. Written values are checked by reading the
server's state with a separate plain Modbus client."""

import os
import socket
import struct
import subprocess
import threading
import time
import unittest

import harness
from faultproxy import FaultProxy, Faults
from harness import Controller, free_address

SERVER = os.path.join(harness.BIN, 'tests', 'modbus_server')

# What the server holds at start.
COILS = '1011000011'                 # coils 0..9
DISCRETE = '0100000010000001'        # discrete inputs 0..15
HOLDING = {0: [0x0102, 0x0304],      # 258, 772 / 513, 1027 swapped
           10: [0x0000, 0x000A],     # 10 as a 32-bit value
           20: [0xFFFE, 0x8000],     # -2, -32768 signed
           30: [0xFFFF, 0xFFF6, 0x0001]}  # -10 as 32-bit, then a cut item
INPUT = {0: [0x1234, 0xABCD]}


def start_server(owner, *extra):
    """Starts the libmodbus test server on a loopback address of its own;
    returns (address, port)."""
    if not os.path.exists(SERVER):
        raise AssertionError('%s was not built (is libmodbus-dev installed?)' % SERVER)
    address = free_address()
    proc = subprocess.Popen([SERVER, '--address', address] + list(extra),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            preexec_fn=harness._preexec_die_with_parent)
    owner.addCleanup(proc.stdout.close)
    owner.addCleanup(lambda: harness._stop_process(proc))
    line = proc.stdout.readline()
    if not line.startswith('READY '):
        raise AssertionError('modbus_server did not start: %r' % line)
    return address, int(line.split()[1])


def server_args():
    args = ['--coils', '0:' + COILS, '--discrete', '0:' + DISCRETE]
    for addr, values in HOLDING.items():
        args += ['--holding', '%d:%s' % (addr, ','.join(str(v) for v in values))]
    for addr, values in INPUT.items():
        args += ['--input', '%d:%s' % (addr, ','.join(str(v) for v in values))]
    return args


class ModbusClient:
    """A plain Modbus TCP client that reads the server's state for checks."""

    def __init__(self, address, port):
        self.sock = socket.create_connection((address, port), timeout=5)
        self.tid = 0

    def close(self):
        self.sock.close()

    def _request(self, function, addr, quantity):
        self.tid += 1
        self.sock.sendall(struct.pack('>HHHBBHH', self.tid, 0, 6, 1, function, addr, quantity))
        header = self._recv(7)
        length = struct.unpack('>H', header[4:6])[0]
        pdu = self._recv(length - 1)
        if pdu[0] & 0x80:
            raise AssertionError('exception %d' % pdu[1])
        return pdu[2:2 + pdu[1]]

    def _recv(self, n):
        data = b''
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise AssertionError('server closed the connection')
            data += chunk
        return data

    def registers(self, addr, quantity):
        data = self._request(3, addr, quantity)
        return list(struct.unpack('>%dH' % quantity, data))

    def coils(self, addr, quantity):
        data = self._request(1, addr, quantity)
        return [(data[i // 8] >> (i % 8)) & 1 for i in range(quantity)]


class ModbusCase(unittest.TestCase):
    """One controller and one server holding known data per test class."""

    server_extra = []

    @classmethod
    def setUpClass(cls):
        cls.vc = Controller()

    @classmethod
    def tearDownClass(cls):
        cls.vc.close()

    def connect(self, address, port):
        handle = self.vc.call('TCPCONNECT', addr=address, port=port)
        self.assertTrue(1 <= handle <= 19, 'TCPCONNECT gave %d' % handle)
        self.addCleanup(lambda: self.vc.call('CLOSEHANDLE', handle=handle))
        return handle

    def read(self, handle, function, addr, quantity, var, dtype):
        return self.vc.call('MODBUSREAD', p2=handle, p1=function, p7=addr, p6=quantity,
                            p4=var, p5=dtype)

    def write(self, handle, function, addr, count, source, swap=0):
        return self.vc.call('MODBUSWRITE', p2=handle, p1=function, p7=addr, p6=count,
                            p4=source, p5=swap)


class ModbusReadTest(ModbusCase):

    def setUp(self):
        self.address, self.port = start_server(self, *server_args())
        self.handle = self.connect(self.address, self.port)

    def dvars(self, first, n):
        return self.vc.get('D%d..D%d' % (first, first + n - 1))

    def test_holding_registers_in_both_byte_orders(self):
        cases = [  # (address, quantity, type, expected D values)
            (0, 2, 2, [258, 772]),
            (0, 2, -2, [513, 1027]),
            (20, 2, 2, [65534, 32768]),
            (20, 2, 3, [-2, -32768]),
            (20, 2, -3, [-257, 128]),
            (0, 2, 0, [1, 2, 3, 4]),
            (20, 1, 1, [-1, -2]),
            (0, 2, 4, [0x01020304]),
            (0, 2, -4, [0x04030201]),
            (30, 2, 4, [-10]),
            (30, 3, 4, [-10, -1]),  # 6 data bytes: the second item is cut short
        ]
        for addr, quantity, dtype, expected in cases:
            with self.subTest(addr=addr, dtype=dtype):
                self.vc.set('D%d..D%d' % (100, 109), 7777)
                self.assertEqual(self.read(self.handle, 3, addr, quantity, 100, dtype), 255)
                got = self.dvars(100, len(expected) + 1)
                self.assertEqual(got[:-1], expected)
                self.assertEqual(got[-1], 7777, 'nothing stored past the reply')

    def test_captured_read_decodes_in_tshark(self):
        koradmin = [harness.program('koradmin'), '--host', self.vc.address]
        subprocess.run(koradmin + ['capture', 'on', str(self.handle)], check=True,
                       capture_output=True)
        self.addCleanup(subprocess.run, koradmin + ['capture', 'off', 'all'], capture_output=True)
        self.assertEqual(self.read(self.handle, 3, 0, 2, 100, 2), 255)
        path = os.path.join(self.vc.dir, 'modbus.pcapng')
        subprocess.run(koradmin + ['capture', 'save', path, str(self.handle)], check=True,
                       capture_output=True)
        # The controller's side is the client: the server's port is Modbus/TCP's.
        shark = subprocess.run(['tshark', '-r', path, '-o', 'mbtcp.tcp.port:%d' % self.port,
                                '-T', 'fields', '-e', 'modbus.func_code',
                                '-e', 'modbus.regval_uint16', '-e', '_ws.expert.severity'],
                               capture_output=True, text=True, timeout=60)
        warnings = [l for l in shark.stderr.splitlines() if 'Running as user' not in l]
        self.assertEqual((shark.returncode, warnings), (0, []))
        rows = [line.split('\t') for line in shark.stdout.splitlines()]
        # Handshake, request, reply; no expert warning on the Modbus packets.
        self.assertEqual([r[:2] for r in rows[-2:]], [['3', ''], ['3', '258,772']])
        self.assertEqual([r[2] for r in rows[-2:]], ['', ''])

    def test_overflowed_capture_shows_the_loss_in_tshark(self):
        # A ring of 1024 bytes keeps some 18 exchanges of the 30: the opening
        # and the first ones are overwritten.
        vc = Controller(capture='all', capture_bytes=1024)
        self.addCleanup(vc.close)
        handle = vc.call('TCPCONNECT', addr=self.address, port=self.port)
        for _ in range(30):
            self.assertEqual(vc.call('MODBUSREAD', p2=handle, p1=3, p7=0, p6=2, p4=100, p5=2),
                             255)
        path = os.path.join(vc.dir, 'overflow.pcapng')
        subprocess.run([harness.program('koradmin'), '--host', vc.address, 'capture', 'save',
                        path, str(handle)], check=True, capture_output=True)
        shark = subprocess.run(['tshark', '-r', path, '-o', 'mbtcp.tcp.port:%d' % self.port,
                                '-T', 'fields', '-e', 'tcp.analysis.lost_segment',
                                '-e', 'frame.comment', '-e', 'modbus.func_code'],
                               capture_output=True, text=True, timeout=60)
        self.assertEqual(shark.returncode, 0, shark.stderr)
        rows = [line.split('\t') for line in shark.stdout.splitlines()]
        made_up = 'handshake synthesized by the capture, not captured'
        self.assertEqual([r[1] for r in rows[:3]], [made_up] * 3)
        # The first chunk kept, and the first the other way: the segments
        # before them were not captured (which side lost them is not known).
        self.assertNotEqual(rows[3][0], '')
        self.assertIn('were overwritten', rows[3][1])
        self.assertEqual(rows[4][:2], ['1', ''])
        self.assertEqual([r for r in rows[5:] if r[:2] != ['', '']], [])
        self.assertEqual({r[2] for r in rows[4:]}, {'3'})

    def test_hundred_registers_in_one_reply(self):
        self.vc.set('D300..D400', 7777)
        self.assertEqual(self.read(self.handle, 3, 0, 100, 300, 2), 255)
        got = self.dvars(300, 101)
        self.assertEqual(got[:2], [258, 772])
        self.assertEqual(got[10:12], [0, 10])
        self.assertEqual(got[30:33], [0xFFFF, 0xFFF6, 1])
        self.assertEqual(got[99], 0)
        self.assertEqual(got[100], 7777)

    def test_real_values_into_r_variables(self):
        self.vc.set('R20', 0.5, 'R21', 0.5)
        self.assertEqual(self.read(self.handle, 3, 10, 2, 20, 5), 255)
        self.assertEqual(self.vc.get('R20'), 10.0)
        self.assertEqual(self.vc.get('R21'), 0.5)
        # Little-endian items: bytes 00 00 00 0A reversed are 0x0A000000.
        self.assertEqual(self.read(self.handle, 3, 10, 2, 20, -5), 255)
        self.assertEqual(self.vc.get('R20'), float(0x0A000000))

    def test_coils_discrete_inputs_and_input_registers(self):
        self.assertEqual(self.read(self.handle, 1, 0, 10, 200, 0), 255)
        self.assertEqual(self.dvars(200, 2), [0x0D, 0x03])
        self.assertEqual(self.read(self.handle, 2, 0, 16, 200, 1), 255)
        self.assertEqual(self.dvars(200, 2), [0x02, -127])
        self.assertEqual(self.read(self.handle, 4, 0, 2, 200, 2), 255)
        self.assertEqual(self.dvars(200, 2), [0x1234, 0xABCD])
        self.assertEqual(self.read(self.handle, 4, 0, 2, 200, -3), 255)
        self.assertEqual(self.dvars(200, 2), [0x3412, -12885])

    def test_exception_reply(self):
        mark = len(self.vc.output())
        self.assertEqual(self.read(self.handle, 3, 5000, 2, 100, 2), 251)
        self.vc.wait_output('Error 131 Exception 2\r\n', start=mark)
        # The channel stays usable.
        self.assertEqual(self.read(self.handle, 3, 0, 2, 100, 2), 255)

    def test_refused_before_sending(self):
        self.assertEqual(self.read(self.handle, 3, 0, 2, -1, 2), 254)
        self.assertEqual(self.read(25, 3, 0, 2, 100, 2), 254)
        self.assertEqual(self.read(self.handle - 1 or 19, 3, 0, 2, 100, 2), 254,
                         'a channel not in use')
        # Nothing was sent: the next exchange gets its own reply.
        self.vc.set('D100', 0)
        self.assertEqual(self.read(self.handle, 3, 0, 1, 100, 2), 255)
        self.assertEqual(self.vc.get('D100'), 258)


class ModbusWriteTest(ModbusCase):

    def setUp(self):
        self.address, self.port = start_server(self, *server_args())
        self.handle = self.connect(self.address, self.port)
        self.client = ModbusClient(self.address, self.port)
        self.addCleanup(self.client.close)

    def test_single_coil_from_an_io_signal(self):
        self.vc.set('IO10016', 1)
        self.assertEqual(self.write(self.handle, 5, 100, 1, 10016), 255)
        self.assertEqual(self.client.coils(100, 1), [1])
        self.vc.set('IO10016', 0)
        self.assertEqual(self.write(self.handle, 5, 100, 1, 10016), 255)
        self.assertEqual(self.client.coils(100, 1), [0])

    def test_single_register_from_a_d_variable(self):
        self.vc.set('D50', 0x11234)  # only the low 16 bits go out
        self.assertEqual(self.write(self.handle, 6, 200, 1, 50), 255)
        self.assertEqual(self.write(self.handle, 6, 201, 1, 50, swap=1), 255)
        self.assertEqual(self.client.registers(200, 2), [0x1234, 0x3412])

    def test_multiple_coils_walk_past_signals_ending_in_8_and_9(self):
        # Signals 10016 .. 10027; 10018 and 10019 are set but must be skipped.
        values = {10016: 1, 10017: 0, 10018: 1, 10019: 1, 10020: 0, 10021: 1, 10022: 1,
                  10023: 0, 10024: 0, 10025: 1, 10026: 0, 10027: 1}
        pairs = []
        for addr, v in values.items():
            pairs += ['IO%d' % addr, v]
        self.vc.set(*pairs)
        self.assertEqual(self.write(self.handle, 15, 300, 10, 10016), 255)
        self.assertEqual(self.client.coils(300, 11), [1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 0])

    def test_multiple_coils_are_cut_to_128(self):
        self.vc.set('IO20000..IO20399', 1)
        self.assertEqual(self.write(self.handle, 15, 400, 200, 20000), 255)
        self.assertEqual(self.client.coils(400, 130), [1] * 128 + [0, 0])

    def test_multiple_registers(self):
        self.vc.set('D60', 1, 'D61', -1, 'D62', 70000, 'D63', 0x0102)
        self.assertEqual(self.write(self.handle, 16, 500, 4, 60), 255)
        self.assertEqual(self.client.registers(500, 4), [1, 0xFFFF, 4464, 0x0102])
        self.assertEqual(self.write(self.handle, 16, 510, 4, 60, swap=-1), 255)
        self.assertEqual(self.client.registers(510, 4), [0x0100, 0xFFFF, 0x7011, 0x0201])
        # The most a device takes in one request.
        self.vc.set('D600..D722', 9, 'D722', 0x4321)
        self.assertEqual(self.write(self.handle, 16, 600, 123, 600), 255)
        self.assertEqual(self.client.registers(600, 124), [9] * 122 + [0x4321, 0])
        mark = len(self.vc.output())
        self.assertEqual(self.write(self.handle, 16, 5000, 1, 600), 248, 'exception reply')
        self.vc.wait_output('Error 144 Exception 2\r\n', start=mark)

    def test_refused_writes_send_nothing(self):
        self.vc.set('D700..D899', 5)
        cases = [(16, 128, 700, 252), (16, 506, 700, 252), (16, -1, 700, 252),
                 (15, -3, 10016, 252), (3, 1, 700, 252), (6, 1, -1, 254)]
        for function, count, source, code in cases:
            with self.subTest(function=function, count=count):
                self.assertEqual(self.write(self.handle, function, 700, count, source), code)
        self.assertEqual(self.write(25, 6, 700, 1, 700), 253)
        self.assertEqual(self.write(self.handle, 6, 700, 1, 5000), 252,
                         'a D variable that cannot be read')
        self.assertEqual(self.client.registers(700, 2), [0, 0])
        # No stray reply waits in the channel: the next exchange gets its own.
        self.vc.set('D100', 0)
        self.assertEqual(self.read(self.handle, 3, 0, 1, 100, 2), 255)
        self.assertEqual(self.vc.get('D100'), 258)


class ModbusSilentServerTest(ModbusCase):

    def test_no_reply_within_the_wait(self):
        address, port = start_server(self, '--silent')
        handle = self.connect(address, port)
        self.vc.set('D100', 4321)
        self.assertEqual(self.read(handle, 3, 0, 2, 100, 2), 252)
        self.assertEqual(self.vc.get('D100'), 4321)
        mark = len(self.vc.output())
        self.vc.set('D50', 1)
        self.assertEqual(self.write(handle, 6, 0, 1, 50), 248)
        self.vc.wait_output('Error 6\r\n', start=mark)


class SlowClockTest(ModbusCase):
    """At 500 Hz the clock rate per millisecond is 0; the 200 ms wait for the
    reply must still be 200 ms (100 ticks), not 0."""

    @classmethod
    def setUpClass(cls):
        cls.vc = Controller(clock_rate=500)

    def test_reply_is_awaited_below_1000_hz(self):
        self.vc.wait_output('ClockRate:\t0\r\n')
        peer = CraftedReplyPeer(bytes([0, 1, 0, 0, 0, 7, 1, 3, 4, 1, 2, 3, 4]), delay=0.05)
        self.addCleanup(peer.close)
        handle = self.connect(peer.address, peer.port)
        self.assertEqual(self.read(handle, 3, 0, 2, 100, 2), 255)
        self.assertEqual(self.vc.get('D100..D101'), [258, 772])


class CraftedReplyPeer:
    """A TCP peer that answers every request with one fixed byte string (its
    transaction id replaced by the request's) or with what reply(request)
    gives, `delay` seconds later, and keeps every byte it received
    (`received`)."""

    def __init__(self, reply, delay=0):
        self.reply = reply
        self.delay = delay
        self.received = b''
        self.lock = threading.Lock()
        self.address = free_address()
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((self.address, 0))
        self.sock.listen(1)
        self.port = self.sock.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        with conn:
            while True:
                try:
                    data = conn.recv(1024)
                    if not data:
                        return
                    with self.lock:
                        self.received += data
                    time.sleep(self.delay)
                    if callable(self.reply):
                        conn.sendall(self.reply(data))
                    else:
                        conn.sendall(data[:2] + self.reply[2:])
                except OSError:
                    return

    def close(self):
        self.sock.close()

    def take(self):
        """The bytes received since the last take."""
        with self.lock:
            data, self.received = self.received, b''
        return data


class ModbusRequestFrameTest(ModbusCase):
    """The requests byte for byte, as the device receives them."""

    @staticmethod
    def answer(request):
        """A read reply of zeros or the echo a write gets."""
        function = request[7]
        if function > 4:
            return request[:4] + bytes([0, 6]) + request[6:12]
        quantity = struct.unpack('>H', request[10:12])[0]
        count = (quantity + 7) // 8 if function <= 2 else 2 * quantity
        return request[:4] + struct.pack('>HBBB', count + 3, 1, function, count) + bytes(count)

    def take(self, peer, tids):
        """The request since the last take without its transaction id, which
        is kept in tids."""
        data = peer.take()
        tids.append(data[:2])
        return data[2:]

    def test_request_frames_on_the_wire(self):
        peer = CraftedReplyPeer(self.answer)
        self.addCleanup(peer.close)
        handle = self.connect(peer.address, peer.port)
        tids = []

        self.vc.set('IO10016', 1, 'IO10017', 0, 'IO10018', 1, 'IO10019', 1, 'IO10020', 0,
                    'IO10021', 1, 'IO10022', 1, 'IO10023', 0, 'IO10024', 0, 'IO10025', 1,
                    'IO10026', 0, 'IO10027', 1)
        self.assertEqual(self.write(handle, 15, 300, 10, 10016), 255)
        self.assertEqual(self.take(peer, tids), bytes([0, 0, 0, 9, 1, 15, 0x01, 0x2c, 0, 10, 2,
                                                    0x99, 0x02]),
                         '15 bytes: coils 10016, 10017, 10020 .. 10027, byte count 2')

        self.vc.set('D60', 0x0102, 'D61', -1)
        self.assertEqual(self.write(handle, 16, 500, 2, 60, swap=1), 255)
        self.assertEqual(self.take(peer, tids), bytes([0, 0, 0, 11, 1, 16, 0x01, 0xf4, 0, 2, 4,
                                                    0x02, 0x01, 0xff, 0xff]))

        self.vc.set('IO10016', 0)
        self.assertEqual(self.write(handle, 5, 7, 1, 10016), 255)
        self.assertEqual(self.take(peer, tids), bytes([0, 0, 0, 6, 1, 5, 0, 7, 0x00, 0x00]))

        self.assertEqual(self.write(handle, 3, 0, 1, 60), 252)
        self.assertEqual(self.write(handle, 16, 0, 128, 60), 252)
        self.assertEqual(peer.take(), b'', 'refused writes send nothing')

        self.assertEqual(self.read(handle, 4, 0x1234, 3, 100, 2), 255)
        self.assertEqual(self.take(peer, tids), bytes([0, 0, 0, 6, 1, 4, 0x12, 0x34, 0, 3]))
        self.assertEqual(len(set(tids)), 4, 'a transaction id of its own for every request')


class ModbusShortReplyTest(ModbusCase):

    def test_byte_count_larger_than_the_data_that_arrived(self):
        # Byte count 8, but only four data bytes follow.
        peer = CraftedReplyPeer(bytes([0, 1, 0, 0, 0, 7, 1, 3, 8, 1, 2, 3, 4]))
        self.addCleanup(peer.close)
        handle = self.connect(peer.address, peer.port)
        self.vc.set('D100..D103', 7777)
        self.assertEqual(self.read(handle, 3, 0, 4, 100, 2), 255)
        self.assertEqual(self.vc.get('D100..D103'), [258, 772, 7777, 7777])


class ModbusCutReplyTest(ModbusCase):

    def test_replies_shorter_than_their_frame(self):
        # All that came, or a header that agrees with the request, then nothing.
        for cut in (lambda r: r[:2] + bytes([0, 0, 0]),
                    lambda r: r[:2] + bytes([0, 0, 0, 7, 1, 3]),
                    lambda r: r[:2] + bytes([0, 0, 0, 7, 1, 3, 4, 0, 5])):
            peer = CraftedReplyPeer(cut)
            self.addCleanup(peer.close)
            handle = self.connect(peer.address, peer.port)
            self.vc.set('D100..D101', 4321)
            mark = len(self.vc.output())
            self.assertEqual(self.read(handle, 3, 0, 2, 100, 2), 251)
            self.vc.wait_output('Error 3\r\n', start=mark)
            self.assertEqual(self.vc.get('D100..D101'), [4321, 4321])
            self.vc.set('D50', 1)
            self.assertEqual(self.write(handle, 6, 0, 1, 50), 248)
            self.vc.call('CLOSEHANDLE', handle=handle)


def answer_with_id(tid):
    """A device that answers every request with transaction id `tid`."""
    return lambda request: struct.pack('>H', tid) + ModbusRequestFrameTest.answer(request)[2:]


class ModbusFixedIdDeviceTest(ModbusCase):
    """A device that answers every request with transaction id 1."""

    def test_fresh_ids_drop_its_replies_and_say_so_once_per_channel(self):
        peer = CraftedReplyPeer(answer_with_id(1))
        self.addCleanup(peer.close)
        handle = self.connect(peer.address, peer.port)
        mark = len(self.vc.output())
        results = [self.read(handle, 3, 0, 2, 100, 2) for _ in range(3)]
        self.assertEqual(results[1:], [252, 252])
        line = 'needs modbus_transaction = fixed\r\n'
        self.vc.wait_output(line, start=mark)
        self.assertEqual(self.vc.output()[mark:].count(line), 1)

    def test_fixed_ids_send_1_and_take_any(self):
        for wait in ('fixed', 'reply'):
            with self.subTest(modbus_wait=wait):
                self.fixed_ids_with(Controller(modbus_transaction='fixed', modbus_wait=wait))

    def fixed_ids_with(self, vc):
        self.addCleanup(vc.close)
        for tid in (1, 0, 0x4242):
            peer = CraftedReplyPeer(answer_with_id(tid))
            self.addCleanup(peer.close)
            handle = vc.call('TCPCONNECT', addr=peer.address, port=peer.port)
            for _ in range(2):
                self.assertEqual(vc.call('MODBUSREAD', p2=handle, p1=3, p7=0, p6=2, p4=100,
                                         p5=2), 255, tid)
                vc.set('D50', 1)
                self.assertEqual(vc.call('MODBUSWRITE', p2=handle, p1=6, p7=0, p6=1, p4=50,
                                         p5=0), 255, tid)
            received = peer.take()
            self.assertEqual(len(received), 48)
            self.assertEqual({received[i:i + 2] for i in range(0, 48, 12)}, {b'\x00\x01'})
            vc.call('CLOSEHANDLE', handle=handle)
        self.assertNotIn('modbus_transaction', vc.output())


class ModbusLateReplyTest(ModbusCase):
    """Replies that come late, split across the wait or not at all (the
    server behind a fault proxy): the exchange fails with its code and
    stores nothing; a reply meant for an earlier request never counts, and
    the next healthy exchange gets its own."""

    def setUp(self):
        address, port = start_server(self, *server_args())
        self.proxy = FaultProxy((address, port), host=free_address())
        self.addCleanup(self.proxy.close)
        self.handle = self.connect(self.proxy.host, self.proxy.port)

    def healthy_read_gets_its_own_registers(self):
        self.proxy.set()
        self.vc.set('D110..D112', 7777)
        self.assertEqual(self.read(self.handle, 3, 20, 2, 110, 2), 255)
        self.assertEqual(self.vc.get('D110..D112'), [65534, 32768, 7777])

    def test_late_split_and_lost_replies(self):
        cases = [  # (what, faults of the server's replies)
            ('late', Faults(latency=0.3), 252),
            # Its start within the wait: a reply shorter than its frame.
            ('split across the wait', Faults(slice=4, slice_delay=0.12), 251),
            ('lost', Faults(stall_after=0), 252),
        ]
        for what, faults, expected in cases:
            with self.subTest(what):
                self.proxy.set(down=faults)
                self.vc.set('D100..D102', 4321)
                self.assertEqual(self.read(self.handle, 3, 0, 2, 100, 2), expected)
                self.assertEqual(self.vc.get('D100..D102'), [4321] * 3)
                if what == 'lost':
                    # The proxy forwards nothing more on this connection.
                    self.vc.call('CLOSEHANDLE', handle=self.handle)
                    self.proxy.set()
                    self.handle = self.connect(self.proxy.host, self.proxy.port)
                else:
                    time.sleep(0.3)  # the rest of the reply comes in
                self.healthy_read_gets_its_own_registers()
        # A late write echo is not a read reply.
        self.proxy.set(down=Faults(latency=0.3))
        self.vc.set('D50', 9)
        self.assertEqual(self.write(self.handle, 6, 40, 1, 50), 248)
        self.healthy_read_gets_its_own_registers()

    def test_replies_to_other_requests_and_stray_bytes_are_dropped(self):
        # A reply with another transaction id, unit or function code, or a
        # byte count that does not fit the request, does not count.
        stale = [
            bytes([0x77, 0x77, 0, 0, 0, 7, 1, 3, 4, 0, 5, 0, 6]),
            lambda r: r[:2] + bytes([0, 0, 0, 7, 2, 3, 4, 0, 5, 0, 6]),
            lambda r: r[:2] + bytes([0, 0, 0, 7, 1, 4, 4, 0, 5, 0, 6]),
            lambda r: r[:2] + bytes([0, 0, 0, 5, 1, 3, 2, 0, 5]),
        ]
        for reply in stale:
            peer = CraftedReplyPeer(reply if callable(reply) else
                                    (lambda r, b=reply: b))
            self.addCleanup(peer.close)
            handle = self.connect(peer.address, peer.port)
            self.vc.set('D100..D101', 4321)
            self.assertEqual(self.read(handle, 3, 0, 2, 100, 2), 252)
            self.assertEqual(self.vc.get('D100..D101'), [4321, 4321])
            self.vc.call('CLOSEHANDLE', handle=handle)
        # Stray bytes before the reply are skipped.
        peer = CraftedReplyPeer(lambda r: b'\x00\x01junk' + r[:2] +
                                bytes([0, 0, 0, 7, 1, 3, 4, 0, 5, 0, 6]))
        self.addCleanup(peer.close)
        handle = self.connect(peer.address, peer.port)
        self.assertEqual(self.read(handle, 3, 0, 2, 100, 2), 255)
        self.assertEqual(self.vc.get('D100..D101'), [5, 6])


class ModbusOnReplyTest(ModbusCase):
    """modbus_wait = reply: the exchange ends once its reply is complete, with
    the values and result codes of the fixed wait."""

    @classmethod
    def setUpClass(cls):
        cls.vc = Controller(modbus_wait='reply')

    def test_same_values_and_codes_without_the_whole_wait(self):
        address, port = start_server(self, *server_args())
        handle = self.connect(address, port)
        client = ModbusClient(address, port)
        self.addCleanup(client.close)
        times = []
        for addr, quantity, dtype, expected in [(0, 2, 2, [258, 772]), (0, 2, -2, [513, 1027]),
                                                (30, 3, 4, [-10, -1])]:
            self.vc.set('D100..D109', 7777)
            start = time.monotonic()
            self.assertEqual(self.read(handle, 3, addr, quantity, 100, dtype), 255)
            times.append(time.monotonic() - start)
            self.assertEqual(self.vc.get('D100..D%d' % (100 + len(expected))),
                             expected + [7777])
        self.assertEqual(self.read(handle, 1, 0, 10, 200, 0), 255)
        self.assertEqual(self.vc.get('D200..D201'), [0x0D, 0x03])
        self.vc.set('D60', 1, 'D61', -1, 'D62', 70000)
        self.assertEqual(self.write(handle, 16, 500, 3, 60), 255)
        self.assertEqual(client.registers(500, 3), [1, 0xFFFF, 4464])
        mark = len(self.vc.output())
        self.assertEqual(self.read(handle, 3, 5000, 2, 100, 2), 251)
        self.assertEqual(self.write(handle, 16, 5000, 1, 60), 248)
        self.vc.wait_output('Error 144 Exception 2\r\n', start=mark)
        self.assertIn('Error 131 Exception 2\r\n', self.vc.output()[mark:])
        # Every one of them would take 200 ms or more with the fixed wait.
        self.assertLess(sorted(times)[1], 0.15)

    def test_reply_in_pieces_after_a_reply_to_another_request(self):
        # A reply with another id, then the request's own, a few bytes at a
        # time: the exchange waits on until its own reply is complete.
        peer = CraftedReplyPeer(lambda r: bytes([0x77, 0x77, 0, 0, 0, 7, 1, 3, 4, 0, 1, 0, 2]) +
                                r[:2] + bytes([0, 0, 0, 7, 1, 3, 4, 0, 5, 0, 6]))
        self.addCleanup(peer.close)
        proxy = FaultProxy((peer.address, peer.port), host=free_address())
        self.addCleanup(proxy.close)
        proxy.set(down=Faults(slice=5, slice_delay=0.02))
        handle = self.connect(proxy.host, proxy.port)
        self.assertEqual(self.read(handle, 3, 0, 2, 100, 2), 255)
        self.assertEqual(self.vc.get('D100..D101'), [5, 6])

    def test_short_and_cut_replies(self):
        # Byte count 8 but four data bytes in a whole frame: what came is stored.
        peer = CraftedReplyPeer(bytes([0, 1, 0, 0, 0, 7, 1, 3, 8, 1, 2, 3, 4]))
        self.addCleanup(peer.close)
        handle = self.connect(peer.address, peer.port)
        self.vc.set('D100..D103', 7777)
        self.assertEqual(self.read(handle, 3, 0, 4, 100, 2), 255)
        self.assertEqual(self.vc.get('D100..D103'), [258, 772, 7777, 7777])
        # A frame that never completes: the whole wait, then "shorter than its frame".
        peer = CraftedReplyPeer(lambda r: r[:2] + bytes([0, 0, 0, 7, 1, 3, 4, 0, 5]))
        self.addCleanup(peer.close)
        handle = self.connect(peer.address, peer.port)
        self.vc.set('D100..D101', 4321)
        mark = len(self.vc.output())
        self.assertEqual(self.read(handle, 3, 0, 2, 100, 2), 251)
        self.vc.wait_output('Error 3\r\n', start=mark)
        self.assertEqual(self.vc.get('D100..D101'), [4321, 4321])
        self.vc.set('D50', 1)
        self.assertEqual(self.write(handle, 6, 0, 1, 50), 248)


class ModbusLateReplyOnReplyTest(ModbusLateReplyTest):
    """Late, split, lost and stale replies with modbus_wait = reply: the same
    codes, nothing stored; 200 ms is still the limit."""

    @classmethod
    def setUpClass(cls):
        cls.vc = Controller(modbus_wait='reply')


if __name__ == '__main__':
    unittest.main()
