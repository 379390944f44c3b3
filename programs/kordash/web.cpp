#include "web.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <signal.h>

#include <cstdio>
#include <deque>
#include <random>
#include <thread>

#include "kordashAssets.h"

namespace kordash {
namespace {

using Json = nlohmann::json;
constexpr const char* kCookie = "kordash_session";
constexpr std::size_t kMaxSessions = 64;

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
    // Failed log-ins slow down guessing: one try per second after a failure.
    bool mayTry() {
        std::lock_guard lock(mutex_);
        return std::chrono::steady_clock::now() >= nextTry_;
    }
    void failed() {
        std::lock_guard lock(mutex_);
        nextTry_ = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    }

private:
    std::mutex mutex_;
    std::deque<std::string> ids_;
    std::chrono::steady_clock::time_point nextTry_{};
};

// Compares in time independent of where the texts differ.
bool sameSecret(const std::string& given, const std::string& secret) {
    if (secret.empty() || given.size() != secret.size()) return false;
    unsigned diff = 0;
    for (std::size_t k = 0; k < secret.size(); ++k)
        diff |= static_cast<unsigned char>(given[k] ^ secret[k]);
    return diff == 0;
}

std::string cookieValue(const httplib::Request& req, const std::string& name) {
    const std::string header = req.get_header_value("Cookie");
    std::size_t at = 0;
    while (at < header.size()) {
        std::size_t end = header.find(';', at);
        if (end == std::string::npos) end = header.size();
        std::string item = header.substr(at, end - at);
        item.erase(0, item.find_first_not_of(' '));
        if (item.rfind(name + "=", 0) == 0) return item.substr(name.size() + 1);
        at = end + 1;
    }
    return {};
}

// Without a token the page relies on loopback alone: refuse a Host name that
// a foreign site could have pointed at 127.0.0.1 (DNS rebinding).
bool hostAllowed(const httplib::Request& req) {
    std::string host = req.get_header_value("Host");
    host = host.substr(0, host.rfind(':'));
    return host == "localhost" || isLoopback(host);
}

void secureHeaders(httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header(
        "Content-Security-Policy",
        "default-src 'self'; img-src 'self' data:; style-src 'self' 'unsafe-inline'; frame-ancestors 'none'");
}

const Asset* findAsset(const std::string& path) {
    for (std::size_t k = 0; k < kAssetCount; ++k)
        if (path == kAssets[k].path) return &kAssets[k];
    return nullptr;
}

void sendAsset(httplib::Response& res, const char* path, int status = 200) {
    const Asset* a = findAsset(path);
    res.status = status;
    res.set_content(reinterpret_cast<const char*>(a->data), a->size, a->type);
}

int intParam(const httplib::Request& req, const char* name, int fallback, int lo, int hi) {
    if (!req.has_param(name)) return fallback;
    const std::string v = req.get_param_value(name);
    char* end = nullptr;
    long n = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end || n < lo || n > hi) return fallback;
    return static_cast<int>(n);
}

Interest interestOf(const httplib::Request& req) {
    Interest in;
    in.channel = intParam(req, "channel", -1, 0, 19);
    in.bStart = intParam(req, "b", 0, 0, 65535);
    in.bCount = std::min(intParam(req, "n", 0, 0, kMaxBCount), 65536 - in.bStart);
    std::string kind = req.has_param("vk") ? req.get_param_value("vk") : "I";
    in.vars.kind = kind.size() == 1 && std::string("IDRSP").find(kind[0]) != std::string::npos
                       ? kind[0]
                       : 'I';
    in.vars.start = intParam(req, "vs", 0, 0, 65535);
    in.vars.count = intParam(req, "vn", 20, 1, kMaxVarWindow);
    return in;
}

