// Admin port frames: a 12-byte command text, a 4-byte big-endian payload
// length and the payload, sent in one piece (the server takes one request per
// receive). The layout comes from the server's own header.
#include "adminClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string_view>
#include <system_error>

#include "korChQue.h"
#include "korCommands.h"
#include "korHandleTable.h"
#include "korObserve.h"
#include "korPPComm.h"
#include "korResults.h"
#include "transferRecord.h"
#include "transferResult.h"

namespace kor::admin {
namespace {

using Clock = std::chrono::steady_clock;

// strerror's text, thread-safe.
std::string errorText(int err) { return std::generic_category().message(err); }

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits for `events` on fd; false on time-out or error.
bool waitFor(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    for (;;) {
        int r = poll(&p, 1, ms);
        if (r < 0 && errno == EINTR) continue;
        return r > 0;
    }
}

// Connects the non-blocking socket fd, waiting at most ms: 0, or the errno of
// the failure (ETIMEDOUT when the time passed first).
int connectWithin(int fd, const sockaddr_in& addr, int ms) {
    if (fd < 0) return errno;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return 0;
    if (errno != EINPROGRESS) return errno;
    if (!waitFor(fd, POLLOUT, ms)) return ETIMEDOUT;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

int textField(const std::string& rec, std::size_t off, std::size_t size) {
    return static_cast<int>(std::strtol(rec.substr(off, size).c_str(), nullptr, 10));
}

std::string rawField(const std::string& rec, std::size_t off, std::size_t size) {
    std::string f = rec.substr(off, size);
    std::size_t nul = f.find('\0');
    return nul == std::string::npos ? f : f.substr(0, nul);
}

}  // namespace

const char* linkStateName(LinkState state) {
    switch (state) {
        case LinkState::Ok: return "reachable";
        case LinkState::Unreachable: return "unreachable";
        case LinkState::Busy: return "busy";
        case LinkState::Broken: return "broken";
        case LinkState::Misbehaving: return "misbehaving";
    }
    return "?";
}

AdminSession::AdminSession(const std::string& host, int port, int timeoutMs)
    : timeoutMs_(timeoutMs) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        state_ = LinkState::Unreachable;
        error_ = "'" + host + "' is not a dotted IPv4 address";
        return;
    }
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd_ >= 0) setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int err = connectWithin(fd_, addr, timeoutMs);
    if (err == 0) return;
    state_ = LinkState::Unreachable;
    refused_ = err == ECONNREFUSED;
    std::string why = errorText(err);
    if (err == ETIMEDOUT)
        why = "no connection within " + std::to_string(timeoutMs / 1000) +
              " s (a black-holed address, or a server whose backlog is full)";
    error_ = "cannot connect to " + host + ":" + std::to_string(port) + ": " + why;
}

AdminSession::~AdminSession() {
    if (fd_ < 0) return;
    if (state_ == LinkState::Ok) sendFrame(":q", "");
    close(fd_);
}

bool AdminSession::sendFrame(const std::string& command, const std::string& payload) {
    std::string frame(KOR_ADMIN_HEADER_SIZE, '\0');
    std::memcpy(frame.data(), command.data(), command.size());
    std::uint32_t len = htonl(static_cast<std::uint32_t>(payload.size()));
    std::memcpy(frame.data() + KOR_ADMIN_CMD_SIZE, &len, sizeof len);
    frame += payload;
    return send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(frame.size());
}

