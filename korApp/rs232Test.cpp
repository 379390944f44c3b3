// Serial receive test: prints whatever arrives on a serial port.
#include <cstdio>

#include "ctl.h"
#include "receiveTasks.h"

void kor_doReceiveRS232Test(int port) {
    char buf[KOR_RECEIVE_CHUNK + 1];
    for (;;) {
        // ctlRsRecv waits until data arrives or the port is closed.
        const int n = ctlRsRecv(port, buf, KOR_RECEIVE_CHUNK);
        if (n < 0) {
            vx::perror("Error - ctlRsRecv()");
            return;
        }
        if (n == 0) continue;
        buf[n] = 0;
        std::printf("Received %s\r\n", buf);
    }
}
