#include "dashboard.h"

#include <algorithm>
#include <map>
#include <set>

#include "counterFigures.h"
#include "korHandleTable.h"
#include "korPPComm.h"

namespace kordash {
namespace {

constexpr auto kRetryAfterFailure = std::chrono::seconds(1);
constexpr auto kJobListPeriod = std::chrono::seconds(5);
// The overview's refreshes of a fleet stay in step, all counted from the
// page's opening: spread over the second, they gave the page an event every
// 250 ms instead of two a second and cost kordash a third more (bench_plant).
constexpr auto kOverviewPeriod = std::chrono::seconds(1);
// How long a reply of several kilobytes may pause between its pieces.
constexpr int kPieceGapMs = 20;

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string bKey(int start, int count) {
    return std::to_string(start) + ":" + std::to_string(count);
}

bool overviewOnly(const std::list<Interest>& interests) {
    return std::all_of(interests.begin(), interests.end(),
                       [](const Interest& in) { return in.overview; });
}

// Why the counters could not be read, as /metrics names it.
const char* downReason(const AdminSession& s) {
    switch (s.state()) {
        case LinkState::Unreachable: return s.refused() ? "refused" : "unreachable";
        case LinkState::Busy: return "busy";
        case LinkState::Misbehaving: return "misbehaving";
        default: return "broken";
    }
}

// One ":counters" request, decoded into out->counters' storage. A controller
// whose admin port another client holds gives no reading either: its last
// one is not passed off as current.
void readCounters(AdminSession& s, CountersReading* out) {
    std::string body;
    out->timeMs = nowMs();
    out->ok = s.state() == LinkState::Ok && s.requestFramed(":counters", "", &body);
    if (out->ok && !kor::admin::decodeCounters(body, &out->counters)) {
        out->ok = false;
        s.refuse("the counters reply was refused: a line out of form or range");
    }
    if (!out->ok) {
        out->counters.clear();
        out->reason = downReason(s);
    }
}

std::string varKey(const VarWindow& w) {
    return std::string(1, w.kind) + ":" + std::to_string(w.start) + ":" + std::to_string(w.count);
}

// What the overview shows of a row, its clock aside.
bool sameRow(const Summary& a, const Summary& b) {
    return a.link == b.link && a.error == b.error && a.channels == b.channels &&
           a.commandsPerMinute == b.commandsPerMinute && a.failuresLastHour == b.failuresLastHour &&
           a.streamTicksMissed == b.streamTicksMissed && a.refused == b.refused;
}

}  // namespace

Dashboard::Watch::~Watch() {
    std::lock_guard lock(owner_.mutex_);
    owner_.interests_.erase(it_);
}

bool Dashboard::Watch::revoked() {
    std::lock_guard lock(owner_.mutex_);
    return it_->revoked || owner_.stopping_;
}

Dashboard::Dashboard(ControllerOptions options)
    : options_(std::move(options)), peers_(options_.host, options_.adminPort) {}

Dashboard::~Dashboard() { stop(); }

bool Dashboard::open(const std::string& streamHost, std::string* error) {
    if (!options_.statePath.empty() && !state_.open(options_.statePath, error)) return false;
    if (options_.streamPort > 0) {
        stream_ = std::make_unique<PositionStream>();
        if (!stream_->open(streamHost, options_.streamPort, error)) return false;
    }
    return true;
}

void Dashboard::start() {
    if (stream_) stream_->start();
    thread_ = std::thread([this] { run(); });
}

void Dashboard::stop() {
    cancel_.store(true);
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool Dashboard::stopping() {
    std::lock_guard lock(mutex_);
    return stopping_;
}

std::shared_ptr<Dashboard::Watch> Dashboard::watch(const Interest& interest) {
    std::lock_guard lock(mutex_);
    std::map<std::string, int> held;
    int live = 0;
    for (const Interest& in : interests_)
        if (!in.revoked) {
            ++held[in.address];
            ++live;
        }
    if (live >= kMaxWatchers) {
        // The address holding most gives up its newest, if it holds more
        // than the asking one would after this and more than its share.
        auto most = std::max_element(held.begin(), held.end(), [](const auto& a, const auto& b) {
            return a.second < b.second;
        });
        const int mine = held[interest.address];
        if (most->second <= std::max(mine + 1, kMaxWatchersPerAddress)) return nullptr;
        for (auto in = interests_.rbegin(); in != interests_.rend(); ++in)
            if (!in->revoked && in->address == most->first) {
                in->revoked = true;
                break;
            }
        // Its stream ends at its next turn: give it one now.
        if (onPublish_) onPublish_();
    }
    auto it = interests_.insert(interests_.end(), interest);
    wake_ = true;
    watchersChanged_ = true;
    changed_.notify_all();
    return std::make_shared<Watch>(*this, it);
}

bool Dashboard::nextSnapshot(std::uint64_t seen, std::chrono::milliseconds wait, Snapshot* out) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, wait, [&] { return stopping_ || snapshot_.generation > seen; });
    if (stopping_ || snapshot_.generation <= seen) return false;
    *out = snapshot_;
    return true;
}

