// FTP, job transfer and ping commands (15-18, 36-38).
#include <cstdio>

#include "ftpClient.h"
#include "jobTransfer.h"
#include "korApp.h"
#include "korCommands.h"
#include "korLock.h"
#include "korParams.h"

namespace {

constexpr std::uint16_t OWN_FTP_PORT = 21;
constexpr int RESULT_CONNECTED = 1;
constexpr int RESULT_ALREADY_OPEN = 2;

// Serialises the commands that use korFtpHandle, so that a disconnect cannot
// free the connection under a transfer that is still running on it.
KorSharedSem sharedFtpSem;
// The address korFtpHandle is connected to (console lines); under sharedFtpSem.
char sharedFtpAddress[KOR_ADDR_TEXT_SIZE];

// Whether korFtpHandle is a connection to work on (sharedFtpSem held). One
// given up after a wait that timed out counts as closed: it is ended here, so
// that FTPCONNECT opens a new one.
bool sharedConnectionOpen() {
    if (korFtpHandle && korFtpHandle->sock == -1) {
        FtpQuit(korFtpHandle);  // no wait: nothing is sent on a given-up connection
        korFtpHandle = nullptr;
    }
    return korFtpHandle != nullptr;
}

std::int32_t p(const KorCommand& cmd, int i) { return cmd.p[i]; }

// Copies fileName between the shared connection and the controller's own FTP
// server; toController selects the direction. True when the file was moved.
bool transferJob(const char* fileName, bool toController) {
    char ownAddress[20];
    kor_OwnAddress(ownAddress);
    FtpConnection* own = nullptr;
    bool moved = false;
    if (FtpConnect(ownAddress, OWN_FTP_PORT, &own) == 1 && FtpLogin("ftp", "", own) == 1) {
        FtpConnection* from = toController ? korFtpHandle : own;
        FtpConnection* to = toController ? own : korFtpHandle;
        moved = kor_MoveJob(from, to, fileName, toController ? ownAddress : sharedFtpAddress) == 1;
    }
    FtpQuit(own);
    return moved;
}

void jobCommand(const KorCommand& cmd, bool toController, const char* name) {
    const std::int32_t count = p(cmd, 2);
    if (!korBlockCountValid(count)) {
        korWriteResult(p(cmd, 3), KOR_RES_NOTHING);
        return;
    }
    char fileName[KOR_FIELD_SIZE] = {};
    const bool readable = count == 0 || korReadByteBlock(p(cmd, 1), count, fileName) == 0;

    const KorSharedLock lock(sharedFtpSem, "FTP connection");
    if (!lock.held() || !sharedConnectionOpen()) {
        std::printf("%s result %d\r\n", name, static_cast<int>(KOR_RES_FAILED));
        korWriteResult(p(cmd, 3), KOR_RES_FAILED);
        return;
    }
    const bool moved = readable && transferJob(fileName, toController);
    korWriteResult(p(cmd, 3), moved ? RESULT_CONNECTED : KOR_RES_NOTHING);
}

void loadCommand(const KorCommand& cmd, int mode) {
    const int code = kor_FtpHandler(p(cmd, 4), p(cmd, 5), p(cmd, 6), p(cmd, 7), p(cmd, 0),
                                    p(cmd, 1), mode);
    korWriteResult(p(cmd, 3), KOR_RES_DONE + code);
}

}  // namespace

void korCmdFtpConnect(const KorCommand& cmd) {
    if (!korTextCountValid(p(cmd, 2), 2)) {
        korWriteResult(p(cmd, 3), KOR_RES_NOTHING);
        return;
    }
    char address[KOR_ADDR_TEXT_SIZE];
    korFormatAddress(address, p(cmd, 4), p(cmd, 5), p(cmd, 6), p(cmd, 7));
    const unsigned port = korDecodePort(p(cmd, 0));
    char user[KOR_FIELD_SIZE];
    char password[KOR_FIELD_SIZE];
    korReadTwoFields(p(cmd, 1), p(cmd, 2), user, password);

    const KorSharedLock lock(sharedFtpSem, "FTP connection");
    if (!lock.held()) {
        korWriteResult(p(cmd, 3), KOR_RES_FAILED);
        return;
    }
    if (sharedConnectionOpen()) {
        korWriteResult(p(cmd, 3), RESULT_ALREADY_OPEN);
        return;
    }
    if (FtpConnect(address, static_cast<std::uint16_t>(port), &korFtpHandle) != 1 ||
        kor_FtpSecure(address, korFtpHandle) != 1) {
        FtpQuit(korFtpHandle);
        korFtpHandle = nullptr;
        korWriteResult(p(cmd, 3), KOR_RES_FAILED);
        return;
    }
    if (FtpLogin(user, password, korFtpHandle) != 1) {
        FtpQuit(korFtpHandle);
        korFtpHandle = nullptr;
        korWriteResult(p(cmd, 3), KOR_RES_NOTHING);
        return;
    }
    std::snprintf(sharedFtpAddress, sizeof sharedFtpAddress, "%s", address);
    korWriteResult(p(cmd, 3), RESULT_CONNECTED);
}

void korCmdFtpDisconnect(const KorCommand& cmd) {
    bool held = false;
    {
        const KorSharedLock lock(sharedFtpSem, "FTP connection");
        held = lock.held();
        if (held && korFtpHandle) {
            FtpQuit(korFtpHandle);
            korFtpHandle = nullptr;
        }
    }
    korWriteResult(p(cmd, 3), held ? RESULT_CONNECTED : KOR_RES_FAILED);
}

void korCmdFtpGetJob(const KorCommand& cmd) { jobCommand(cmd, true, "FTPGETJOB"); }

void korCmdFtpPutJob(const KorCommand& cmd) { jobCommand(cmd, false, "FTPPUTJOB"); }

void korCmdFtpLoadGet(const KorCommand& cmd) { loadCommand(cmd, 1); }

void korCmdFtpLoadPut(const KorCommand& cmd) { loadCommand(cmd, 0); }

void korCmdPing(const KorCommand& cmd) {
    char address[KOR_ADDR_TEXT_SIZE];
    korFormatAddress(address, p(cmd, 4), p(cmd, 5), p(cmd, 6), p(cmd, 7));
    korWriteResult(p(cmd, 3), KOR_RES_DONE + kor_Ping(address));
}
