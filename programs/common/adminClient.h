// The client of the admin port that koradmin and kordash share: one short
// session per use. The server serves one client at a time, so a session is
// opened, used for a few requests and ended with ":q" at once. The frame
// layout comes from the server's own header (korPPComm.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace kor::admin {

// Misbehaving: the controller answered beyond what a real one can send (too
// long, too slow in coming, or not what it means); its replies are refused.
enum class LinkState { Ok, Unreachable, Busy, Broken, Misbehaving };
const char* linkStateName(LinkState state);

class AdminSession {
public:
    // Connects within timeoutMs; state() tells how that went.
    AdminSession(const std::string& host, int port, int timeoutMs);
    ~AdminSession();
    AdminSession(const AdminSession&) = delete;
    AdminSession& operator=(const AdminSession&) = delete;

    LinkState state() const { return state_; }
    const std::string& error() const { return error_; }
    // A flag that, once set, ends every wait of this session at once (the
    // program stops); it must outlive the session.
    void cancelOn(const std::atomic<bool>* flag) { cancel_ = flag; }
    // Marks the session as talking to a misbehaving controller; why in error().
    void refuse(const std::string& why);
    // The connection was refused (nothing listens on the port).
    bool refused() const { return refused_; }

    // One request; the reply, or false (state() and error() say why). The
    // reply is unframed: `expected` bytes when the size is known (a shorter
    // "-1" is the server's refusal), otherwise what arrives until the
    // server pauses for quietMs. Each reply is one send, so a short one
    // arrives whole and needs no pause; a long one may come in pieces. A
    // reply longer than the server can send for `command` (replyLimit), or
    // not complete within the time-out, is refused (Misbehaving).
    bool request(const std::string& command, const std::string& payload, std::string* reply,
                 std::size_t expected = 0, int quietMs = 0);

    // A request that gets no reply (":q"); false when it could not be sent.
    bool post(const std::string& command, const std::string& payload);

    // An extension request, whose reply is framed like a request: the body,
    // or false (an older server answers "Unknown command"; error() says so).
    bool requestFramed(const std::string& command, const std::string& payload, std::string* body);

private:
    bool receiveExactly(std::string* out, std::size_t count, int waitMs);
    bool sendFrame(const std::string& command, const std::string& payload);
    bool readable(int ms);
    int fd_ = -1;
    const std::atomic<bool>* cancel_ = nullptr;
    int timeoutMs_;
    LinkState state_ = LinkState::Ok;
    bool refused_ = false;
    std::string error_;
};

// The longest reply the server sends to an unframed request, and the longest
// body of a framed (extension) reply.
std::size_t replyLimit(const std::string& command);
std::size_t framedLimit(const std::string& command);

// One channel as the readout record (":h" n) describes it.
struct ChannelRecord {
    int handle = -1;
    int socket = -1;
    int type = -1;
    int listenHandle = -1;
    int port = -1;
    int queued = 0;
    std::string ipAddress, taskName, pipeName;
};
bool decodeReadout(const std::string& record, ChannelRecord* out);
// A channel type's name; a TCP client channel (type 1) is a plain TCP client
// or a telnet session by the command that opened it (1 or 21; 0: unknown).
const char* channelKindName(int type, int openedBy = 0);

// ":h?" reply ("0" or "3,17,19") as handles.
std::vector<int> decodeHandleList(const std::string& reply);
// ":list" reply (LF, then each name and LF) as names.
std::vector<std::string> decodeJobList(const std::string& reply);
// The job transfer record of ":ftpp"/":ftpg"; false with *error when a field does not fit.
bool transferRecord(const std::string& server, const std::string& user, const std::string& password,
                    const std::string& dir, const std::string& job, std::string* record,
                    std::string* error);
const char* transferMeaning(long code);
// Text with \r \n \t \\ and \xHH escapes as bytes.
std::string unescape(const std::string& text);

// The decoders below refuse a reply as a whole (false) when an entry is longer
// than the server writes one, a number is out of its range, or a sequence
// number is not after `after` and ascending: what a real controller cannot
// send. Sequence numbers stay below 2^53 (a page reads them as numbers).
inline constexpr std::uint64_t kSeqMax = std::uint64_t{1} << 53;

// ":journal" reply: the commands after a sequence number.
struct JournalEntry {
    std::uint64_t seq = 0;
    std::int64_t startMs = 0;  // calendar time, ms since 1970
    int durationMs = 0;
    int slot = 0;
    int id = 0;
    int result = -1;  // -1: the command wrote none
    std::string name;
    std::vector<int> params;  // p0 .. p9
    std::vector<std::string> console;
};
struct JournalPage {
    std::uint64_t next = 1;  // the sequence number the next entry gets
    std::uint64_t capacity = 0;
    std::uint64_t unrecorded = 0;  // commands that found no journal record free
    std::vector<JournalEntry> entries;
};
bool decodeJournal(const std::string& body, std::uint64_t after, JournalPage* out);

// ":console" reply: the console lines after a sequence number.
struct ConsoleLine {
    std::uint64_t seq = 0;
    std::int64_t timeMs = 0;
    std::string task;
    int count = 1;  // a "last message repeated" line stands for this many
    std::string text;
};
struct ConsolePage {
    std::uint64_t next = 1;
    std::uint64_t capacity = 0;
    std::uint64_t folded = 0;
    std::vector<ConsoleLine> lines;
};
bool decodeConsole(const std::string& body, std::uint64_t after, ConsolePage* out);

// ":counters" reply: one counter a line, its name, its keys (words) and its value.
struct Counter {
    std::string name;
    std::vector<std::string> keys;
    std::uint64_t value = 0;
};
// False when a line is not a counter the server writes (a name and keys of
// letters, digits, '_' and '-', and a value).
bool decodeCounters(const std::string& body, std::vector<Counter>* out);

// The meaning of command id's result code as a job sees it.
std::string resultMeaning(int id, int result);
// Sequence numbers missing between two entries (a reader that fell behind).
inline std::uint64_t missedBetween(std::uint64_t previous, std::uint64_t seq) {
    return seq > previous + 1 ? seq - previous - 1 : 0;
}

}  // namespace kor::admin
