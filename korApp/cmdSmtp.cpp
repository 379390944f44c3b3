// Mail: command 20 (SMTP) sends one plain-text mail through an authenticating
// mail server.
#include <cstdio>

#include "korCommands.h"
#include "korObserve.h"
#include "korParams.h"
#include "smtpClient.h"

namespace {

constexpr const char* kMailSubject = "Arvo KOR mail";

// Connects and logs in with text fields 0 and 1, then reads fields 2, 3 and 4
// (sender, recipient, message) from the same B variables and sends the mail.
std::int32_t sendMail(const KorCommand& cmd) {
    const std::int32_t firstVar = cmd.p[1];
    const std::int32_t varCount = cmd.p[2];

    char address[KOR_ADDR_TEXT_SIZE];
    korFormatAddress(address, cmd.p[4], cmd.p[5], cmd.p[6], cmd.p[7]);
    const auto port = static_cast<std::uint16_t>(korDecodePort(cmd.p[0]));

    char user[KOR_FIELD_SIZE];
    char password[KOR_FIELD_SIZE];
    korReadTwoFields(firstVar, varCount, user, password);

    int sock = -1;
    if (Smtp_ConnectRemoteServer(address, port, user, password, &sock) != SMTP_OK)
        return KOR_RES_FAILED;

    char from[KOR_FIELD_SIZE];
    char to[KOR_FIELD_SIZE];
    char message[KOR_FIELD_SIZE];
    korReadThreeFields(firstVar, varCount, 2, from, to, message);
    return Smtp_SendMail(sock, from, to, kMailSubject, message) == SMTP_OK ? 1 : KOR_RES_NOTHING;
}

}  // namespace

void korCmdSmtp(const KorCommand& cmd) {
    if (!korTextCountValid(cmd.p[2], 5)) {
        korWriteResult(cmd.p[3], KOR_RES_NOTHING);
        return;
    }
    const std::int32_t result = sendMail(cmd);
    std::printf("SMTP result: %d\r\n", static_cast<int>(result));
    kor_countMail(static_cast<int>(result));
    korWriteResult(cmd.p[3], result);
}
