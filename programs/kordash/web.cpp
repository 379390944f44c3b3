#include "web.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <random>
#include <system_error>
#include <thread>
#include <vector>

#include "actions.h"
#include "korNumbers.h"
#include "kordashAssets.h"
#include "pcapng.h"

namespace kordash {
namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;
constexpr const char* kCookie = "kordash_session";
constexpr std::size_t kMaxSessions = 64;
// One event loop serves every connection, so a connection costs memory, not a
// thread: these bound what any number of clients can take (about 34 MB).
constexpr unsigned kConnectionLimit = 1000;
constexpr unsigned kPerAddressLimit = 100;
constexpr std::size_t kConnectionMemory = 16 * 1024;  // a request's headers must fit
constexpr std::size_t kMaxBody = 16 * 1024;           // the largest action (a send) needs 10 KiB
constexpr unsigned kIdleTimeoutSeconds = 15;
constexpr int kListenBacklog = 511;
// Actions wait for the admin port in threads of their own: so many for each
// controller (a silent one takes none needed by another), and one scrape
// that waits for fresh counters.
constexpr int kMaxActionsRunning = 4;
constexpr int kMaxScrapesWaiting = 1;
// Above this many connections, the idle ones of the address that holds most
// are closed first, so that a new address always finds room below the limit.
constexpr unsigned kPressure = kConnectionLimit * 4 / 5;
// A TLS connection must finish its handshake and send a request this soon.
constexpr unsigned kHandshakeSeconds = 3;
constexpr auto kKeepAliveEvery = std::chrono::seconds(10);
// An overview page gets at most one event in this time: with a few hundred
// controllers a row changes every few milliseconds, and each event carries
// every row.
constexpr auto kOverviewGap = std::chrono::milliseconds(250);
constexpr std::size_t kMaxFailedAddresses = 4096;

// Log-in sessions: random ids handed out for the token, so the cookie never
// carries the secret itself.
class Sessions {
public:
    std::string create() {
        std::random_device rd;
        std::string id;
        for (int k = 0; k < 8; ++k) {
            char part[9];
            std::snprintf(part, sizeof part, "%08x", rd());
            id += part;
        }
        std::lock_guard lock(mutex_);
        ids_.push_back(id);
        if (ids_.size() > kMaxSessions) ids_.pop_front();
        return id;
    }
    bool valid(const std::string& id) {
        std::lock_guard lock(mutex_);
        return !id.empty() && std::find(ids_.begin(), ids_.end(), id) != ids_.end();
    }
    // Failed log-ins slow down guessing: one try per second from an address
    // after a failure there, and all addresses that failed before share
    // kFailuresPerMinute tries a minute. An address that never failed (the
    // engineer's) always has its try, so no guesser can lock it out.
    bool mayTry(const std::string& address) {
        std::lock_guard lock(mutex_);
        refill();
        auto it = failed_.find(address);
        if (it == failed_.end()) return true;
        return Clock::now() >= it->second.next && budget_ >= 1;
    }
    void failed(const std::string& address) {
        std::lock_guard lock(mutex_);
        refill();
        budget_ = std::max(0.0, budget_ - 1);
        const auto now = Clock::now();
        std::erase_if(failed_,
                      [now](const auto& item) { return now - item.second.last > kRemember; });
        if (failed_.size() >= kMaxFailedAddresses && !failed_.count(address))
            failed_.erase(
                std::min_element(failed_.begin(), failed_.end(), [](const auto& a, const auto& b) {
                    return a.second.last < b.second.last;
                }));
        failed_[address] = {now + std::chrono::seconds(1), now};
    }

private:
    static constexpr double kFailuresPerMinute = 60;
    static constexpr auto kRemember = std::chrono::minutes(10);
    struct Failure {
        Clock::time_point next, last;  // the next try allowed, the last failure
    };
    void refill() {
        const auto now = Clock::now();
        const double minutes = std::chrono::duration<double>(now - refilled_).count() / 60;
        budget_ = std::min(kFailuresPerMinute, budget_ + minutes * kFailuresPerMinute);
        refilled_ = now;
    }
    std::mutex mutex_;
    std::deque<std::string> ids_;
    std::map<std::string, Failure> failed_;
    double budget_ = kFailuresPerMinute;
    Clock::time_point refilled_ = Clock::now();
};

// Compares in time independent of where the texts differ.
bool sameSecret(const std::string& given, const std::string& secret) {
    if (secret.empty() || given.size() != secret.size()) return false;
    unsigned diff = 0;
    for (std::size_t k = 0; k < secret.size(); ++k)
        diff |= static_cast<unsigned char>(given[k] ^ secret[k]);
    return diff == 0;
}

const Asset* findAsset(const std::string& path) {
    for (std::size_t k = 0; k < kAssetCount; ++k)
        if (path == kAssets[k].path) return &kAssets[k];
    return nullptr;
}

std::string lookup(MHD_Connection* c, MHD_ValueKind kind, const char* name) {
    const char* v = MHD_lookup_connection_value(c, kind, name);
    return v ? v : "";
}

std::string clientAddress(MHD_Connection* c) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char text[INET6_ADDRSTRLEN] = "";
    if (info && info->client_addr && info->client_addr->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(info->client_addr)->sin_addr, text,
                  sizeof text);
    return text;
}

