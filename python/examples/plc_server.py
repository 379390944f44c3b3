"""The example cell's PLC: a Modbus TCP server of Debian's python3-pymodbus
with holding registers 0..65535, answering any unit id, on the address
given. Prints "READY <port>" once it listens; runs until stopped."""

import argparse
import asyncio

from pymodbus.datastore import ModbusServerContext, ModbusSlaveContext
from pymodbus.server.async_io import ModbusTcpServer


async def serve(address):
    context = ModbusServerContext(slaves=ModbusSlaveContext(zero_mode=True), single=True)
    server = ModbusTcpServer(context, address=(address, 0))
    task = asyncio.create_task(server.serve_forever())
    await server.serving
    print('READY %d' % server.server.sockets[0].getsockname()[1], flush=True)
    await task


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--address', default='127.0.0.1')
    asyncio.run(serve(parser.parse_args().address))


if __name__ == '__main__':
    main()
