// kordash's side of the admin port: one short session per refresh or action.
// The server serves one client at a time, so a session is opened, used for a
// few requests and ended with ":q" at once.
#pragma once

#include <string>
#include <vector>

namespace kordash {

enum class LinkState { Ok, Unreachable, Busy, Broken };
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

    // One request; the reply, or false (state() and error() say why). The
    // reply is unframed: `expected` bytes when the size is known (a shorter
    // "-1" is the server's refusal), otherwise what arrives until the
    // server pauses for quietMs. Each reply is one send, so a short one
    // arrives whole and needs no pause; a long one may come in pieces.
    bool request(const std::string& command, const std::string& payload, std::string* reply,
                 std::size_t expected = 0, int quietMs = 0);

private:
    bool sendFrame(const std::string& command, const std::string& payload);
    int fd_ = -1;
    int timeoutMs_;
    LinkState state_ = LinkState::Ok;
    std::string error_;
};

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
const char* channelKindName(int type);

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

}  // namespace kordash