bool AdminSession::request(const std::string& command, const std::string& payload,
                           std::string* reply, std::size_t expected, int quietMs) {
    reply->clear();
    if (state_ != LinkState::Ok) return false;
    if (command.size() >= KOR_ADMIN_CMD_SIZE ||
        payload.size() > static_cast<std::size_t>(KOR_ADMIN_BUF_SIZE - 1 - KOR_ADMIN_HEADER_SIZE)) {
        error_ = "request too long for one frame";
        return false;
    }
    if (!sendFrame(command, payload)) {
        state_ = LinkState::Broken;
        error_ = "sending failed: " + errorText(errno);
        return false;
    }
    const std::size_t limit = expected != 0 ? expected : replyLimit(command);
    // One deadline for the whole reply: a controller that trickles it never
    // makes a pause, but it cannot take longer than this either.
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
    while (expected == 0 || reply->size() < expected) {
        // The first bytes may take the whole time-out (the server may be busy
        // with another client); after them, a pause ends an unframed reply.
        bool refused = expected != 0 && *reply == "-1";
        int wait = reply->empty() || (expected && !refused) ? msLeft(deadline)
                                                            : std::min(quietMs, msLeft(deadline));
        if (!readable(wait)) {
            if (!reply->empty() && msLeft(deadline) == 0 && (expected == 0 || !refused)) {
                refuse("the reply to '" + command + "' did not end within " +
                       std::to_string(timeoutMs_) + " ms");
                return false;
            }
            break;
        }
        char buf[8192];
        // One byte beyond an unframed reply's limit tells that it is too long.
        const std::size_t room = std::min(sizeof buf, limit + (expected ? 0 : 1) - reply->size());
        ssize_t n = recv(fd_, buf, room, 0);
        if (n <= 0) {
            state_ = LinkState::Broken;
            error_ = "the controller closed the connection";
            return false;
        }
        reply->append(buf, static_cast<std::size_t>(n));
        if (reply->size() > limit) {
            refuse("the reply to '" + command + "' is longer than the " + std::to_string(limit) +
                   " bytes a controller sends");
            return false;
        }
    }
    if (cancel_ && cancel_->load()) {
        state_ = LinkState::Broken;
        error_ = "kordash stops";
        return false;
    }
    if (reply->empty()) {
        state_ = LinkState::Busy;
        error_ = "no reply within " + std::to_string(timeoutMs_) +
                 " ms (the admin port serves another client)";
        return false;
    }
    return true;
}

void AdminSession::refuse(const std::string& why) {
    state_ = LinkState::Misbehaving;
    error_ = why;
}

// Waits for the reply's next bytes in short slices, so that a cancel flag
// ends the wait at once.
bool AdminSession::readable(int ms) {
    constexpr int kSliceMs = 50;
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (cancel_ && cancel_->load()) return false;
        const int left = msLeft(deadline);
        if (waitFor(fd_, POLLIN, cancel_ ? std::min(left, kSliceMs) : left)) return true;
        if (msLeft(deadline) == 0) return false;
    }
}

bool AdminSession::post(const std::string& command, const std::string& payload) {
    if (state_ != LinkState::Ok || sendFrame(command, payload)) return state_ == LinkState::Ok;
    state_ = LinkState::Broken;
    error_ = "sending failed: " + errorText(errno);
    return false;
}

