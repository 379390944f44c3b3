// The admin server: a maintenance port for an engineer's tool. One task serves
// one client connection at a time; requests are binary frames (12-byte command
// text, 4-byte big-endian payload length, payload), one per TCP receive.
#pragma once

#include <cstdint>

inline constexpr int KOR_ADMIN_BUF_SIZE = 2048;
inline constexpr int KOR_ADMIN_CMD_SIZE = 12;
inline constexpr int KOR_ADMIN_HEADER_SIZE = 16;
inline constexpr int KOR_ADMIN_READOUT_SIZE = 208;
inline constexpr int KOR_ADMIN_LIST_MAX = 4095;
// The largest ":gb" count: the whole B variable number range.
inline constexpr int KOR_ADMIN_GB_MAX = 65536;

// Job transfer record (payload of ":ftpp" and ":ftpg").
inline constexpr int KOR_XFER_USER_OFF = 0, KOR_XFER_USER_SIZE = 33;
inline constexpr int KOR_XFER_PASS_OFF = 33, KOR_XFER_PASS_SIZE = 33;
inline constexpr int KOR_XFER_DIR_OFF = 66, KOR_XFER_DIR_SIZE = 257;
inline constexpr int KOR_XFER_JOB_OFF = 323, KOR_XFER_JOB_SIZE = 65;
inline constexpr int KOR_XFER_ADDR_OFF = 388, KOR_XFER_ADDR_SIZE = 16;

// The four channel operations. Handles outside 0..19, free channels and
// unsupported channel types give -1.
int sendData(int handle, char* data, int length);
int clearHandleInputQueue(int handle);
int closeHandle(int handle);
int readoutHandleData(char* record, int handle);

// Runs one request (command field, payload) and produces the reply into
// `reply` (room `replySize`). `request` is the zero-padded receive buffer of
// KOR_ADMIN_BUF_SIZE bytes (the sends write a NUL behind the payload). Returns the reply's length, 0 for no reply, or
// -1 when the connection is to end (":q"). Exposed for tests and fuzzing.
struct KorAdminReply {
    char* data;        // the reply bytes (reply buffer or an allocated block)
    int length;        // bytes to send; 0: no reply
    bool allocated;    // data came from ctlMalloc and is freed after sending
    bool endSession;   // ":q"
};
KorAdminReply kor_adminHandleRequest(char* request, int received, char* replyBuf,
                                     int replySize);