// Without a token the page relies on loopback alone: refuse a Host name that
// a foreign site could have pointed at 127.0.0.1 (DNS rebinding).
bool hostAllowed(MHD_Connection* c) {
    std::string host = lookup(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
    host = host.substr(0, host.rfind(':'));
    return host == "localhost" || isLoopback(host);
}

MHD_Result queue(MHD_Connection* c, int status, MHD_Response* r,
                 const std::vector<std::pair<std::string, std::string>>& extra = {}) {
    if (!r) return MHD_NO;
    MHD_add_response_header(r, "Cache-Control", "no-store");
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r, "Content-Security-Policy",
                            "default-src 'self'; img-src 'self' data:; style-src 'self' "
                            "'unsafe-inline'; frame-ancestors 'none'");
    for (const auto& [name, value] : extra) MHD_add_response_header(r, name.c_str(), value.c_str());
    MHD_Result ok = MHD_queue_response(c, static_cast<unsigned>(status), r);
    MHD_destroy_response(r);
    return ok;
}

MHD_Result respond(MHD_Connection* c, int status, const std::string& body, const char* type,
                   const std::vector<std::pair<std::string, std::string>>& extra = {}) {
    MHD_Response* r = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (r) MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    return queue(c, status, r, extra);
}

// A large body (a capture file, a scrape of many controllers) is handed over
// as it is, not copied once more.
MHD_Result respondOwned(MHD_Connection* c, int status, std::string&& body, const char* type,
                        const std::vector<std::pair<std::string, std::string>>& extra = {}) {
    auto* owned = new std::string(std::move(body));
    MHD_Response* r = MHD_create_response_from_buffer_with_free_callback_cls(
        owned->size(), owned->data(), [](void* text) { delete static_cast<std::string*>(text); },
        owned);
    if (!r) {
        delete owned;
        return MHD_NO;
    }
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    return queue(c, status, r, extra);
}

MHD_Result sendAsset(MHD_Connection* c, const char* path, int status = MHD_HTTP_OK) {
    const Asset* a = findAsset(path);
    MHD_Response* r = MHD_create_response_from_buffer(a->size, const_cast<unsigned char*>(a->data),
                                                      MHD_RESPMEM_PERSISTENT);
    if (r) MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, a->type);
    return queue(c, status, r);
}

// A refused action is still a good exchange: the page shows "ok" and "message".
std::string jsonText(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

int intParam(MHD_Connection* c, const char* name, int fallback, int lo, int hi) {
    const char* v = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, name);
    long long n = 0;
    return v && kor::parseInt(v, lo, hi, &n) ? static_cast<int>(n) : fallback;
}

Interest interestOf(MHD_Connection* c) {
    Interest in;
    in.address = clientAddress(c);
    in.channel = intParam(c, "channel", -1, 0, kLastHandle);
    in.bStart = intParam(c, "b", 0, 0, 65535);
    in.bCount = std::min(intParam(c, "n", 0, 0, kMaxBCount), 65536 - in.bStart);
    const std::string kind = lookup(c, MHD_GET_ARGUMENT_KIND, "vk");
    in.vars.kind = kind.size() == 1 && std::string("IDRSP").find(kind[0]) != std::string::npos
                       ? kind[0]
                       : 'I';
    in.vars.start = intParam(c, "vs", 0, 0, 65535);
    in.vars.count = intParam(c, "vn", 20, 1, kMaxVarWindow);
    const std::string logs = lookup(c, MHD_GET_ARGUMENT_KIND, "logs");
    in.logs.journal = logs.find("journal") != std::string::npos;
    in.logs.console = logs.find("console") != std::string::npos;
    in.logs.capture = intParam(c, "capture", -1, 1, kLastHandle);
    return in;
}

bool isLogRoute(const std::string& url) {
    return url == "/api/journal" || url == "/api/console" || url == "/api/capture" ||
           url == "/api/capture.pcapng";
}

// "after": a page's last journal or console index (0: everything kept).
std::uint64_t afterParam(MHD_Connection* c) {
    const char* v = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "after");
    if (!v || *v < '0' || *v > '9') return 0;
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = std::strtoull(v, &end, 10);
    return *end || errno ? 0 : n;
}

// One request while it is read and answered.
struct Request {
    std::string body;
    bool bodyTooBig = false;
    std::atomic<bool> done{false};  // an action's worker has set status and reply
    bool running = false;
    int status = MHD_HTTP_OK;
    std::string reply;
    std::string type = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;
    int pcapng = -1;  // the reply is this channel's capture, sent as a pcapng file
};

class Server;

