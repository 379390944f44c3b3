"""The cell's peripherals for the example: a scripted barcode reader on the
device end of a serial cable, and a Modbus TCP PLC (plc_server.py, Debian's
python3-pymodbus, unless another server program is given)."""

import os
import socket
import struct
import subprocess
import sys

from arvokor import processes


class BarcodeReader:
    """Sends a scanned code, ended by CR, as a reader on a serial port does."""

    def __init__(self, device):
        self.fd = os.open(device, os.O_RDWR | os.O_NOCTTY)

    def scan(self, code):
        os.write(self.fd, code.encode('ascii') + b'\r')

    def close(self):
        os.close(self.fd)


PLC_SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'plc_server.py')


def default_plc_command():
    """plc_server.py under the Python that has Debian's pymodbus: Debian's
    own, which may not be the python3 first on PATH."""
    python = '/usr/bin/python3' if os.path.exists('/usr/bin/python3') else sys.executable
    return [python, PLC_SERVER]


class Plc:
    """A Modbus TCP server on a loopback address of its own (the command
    line takes --address and prints "READY <port>"); reads its holding
    registers back with a plain Modbus client."""

    def __init__(self, command):
        self.address = processes.free_address()
        self.proc = subprocess.Popen(command + ['--address', self.address],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                     preexec_fn=processes.die_with_parent)
        line = self.proc.stdout.readline()
        if not line.startswith('READY '):
            self.close()
            raise AssertionError('the PLC did not start: %r' % line)
        self.port = int(line.split()[1])

    def holding_registers(self, first, count):
        request = struct.pack('>HHHBBHH', 1, 0, 6, 1, 3, first, count)
        with socket.create_connection((self.address, self.port), timeout=5) as s:
            s.sendall(request)
            reply = b''
            while len(reply) < 9 + 2 * count:
                chunk = s.recv(512)
                if not chunk:
                    raise AssertionError('the PLC closed the connection: %r' % reply)
                reply += chunk
        return list(struct.unpack('>%dH' % count, reply[9:9 + 2 * count]))

    def close(self):
        processes.stop_process(self.proc)
        self.proc.stdout.close()
