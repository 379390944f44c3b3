"""Test a robot cell against an ArvoKOR virtual controller.

    from arvokor import VirtualController

    with VirtualController(com1='/dev/pts/7') as vc:
        vc.set('S10', 'hello', 'B300', 65)
        handle = vc.call('TCPCONNECT', addr='127.0.0.5', port=502)
        code, data = vc.call_read('READDATA', 10, handle=handle)
        print(code, code.meaning, vc.admin().handles())

The programs (arvokor, korjob) are found in $ARVOKOR_BIN or on PATH. With
pytest, the `controller` fixture gives a started VirtualController.
"""

from .admin import AdminClient, AdminError
from .controller import BANNER, VirtualController
from .job import CallResult, Job, KorjobError, SlotLayout
from .processes import PtyPair, find_program, free_address, wait_for, wait_port

__all__ = ['AdminClient', 'AdminError', 'BANNER', 'CallResult', 'Job', 'KorjobError', 'PtyPair',
           'SlotLayout', 'VirtualController', 'find_program', 'free_address', 'wait_for', 'wait_port']