// One accepted connection, as the pressure valve sees it.
struct Conn {
    std::string address;
    int fd = -1;
    bool busy = false;  // answering: a stream or a worker runs for it
    bool shed = false;  // closed by the valve, not yet gone
};

// One page's event stream: a snapshot whenever a new one is published, a
// comment line now and then so that a vanished browser is noticed. While
// there is nothing to send, its connection is suspended (it costs no turn of
// the event loop) until the next snapshot resumes it.
struct Stream {
    Server* server = nullptr;
    MHD_Connection* connection = nullptr;
    Dashboard* dash = nullptr;  // null: the overview of every controller
    std::vector<std::shared_ptr<Dashboard::Watch>> watches;
    std::uint64_t seen = 0;
    std::uint64_t overviewSeen = 0;  // the overview's generation last sent
    Clock::time_point overviewAt{};  // when it was sent
    Clock::time_point heldUntil{};   // an overview event held back for its gap: parked till then
    std::string pending;
    std::size_t sent = 0;
    Clock::time_point lastWrite = Clock::now();
    bool gone = false;  // its page went away while it was parked
};

// Whether the client of a connection has closed its end (or it broke): a
// page's event stream never sends anything after its request.
bool peerGone(MHD_Connection* c) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (!info) return false;
    pollfd p{info->connect_fd, POLLIN | POLLRDHUP, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

class Server {
public:
    Server(Fleet& fleet, const WebOptions& opt) : fleet_(fleet), opt_(opt) {}

    bool start(int listener, std::string* error);
    void stop();

    static MHD_Result onRequest(void* cls, MHD_Connection* c, const char* url, const char* method,
                                const char*, const char* upload, std::size_t* uploadSize,
                                void** context);
    static void onCompleted(void* cls, MHD_Connection* c, void** context,
                            MHD_RequestTerminationCode) {
        static_cast<Server*>(cls)->markBusy(c, false);
        delete static_cast<Request*>(*context);
        *context = nullptr;
    }
    static void onConnection(void* cls, MHD_Connection* c, void** socketContext,
                             MHD_ConnectionNotificationCode code);
    static ssize_t streamRead(void* cls, std::uint64_t, char* buf, std::size_t max);
    static void streamFree(void* cls);

private:
    MHD_Result handle(MHD_Connection* c, const std::string& url, const std::string& method,
                      Request& req);
    bool gate(MHD_Connection* c, const std::string& url, const std::string& method,
              MHD_Result* result);
    MHD_Result login(MHD_Connection* c, const Request& req);
    MHD_Result eventStream(MHD_Connection* c, Dashboard* dash);
    MHD_Result openStream(MHD_Connection* c, Stream* s);
    Dashboard* pick(MHD_Connection* c);
    MHD_Result runAction(MHD_Connection* c, Request& req, const std::string& url, Dashboard& dash);
    // Runs work in a thread of its own with the connection suspended; busy()
    // answers instead when too many run already.
    // `owner` is the controller the work is for (null: a scrape); each has
    // workers of its own.
    MHD_Result runWorker(MHD_Connection* c, Request& req, const void* owner,
                         std::function<void(Request&)> work,
                         const std::function<MHD_Result()>& busy = nullptr);
    void opened(MHD_Connection* c, void** socketContext);
    void closed(void** socketContext);
    void markBusy(MHD_Connection* c, bool busy);
    void relievePressure();
    MHD_Result logRoute(MHD_Connection* c, Request& req, const std::string& url, Dashboard* dash);
    MHD_Result sendPcapng(MHD_Connection* c, int handle, std::string body);
    bool scraperAllowed(MHD_Connection* c, MHD_Result* result);
    MHD_Result metrics(MHD_Connection* c, Request& req);
    void wakeStreams();
    bool park(Stream& s);
    void dropGoneStreams();

    Fleet& fleet_;
    const WebOptions& opt_;
    Sessions sessions_;
    MHD_Daemon* daemon_ = nullptr;
    std::thread waker_;

    std::mutex mutex_;  // guards everything below
    std::condition_variable workersDone_;
    bool stopping_ = false;
    int workers_ = 0;
    std::map<const void*, int> workersFor_;
    std::vector<Stream*> parked_;
    // When the first overview event held back for its gap is due (max: none is).
    Clock::time_point heldUntil_ = Clock::time_point::max();
    // Overview streams open: while there are, the waker looks every gap, so
    // that an event held back after its last look waits no longer.
    int overviewStreams_ = 0;

    std::mutex connMutex_;                             // guards the connections below
    std::map<std::string, std::vector<Conn*>> conns_;  // by address
    unsigned connCount_ = 0;
};

bool Server::start(int listener, std::string* error) {
    unsigned flags = MHD_USE_POLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME;
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_LISTEN_SOCKET, listener, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, kPerAddressLimit, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(kConnectionMemory), nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutSeconds, nullptr},
        // A two-pointer option: the function goes in as the value.
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Server::onCompleted), this},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&Server::onConnection), this}};
    if (opt_.tls.enabled()) {
        if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
            *error = "this libmicrohttpd was built without TLS";
            return false;
        }
        flags |= MHD_USE_TLS;
        options.push_back(
            {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(opt_.tls.certificate.c_str())});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(opt_.tls.key.c_str())});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &Server::onRequest, this,
                               MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
    if (!daemon_) {
        *error = "cannot start the web server";
        return false;
    }
    waker_ = std::thread([this] { wakeStreams(); });
    return true;
}

