// The admin server: a maintenance port for an engineer's tool. One task serves
// one client connection at a time; requests are binary frames (12-byte command
// text, 4-byte big-endian payload length, payload), one per TCP receive.
#pragma once

#include <cstdint>

#include "ctl.h"

// The admin port, and the admin server task (port in the first argument),
// which the launcher starts.
inline constexpr int KOR_ADMIN_PORT = 15000;
void kor_startAdminTCPServer(CtlArg port, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg,
                             CtlArg, CtlArg);

inline constexpr int KOR_ADMIN_BUF_SIZE = 2048;
inline constexpr int KOR_ADMIN_CMD_SIZE = 12;
inline constexpr int KOR_ADMIN_HEADER_SIZE = 16;
// A client that sends no complete request for this long is closed once
// another client waits to connect, so that one idle client cannot keep the
// others out; alone, it keeps its session.
inline constexpr int KOR_ADMIN_IDLE_SEC = 10;
// A request is one receive into the buffer, which keeps a NUL behind it.
inline constexpr int KOR_ADMIN_PAYLOAD_MAX = KOR_ADMIN_BUF_SIZE - 1 - KOR_ADMIN_HEADER_SIZE;
inline constexpr int KOR_ADMIN_READOUT_SIZE = 208;
inline constexpr int KOR_ADMIN_LIST_MAX = 4095;
// The largest ":gb" count: the whole B variable number range.
inline constexpr int KOR_ADMIN_GB_MAX = 65536;

// Extension requests, after the table's last rule; each must be the whole
// command field. Their replies are framed like a request: the command text
// (12 bytes), the body's length (4 bytes, big-endian), the body; a client
// reads exactly that many bytes and never waits on a quiet line.
inline constexpr const char* KOR_ADMIN_JOURNAL = ":journal";    // payload: last seen sequence
inline constexpr const char* KOR_ADMIN_CONSOLE = ":console";    // payload: last seen sequence
inline constexpr const char* KOR_ADMIN_COUNTERS = ":counters";  // no payload
inline constexpr const char* KOR_ADMIN_CAPTURE = ":capture";    // payload: see docs/commands.md
// The largest body of a journal, console or counters reply, and of any
// extension reply (a capture ring of at most 16 MiB and its header).
inline constexpr int KOR_ADMIN_TEXT_BODY_MAX = 65536;
inline constexpr int KOR_ADMIN_EXT_BODY_MAX = (16 << 20) + 1024;

// Job transfer record (payload of ":ftpp" and ":ftpg").
inline constexpr int KOR_XFER_USER_OFF = 0, KOR_XFER_USER_SIZE = 33;
inline constexpr int KOR_XFER_PASS_OFF = 33, KOR_XFER_PASS_SIZE = 33;
inline constexpr int KOR_XFER_DIR_OFF = 66, KOR_XFER_DIR_SIZE = 257;
inline constexpr int KOR_XFER_JOB_OFF = 323, KOR_XFER_JOB_SIZE = 65;
inline constexpr int KOR_XFER_ADDR_OFF = 388, KOR_XFER_ADDR_SIZE = 16;

// The ":h" readout record: NUL-padded text fields at fixed offsets, numbers
// written as "%d".
struct KorReadoutField {
    const char* name;
    int offset;
    int size;
};
enum KorReadoutItem {
    KOR_RO_HANDLE,
    KOR_RO_SOCKET,
    KOR_RO_RESERVED,
    KOR_RO_IN_USE,
    KOR_RO_IP_ADDRESS,
    KOR_RO_LISTEN_HANDLE,
    KOR_RO_TYPE,
    KOR_RO_TASK_ID,
    KOR_RO_TASK_NAME,
    KOR_RO_PIPE_NAME,
    KOR_RO_PIPE_FD,
    KOR_RO_PORT,
    KOR_RO_QUEUED,
    KOR_RO_FIELD_COUNT
};
inline constexpr KorReadoutField KOR_READOUT_FIELDS[KOR_RO_FIELD_COUNT] = {
    {"handle", 0, 12},     {"socket", 12, 12},       {"reserved", 24, 12}, {"inUse", 36, 12},
    {"ipAddress", 48, 16}, {"listenHandle", 64, 12}, {"type", 76, 12},     {"taskId", 88, 12},
    {"taskName", 100, 32}, {"pipeName", 132, 40},    {"pipeFd", 172, 12},  {"port", 184, 12},
    {"queued", 196, 12}};
static_assert(KOR_READOUT_FIELDS[KOR_RO_QUEUED].offset + KOR_READOUT_FIELDS[KOR_RO_QUEUED].size ==
              KOR_ADMIN_READOUT_SIZE);

// The four channel operations. Handles outside 0..19 give -1. sendData and
// closeHandle give -1 for a free channel, sendData also for a listening or
// accepted one; sendData pins the channel for its send (the table stays free).
// clearHandleInputQueue gives 0 for a free channel and -1 when the clear fails.
// readoutHandleData fills `record` (KOR_ADMIN_READOUT_SIZE bytes): 0, or -1 free.
int sendData(int handle, char* data, int length);
int clearHandleInputQueue(int handle);
int closeHandle(int handle);
int readoutHandleData(char* record, int handle);

// True when `received` bytes of request are one whole frame: the header and
// as many payload bytes as its length field says.
bool kor_adminFrameComplete(const char* request, int received);

// Runs one request: `request` is the zero-padded receive buffer of
// KOR_ADMIN_BUF_SIZE bytes holding `received` bytes (the sends write a NUL
// behind the payload). A reply that fits is written into replyBuf (room
// replySize); a frame that is too short or whose length field does not match
// gets none (length 0). Exposed for tests and fuzzing.
struct KorAdminReply {
    char* data;       // the reply bytes (reply buffer or an allocated block)
    int length;       // bytes to send; 0: no reply
    bool allocated;   // data came from ctlMalloc and is freed after sending
    bool endSession;  // ":q"
};
KorAdminReply kor_adminHandleRequest(char* request, int received, char* replyBuf, int replySize);