bool AdminSession::receiveExactly(std::string* out, std::size_t count, int waitMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    char buf[8192];
    while (out->size() < count) {
        if (!readable(msLeft(deadline))) {
            state_ = out->empty() ? LinkState::Busy : LinkState::Misbehaving;
            error_ = "no whole reply within " + std::to_string(waitMs) + " ms";
            if (cancel_ && cancel_->load()) {
                state_ = LinkState::Broken;
                error_ = "kordash stops";
            }
            return false;
        }
        const std::size_t want = std::min(sizeof buf, count - out->size());
        const ssize_t n = recv(fd_, buf, want, 0);
        if (n <= 0) {
            state_ = LinkState::Broken;
            error_ = "the controller closed the connection";
            return false;
        }
        out->append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

bool AdminSession::requestFramed(const std::string& command, const std::string& payload,
                                 std::string* body) {
    body->clear();
    if (state_ != LinkState::Ok) return false;
    if (!sendFrame(command, payload)) {
        state_ = LinkState::Broken;
        error_ = "sending failed: " + errorText(errno);
        return false;
    }
    std::string header;
    if (!receiveExactly(&header, KOR_ADMIN_HEADER_SIZE, timeoutMs_)) {
        // An older server's "Unknown command" is shorter than a header.
        if (header.rfind("Unknown command", 0) == 0)
            error_ = "the controller does not know '" + command + "' (an older version)";
        return false;
    }
    if (header.compare(0, command.size(), command) != 0 || header[command.size()] != '\0') {
        refuse("the reply is not framed as '" + command + "'");
        return false;
    }
    const auto* b = reinterpret_cast<const unsigned char*>(header.data() + KOR_ADMIN_CMD_SIZE);
    const std::size_t length = (std::size_t{b[0]} << 24) | (std::size_t{b[1]} << 16) |
                               (std::size_t{b[2]} << 8) | b[3];
    if (length > framedLimit(command)) {
        refuse("reply length " + std::to_string(length) + " to '" + command + "' is beyond the " +
               std::to_string(framedLimit(command)) + " bytes a controller sends");
        return false;
    }
    return receiveExactly(body, length, timeoutMs_);
}

std::size_t replyLimit(const std::string& command) {
    // A queue's copy, or the B variables asked for; the rest (":v", ":h?",
    // ":list", results) comes from the server's reply buffer.
    if (command.rfind(":ir", 0) == 0) return KORCHQUE_CAPACITY;
    if (command.rfind(":gb", 0) == 0) return KOR_ADMIN_GB_MAX;
    return KOR_ADMIN_LIST_MAX;
}

std::size_t framedLimit(const std::string& command) {
    if (command == KOR_ADMIN_JOURNAL || command == KOR_ADMIN_CONSOLE ||
        command == KOR_ADMIN_COUNTERS)
        return KOR_ADMIN_TEXT_BODY_MAX;
    return KOR_ADMIN_EXT_BODY_MAX;
}

bool decodeReadout(const std::string& rec, ChannelRecord* out) {
    if (rec.size() != static_cast<std::size_t>(KOR_ADMIN_READOUT_SIZE)) return false;
    out->handle = textField(rec, 0, 12);
    out->socket = textField(rec, 12, 12);
    out->ipAddress = rawField(rec, 48, 16);
    out->listenHandle = textField(rec, 64, 12);
    out->type = textField(rec, 76, 12);
    out->taskName = rawField(rec, 100, 32);
    out->pipeName = rawField(rec, 132, 40);
    out->port = textField(rec, 184, 12);
    out->queued = textField(rec, 196, 12);
    return true;
}

const char* channelKindName(int type, int openedBy) {
    switch (type) {
        case 1:
            return openedBy == 1    ? "TCP client"
                   : openedBy == 21 ? "telnet"
                                    : "TCP client or telnet";
        case 2: return "TCP listener";
        case 3: return "accepted client";
        case 4: return "serial";
        case 5: return "UDP";
        default: return "opening";
    }
}

std::vector<int> decodeHandleList(const std::string& reply) {
    std::vector<int> handles;
    if (reply == "0") return handles;
    std::size_t start = 0;
    while (start < reply.size()) {
        std::size_t comma = reply.find(',', start);
        std::string item = reply.substr(start, comma == std::string::npos ? std::string::npos
                                                                          : comma - start);
        if (!item.empty() && std::isdigit(static_cast<unsigned char>(item[0]))) {
            const long h = std::strtol(item.c_str(), nullptr, 10);
            if (h >= 0 && h <= KOR_LAST_HANDLE) handles.push_back(static_cast<int>(h));
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return handles;
}

std::vector<std::string> decodeJobList(const std::string& reply) {
    std::vector<std::string> names;
    std::size_t start = reply.empty() || reply[0] != '\n' ? 0 : 1;
    while (start < reply.size()) {
        std::size_t end = reply.find('\n', start);
        if (end == std::string::npos) end = reply.size();
        if (end > start) names.push_back(reply.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

bool transferRecord(const std::string& server, const std::string& user, const std::string& password,
                    const std::string& dir, const std::string& job, std::string* record,
                    std::string* error) {
    int room = 0;
    const char* bad = kor::buildTransferRecord({server, user, password, dir, job}, record, &room);
    if (bad != nullptr)
        *error = std::string(bad) + " holds at most " + std::to_string(room) + " characters";
    return bad == nullptr;
}

const char* transferMeaning(long code) { return kor::transferResultMeaning(code); }

std::string unescape(const std::string& in) {
    std::string out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\' || i + 1 >= in.size()) {
            out += in[i];
            continue;
        }
        char c = in[++i];
        bool hex = c == 'x' && i + 2 < in.size() &&
                   std::isxdigit(static_cast<unsigned char>(in[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(in[i + 2]));
        if (c == 'r') out += '\r';
        else if (c == 'n') out += '\n';
        else if (c == 't') out += '\t';
        else if (hex) {
            out += static_cast<char>(std::strtol(in.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else out += c;
    }
    return out;
}

namespace {

// The lines of a reply body.
std::vector<std::string> linesOf(const std::string& body) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < body.size()) {
        std::size_t end = body.find('\n', start);
        if (end == std::string::npos) end = body.size();
        lines.push_back(body.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The header line "X next capacity third", each in its range.
bool pageHeader(const std::string& line, char tag, std::uint64_t capacityMax, std::uint64_t* next,
                std::uint64_t* capacity, std::uint64_t* third) {
    std::istringstream in(line);
    std::string t, rest;
    return static_cast<bool>(in >> t >> *next >> *capacity >> *third) && !(in >> rest) &&
           t.size() == 1 && t[0] == tag && *next >= 1 && *next <= kSeqMax &&
           *capacity <= capacityMax && *third < kSeqMax;
}

// Calendar times from 1970 up to the year 9999.
bool plausibleTime(std::int64_t ms) { return ms >= 0 && ms < 253402300800000; }

// A sequence number after `*last` and before `next`; moves *last on.
bool inSequence(std::uint64_t seq, std::uint64_t next, std::uint64_t* last) {
    if (seq <= *last || seq >= next) return false;
    *last = seq;
    return true;
}

// Every field read and nothing behind them, so "12x" is no number.
bool wholeFields(std::istringstream& in) {
    std::string rest;
    return !in.fail() && !(in >> rest);
}

bool journalEntry(const std::string& line, JournalEntry* e) {
    std::istringstream in(line.substr(2));
    if (!(in >> e->seq >> e->startMs >> e->durationMs >> e->slot >> e->id >> e->result >> e->name))
        return false;
    e->params.assign(KOR_JOURNAL_PARAMS, 0);
    for (int& p : e->params)
        if (!(in >> p)) return false;
    // The name is the core's for the id ("?" for an id it does not know).
    const char* known = korCommandName(e->id);
    return wholeFields(in) && plausibleTime(e->startMs) && e->durationMs >= 0 && e->slot >= 0 &&
           e->name == (known ? known : "?");
}

}  // namespace

bool decodeJournal(const std::string& body, std::uint64_t after, JournalPage* out) {
    const std::vector<std::string> lines = linesOf(body);
    if (lines.empty() || !pageHeader(lines[0], 'J', KOR_JOURNAL_MAX_ENTRIES, &out->next,
                                     &out->capacity, &out->unrecorded))
        return false;
    out->entries.clear();
    std::uint64_t last = after;
    std::size_t text = 0;  // console text of the last entry
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.rfind("E ", 0) == 0) {
            JournalEntry e;
            if (!journalEntry(line, &e) || !inSequence(e.seq, out->next, &last)) return false;
            out->entries.push_back(std::move(e));
            text = 0;
        } else if (line.rfind("L ", 0) == 0 && !out->entries.empty()) {
            text += line.size() - 1;  // the text and its line end
            if (text > static_cast<std::size_t>(KOR_JOURNAL_TEXT)) return false;
            out->entries.back().console.push_back(line.substr(2));
        } else if (!line.empty()) {
            return false;
        }
    }
    return true;
}

bool decodeConsole(const std::string& body, std::uint64_t after, ConsolePage* out) {
    const std::vector<std::string> lines = linesOf(body);
    if (lines.empty() ||
        !pageHeader(lines[0], 'C', KOR_CONSOLE_LINES, &out->next, &out->capacity, &out->folded))
        return false;
    out->lines.clear();
    std::uint64_t last = after;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::istringstream in(lines[i]);
        ConsoleLine l;
        if (!(in >> l.seq >> l.timeMs >> l.task >> l.count)) return false;
        const auto at = in.tellg();
        l.text = at < 0 ? std::string() : lines[i].substr(static_cast<std::size_t>(at) + 1);
        if (!inSequence(l.seq, out->next, &last) || !plausibleTime(l.timeMs) || l.count < 1 ||
            l.task.size() >= static_cast<std::size_t>(KOR_CONSOLE_TASK) ||
            l.text.size() >= static_cast<std::size_t>(KOR_CONSOLE_LINE))
            return false;
        out->lines.push_back(std::move(l));
    }
    return true;
}

namespace {

bool counterChar(unsigned char c) { return std::isalnum(c) || c == '_' || c == '-'; }

// What the stream extraction of a word skips: the C locale's white space.
bool blank(unsigned char c) { return std::isspace(c) != 0; }

// The value of a counter line: digits only, below kSeqMax.
bool counterValue(std::string_view w, std::uint64_t* out) {
    std::uint64_t v = 0;
    for (unsigned char c : w) {
        if (!std::isdigit(c)) return false;
        v = v * 10 + (c - '0');
        if (v >= kSeqMax) return false;
    }
    *out = v;
    return !w.empty();
}

// One line's words into *c, reusing its strings' storage; false when it is
// no counter line. *words: how many the line held (0: a blank line).
bool counterLine(std::string_view line, Counter* c, std::size_t* words) {
    std::string_view last;
    std::size_t n = 0, keys = 0;
    for (std::size_t i = 0; i < line.size();) {
        if (blank(static_cast<unsigned char>(line[i]))) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < line.size() && !blank(static_cast<unsigned char>(line[end]))) ++end;
        // The word before this one was a name or a key: it must be a word.
        if (n > 0 && !std::all_of(last.begin(), last.end(), counterChar)) return false;
        if (n == 1) c->name.assign(last);
        if (n >= 2) {
            if (keys == c->keys.size()) c->keys.emplace_back();
            c->keys[keys++].assign(last);
        }
        last = line.substr(i, end - i);
        ++n;
        i = end;
    }
    *words = n;
    if (n == 0) return true;
    c->keys.resize(keys);
    return n >= 2 && counterValue(last, &c->value);
}

}  // namespace

// A reading a second for every controller a kordash watches: decoded in
// place, so that the strings of the last reading's vector are used again.
bool decodeCounters(const std::string& body, std::vector<Counter>* out) {
    const std::string_view text(body);
    std::size_t count = 0;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        if (count == out->size()) out->emplace_back();
        std::size_t words = 0;
        if (!counterLine(text.substr(start, end - start), &(*out)[count], &words)) {
            out->resize(count);
            return false;
        }
        if (words > 0) ++count;
        start = end + 1;
    }
    out->resize(count);
    return true;
}

std::string resultMeaning(int id, int result) {
    const std::string status = "failed (status " + std::to_string(result - KOR_RES_DONE) + ")";
    if (korIsServiceCommand(id) && korResultFailed(result))
        return id == KOR_PING_COMMAND && result == KOR_RES_FAILED ? "no answer" : status;
    if (const char* meaning = korResultMeaning(result)) return meaning;
    return korResultFailed(result) ? status : "value";
}

}  // namespace kor::admin
