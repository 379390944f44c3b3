// The dashboard's data: a refresh loop that runs only while a page watches,
// holds the admin port for one short session per refresh, and publishes one
// JSON snapshot for every watching page.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "adminLink.h"
#include "korPPComm.h"
#include "logs.h"
#include "metrics.h"
#include "positionStream.h"
#include "procPeers.h"
#include "stateView.h"

namespace kordash {

struct ControllerOptions {
    std::string host;
    int adminPort = KOR_ADMIN_PORT;
    std::string statePath;
    int streamPort = 0;
};

// What one page wants beyond the common views.
struct Interest {
    int channel = -1;
    int bStart = 0, bCount = 0;
    VarWindow vars;
    bool overview = false;  // a row of the overview only: link and channel count, once a second
    LogWants logs;  // the journal, console or a channel's capture (Activity, Console, Traffic)
    std::string address;   // the page's client address
    bool revoked = false;  // taken back for a page from another address
};
inline constexpr int kMaxBCount = 1000;
inline constexpr int kMaxWatchers = 16;
// Live streams one address may hold while others want one.
inline constexpr int kMaxWatchersPerAddress = 4;

// What the overview shows of a controller, from its latest refresh.
struct Summary {
    std::string link = "connecting";
    std::string error;
    int channels = -1;  // -1: unknown
    std::int64_t lastGood = 0;
    // From the counters; unknown until the first reading and after a failed one.
    std::optional<double> commandsPerMinute;
    std::optional<std::uint64_t> failuresLastHour, streamTicksMissed;
    std::uint64_t refused = 0;  // replies refused as beyond what a controller sends
    bool operator==(const Summary&) const = default;
};

struct Snapshot {
    std::uint64_t generation = 0;
    std::string json;
};

class Dashboard {
public:
    static constexpr auto kPeriod = std::chrono::milliseconds(333);
    static constexpr int kRequestTimeoutMs = 1000;

    explicit Dashboard(ControllerOptions options);
    ~Dashboard();
    // Opens the state file and the stream socket; false with *error.
    bool open(const std::string& streamHost, std::string* error);
    void start();

    class Watch;
    // Null when kMaxWatchers pages watch already and none can be taken back:
    // when full, the newest watch of the address that holds most (more than
    // the asking address) is revoked for it. The refresh loop runs while a
    // Watch lives.
    std::shared_ptr<Watch> watch(const Interest& interest);
    // Waits (bounded) for a snapshot newer than `seen`; false on time-out or stop.
    bool nextSnapshot(std::uint64_t seen, std::chrono::milliseconds wait, Snapshot* out);

    // Runs `work` in an admin session of its own (after the running refresh)
    // and refreshes at once afterwards. The JSON reply of `work`, or the
    // reason the session failed.
    nlohmann::json act(const std::function<nlohmann::json(AdminSession&)>& work,
                       int timeoutMs = kRequestTimeoutMs);
    void requestJobList();
    // The journal, console and capture as last read (for the pages' own requests).
    LogCache& logs() { return logs_; }
    Summary summary();
    // The counters are read at most once a second, while a page watches or
    // for kMetricsLease after the last call of wantCounters() (a scrape).
    static constexpr auto kCountersPeriod = std::chrono::milliseconds(900);
    static constexpr auto kMetricsLease = std::chrono::minutes(5);
    void wantCounters();
    // Whether a scrape should wait for a fresh reading: not when the last
    // attempt found the controller silent or failing (it answers from the last).
    bool countersWorthWaiting();
    // Waits (bounded) for a reading attempt after this call.
    void waitCounters(std::chrono::milliseconds wait);
    CountersReading counters();
    // Replies refused since start (the controller misbehaved), and whether
    // the last refresh refused one (its counters are then not trusted either).
    std::uint64_t refused();
    bool misbehaving();
    // A snapshot whose content did not change since the last one goes out
    // only this often, so that a page sees kordash is alive; a change goes
    // out at once.
    static constexpr auto kHeartbeat = std::chrono::seconds(1);
    // Called (under the dashboard's lock) after every new snapshot and every
    // change of the summary; set before start().
    void onPublish(std::function<void()> hook) { onPublish_ = std::move(hook); }
    // Ends the refresh and every admin session's wait at once.
    void stop();
    bool stopping();
    std::string controller() const {
        return options_.host + ":" + std::to_string(options_.adminPort);
    }

private:
    // What one refresh read. (Moving it moves json values, which never throw.)
    struct Refresh {                // NOLINT(bugprone-exception-escape)
        nlohmann::json snap;        // the page's snapshot, without the job list
        nlohmann::json jobs;        // the job list; null when not read
        CountersReading counters;   // timeMs 0: not read this time
        bool overviewOnly = false;  // read for the overview alone
        int channels = 0;           // open channels, when the link is reachable
    };
    void run();
    Refresh refresh(const std::list<Interest>& interests, bool countersDue);
    nlohmann::json readLocal(const std::list<Interest>& interests);
    void readWhole(AdminSession& s, const std::list<Interest>& interests, Refresh* out);
    void noteCounters(CountersReading& reading);
    bool countersWanted(std::chrono::steady_clock::time_point now) const;
    void readChannels(AdminSession& s, nlohmann::json* out, const std::list<Interest>& interests);
    void publish(Refresh refresh);
    void readLogs(AdminSession& s, nlohmann::json* snap, const std::list<Interest>& interests);

