// What happened on the controller, as the Activity, Console and Traffic views
// show it: the command journal and the console read incrementally (after the
// last sequence number) and a channel's captured traffic, kept in kordash so
// that every page reads them without asking the controller again.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "adminLink.h"
#include "korHandleTable.h"
#include "korSlotLayout.h"

namespace kordash {

// What the watching pages want read; the refresh thread passes it in.
struct LogWants {
    bool journal = false, console = false;
    int capture = -1;  // a channel 1..KOR_LAST_HANDLE, or none
};

class LogCache {
public:
    // Entries kordash keeps (the newest); a page gets at most these.
    static constexpr std::size_t kKeep = 1000;
    // ... and at most this much of their JSON text, whatever a controller sends.
    static constexpr std::size_t kKeepBytes = 1 << 20;
    // The controller is asked for each at most this often.
    static constexpr auto kPeriod = std::chrono::seconds(1);

    // Reads what `wants` asks for and is due, in the refresh's session.
    void read(AdminSession& s, const LogWants& wants);
    // A small summary for the snapshot: how far each log is, and its errors.
    nlohmann::json summary();
    // The kept entries (lines) with a kordash index after `after`.
    nlohmann::json journalAfter(std::uint64_t after);
    nlohmann::json consoleAfter(std::uint64_t after);
    // The newest records of a channel's capture as last read (at most
    // kCapturePage of them, kCapturePageBytes of data), or null when it is not
    // the one read.
    static constexpr std::size_t kCapturePage = 500;
    static constexpr std::size_t kCapturePageBytes = 256 * 1024;
    nlohmann::json capture(int handle);
    // The capture reply as last read, when it is `handle`'s and read within
    // maxAgeMs; false otherwise.
    bool captureBody(int handle, int maxAgeMs, std::string* body);

    // What the journal adds to a snapshot's channels and command slots. The
    // controller's table gives a telnet session and a TCP client one type,
    // and keeps a UDP channel's destination, not its own port: the command
    // that opened the handle tells them apart. A channel that came without a
    // known opener has the journal read at once (once per channel). Each
    // slot of the job side gets its last command and its result's meaning.
    void describe(AdminSession& s, nlohmann::json* snap);

private:
    struct Log {
        std::uint64_t cursor = 0;  // the controller's last sequence number read
        std::uint64_t index = 0;   // kordash's own numbering, across controller restarts
        std::uint64_t missed = 0;  // overwritten before kordash read them
        std::deque<std::pair<nlohmann::json, std::size_t>> items;  // with their text's size
        std::size_t bytes = 0;
        std::string error;
        std::chrono::steady_clock::time_point due{};
        bool read = false;  // read at least once
    };
    // Asks for the entries after a sequence number: the next number and the
    // entries with their sequence numbers, or false with the reason.
    using Items = std::vector<std::pair<std::uint64_t, nlohmann::json>>;
    using Fetch = std::function<bool(std::uint64_t after, std::uint64_t* next, Items* items,
                                     std::string* error)>;
    void readJournal(AdminSession& s);
    void readConsole(AdminSession& s);
    void readLog(Log& log, const Fetch& fetch);
    void readCapture(AdminSession& s, int handle);
    void keep(Log& log, nlohmann::json item, std::uint64_t seq);
    static nlohmann::json after(const Log& log, std::uint64_t index);

    // A channel's capture as the controller sent it (its bytes, not JSON),
    // with what the snapshot says of it.
    struct Capture {
        int handle = -1;
        std::string body;
        bool on = false;
        std::uint64_t dropped = 0;
        std::size_t count = 0;
        std::string version, error;
        std::chrono::steady_clock::time_point readAt{};
    };

    // The last command that opened each handle, and each slot's last command.
    struct Opener {
        int command = 0;  // 0: none seen
        std::vector<int> params;
    };
    void noteCommand(const nlohmann::json& entry);
    void describeChannel(nlohmann::json& channel);

    std::mutex mutex_;  // guards the logs' items and errors, and the capture
    Log journal_, console_;
    std::array<Opener, KOR_LAST_HANDLE + 1> openers_{};
    std::array<nlohmann::json, KOR_MAX_SLOTS> lastCommands_{};
    std::array<bool, KOR_LAST_HANDLE + 1> looked_{};  // journal read for the unknown opener
    Capture capture_;
    std::chrono::steady_clock::time_point captureDue_{};
};

// How a journal entry ended: its result class, "success", "empty" or "failure".
const char* outcomeOf(const kor::admin::JournalEntry& e);

// Bytes as lower-case hex digits, two a byte (as the page reads queues and traffic).
std::string hexOf(const std::string& bytes);

// Switches a channel's capture; the page's JSON result.
nlohmann::json switchCapture(AdminSession& s, int handle, bool on);

}  // namespace kordash