void Dashboard::requestJobList() {
    std::lock_guard lock(mutex_);
    jobsDue_ = true;
    wake_ = true;
    changed_.notify_all();
}

nlohmann::json Dashboard::act(const std::function<nlohmann::json(AdminSession&)>& work,
                              int timeoutMs) {
    nlohmann::json result;
    {
        std::unique_lock admin(admin_, std::defer_lock);
        if (!admin.try_lock_for(std::chrono::milliseconds(timeoutMs)))
            return {{"ok", false},
                    {"message", "another request to the controller is still running"}};
        AdminSession session(options_.host, options_.adminPort, timeoutMs);
        session.cancelOn(&cancel_);
        if (session.state() == LinkState::Ok) result = work(session);
        if (session.state() != LinkState::Ok)
            result = {{"ok", false},
                      {"message", session.error()},
                      {"link", linkStateName(session.state())}};
        if (session.state() == LinkState::Misbehaving) {
            std::lock_guard lock(mutex_);
            ++refused_;
        }
    }
    std::lock_guard lock(mutex_);
    wake_ = true;
    changed_.notify_all();
    return result;
}

void Dashboard::run() {
    auto jobsAt = std::chrono::steady_clock::time_point{};
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        changed_.wait(lock, [&] {
            return stopping_ || !interests_.empty() ||
                   countersWanted(std::chrono::steady_clock::now());
        });
        if (stopping_) break;
        wake_ = false;
        const std::list<Interest> interests = interests_;
        const auto now = std::chrono::steady_clock::now();
        if (now >= jobsAt) jobsDue_ = true;
        const bool countersDue = now - countersAt_ >= kCountersPeriod;
        if (countersDue) countersAt_ = now;
        lock.unlock();
        Refresh r = refresh(interests, countersDue);
        const bool ok = r.snap.value("link", "") == "reachable";
        const bool overview = r.overviewOnly;
        lock.lock();
        if (r.counters.timeMs != 0) {
            noteCounters(r.counters);
            spareCounters_ = std::move(r.counters.counters);
        }
        if (countersDue) countersSilent_ = r.counters.timeMs == 0 || !r.counters.ok;
        if (ok && jobsDue_ && !r.jobs.is_null()) {
            jobsDue_ = false;
            jobsAt = std::chrono::steady_clock::now() + kJobListPeriod;
        }
        publish(std::move(r));
        using std::chrono::milliseconds;
        auto pause = !ok        ? std::chrono::duration_cast<milliseconds>(kRetryAfterFailure)
                     : overview ? std::chrono::duration_cast<milliseconds>(kOverviewPeriod)
                                : std::chrono::duration_cast<milliseconds>(kPeriod);
        changed_.wait_for(lock, pause, [&] { return stopping_ || wake_; });
    }
}

// Caller holds mutex_. A refresh for the overview alone feeds only the
// summary: a page that opens meanwhile must not get its partial channels.
// A snapshot that shows nothing new is not sent (the pages would only draw
// the same again), except as the heartbeat; the overview hears of a summary
// only when its row changed.
void Dashboard::publish(Refresh r) {
    nlohmann::json& snap = r.snap;
    if (snap["link"] == linkStateName(LinkState::Misbehaving)) ++refused_;
    snap["refused"] = refused_;
    summary_.refused = refused_;
    if (snap["link"] == "reachable") lastGood_ = snap["time"];
    summary_.link = snap["link"];
    summary_.error = snap.value("error", "");
    summary_.channels = snap["link"] == "reachable" ? r.channels : -1;
    summary_.lastGood = lastGood_;
    bool news = !sameRow(announced_, summary_);
    announced_ = summary_;
    if (!r.overviewOnly) {
        if (!r.jobs.is_null()) jobs_ = std::move(r.jobs);
        snap["jobs"] = jobs_;
        if (snap["link"] != "reachable" && !version_.empty()) snap["version"] = version_;
        if (snap["link"] == "reachable") version_ = snap.value("version", "");
        if (counters_.timeMs != 0) {
            if (countersJsonDue_) countersJson_ = countersJson(counters_);
            countersJsonDue_ = false;
            snap["counters"] = countersJson_;
        }
        const nlohmann::json time = std::move(snap["time"]);
        snap.erase("time");
        const auto now = std::chrono::steady_clock::now();
        if (snap != shown_ || watchersChanged_ || now - publishedAt_ >= kHeartbeat) {
            watchersChanged_ = false;
            publishedAt_ = now;
            shown_ = snap;
            snap["time"] = time;
            snap["lastGood"] = lastGood_;
            snap["generation"] = ++snapshot_.generation;
            snapshot_.json = snap.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
            changed_.notify_all();
            news = true;
        }
    }
    if (news && onPublish_) onPublish_();
}

