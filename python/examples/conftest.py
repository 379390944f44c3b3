"""Fixtures of the example cell: the serial cable, the barcode reader on its
far end, the PLC, and the controller's settings that wire \\COM1 to the cable.
The `controller` fixture itself comes from the arvokor pytest plugin."""

import os

import pytest

from arvokor import PtyPair
from cell_peers import BarcodeReader, Plc, default_plc_command


def pytest_addoption(parser):
    # Options of a conftest are known only once pytest has found it: give the
    # value with '=' (--plc-server=PROGRAM) or name this folder too.
    parser.addoption('--plc-server', default=os.environ.get('CELL_PLC_SERVER'),
                     help='another Modbus TCP server program playing the PLC (it takes '
                          '--address A and prints "READY <port>"; default: plc_server.py, '
                          "Debian's python3-pymodbus)")


@pytest.fixture
def serial_cable():
    cable = PtyPair()
    yield cable
    cable.stop()


@pytest.fixture
def controller_settings(serial_cable):
    return {'com1': serial_cable.a}


@pytest.fixture
def barcode_reader(serial_cable):
    reader = BarcodeReader(serial_cable.b)
    yield reader
    reader.close()


@pytest.fixture
def plc(request):
    program = request.config.getoption('--plc-server')
    server = Plc([program] if program else default_plc_command())
    yield server
    server.close()
