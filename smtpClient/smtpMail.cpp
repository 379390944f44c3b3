// Sending one mail over an authenticated SMTP connection.
#include "ctl.h"
#include "korSecure.h"
#include "smtpBuffer.h"
#include "smtpClient.h"
#include "smtpInternal.h"

namespace {

constexpr const char* kMailer = "Quorvel";

// MAIL FROM, RCPT TO, DATA, the message, the end-of-data line and QUIT; the
// first failing step ends the exchange.
int exchangeMail(int sock, char* work, const char* from, const char* to, const char* subject,
                 const char* body) {
    // An address with a line break or an angle bracket could end the command
    // line and smuggle in another command: such a step is not sent.
    if (!Smtp_AddressIsSafe(from)) return SMTP_ERR_MAIL_FROM;
    int code = Smtp_Command(sock, work, "MAIL FROM:<%s>\r\n", from);
    if (code == SMTP_SEND_FAILED) return SMTP_ERR_SEND;
    if (code != 250) return SMTP_ERR_MAIL_FROM;

    if (!Smtp_AddressIsSafe(to)) return SMTP_ERR_RCPT_TO;
    code = Smtp_Command(sock, work, "RCPT TO:<%s>\r\n", to);
    if (code == SMTP_SEND_FAILED) return SMTP_ERR_SEND;
    if (code != 250) return SMTP_ERR_RCPT_TO;

    code = Smtp_Command(sock, work, "DATA\r\n");
    if (code == SMTP_SEND_FAILED) return SMTP_ERR_SEND;
    if (code != 354) return SMTP_ERR_DATA;

    // Without a message (no time for the Date line, or too long) nothing more
    // is sent; closing the connection in the middle of DATA makes the server
    // drop the transaction.
    if (!Smtp_FormatHeader(work, from, to, kMailer, subject, body)) return SMTP_ERR_SEND;
    if (!Smtp_SendData(sock, work)) return SMTP_ERR_SEND;

    code = Smtp_Command(sock, work, "\r\n.\r\n");
    if (code == SMTP_SEND_FAILED) return SMTP_ERR_SEND;
    if (code != 250) return SMTP_ERR_END_OF_DATA;

    if (!Smtp_SendData(sock, "QUIT\r\n")) return SMTP_ERR_SEND;
    return SMTP_OK;
}

}  // namespace

int Smtp_SendMail(int sock, const char* from, const char* to, const char* subject,
                  const char* body) {
    int result = SMTP_ERR_SEND;
    {
        SmtpBuffer work(SMTP_BUFFER_SIZE);
        if (work) result = exchangeMail(sock, work.get(), from, to, subject, body);
    }
    kor_streamClose(sock);
    return result;
}