// Resumes the parked streams at every new snapshot (and every kKeepAliveEvery,
// or when an overview event held back is due).
void Server::wakeStreams() {
    std::uint64_t pulse = 0;
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kKeepAliveEvery);
    for (;;) {
        fleet_.nextPulse(pulse, wait, &pulse);
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        // An overview stream whose event is held back stays parked until its
        // gap ends: a fleet's rows pulse a few hundred times a second, and
        // each turn of it looks at every controller's watch.
        heldUntil_ = Clock::time_point::max();
        std::erase_if(parked_, [&](Stream* s) {
            if (!stopping_ && s->heldUntil > now) {
                heldUntil_ = std::min(heldUntil_, s->heldUntil);
                return false;
            }
            MHD_resume_connection(s->connection);
            return true;
        });
        if (stopping_) return;
        const Clock::duration look = overviewStreams_ > 0 ? Clock::duration(kOverviewGap)
                                                          : Clock::duration(kKeepAliveEvery);
        const auto until = std::min(heldUntil_, now + look);
        wait = std::chrono::ceil<std::chrono::milliseconds>(until - now);
    }
}

void Server::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    // Ends every admin session's wait at once, the workers' too, and the waker's wait.
    fleet_.stop();
    {
        std::unique_lock lock(mutex_);
        workersDone_.wait(lock, [this] { return workers_ == 0; });
    }
    if (waker_.joinable()) waker_.join();
    MHD_stop_daemon(daemon_);
}

void Server::onConnection(void* cls, MHD_Connection* c, void** socketContext,
                          MHD_ConnectionNotificationCode code) {
    auto* self = static_cast<Server*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) self->opened(c, socketContext);
    else self->closed(socketContext);
}

void Server::opened(MHD_Connection* c, void** socketContext) {
    // A handshake that stalls gets a short limit (set back at its first request).
    if (opt_.tls.enabled())
        MHD_set_connection_option(c, MHD_CONNECTION_OPTION_TIMEOUT, kHandshakeSeconds);
    const MHD_ConnectionInfo* fd = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    auto* conn = new Conn;
    conn->address = clientAddress(c);
    conn->fd = fd ? fd->connect_fd : -1;
    *socketContext = conn;
    std::lock_guard lock(connMutex_);
    conns_[conn->address].push_back(conn);
    ++connCount_;
    relievePressure();
}

void Server::closed(void** socketContext) {
    auto* conn = static_cast<Conn*>(*socketContext);
    if (!conn) return;
    {
        std::lock_guard lock(connMutex_);
        auto it = conns_.find(conn->address);
        if (it != conns_.end()) {
            std::erase(it->second, conn);
            if (it->second.empty()) conns_.erase(it);
        }
        --connCount_;
    }
    delete conn;
    *socketContext = nullptr;
}

void Server::markBusy(MHD_Connection* c, bool busy) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (!info || !info->socket_context) return;
    std::lock_guard lock(connMutex_);
    static_cast<Conn*>(info->socket_context)->busy = busy;
}

// Caller holds connMutex_. Above kPressure connections, closes idle ones of
// the address that holds most (shutdown: the event loop then sees the end and
// forgets them), so that an address holding few always gets in.
void Server::relievePressure() {
    if (connCount_ <= kPressure) return;
    unsigned live = 0;
    for (const auto& [address, list] : conns_)
        for (const Conn* conn : list) live += conn->shed ? 0 : 1;
    while (live > kPressure) {
        std::vector<Conn*>* most = nullptr;
        std::size_t mostIdle = 0;
        for (auto& [address, list] : conns_) {
            const auto idle = static_cast<std::size_t>(
                std::count_if(list.begin(), list.end(),
                              [](const Conn* k) { return !k->busy && !k->shed; }));
            if (idle > mostIdle) {
                mostIdle = idle;
                most = &list;
            }
        }
        if (!most) return;
        // Its oldest idle connection first.
        for (Conn* conn : *most)
            if (!conn->busy && !conn->shed) {
                conn->shed = true;
                if (conn->fd >= 0) shutdown(conn->fd, SHUT_RDWR);
                --live;
                break;
            }
    }
}

