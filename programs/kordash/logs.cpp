#include "logs.h"

#include "journalJson.h"
#include "korHandleTable.h"
#include "korResultClass.h"
#include "korResults.h"
#include "pcapng.h"

namespace kordash {
namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using kor::admin::ConsoleLine;
using kor::admin::ConsolePage;
using kor::admin::JournalEntry;
using kor::admin::JournalPage;

// A reply holds as many entries as fit in 64 KiB: a few more requests catch
// up after a burst, the rest waits for the next second.
constexpr int kRoundsPerRead = 4;

Json journalJson(const JournalEntry& e) {
    Json j = kor::admin::journalEntryJson(e);
    j["outcome"] = outcomeOf(e);
    return j;
}

Json consoleJson(const ConsoleLine& l) {
    return {
        {"seq", l.seq}, {"time", l.timeMs}, {"task", l.task}, {"count", l.count}, {"text", l.text}};
}

bool validHandle(int handle) { return handle >= 1 && handle <= KOR_LAST_HANDLE; }

}  // namespace

std::string hexOf(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

const char* outcomeOf(const JournalEntry& e) {
    return korResultClassName(korResultClass(e.id, e.result));
}

void LogCache::read(AdminSession& s, const LogWants& wants) {
    const auto now = Clock::now();
    if (wants.journal && now >= journal_.due) {
        journal_.due = now + kPeriod;
        readJournal(s);
    }
    if (wants.console && now >= console_.due) {
        console_.due = now + kPeriod;
        readConsole(s);
    }
    if (validHandle(wants.capture) && (now >= captureDue_ || wants.capture != captureHandle_)) {
        captureDue_ = now + kPeriod;
        readCapture(s, wants.capture);
    }
}

// Caller holds mutex_.
void LogCache::keep(Log& log, Json item, std::uint64_t seq) {
    if (log.cursor > 0) log.missed += kor::admin::missedBetween(log.cursor, seq);
    log.cursor = seq;
    item["i"] = ++log.index;
    log.items.push_back(std::move(item));
    while (log.items.size() > kKeep) log.items.pop_front();
}

void LogCache::readJournal(AdminSession& s) {
    std::string body;
    Fetch fetch = [&](std::uint64_t after, std::uint64_t* next, Items* items, std::string* error) {
        JournalPage page;
        if (!s.requestFramed(":journal", std::to_string(after), &body)) {
            *error = s.error();
            return false;
        }
        if (!kor::admin::decodeJournal(body, &page)) {
            *error = body == "-1" ? "the controller had no memory for the reply"
                                  : "the journal reply is not understood";
            return false;
        }
        if (page.capacity == 0) {
            *error = "the controller keeps no journal (setting journal = 0)";
            return false;
        }
        *next = page.next;
        for (const JournalEntry& e : page.entries) items->emplace_back(e.seq, journalJson(e));
        return true;
    };
    readLog(journal_, fetch);
}

void LogCache::readConsole(AdminSession& s) {
    std::string body;
    Fetch fetch = [&](std::uint64_t after, std::uint64_t* next, Items* items, std::string* error) {
        ConsolePage page;
        if (!s.requestFramed(":console", std::to_string(after), &body)) {
            *error = s.error();
            return false;
        }
        if (!kor::admin::decodeConsole(body, &page)) {
            *error = body == "-1" ? "the controller had no memory for the reply"
                                  : "the console reply is not understood";
            return false;
        }
        *next = page.next;
        for (const ConsoleLine& l : page.lines) items->emplace_back(l.seq, consoleJson(l));
        return true;
    };
    readLog(console_, fetch);
}

// Reads from the last sequence number on; a first read skips to the newest
// kKeep entries, and a controller that started again is read from its start.
void LogCache::readLog(Log& log, const Fetch& fetch) {
    for (int round = 0; round < kRoundsPerRead; ++round) {
        std::uint64_t next = 0;
        Items items;
        std::string error;
        const bool ok = fetch(log.cursor, &next, &items, &error);
        std::lock_guard lock(mutex_);
        log.error = error;
        if (!ok) return;
        if (next <= log.cursor) {  // numbered from 1 again: the controller started again
            log.cursor = 0;
            log.read = false;
            continue;
        }
        const bool behind = !items.empty() && items.back().first + 1 < next;
        if (!log.read && behind && next > kKeep + 1 && items.back().first < next - 1 - kKeep) {
            log.read = true;
            log.cursor = next - 1 - kKeep;
            continue;
        }
        log.read = true;
        for (auto& [seq, item] : items) keep(log, std::move(item), seq);
        if (!behind) return;
    }
}

void LogCache::readCapture(AdminSession& s, int handle) {
    std::string body;
    kor::pcap::CaptureStream stream;
    Json out = {{"handle", handle}};
    if (!s.requestFramed(":capture", "read " + std::to_string(handle), &body))
        out["error"] = s.error();
    else if (!kor::pcap::decodeCapture(body, &stream))
        out["error"] = "the capture reply is not understood";
    Json records = Json::array();
    for (const auto& r : stream.records)
        records.push_back({{"t", r.timeUs},
                           {"kind", std::string(1, r.kind)},
                           {"conn", r.conn},
                           {"cut", r.cut},
                           {"hex", hexOf(r.data)}});
    out["on"] = stream.on;
    out["dropped"] = stream.dropped;
    // Changes whenever the ring does: the page fetches the records only then.
    out["version"] = std::to_string(records.size()) + ":" + std::to_string(stream.dropped) + ":" +
                     (stream.records.empty() ? "0" : std::to_string(stream.records.back().timeUs)) +
                     (out.contains("error") ? ":error" : "");
    out["records"] = std::move(records);
    std::lock_guard lock(mutex_);
    captureHandle_ = handle;
    capture_ = std::move(out);
}

Json LogCache::summary() {
    std::lock_guard lock(mutex_);
    auto part = [](const Log& log) {
        return Json{{"last", log.index}, {"missed", log.missed}, {"error", log.error}};
    };
    Json out = {{"journal", part(journal_)}, {"console", part(console_)}};
    if (!capture_.is_null())
        out["capture"] = {{"handle", capture_["handle"]},
                          {"on", capture_["on"]},
                          {"dropped", capture_["dropped"]},
                          {"version", capture_["version"]},
                          {"count", capture_["records"].size()},
                          {"error", capture_.value("error", "")}};
    return out;
}

Json LogCache::after(const Log& log, std::uint64_t index) {
    Json items = Json::array();
    for (const Json& item : log.items)
        if (item["i"].get<std::uint64_t>() > index) items.push_back(item);
    return {{"last", log.index}, {"missed", log.missed}, {"error", log.error}, {"items", items}};
}

Json LogCache::journalAfter(std::uint64_t index) {
    std::lock_guard lock(mutex_);
    return after(journal_, index);
}

Json LogCache::consoleAfter(std::uint64_t index) {
    std::lock_guard lock(mutex_);
    return after(console_, index);
}

Json LogCache::capture(int handle) {
    std::lock_guard lock(mutex_);
    return captureHandle_ == handle ? capture_ : Json();
}

Json switchCapture(AdminSession& s, int handle, bool on) {
    std::string body;
    if (!s.requestFramed(":capture", (on ? "on " : "off ") + std::to_string(handle), &body))
        return {};  // the session's error
    const bool ok = body == "0";
    return {{"ok", ok},
            {"on", on},
            {"message", ok ? std::string("switched ") + (on ? "on" : "off")
                           : "the controller refused (no memory for the capture ring)"}};
}

bool capturePcapng(AdminSession& s, int handle, std::string* file, std::string* error) {
    std::string body;
    kor::pcap::CaptureStream stream;
    if (!s.requestFramed(":capture", "read " + std::to_string(handle), &body)) {
        *error = s.error();
        return false;
    }
    if (!kor::pcap::decodeCapture(body, &stream)) {
        *error = "the capture reply is not understood";
        return false;
    }
    int packets = 0;
    std::vector<kor::pcap::CaptureStream> streams;
    if (!stream.records.empty()) streams.push_back(std::move(stream));
    *file = kor::pcap::buildPcapng(streams, &packets);
    return true;
}

}  // namespace kordash