    ControllerOptions options_;
    PeerLookup peers_;
    StateView state_;
    std::unique_ptr<PositionStream> stream_;
    LogCache logs_;  // written by the refresh thread only
    // The reading before the last, its storage used for the next (refresh thread only).
    std::vector<Counter> spareCounters_;

    std::mutex mutex_;  // guards everything below
    std::condition_variable changed_;
    std::list<Interest> interests_;
    bool stopping_ = false, wake_ = false, jobsDue_ = true;
    bool watchersChanged_ = false;  // a page came: the next snapshot goes out whatever it holds
    Snapshot snapshot_;
    nlohmann::json shown_;  // the last snapshot published, without its clock fields
    std::chrono::steady_clock::time_point publishedAt_{};
    nlohmann::json countersJson_;   // counters_ as the snapshot carries them
    bool countersJsonDue_ = false;  // counters_ changed since: built when a page wants it
    nlohmann::json jobs_ = nlohmann::json::array();
    std::string version_;
    std::int64_t lastGood_ = 0;
    Summary summary_;
    Summary announced_;  // the summary as the overview last heard of it
    std::function<void()> onPublish_;
    CountersReading counters_;
    CountersHistory history_;
    std::uint64_t countersTries_ = 0;
    std::uint64_t refused_ = 0;
    bool countersSilent_ = false;      // the last reading attempt got no counters
    std::atomic<bool> cancel_{false};  // set at stop: ends the sessions' waits
    std::chrono::steady_clock::time_point countersAt_{}, metricsUntil_{};

    // One admin session at a time, ours included. A flag under a mutex with a
    // condition variable rather than std::timed_mutex: the sanitizer that
    // hunts our races does not follow the timed lock and reports its unlock.
    class SessionGate {
    public:
        bool try_lock() {
            std::lock_guard lock(mutex_);
            return take();
        }
        template <class Rep, class Period>
        bool try_lock_for(const std::chrono::duration<Rep, Period>& wait) {
            std::unique_lock lock(mutex_);
            freed_.wait_for(lock, wait, [this] { return !busy_; });
            return take();
        }
        void unlock() {
            {
                std::lock_guard lock(mutex_);
                busy_ = false;
            }
            freed_.notify_one();
        }

    private:
        bool take() {
            if (busy_) return false;
            busy_ = true;
            return true;
        }
        std::mutex mutex_;
        std::condition_variable freed_;
        bool busy_ = false;
    };
    SessionGate admin_;
    std::thread thread_;
};

class Dashboard::Watch {
public:
    Watch(Dashboard& owner, std::list<Interest>::iterator it) : owner_(owner), it_(it) {}
    ~Watch();
    // Taken back for a page from another address: its stream ends.
    bool revoked();
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

private:
    Dashboard& owner_;
    std::list<Interest>::iterator it_;
};

}  // namespace kordash
