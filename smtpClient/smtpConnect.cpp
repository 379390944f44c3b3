// Opening an SMTP connection: greeting, EHLO and authentication.
#include <array>
#include <cstdio>
#include <cstring>

#include "ctl.h"
#include "korSecure.h"
#include "smtpBuffer.h"
#include "smtpClient.h"
#include "smtpInternal.h"

namespace {

using Base64Text = std::array<char, SMTP_BASE64_SIZE>;

// The base64 text of data, or an empty text when it does not fit (the server
// then rejects the line and the step fails with its own code).
void encodeBase64(const unsigned char* data, std::size_t length, Base64Text& text) {
    text.fill('\0');
    std::size_t capacity = text.size();
    Smtp_base64_encode(data, length, text.data(), &capacity);
}

void encodeBase64(const char* s, Base64Text& text) {
    encodeBase64(reinterpret_cast<const unsigned char*>(s), std::strlen(s), text);
}

int sendEhlo(int sock, char* work) {
    char hostname[SMTP_HOSTNAME_SIZE] = {};
    if (vx::gethostname(hostname, sizeof hostname) != 0) std::strcpy(hostname, "domain");
    hostname[sizeof hostname - 1] = '\0';
    const int code = Smtp_Command(sock, work, "EHLO %s\r\n", hostname);
    if (code == SMTP_SEND_FAILED) return SMTP_ERR_SEND;
    if (code != 250) return SMTP_ERR_EHLO;
    return SMTP_OK;
}

int startTls(int sock, const CtlTlsSettings& tls, const char* serverIp) {
    return kor_secureStart(sock, tls.caFile, tls.mailName, serverIp, -1) == 0 ? SMTP_OK
                                                                              : SMTP_ERR_TLS;
}

// STARTTLS after the first EHLO, and EHLO again inside TLS. A server that does
// not offer it gets nothing more: the login is never sent in clear.
int upgrade(int sock, char* work, const CtlTlsSettings& tls, const char* serverIp) {
    if (!Smtp_IsKeywordSupported(work, "STARTTLS")) {
        std::printf("SMTP: %s offers no STARTTLS; nothing sent (mail_tls = starttls)\r\n",
                    serverIp);
        return SMTP_ERR_TLS;
    }
    const int code = Smtp_Command(sock, work, "STARTTLS\r\n");
    if (code == SMTP_SEND_FAILED) return SMTP_ERR_SEND;
    if (code != 220) {
        std::printf("SMTP: %s refused STARTTLS; nothing sent\r\n", serverIp);
        return SMTP_ERR_TLS;
    }
    const int result = startTls(sock, tls, serverIp);
    return result == SMTP_OK ? sendEhlo(sock, work) : result;
}

int openConnection(const char* serverIp, std::uint16_t port) {
    const int sock = ctlSocket(CTL_AF_INET, CTL_SOCK_STREAM, 0);
    if (sock < 0) return -1;
    CtlSockAddrIn address{};
    address.len = sizeof address;
    address.family = CTL_AF_INET;
    address.port = ctlHtons(port);
    address.addr = ctlInetAddr(serverIp);
    if (ctlConnect(sock, reinterpret_cast<const CtlSockAddr*>(&address), sizeof address) < 0) {
        ctlClose(sock);
        return -1;
    }
    kor_streamOpened(sock, KorStreamService::Smtp, serverIp, port);
    return sock;
}

int authenticateLogin(int sock, char* work, const char* user, const char* password) {
    int code = Smtp_Command(sock, work, "AUTH LOGIN\r\n");
    if (code == SMTP_SEND_FAILED) return SMTP_ERR_SEND;
    if (code != 334) return SMTP_ERR_AUTH_LOGIN;

    Base64Text encoded;
    encodeBase64(user, encoded);
    code = Smtp_SecretCommand(sock, work, 0, "%s\r\n", encoded.data());
    if (code == SMTP_SEND_FAILED) return SMTP_ERR_SEND;
    if (code != 334) return SMTP_ERR_USER;

    encodeBase64(password, encoded);
    code = Smtp_SecretCommand(sock, work, 0, "%s\r\n", encoded.data());
    if (code == SMTP_SEND_FAILED) return SMTP_ERR_SEND;
    if (code != 235) return SMTP_ERR_PASSWORD;
    return SMTP_OK;
}

int authenticatePlain(int sock, char* work, const char* user, const char* password) {
    // NUL, user, NUL, password, built as "^user^password" with every '^' made
    // a NUL: a '^' inside user or password becomes a NUL as well.
    std::array<unsigned char, 2 * SMTP_BASE64_SIZE> credentials{};
    const std::size_t userLength = std::strlen(user);
    const std::size_t passwordLength = std::strlen(password);
    Base64Text encoded{};
    if (userLength + passwordLength + 2 <= credentials.size()) {
        credentials[0] = 0;
        std::memcpy(&credentials[1], user, userLength);
        credentials[1 + userLength] = 0;
        std::memcpy(&credentials[2 + userLength], password, passwordLength);
        for (auto& c : credentials)
            if (c == '^') c = 0;
        encodeBase64(credentials.data(), userLength + passwordLength + 2, encoded);
    }
    const int code = Smtp_SecretCommand(sock, work, 11, "AUTH PLAIN %s\r\n", encoded.data());
    if (code == SMTP_SEND_FAILED) return SMTP_ERR_SEND;
    if (code != 235) return SMTP_ERR_AUTH_PLAIN;
    return SMTP_OK;
}

int greetAndAuthenticate(int sock, char* work, const char* user, const char* password,
                         const CtlTlsSettings& tls, const char* serverIp) {
    if (tls.mailTls == CTL_TLS_IMPLICIT && startTls(sock, tls, serverIp) != SMTP_OK)
        return SMTP_ERR_TLS;
    if (Smtp_ReceiveResponse(sock, work) != 220) return SMTP_ERR_GREETING;
    int result = sendEhlo(sock, work);
    if (result == SMTP_OK && tls.mailTls == CTL_TLS_STARTTLS)
        result = upgrade(sock, work, tls, serverIp);
    if (result != SMTP_OK) return result;

    // The work buffer holds the EHLO reply until the next command.
    if (!Smtp_IsKeywordSupported(work, "AUTH")) return SMTP_ERR_NO_AUTH;
    if (Smtp_IsKeywordSupported(work, "LOGIN"))
        return authenticateLogin(sock, work, user, password);
    if (Smtp_IsKeywordSupported(work, "PLAIN"))
        return authenticatePlain(sock, work, user, password);
    return SMTP_ERR_NO_AUTH;
}

}  // namespace

int Smtp_ConnectRemoteServer(const char* serverIp, std::uint16_t port, const char* user,
                             const char* password, int* sock) {
    *sock = -1;
    // Unknown settings might ask for TLS: nothing is sent then.
    CtlTlsSettings tls;
    if (ctlGetTlsSettings(&tls) != 0) {
        vx::perror("SMTP: TLS settings unreadable");
        return SMTP_ERR_TLS;
    }
    SmtpBuffer work(SMTP_BUFFER_SIZE);
    if (!work) return SMTP_ERR_NO_BUFFER;

    const int s = openConnection(serverIp, port);
    if (s < 0) return SMTP_ERR_CONNECT;

    const int result = greetAndAuthenticate(s, work.get(), user, password, tls, serverIp);
    if (result == SMTP_OK) *sock = s;
    else kor_streamClose(s);
    return result;
}
