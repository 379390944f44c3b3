// Operations private to the SMTP client (shared by its source files and its
// unit tests; nothing else includes this).
#pragma once

#include <cstddef>
#include <cstdint>

// Work buffers: each command line is formatted into one, each reply and the
// composed message are returned in one.
inline constexpr int SMTP_BUFFER_SIZE = 10240;
// One receive takes at most this many bytes (a NUL follows them).
inline constexpr int SMTP_RECEIVE_MAX = SMTP_BUFFER_SIZE - 1;
// Every wait for the socket is bounded by this many seconds.
inline constexpr int SMTP_WAIT_SECONDS = 10;
inline constexpr int SMTP_HOSTNAME_SIZE = 128;
inline constexpr std::size_t SMTP_BASE64_SIZE = 128;

// The standard base64 alphabet, and the number of '=' that end an encoding of
// n bytes, indexed by n % 3.
extern const char Smtp_encoding_table[64];
extern const int Smtp_mod_table[3];

// Base64 without line breaks. *outLength holds the capacity of out on entry
// and receives the encoded (decoded) length. Nothing is written, and 0 is
// returned, when the result and a NUL would not fit; the encoder then leaves
// the needed length in *outLength. The decoder also refuses (writes nothing,
// leaves *outLength unchanged) an input whose length is not a multiple of 4 or
// that holds a character outside the alphabet or a misplaced '='. Neither
// writes a NUL. Returns 1 when the output was written.
int Smtp_base64_encode(const unsigned char* data, std::size_t length, char* out,
                       std::size_t* outLength);
int Smtp_base64_decode(const char* data, std::size_t length, unsigned char* out,
                       std::size_t* outLength);

// Compares at most n characters, folding A-Z to a-z; the difference of the
// first differing (folded) characters, or 0.
int Smtp_StringCmp(const char* a, const char* b, std::size_t n);

// 1 when keyword stands in reply as an EHLO keyword or parameter: after '-',
// blank or '=' and before a blank, '=' or CR LF, in any letter case.
int Smtp_IsKeywordSupported(const char* reply, const char* keyword);

// The code of the first final reply line in text[0, length): a line ended by
// CR LF whose first three characters are digits followed by a blank or by the
// CR LF itself. -1 when no such line is complete yet.
int Smtp_FindReplyCode(const char* text, std::size_t length);

// Sends the whole NUL-terminated text; 1 when all was sent, 0 on time-out or error.
int Smtp_SendData(int sock, const char* text);
// One receive of at most SMTP_RECEIVE_MAX bytes into buf, NUL-terminated.
// The number of bytes; 0 on time-out, error, or when the peer closed.
int Smtp_ReceiveData(int sock, char* buf);
// Collects one complete reply; leaves its text, NUL-terminated, in buf
// (SMTP_BUFFER_SIZE bytes) and returns its code. 0 when no complete reply
// arrives in time, the peer closes, no collecting buffer can be had, or the
// reply grows past SMTP_RECEIVE_MAX bytes.
int Smtp_ReceiveResponse(int sock, char* buf);

// Formats one command line into work (SMTP_BUFFER_SIZE bytes), sends it and
// reads the reply into work. The reply code, or SMTP_SEND_FAILED.
inline constexpr int SMTP_SEND_FAILED = -1;
int Smtp_Command(int sock, char* work, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// As Smtp_Command for a line whose text from secretFrom on is a secret (a
// log-in's answer): the stream hook is told so and never keeps it.
int Smtp_SecretCommand(int sock, char* work, int secretFrom, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Composes the whole message (header, blank line, body, CR LF) into buf
// (SMTP_BUFFER_SIZE bytes). Body lines that begin with a dot get a second dot,
// so the body cannot end the data early. Returns 1, or 0 when the clock gives
// no time or the message does not fit (buf is then not to be sent).
int Smtp_FormatHeader(char* buf, const char* from, const char* to, const char* mailer,
                      const char* subject, const char* body);

// 1 when an address can be placed between angle brackets in a command line:
// no CR, LF, '<' or '>'.
int Smtp_AddressIsSafe(const char* address);

// The clock of the Date line (calendar seconds; 0 or less: no time). Tests
// replace it to fix the time.
extern std::int64_t (*Smtp_clock)();

// A whole reply must arrive within this many seconds, however it trickles in,
// so a server sending a byte now and then cannot hold the task for hours
// (each single wait is 10 s). Tests shorten it.
extern std::int64_t Smtp_replyLimitSec;