void eventStream(Dashboard& dash, const httplib::Request& req, httplib::Response& res) {
    auto watch = dash.watch(interestOf(req));
    if (!watch) {
        res.status = 503;
        res.set_content("too many pages watch this dashboard", "text/plain");
        return;
    }
    auto seen = std::make_shared<std::uint64_t>(0);
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider("text/event-stream", [&dash, watch,
                                                           seen](std::size_t,
                                                                 httplib::DataSink& sink) {
        Snapshot snap;
        std::string event = ": still here\n\n";  // lets a vanished browser be noticed
        if (dash.nextSnapshot(*seen, std::chrono::seconds(10), &snap)) {
            *seen = snap.generation;
            event = "data: " + snap.json + "\n\n";
        } else if (dash.stopping()) {
            return false;
        }
        return sink.is_writable() && sink.write(event.data(), event.size());
    });
}

Json parseBody(const httplib::Request& req) {
    Json body = Json::parse(req.body, nullptr, false);
    return body.is_object() ? body : Json::object();
}

// A refused action is still a good exchange: the page shows "ok" and "message".
void reply(httplib::Response& res, const Json& j) {
    res.status = 200;
    res.set_content(j.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json");
}

Json plainResult(const std::string& text, const std::string& failure) {
    return {{"ok", text == "0"}, {"reply", text}, {"message", text == "0" ? "done" : failure}};
}

void channelActions(httplib::Server& svr, Dashboard& dash) {
    svr.Post("/api/channel/(clear|close|send)", [&dash](const httplib::Request& req,
                                                        httplib::Response& res) {
        const Json body = parseBody(req);
        const int handle = body.value("handle", -1);
        const std::string what = req.matches[1];
        if (handle < 0 || handle > 19)
            return reply(res, {{"ok", false}, {"message", "handle must be 0..19"}});
        const std::string data = unescape(body.value("text", ""));
        if (what == "send" && data.size() > 2031)
            return reply(res, {{"ok", false}, {"message", "at most 2031 bytes per send"}});
        reply(res, dash.act([&](AdminSession& s) -> Json {
            std::string r;
            const std::string cmd = (what == "clear"   ? ":ic"
                                     : what == "close" ? ":hc"
                                                       : ":tx") +
                                    std::to_string(handle);
            if (!s.request(cmd, what == "send" ? data : "", &r)) return {};
            if (what != "send")
                return plainResult(r, "channel " + std::to_string(handle) + " is not in use");
            const bool ok = r != "-1" && r.rfind('-', 0) != 0;
            return {
                {"ok", ok},
                {"reply", r},
                {"message",
                 ok ? r + " bytes sent"
                    : "not sent (a listener or accepted client, a free channel, or the send failed)"}};
        }));
    });
}

void variableActions(httplib::Server& svr, Dashboard& dash) {
    svr.Post("/api/b", [&dash](const httplib::Request& req, httplib::Response& res) {
        const Json body = parseBody(req);
        const int index = body.value("index", -1);
        const int value = body.value("value", -1);
        if (index < 0 || index > 65535 || value < 0 || value > 255)
            return reply(res, {{"ok", false}, {"message", "B variable 0..65535, value 0..255"}});
        reply(res, dash.act([&](AdminSession& s) -> Json {
            std::string r;
            if (!s.request(":sb" + std::to_string(index), std::string(1, static_cast<char>(value)),
                           &r))
                return {};
            return plainResult(r, "the controller refused the write (result " + r + ")");
        }));
    });
}

void jobActions(httplib::Server& svr, Dashboard& dash) {
    svr.Post("/api/jobs", [&dash](const httplib::Request&, httplib::Response& res) {
        dash.requestJobList();
        reply(res, {{"ok", true}});
    });
    svr.Post("/api/ftp/(get|put)", [&dash](const httplib::Request& req, httplib::Response& res) {
        const Json b = parseBody(req);
        std::string record, error;
        if (!transferRecord(b.value("server", ""), b.value("user", ""), b.value("password", ""),
                            b.value("dir", ""), b.value("job", ""), &record, &error))
            return reply(res, {{"ok", false}, {"message", error}});
        const std::string cmd = req.matches[1] == "get" ? ":ftpg" : ":ftpp";
        // A transfer holds the admin port until it is done.
        reply(
            res,
            dash.act(
                [&](AdminSession& s) -> Json {
                    std::string r;
                    if (!s.request(cmd, record, &r)) return {};
                    const long code = std::strtol(r.c_str(), nullptr, 10);
                    return {{"ok", code == 0}, {"code", code}, {"message", transferMeaning(code)}};
                },
                120000));
        dash.requestJobList();
    });
}

void loginRoutes(httplib::Server& svr, const WebOptions& opt, Sessions& sessions) {
    svr.Get("/login",
            [](const httplib::Request&, httplib::Response& res) { sendAsset(res, "/login.html"); });
    svr.Post("/login", [&opt, &sessions](const httplib::Request& req, httplib::Response& res) {
        if (!sessions.mayTry()) {
            res.status = 429;
            res.set_content("wait a second before the next try", "text/plain");
            return;
        }
        if (!sameSecret(req.get_param_value("token"), opt.token)) {
            sessions.failed();
            sendAsset(res, "/login.html", 401);
            return;
        }
        res.set_header("Set-Cookie", std::string(kCookie) + "=" + sessions.create() +
                                         "; HttpOnly; SameSite=Strict; Path=/");
        res.set_redirect("/", 303);
    });
}

// Every request but the log-in needs the session cookie when a token is
// set, and every change needs the page's own header (a foreign site's form
// cannot send it).
httplib::Server::HandlerResponse gate(const WebOptions& opt, Sessions& sessions,
                                      const httplib::Request& req, httplib::Response& res) {
    secureHeaders(res);
    if (opt.token.empty() && !hostAllowed(req)) {
        res.status = 403;
        res.set_content("kordash answers only to loopback names", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    }
    if (!opt.token.empty() && req.path != "/login" && req.path != "/style.css" &&
        !sessions.valid(cookieValue(req, kCookie))) {
        sendAsset(res, "/login.html", 401);
        return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method == "POST" && req.path.rfind("/api/", 0) == 0 &&
        req.get_header_value("X-Kordash") != "1") {
        res.status = 403;
        res.set_content("changes come from the dashboard page only", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
}

}  // namespace

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

bool serve(Dashboard& dash, const WebOptions& opt, std::string* error) {
    httplib::Server svr;
    Sessions sessions;
    svr.new_task_queue = [] { return new httplib::ThreadPool(kMaxWatchers + 8); };
    svr.set_payload_max_length(64 * 1024);
    svr.set_pre_routing_handler([&](const httplib::Request& req, httplib::Response& res) {
        return gate(opt, sessions, req, res);
    });
    svr.Get("/",
            [](const httplib::Request&, httplib::Response& res) { sendAsset(res, "/index.html"); });
    svr.Get("/(app\\.js|style\\.css|chart\\.min\\.js)",
            [](const httplib::Request& req, httplib::Response& res) {
                sendAsset(res, ("/" + std::string(req.matches[1])).c_str());
            });
    svr.Get("/api/events", [&dash](const httplib::Request& req, httplib::Response& res) {
        eventStream(dash, req, res);
    });
    loginRoutes(svr, opt, sessions);
    channelActions(svr, dash);
    variableActions(svr, dash);
    jobActions(svr, dash);
    if (!svr.bind_to_port(opt.host, opt.port)) {
        *error = "cannot listen on " + opt.host + ":" + std::to_string(opt.port) +
                 " (in use, or not an address of this machine)";
        return false;
    }
    // SIGINT / SIGTERM (blocked in every thread since main) end the server.
    std::thread stopper([&] {
        sigset_t stopSignals = stopSignalSet();
        int sig = 0;
        sigwait(&stopSignals, &sig);
        dash.stop();
        svr.stop();
    });
    std::printf("kordash: serving http://%s:%d/ for the controller at %s\n", opt.host.c_str(),
                opt.port, dash.controller().c_str());
    std::fflush(stdout);
    svr.listen_after_bind();
    stopper.join();
    return true;
}

}  // namespace kordash
