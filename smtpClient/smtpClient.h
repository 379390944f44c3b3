// The SMTP client: sends one plain-text mail through a mail server that
// requires authentication (AUTH LOGIN or AUTH PLAIN). The client keeps no state
// between calls; a connection is only its socket descriptor, which the caller
// carries from Smtp_ConnectRemoteServer to Smtp_SendMail.
#pragma once

#include <cstdint>

// Result codes of Smtp_ConnectRemoteServer and Smtp_SendMail.
enum SmtpResult : int {
    SMTP_OK = 1,
    SMTP_ERR_CONNECT = 239,      // no socket, or the connection was refused
    SMTP_ERR_GREETING = 240,     // greeting was not 220
    SMTP_ERR_MAIL_FROM = 241,    // MAIL FROM not answered with 250, or the sender was refused
    SMTP_ERR_EHLO = 242,         // EHLO not answered with 250
    SMTP_ERR_AUTH_LOGIN = 243,   // AUTH LOGIN not answered with 334
    SMTP_ERR_AUTH_PLAIN = 244,   // AUTH PLAIN not answered with 235
    SMTP_ERR_NO_AUTH = 245,      // the server offers neither AUTH LOGIN nor AUTH PLAIN
    SMTP_ERR_DATA = 246,         // DATA not answered with 354
    SMTP_ERR_RCPT_TO = 248,      // RCPT TO not answered with 250, or the recipient was refused
    SMTP_ERR_PASSWORD = 249,     // the encoded password (LOGIN) not answered with 235
    SMTP_ERR_USER = 250,         // the encoded user name (LOGIN) not answered with 334
    SMTP_ERR_END_OF_DATA = 251,  // the end-of-data line not answered with 250
    SMTP_ERR_SEND = 252,         // sending failed, no work buffer, or no message could be composed
    SMTP_ERR_NO_BUFFER = 253,    // no work buffer for the connection
    SMTP_ERR_TLS = 238,          // TLS asked for by the settings could not be had (no STARTTLS
                                 // offered, handshake or certificate refused): nothing more sent
};

// Connects to serverIp (dotted IPv4 text) on port, reads the greeting, sends
// EHLO and authenticates with user and password (NUL-terminated texts). With
// the controller's mail_tls setting the connection is TLS from the first byte
// or after STARTTLS; the credentials are never sent without it then.
// Returns SMTP_OK and stores the socket in *sock; on failure stores -1, closes
// the socket and returns one of the codes above.
int Smtp_ConnectRemoteServer(const char* serverIp, std::uint16_t port, const char* user,
                             const char* password, int* sock);

// Sends one mail from `from` to `to` (bare addresses) over a socket that
// Smtp_ConnectRemoteServer returned, then QUIT. Always closes the socket.
// Returns SMTP_OK when the server accepted the mail, else one of the codes above.
int Smtp_SendMail(int sock, const char* from, const char* to, const char* subject,
                  const char* body);