MHD_Result Server::onRequest(void* cls, MHD_Connection* c, const char* url, const char* method,
                             const char*, const char* upload, std::size_t* uploadSize,
                             void** context) {
    auto* self = static_cast<Server*>(cls);
    if (!*context) {
        auto* req = new Request;
        *context = req;
        // The handshake is done: the usual idle limit from now on.
        if (self->opt_.tls.enabled())
            MHD_set_connection_option(c, MHD_CONNECTION_OPTION_TIMEOUT, kIdleTimeoutSeconds);
        const std::string length = lookup(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
        if (!length.empty() && std::strtoull(length.c_str(), nullptr, 10) > kMaxBody)
            return respond(c, MHD_HTTP_CONTENT_TOO_LARGE, "the request body is too large",
                           "text/plain");
        if (std::strcmp(method, "POST") == 0) return MHD_YES;  // the body follows
    }
    auto& req = *static_cast<Request*>(*context);
    if (req.running && !req.done) return MHD_YES;
    if (*uploadSize > 0) {
        // A chunked body has no length up front: it is cut off here.
        if (req.body.size() + *uploadSize > kMaxBody) return MHD_NO;
        req.body.append(upload, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    try {
        return self->handle(c, url, method, req);
    } catch (const std::exception&) {
        return respond(c, MHD_HTTP_INTERNAL_SERVER_ERROR, "kordash could not answer this request",
                       "text/plain");
    }
}

// Every request but the log-in needs the session cookie when a token is
// set, and every change needs the page's own header (a foreign site's form
// cannot send it). True when the request may go on.
bool Server::gate(MHD_Connection* c, const std::string& url, const std::string& method,
                  MHD_Result* result) {
    if (opt_.token.empty() && !hostAllowed(c)) {
        *result = respond(c, MHD_HTTP_FORBIDDEN, "kordash answers only to loopback names",
                          "text/plain");
        return false;
    }
    if (url == "/metrics" && !opt_.token.empty() &&
        !sessions_.valid(lookup(c, MHD_COOKIE_KIND, kCookie)))
        return scraperAllowed(c, result);
    if (!opt_.token.empty() && url != "/login" && url != "/style.css" &&
        !sessions_.valid(lookup(c, MHD_COOKIE_KIND, kCookie))) {
        *result = sendAsset(c, "/login.html", MHD_HTTP_UNAUTHORIZED);
        return false;
    }
    if (method == "POST" && url.rfind("/api/", 0) == 0 &&
        lookup(c, MHD_HEADER_KIND, "X-Kordash") != "1") {
        *result = respond(c, MHD_HTTP_FORBIDDEN, "changes come from the dashboard page only",
                          "text/plain");
        return false;
    }
    return true;
}

MHD_Result Server::handle(MHD_Connection* c, const std::string& url, const std::string& method,
                          Request& req) {
    if (req.done && req.pcapng >= 0) return sendPcapng(c, req.pcapng, std::move(req.reply));
    if (req.done) {
        // A worker's reply (a capture file may be tens of MB) goes out without a copy.
        return respondOwned(c, req.status, std::move(req.reply), req.type.c_str(), req.headers);
    }
    MHD_Result result = MHD_NO;
    if (!gate(c, url, method, &result)) return result;
    const bool get = method == "GET" || method == "HEAD";
    Dashboard* dash = pick(c);
    const bool overview = fleet_.size() > 1 &&
                          !MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "c");
    if (get && url == "/")
        return overview ? sendAsset(c, "/overview.html")
               : dash   ? sendAsset(c, "/index.html")
                        : respond(c, MHD_HTTP_NOT_FOUND, "no such controller", "text/plain");
    if (get && url == "/login") return sendAsset(c, "/login.html");
    if (get && url == "/metrics") return metrics(c, req);
    if (get && url == "/counters.js") return sendAsset(c, "/counters.js");
    if (get && (url == "/app.js" || url == "/style.css" || url == "/chart.min.js" ||
                url == "/overview.js" || url == "/activity.js" || url == "/live.js"))
        return sendAsset(c, url.c_str());
    if (get && url == "/api/overview") return eventStream(c, nullptr);
    if (method == "POST" && url == "/login") return login(c, req);
    const bool api = url == "/api/events" || (method == "POST" && url.rfind("/api/", 0) == 0);
    if (api && !dash) return respond(c, MHD_HTTP_NOT_FOUND, "no such controller", "text/plain");
    if (get && url == "/api/events") return eventStream(c, dash);
    if (get && isLogRoute(url)) return logRoute(c, req, url, dash);
    if (api && method == "POST") return runAction(c, req, url, *dash);
    return respond(c, MHD_HTTP_NOT_FOUND, "not found", "text/plain");
}

MHD_Result Server::login(MHD_Connection* c, const Request& req) {
    const std::string address = clientAddress(c);
    if (!sessions_.mayTry(address))
        return respond(c, MHD_HTTP_TOO_MANY_REQUESTS, "wait a second before the next try",
                       "text/plain");
    if (!sameSecret(formValue(req.body, "token"), opt_.token)) {
        sessions_.failed(address);
        return sendAsset(c, "/login.html", MHD_HTTP_UNAUTHORIZED);
    }
    return respond(c, MHD_HTTP_SEE_OTHER, "", "text/plain",
                   {{"Set-Cookie", std::string(kCookie) + "=" + sessions_.create() +
                                       "; HttpOnly; SameSite=Strict; Path=/" +
                                       (opt_.tls.enabled() ? "; Secure" : "")},
                    {"Location", "/"}});
}

// The controller a request is for: its index in "c", which only one
// controller may leave out. Null for any other value.
Dashboard* Server::pick(MHD_Connection* c) {
    const char* v = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "c");
    if (!v) return fleet_.size() == 1 ? &fleet_.at(0) : nullptr;
    char* end = nullptr;
    errno = 0;
    const unsigned long k = std::strtoul(v, &end, 10);
    if (!*v || *end || errno || *v == '-' || k >= fleet_.size()) return nullptr;
    return &fleet_.at(k);
}

MHD_Result Server::runAction(MHD_Connection* c, Request& req, const std::string& url,
                             Dashboard& dash) {
    Action a = apiAction(dash, url, req.body);
    if (a.status != MHD_HTTP_OK) return respond(c, a.status, a.message, "text/plain");
    if (!a.work) return respond(c, MHD_HTTP_OK, jsonText(a.immediate), "application/json");
    return runWorker(c, req, &dash,
                     [work = std::move(a.work)](Request& r) { r.reply = jsonText(work()); });
}

// Runs `work` in a thread of its own while the connection waits suspended;
// `work` sets the request's reply (and its status and type, if not JSON).
MHD_Result Server::runWorker(MHD_Connection* c, Request& req, const void* owner,
                             std::function<void(Request&)> work,
                             const std::function<MHD_Result()>& busy) {
    bool room = false;
    {
        std::lock_guard lock(mutex_);
        room = !stopping_ && workersFor_[owner] < (owner ? kMaxActionsRunning : kMaxScrapesWaiting);
        if (room) {
            ++workers_;
            ++workersFor_[owner];
        }
    }
    if (!room && busy) return busy();
    if (!room)
        return respond(c, MHD_HTTP_OK,
                       jsonText({{"ok", false},
                                 {"message", "other requests to the controller are running"}}),
                       "application/json");
    req.running = true;
    markBusy(c, true);
    MHD_suspend_connection(c);
    std::thread([this, c, &req, owner, work = std::move(work)] {
        try {
            work(req);
        } catch (const std::exception&) {
            req.status = MHD_HTTP_OK;
            req.type = "application/json";
            req.headers.clear();
            req.reply = jsonText(
                {{"ok", false}, {"message", "kordash could not run this request"}});
        }
        req.done.store(true);
        MHD_resume_connection(c);
        std::lock_guard lock(mutex_);
        --workers_;
        if (--workersFor_[owner] == 0) workersFor_.erase(owner);
        workersDone_.notify_all();
    }).detach();
    return MHD_YES;
}

// The journal, console and capture as kordash last read them, and a
// channel's capture read afresh as a pcapng file.
MHD_Result Server::logRoute(MHD_Connection* c, Request& req, const std::string& url,
                            Dashboard* dash) {
    if (!dash) return respond(c, MHD_HTTP_NOT_FOUND, "no such controller", "text/plain");
    if (url == "/api/journal")
        return respond(c, MHD_HTTP_OK, jsonText(dash->logs().journalAfter(afterParam(c))),
                       "application/json");
    if (url == "/api/console")
        return respond(c, MHD_HTTP_OK, jsonText(dash->logs().consoleAfter(afterParam(c))),
                       "application/json");
    const int handle = intParam(c, "channel", -1, 1, kLastHandle);
    if (handle < 0)
        return respond(c, MHD_HTTP_BAD_REQUEST, "channel must be 1.." + std::to_string(kLastHandle),
                       "text/plain");
    if (url == "/api/capture")
        return respond(c, MHD_HTTP_OK, jsonText(dash->logs().capture(handle)), "application/json");
    // The Traffic view's last read (within a second or two) serves the
    // download without asking the controller again.
    constexpr int kReuseMs = 2500;
    std::string body;
    if (dash->logs().captureBody(handle, kReuseMs, &body))
        return sendPcapng(c, handle, std::move(body));
    return runWorker(c, req, dash, [dash, handle](Request& r) {
        std::string body;
        const Json result = dash->act([&](AdminSession& s) -> Json {
            if (!s.requestFramed(":capture", "read " + std::to_string(handle), &body))
                return {{"ok", false}, {"message", s.error()}};
            return {{"ok", true}};
        });
        if (!result.value("ok", false)) {
            r.status = MHD_HTTP_SERVICE_UNAVAILABLE;
            r.type = "text/plain";
            r.reply = "cannot read the capture: " + result.value("message", std::string("?"));
            return;
        }
        r.pcapng = handle;
        r.reply = std::move(body);
    });
}

// A capture reply as a pcapng file, made as the client reads it; a reply
// that is not one is an HTTP error, never a file.
MHD_Result Server::sendPcapng(MHD_Connection* c, int handle, std::string body) {
    auto stream = std::make_unique<kor::pcap::PcapngStream>(std::move(body));
    if (!stream->open())
        return respond(c, MHD_HTTP_SERVICE_UNAVAILABLE,
                       "cannot read the capture: the capture reply is not understood",
                       "text/plain");
    constexpr std::size_t kPiece = 64 * 1024;
    MHD_Response* r = MHD_create_response_from_callback(
        MHD_SIZE_UNKNOWN, kPiece,
        [](void* cls, std::uint64_t, char* buf, std::size_t max) -> ssize_t {
            const std::size_t n = static_cast<kor::pcap::PcapngStream*>(cls)->read(buf, max);
            return n ? static_cast<ssize_t>(n) : MHD_CONTENT_READER_END_OF_STREAM;
        },
        stream.get(), [](void* cls) { delete static_cast<kor::pcap::PcapngStream*>(cls); });
    if (!r) return MHD_NO;
    static_cast<void>(stream.release());  // the response owns it now
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "application/octet-stream");
    return queue(c, MHD_HTTP_OK, r,
                 {{"Content-Disposition", "attachment; filename=\"arvokor-channel-" +
                                              std::to_string(handle) + ".pcapng\""}});
}

