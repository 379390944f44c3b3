#!/usr/bin/python3
"""Benchmark of the Modbus exchanges against libmodbus's own client.

One libmodbus test server holds 100 holding registers. A controller with
modbus_wait = fixed (the default) and one with modbus_wait = reply each open a
TCP channel to it; bench_roundtrip then times MODBUSREAD and MODBUSWRITE of
the 100 registers (function codes 3 and 16) through the state file exactly as
a job sees them, from the write of the command number until the result is
visible (median and 99th percentile), and INFO the same way for the command
round trip. bench_libmodbus_client times modbus_read_registers and
modbus_write_registers of the same 100 registers against the same server in
the same run. With the fixed wait every exchange takes 200 ms or more; with
the reply wait the goal is libmodbus's time plus the command round trip.

Prints ROW/NOTE lines for bench/table.py:
    bench/bench_modbus.py [--count 500] [--fixed-count 20] | bench/table.py
Environment: KOR_BIN (build directory, default build/default).
"""

import argparse
import os
import re
import subprocess

import benchlib
from benchlib import note, row
from harness import BIN, Controller, free_address

REGISTERS = 100
READ, WRITE, INFO = 34, 35, 8
FIGURES = re.compile(r'median ([\d.]+) ms, p99 ([\d.]+) ms')


def figures(text, what):
    """(median, p99) in ms from a line of the timing programs."""
    found = FIGURES.search(text)
    if not found:
        raise AssertionError('%s printed: %s' % (what, text))
    return float(found.group(1)), float(found.group(2))


def round_trip(vc, count, command, **params):
    """(median, p99) of `count` commands timed by bench_roundtrip."""
    program = os.path.join(BIN, 'bench', 'bench_roundtrip')
    args = [program, '--state', vc.state_path, '--count', str(count), '--command', str(command)]
    for k, value in params.items():
        args += ['--param', '%s=%d' % (k[1:], value)]
    out = subprocess.run(args, capture_output=True, text=True, check=True,
                         preexec_fn=benchlib.measurer_preexec).stdout
    return figures(out, 'bench_roundtrip')


def controller_figures(address, port, count, info_count, measurer, **settings):
    """Read, write and INFO round trips of one controller: {kind: (median,
    p99)}, and under 'scheduling' what they were measured under."""
    with Controller(**settings) as vc:
        handle = vc.call('TCPCONNECT', addr=address, port=port)
        if not 1 <= handle <= 19:
            raise AssertionError('TCPCONNECT gave %d' % handle)
        vc.set('D0..D%d' % (REGISTERS - 1), 7)
        vc.set('D%d' % (REGISTERS - 1), 4242)
        found = {
            'read': round_trip(vc, count, READ, p2=handle, p1=3, p7=0, p6=REGISTERS, p4=200,
                               p5=2),
            'write': round_trip(vc, count, WRITE, p2=handle, p1=16, p7=0, p6=REGISTERS, p4=0,
                                p5=0),
            'info': round_trip(vc, info_count, INFO),
            'scheduling': benchlib.scheduling_note(vc, measurer),
        }
        if vc.get('D%d' % (200 + REGISTERS - 1)) not in (REGISTERS - 1, 4242):
            raise AssertionError('the registers did not arrive')
        vc.call('CLOSEHANDLE', handle=handle)
    return found


def libmodbus_figures(address, port, count):
    program = os.path.join(BIN, 'bench', 'bench_libmodbus_client')
    out = subprocess.run([program, '--address', address, '--port', str(port), '--count',
                          str(count), '--registers', str(REGISTERS)], capture_output=True,
                         text=True, check=True, preexec_fn=benchlib.measurer_preexec).stdout
    lines = {line.split()[0]: line for line in out.splitlines() if line.strip()}
    return {kind: figures(lines.get(kind, out), 'bench_libmodbus_client')
            for kind in ('read', 'write')}


def both(pair):
    return 'p50 %.2f ms, p99 %.2f ms' % pair


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--count', type=int, default=500,
                        help='exchanges of each kind with modbus_wait = reply and libmodbus')
    parser.add_argument('--fixed-count', type=int, default=20,
                        help='exchanges of each kind with modbus_wait = fixed (200 ms each)')
    args = parser.parse_args()
    measurer = benchlib.as_measurer()
    server = os.path.join(BIN, 'tests', 'modbus_server')
    address = free_address()
    proc = subprocess.Popen([server, '--address', address, '--holding', '0:' + ','.join(
        str(i) for i in range(REGISTERS))], stdout=subprocess.PIPE, text=True)
    try:
        port = int(proc.stdout.readline().split()[1])
        fixed = controller_figures(address, port, args.fixed_count, args.count, measurer)
        reply = controller_figures(address, port, args.count, args.count, measurer,
                                   modbus_wait='reply')
        library = libmodbus_figures(address, port, args.count)
    finally:
        proc.terminate()
        proc.wait()
        proc.stdout.close()
    names = {'read': ('MODBUSREAD', 'modbus_read_registers'),
             'write': ('MODBUSWRITE', 'modbus_write_registers')}
    for kind, (command, call) in names.items():
        row('%s of %d registers, modbus_wait = fixed (%d)' % (command, REGISTERS,
                                                               args.fixed_count),
            both(fixed[kind]), '>= 200 ms (the whole wait)', '')
        lib = library[kind]
        row('%s of %d registers, modbus_wait = reply (%d)' % (command, REGISTERS, args.count),
            both(reply[kind]), 'libmodbus + command round trip (~2 ms p50, ~4.5 ms p99)',
            'libmodbus %s %s; over it p50 +%.2f ms, p99 +%.2f ms; fixed / reply p50 %.0fx'
            % (call, both(lib), reply[kind][0] - lib[0], reply[kind][1] - lib[1],
               fixed[kind][0] / reply[kind][0]))
    note('modbus: command round trip (INFO, same way) %s on the reply controller, %s on the '
         'fixed one' % (both(reply['info']), both(fixed['info'])))
    note('modbus: ' + reply['scheduling'])


if __name__ == '__main__':
    main()
