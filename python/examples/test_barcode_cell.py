"""A cell test: the robot job reads a part's barcode from the reader on the
serial port and hands it to the PLC, two characters per holding register,
with the code's length in register 99. The test plays the job through the
virtual controller and checks what the PLC holds."""

CODE = '4006381333931'
LENGTH_REGISTER = 99
CODE_REGISTER = 100
D_FIRST = 200  # the job's D variables staging the registers


def open_serial(controller):
    # \COM1 at 9600 baud, 8 data bits, no parity, 1 stop bit.
    handle = controller.call('RS232OPEN', p0=1, p4=960, p5=8, p6=0, p7=1)
    assert 1 <= handle <= 19, '%d %s' % (handle, handle.meaning)
    return handle


def read_barcode(controller, handle, seconds=5):
    # Everything before the CR is capture 1; the matched bytes leave the queue.
    count, code = controller.call_read('WAITPATTERN', 128, handle=handle, bytes='*\r',
                                       p4=1, p6=seconds, timeout=seconds + 5)
    assert 1 <= count <= 128, 'no barcode: %d %s' % (count, count.meaning)
    return code[:count]


def write_to_plc(controller, plc, code):
    handle = controller.call('TCPCONNECT', addr=plc.address, port=plc.port)
    assert 1 <= handle <= 19, '%d %s' % (handle, handle.meaning)
    try:
        padded = code + b'\0' * (len(code) % 2)
        words = [len(code)] + [padded[i] << 8 | padded[i + 1] for i in range(0, len(padded), 2)]
        for k, word in enumerate(words):
            controller.set('D%d' % (D_FIRST + k), word)
        result = controller.call('MODBUSWRITE', p2=handle, p1=16, p7=LENGTH_REGISTER,
                                 p6=len(words), p4=D_FIRST, p5=0)
        assert result == 255, '%d %s' % (result, result.meaning)
    finally:
        controller.call('CLOSEHANDLE', handle=handle)


def test_scanned_code_reaches_the_plc(controller, barcode_reader, plc):
    serial = open_serial(controller)
    barcode_reader.scan(CODE)
    code = read_barcode(controller, serial)
    assert code == CODE.encode()
    write_to_plc(controller, plc, code)

    length, *words = plc.holding_registers(LENGTH_REGISTER, 1 + (len(CODE) + 1) // 2)
    text = b''.join(w.to_bytes(2, 'big') for w in words)[:length].decode()
    assert (length, text) == (len(CODE), CODE)
    assert controller.call('CLOSEHANDLE', handle=serial) == 255