// A scraper cannot log in: it gives the token as a bearer token, and a wrong
// one slows its address down as a failed log-in does.
bool Server::scraperAllowed(MHD_Connection* c, MHD_Result* result) {
    const std::string address = clientAddress(c);
    const std::string given = lookup(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
    const std::string scheme = "Bearer ";
    if (!sessions_.mayTry(address)) {
        *result = respond(c, MHD_HTTP_TOO_MANY_REQUESTS, "wait a second before the next try",
                          "text/plain");
        return false;
    }
    if (given.rfind(scheme, 0) == 0 && sameSecret(given.substr(scheme.size()), opt_.token))
        return true;
    if (!given.empty()) sessions_.failed(address);
    *result = respond(c, MHD_HTTP_UNAUTHORIZED, "/metrics needs the token as a bearer token",
                      "text/plain", {{"WWW-Authenticate", "Bearer"}});
    return false;
}

// The last counters reading of every controller: a scrape costs the
// controllers nothing beyond the once-a-second reading it keeps going. The
// first scrape after a pause waits (in a thread of its own) for fresh ones.
MHD_Result Server::metrics(MHD_Connection* c, Request& req) {
    bool wait = false;
    for (std::size_t k = 0; k < fleet_.size(); ++k) {
        fleet_.at(k).wantCounters();
        wait = fleet_.at(k).countersWorthWaiting() || wait;
    }
    if (!wait) return respondOwned(c, MHD_HTTP_OK, fleet_.metrics(), kMetricsType);
    req.type = kMetricsType;
    // One scrape waits; any other meanwhile answers from the last readings.
    return runWorker(
        c, req, nullptr,
        [this](Request& r) {
            const auto deadline = Clock::now() +
                                  std::chrono::milliseconds(2 * Dashboard::kRequestTimeoutMs + 500);
            for (std::size_t k = 0; k < fleet_.size(); ++k)
                while (fleet_.at(k).countersWorthWaiting() && Clock::now() < deadline)
                    fleet_.at(k).waitCounters(std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - Clock::now()));
            r.reply = fleet_.metrics();
        },
        [this, c] { return respondOwned(c, MHD_HTTP_OK, fleet_.metrics(), kMetricsType); });
}

