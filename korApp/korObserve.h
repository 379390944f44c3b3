// What happened, kept beside the system's own work: the command journal, the
// console lines, the counters since start and the traffic capture. Writers
// (commands, receive tasks, the console) never block and never wait on a
// reader; readers (the admin server) copy out and see gaps in the sequence
// numbers when they fell behind.
#pragma once

#include <cstdint>

#include "ctl.h"

struct KorObserveConfig {
    int journalEntries = 2048;  // 0: no journal
    bool captureAll = false;    // capture every channel from its opening on
    int captureBytes = 65536;   // ring size of one channel's capture
};
inline constexpr int KOR_JOURNAL_MAX_ENTRIES = 1 << 20;
inline constexpr int KOR_CAPTURE_MIN_BYTES = 1024;
inline constexpr int KOR_CAPTURE_MAX_BYTES = 16 << 20;

// Before the launcher starts (the program's settings); later calls change
// nothing that is already allocated.
void kor_observeConfigure(const KorObserveConfig& config);
// Allocates the rings (once per process) and installs the console tap and the
// services' stream hook. A ring that cannot be allocated stays off and the
// console says so.
void kor_observeStart();
// Starts the task of the console's fold counts (the launcher, once the
// controller runs; again when it has ended).
void kor_observeStartTask();

// ---------------------------------------------------------------- journal

inline constexpr int KOR_JOURNAL_PARAMS = 10;
inline constexpr int KOR_JOURNAL_TEXT = 248;  // console text kept per command

// The launcher: a command of `slot` is about to be started. Returns a ticket
// (> 0) that the command task passes to kor_commandAttach, or 0 when none is
// free (the command then goes unrecorded).
int kor_commandBegin(int slot, std::int32_t id, const std::int32_t p[KOR_JOURNAL_PARAMS]);
// The command task could not be started: the command ends with `result`.
void kor_commandAbort(int ticket, std::int32_t result);
// In the command task: the ticket's command runs in the calling task.
void kor_commandAttach(int ticket);
// The calling task wrote `result` into its result variable: its command ends
// (further result writes of the same task are not commands of their own).
void kor_commandResult(std::int32_t result);
// The calling task's command handler returned: a command that wrote no result
// ends without one (-1).
void kor_commandEnd();

// The ticket of a command id packed into the interpreter's first argument.
inline CtlArg kor_packCommand(std::int32_t id, int ticket) {
    return static_cast<CtlArg>((static_cast<std::uint32_t>(ticket) << 16) | (id & 0xffff));
}
inline std::int32_t kor_commandIdOf(CtlArg packed) {
    return static_cast<std::int32_t>(packed & 0xffff);
}
inline int kor_ticketOf(CtlArg packed) { return static_cast<int>((packed >> 16) & 0x7fff); }

// ---------------------------------------------------------------- console

// A console line as kept: its text and the printing task's name, each with
// its NUL (a reader of the admin reply bounds its lines by these); lines kept.
inline constexpr int KOR_CONSOLE_LINE = 160;
inline constexpr int KOR_CONSOLE_TASK = 24;
inline constexpr int KOR_CONSOLE_LINES = 1024;

// The console tap (installed by kor_observeStart): hands the printing task's
// text to its command's journal entry and to the console, which records the
// lines and folds a flood of one line (see console.cpp).
void kor_consoleTap(const char* text, int length, CtlConsoleWrite write);

// ---------------------------------------------------------------- counters

// Bucket bounds of the command durations (ms); one more bucket above the last.
inline constexpr int KOR_DURATION_BOUNDS_MS[] = {1,   2,   5,    10,   20,   50,    100,
                                                 200, 500, 1000, 2000, 5000, 10000, 30000};
inline constexpr int KOR_DURATION_BOUNDS = sizeof KOR_DURATION_BOUNDS_MS / sizeof(int);

void kor_countChannelOpened(int type);
void kor_countChannelClosed(int type);
// Received bytes of a channel: `stored` of `length` went into its queue; from:
// a datagram's sender (null for the other transports).
void kor_noteReceived(int handle, int type, const char* data, int length, int stored,
                      const CtlSockAddrIn* from = nullptr);
// Sent bytes of a channel (result of the transport send: count, 0 or < 0).
void kor_noteSent(int handle, int type, const char* data, int length, int result);
void kor_countPositionTick(bool sent);
void kor_countSpeedTick(bool written);
void kor_countFtpTransfer(int code);
void kor_countMail(int result);
void kor_countAdminSession();

// ---------------------------------------------------------------- admin replies

// Reply bodies of the admin extension requests, written into buf (size
// bytes); return the length. Entries and lines after sequence `since`.
int kor_journalText(std::uint64_t since, char* buf, int size);
int kor_consoleText(std::uint64_t since, char* buf, int size);
int kor_countersText(char* buf, int size);
// A channel was opened (the serving task, before it serves): its endpoints
// for the capture; peer may be null (serial) and is the destination of UDP.
void kor_captureOpened(int handle, int type, int socket, const char* peer, unsigned peerPort);
// The largest body of the ":capture" reply to this payload (a read needs room
// for what the stream holds, the switches only for their result).
int kor_captureBodyMax(const char* payload, int payloadLength);
// The ":capture" request: payload "on H", "off H" (H a handle or "all"),
// "read H"; the reply body (see docs/commands.md).
int kor_captureRequest(const char* payload, int payloadLength, char* buf, int size);