// Caller holds mutex_. Takes the reading; *reading gets the one before (its
// storage serves the next). The page's form of it is built only when a page
// is sent it: most controllers of a fleet are watched by the overview alone.
void Dashboard::noteCounters(CountersReading& reading) {
    std::swap(counters_, reading);
    countersJsonDue_ = true;
    ++countersTries_;
    const bool ok = counters_.ok;
    if (ok) history_.add(counters_.timeMs, totalsOf(counters_.counters));
    summary_.commandsPerMinute = ok ? history_.commandsPerMinute() : std::nullopt;
    summary_.failuresLastHour = ok ? history_.failuresLastHour() : std::nullopt;
    summary_.streamTicksMissed = ok ? history_.ticksMissed() : std::nullopt;
    changed_.notify_all();
}

// Caller holds mutex_.
bool Dashboard::countersWanted(std::chrono::steady_clock::time_point now) const {
    return now < metricsUntil_;
}

void Dashboard::wantCounters() {
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (!countersWanted(now)) {
        wake_ = true;
        changed_.notify_all();
    }
    metricsUntil_ = now + kMetricsLease;
}

bool Dashboard::countersWorthWaiting() {
    constexpr std::int64_t kFreshMs = 3000;
    std::lock_guard lock(mutex_);
    const bool fresh = counters_.timeMs != 0 && nowMs() - counters_.timeMs < kFreshMs;
    return !fresh && !countersSilent_ && !stopping_;
}

void Dashboard::waitCounters(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    const std::uint64_t seen = countersTries_;
    changed_.wait_for(lock, wait, [&] { return stopping_ || countersTries_ > seen; });
}

std::uint64_t Dashboard::refused() {
    std::lock_guard lock(mutex_);
    return refused_;
}

bool Dashboard::misbehaving() {
    std::lock_guard lock(mutex_);
    return summary_.link == linkStateName(LinkState::Misbehaving);
}

CountersReading Dashboard::counters() {
    std::lock_guard lock(mutex_);
    return counters_;
}

Summary Dashboard::summary() {
    std::lock_guard lock(mutex_);
    return summary_;
}

// The stream and the state file: read here, not over the admin port.
nlohmann::json Dashboard::readLocal(const std::list<Interest>& interests) {
    nlohmann::json snap = {{"controller", controller()},
                           {"time", nowMs()},
                           {"channels", nlohmann::json::array()},
                           {"queues", nlohmann::json::object()},
                           {"bvars", nlohmann::json::object()}};
    // The page's input limits come from here, not from copies of their own.
    snap["limits"] = {{"bCount", kMaxBCount},
                      {"varWindow", kMaxVarWindow},
                      {"lastHandle", KOR_LAST_HANDLE}};
    if (stream_) snap["stream"] = stream_->snapshot();
    if (state_.isOpen()) {
        nlohmann::json vars = nlohmann::json::object();
        nlohmann::json st;
        for (const Interest& in : interests) {
            st = state_.read(in.vars);
            if (st.contains("vars")) vars[varKey(in.vars)] = st["vars"];
        }
        st["vars"] = vars;
        snap["state"] = st;
    }
    return snap;
}

Dashboard::Refresh Dashboard::refresh(const std::list<Interest>& interests, bool countersDue) {
    Refresh r;
    r.overviewOnly = overviewOnly(interests);
    // The overview's row needs the clock, the link and the channel count only.
    r.snap = r.overviewOnly ? nlohmann::json{{"time", nowMs()}} : readLocal(interests);
    std::unique_lock admin(admin_, std::try_to_lock);
    if (!admin.owns_lock()) {
        r.snap["link"] = linkStateName(LinkState::Busy);
        r.snap["error"] = "a request from this page is running";
        return r;
    }
    AdminSession s(options_.host, options_.adminPort, kRequestTimeoutMs);
    s.cancelOn(&cancel_);
    std::string reply;
    // The version is the pages' (the overview does not show it).
    if (!r.overviewOnly && s.request(":v", "", &reply)) r.snap["version"] = reply;
    if (countersDue) {
        r.counters.counters = std::move(spareCounters_);
        readCounters(s, &r.counters);
    }
    if (r.overviewOnly) {
        // The overview counts the channels: the handle list is enough.
        if (s.request(":h?", "", &reply))
            r.channels = static_cast<int>(decodeHandleList(reply).size());
    } else {
        readWhole(s, interests, &r);
        r.channels = static_cast<int>(r.snap["channels"].size());
    }
    r.snap["link"] = linkStateName(s.state());
    if (s.state() != LinkState::Ok) r.snap["error"] = s.error();
    return r;
}

