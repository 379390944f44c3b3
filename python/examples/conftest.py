"""Fixtures of the example cell: the serial cable, the barcode reader on its
far end, the PLC, and the controller's settings that wire \\COM1 to the cable.
The `controller` fixture itself comes from the arvokor pytest plugin."""

import os

import pytest

from arvokor import PtyPair
from cell_peers import BarcodeReader, Plc


def pytest_addoption(parser):
    parser.addoption('--plc-server', default=os.environ.get('CELL_PLC_SERVER'),
                     help='the Modbus TCP server playing the PLC '
                          '(the source tree builds build/default/tests/modbus_server)')


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
    if not program:
        pytest.skip('no PLC server given (--plc-server or CELL_PLC_SERVER)')
    server = Plc(program)
    yield server
    server.close()