// A parked stream whose page went away is noticed only when something is
// written to it, and snapshots that bring nothing new are not sent: before a
// new stream is counted against the limit, the gone ones give up their
// watches (a page reloaded at once must not find its own old stream in the
// way). Runs in the event loop's thread, as streamRead does.
void Server::dropGoneStreams() {
    std::lock_guard lock(mutex_);
    std::erase_if(parked_, [](Stream* s) {
        if (!peerGone(s->connection)) return false;
        s->watches.clear();
        s->gone = true;
        MHD_resume_connection(s->connection);  // ends at its next turn
        return true;
    });
}

MHD_Result Server::eventStream(MHD_Connection* c, Dashboard* dash) {
    dropGoneStreams();
    std::vector<std::shared_ptr<Dashboard::Watch>> watches;
    if (dash) {
        if (auto w = dash->watch(interestOf(c))) watches.push_back(std::move(w));
    } else {
        watches = fleet_.watchAll(clientAddress(c));
    }
    if (watches.empty())
        return respond(c, MHD_HTTP_SERVICE_UNAVAILABLE, "too many pages watch this dashboard",
                       "text/plain");
    auto* s = new Stream;
    s->server = this;
    s->connection = c;
    s->dash = dash;
    if (!dash) {
        std::lock_guard lock(mutex_);
        ++overviewStreams_;
    }
    s->watches = std::move(watches);
    markBusy(c, true);
    return openStream(c, s);
}

MHD_Result Server::openStream(MHD_Connection* c, Stream* s) {
    MHD_Response* r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &Server::streamRead,
                                                        s, &Server::streamFree);
    if (!r) {
        streamFree(s);
        return MHD_NO;
    }
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "text/event-stream");
    return queue(c, MHD_HTTP_OK, r);
}