// What a page shows: channels, logs, the B variables it asks for and, when
// due, the job list.
void Dashboard::readWhole(AdminSession& s, const std::list<Interest>& interests, Refresh* out) {
    if (s.state() == LinkState::Ok) readChannels(s, &out->snap, interests);
    if (s.state() == LinkState::Ok) readLogs(s, &out->snap, interests);
    if (s.state() == LinkState::Ok) logs_.describe(s, &out->snap);
    std::set<std::pair<int, int>> ranges;
    for (const Interest& in : interests)
        if (in.bCount > 0) ranges.emplace(in.bStart, in.bCount);
    std::string reply;
    for (auto [start, count] : ranges) {
        if (!s.request(":gb" + std::to_string(start), std::to_string(count), &reply,
                       static_cast<std::size_t>(count)))
            break;
        if (reply.size() != static_cast<std::size_t>(count)) continue;
        nlohmann::json values = nlohmann::json::array();
        for (unsigned char c : reply) values.push_back(c);
        out->snap["bvars"][bKey(start, count)] = values;
    }
    bool jobsDue;
    {
        std::lock_guard lock(mutex_);
        jobsDue = jobsDue_;
    }
    if (!jobsDue || !s.request(":list", "", &reply, 0, kPieceGapMs)) return;
    // The controller's list starts with a line end (and pauses only at its end).
    if (reply.empty() || reply[0] != '\n') {
        s.refuse("the job list reply is not understood");
        return;
    }
    out->jobs = decodeJobList(reply);
}

void Dashboard::readChannels(AdminSession& s, nlohmann::json* snap,
                             const std::list<Interest>& interests) {
    std::string reply;
    if (!s.request(":h?", "", &reply)) return;
    for (int h : decodeHandleList(reply)) {
        ChannelRecord ch;
        if (!s.request(":h" + std::to_string(h), "", &reply, KOR_ADMIN_READOUT_SIZE)) return;
        if (!decodeReadout(reply, &ch)) continue;  // closed in the meantime
        // Appended: GCC 12 warns falsely (-Wrestrict) about a literal +
        // a temporary string in release builds.
        std::string peer = ch.ipAddress;
        if (!peer.empty() && ch.port >= 0) peer.append(":").append(std::to_string(ch.port));
        std::string localEnd;
        SocketEnds ends;
        // Serial channels have no socket; a UDP channel keeps its destination as its peer.
        if (ch.type >= 1 && ch.type <= 5 && ch.type != 4 && peers_.ends(ch.socket, &ends)) {
            localEnd = ends.local;
            if (ch.type != 2 && ch.type != 5) peer = ends.remote;
        }
        (*snap)["channels"].push_back({{"handle", ch.handle},
                                       {"type", ch.type},
                                       {"kind", channelKindName(ch.type)},
                                       {"peer", peer},
                                       {"local", localEnd},
                                       {"task", ch.taskName},
                                       {"queued", ch.queued},
                                       {"socket", ch.socket},
                                       {"listenHandle", ch.listenHandle}});
        bool wanted = std::any_of(interests.begin(), interests.end(),
                                  [&](const Interest& in) { return in.channel == h; });
        if (!wanted) continue;
        std::string queue;
        // The queue may have grown since the readout: read until the reply pauses.
        if (ch.queued > 0 && !s.request(":ir" + std::to_string(h), "", &queue, 0, kPieceGapMs))
            return;
        (*snap)["queues"][std::to_string(h)] = queue == "-1" ? "" : hexOf(queue);
    }
}

// What the pages want of the journal, console and capture, read in the same
// session (each at most once a second, see LogCache).
void Dashboard::readLogs(AdminSession& s, nlohmann::json* snap,
                         const std::list<Interest>& interests) {
    LogWants wants;
    // The journal names the channels' openers and the slots' last commands.
    wants.journal = true;
    for (const Interest& in : interests) {
        wants.console = wants.console || in.logs.console;
        if (in.logs.capture > 0) wants.capture = in.logs.capture;
    }
    logs_.read(s, wants);
    (*snap)["logs"] = logs_.summary();
}

}  // namespace kordash