void Server::streamFree(void* cls) {
    auto* s = static_cast<Stream*>(cls);
    if (!s->dash) {
        std::lock_guard lock(s->server->mutex_);
        --s->server->overviewStreams_;
    }
    delete s;
}

// Under mutex_, so that a snapshot published meanwhile cannot be missed: the
// waker resumes only after it has the lock. False when the stream must end.
bool Server::park(Stream& s) {
    std::lock_guard lock(mutex_);
    if (stopping_ || s.gone) return false;
    // Taken back for a page from an address that held fewer streams.
    for (const auto& w : s.watches)
        if (w->revoked()) return false;
    Snapshot snap;
    const auto now = Clock::now();
    const bool overviewDue = !s.dash && fleet_.pulse() > s.seen;
    s.heldUntil = Clock::time_point{};
    if (overviewDue && now - s.overviewAt < kOverviewGap) {
        s.heldUntil = s.overviewAt + kOverviewGap;
        heldUntil_ = std::min(heldUntil_, s.heldUntil);  // the waker resumes it then
    } else if (overviewDue) {
        s.seen = fleet_.pulse();
        std::uint64_t generation = 0;
        std::string text = fleet_.overview(&generation);
        if (generation != s.overviewSeen) {
            s.overviewSeen = generation;
            s.overviewAt = now;
            s.pending = "data: " + text + "\n\n";
        }
    } else if (s.dash && s.dash->nextSnapshot(s.seen, std::chrono::milliseconds(0), &snap)) {
        s.seen = snap.generation;
        s.pending = "data: " + snap.json + "\n\n";
    }
    if (s.pending.empty() && now - s.lastWrite >= kKeepAliveEvery) s.pending = ": still here\n\n";
    if (s.pending.empty()) {
        parked_.push_back(&s);
        MHD_suspend_connection(s.connection);
    }
    return true;
}

ssize_t Server::streamRead(void* cls, std::uint64_t, char* buf, std::size_t max) {
    auto& s = *static_cast<Stream*>(cls);
    if (s.sent >= s.pending.size()) {
        s.pending.clear();
        s.sent = 0;
        if (!s.server->park(s)) return MHD_CONTENT_READER_END_OF_STREAM;
        if (s.pending.empty()) return 0;  // parked until the next snapshot
    }
    const std::size_t n = std::min(max, s.pending.size() - s.sent);
    std::copy_n(s.pending.data() + s.sent, n, buf);
    s.sent += n;
    s.lastWrite = Clock::now();
    return static_cast<ssize_t>(n);
}

// A listener of our own: without SO_REUSEPORT, so that a second kordash on
// the same address is refused instead of sharing its requests.
int listenOn(const WebOptions& opt, std::string* error) {
    const std::string where = opt.host + ":" + std::to_string(opt.port);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(opt.port));
    if (inet_pton(AF_INET, opt.host.c_str(), &addr.sin_addr) != 1) {
        *error = "cannot listen on " + where + ": not a dotted IPv4 address";
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd, kListenBacklog) != 0) {
        const int why = errno;
        *error = "cannot listen on " + where + ": " +
                 (why == EADDRINUSE ? std::string("in use")
                                    : std::error_code(why, std::generic_category()).message());
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::string formValue(const std::string& body, const std::string& name) {
    std::size_t at = 0;
    while (at <= body.size()) {
        std::size_t end = std::min(body.find('&', at), body.size());
        if (body.compare(at, name.size() + 1, name + "=") == 0) {
            std::string raw = body.substr(at + name.size() + 1, end - at - name.size() - 1);
            std::replace(raw.begin(), raw.end(), '+', ' ');
            raw.resize(MHD_http_unescape(raw.data()));
            return raw;
        }
        at = end + 1;
    }
    return {};
}

sigset_t stopSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

bool isLoopback(const std::string& host) {
    in_addr a{};
    return inet_pton(AF_INET, host.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

bool serve(Fleet& fleet, const WebOptions& opt, std::string* error) {
    // Room for every connection kordash admits (the usual soft limit is 1024).
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < kConnectionLimit + 64) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, kConnectionLimit + 64);
        setrlimit(RLIMIT_NOFILE, &files);
    }
    const int listener = listenOn(opt, error);
    if (listener < 0) return false;
    Server server(fleet, opt);
    if (!server.start(listener, error)) {
        close(listener);
        return false;
    }
    const std::string what = fleet.size() == 1 ? "the controller at " + fleet.at(0).controller()
                                               : std::to_string(fleet.size()) + " controllers";
    std::printf("kordash: serving %s://%s:%d/ for %s\n", opt.tls.enabled() ? "https" : "http",
                opt.host.c_str(), opt.port, what.c_str());
    std::fflush(stdout);
    // SIGINT / SIGTERM (blocked in every thread since main) end the server.
    sigset_t stopSignals = stopSignalSet();
    int sig = 0;
    sigwait(&stopSignals, &sig);
    server.stop();
    return true;
}

}  // namespace kordash
