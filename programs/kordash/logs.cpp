#include "logs.h"

#include <algorithm>
#include <iterator>

#include "journalJson.h"
#include "korHandleTable.h"
#include "korParams.h"
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

// The commands whose p4..p7 are the four octets of an address.
constexpr int kAddressCommands[] = {1, 11, 12, 15, 20, 21, 23, 38};
// The commands that open a channel and write its handle as their result.
constexpr int kOpeners[] = {1, 3, 7, 12, 21};
constexpr int kTcpConnect = 1, kUdpBind = 12, kTelnetConnect = 21;

template <std::size_t N>
bool among(const int (&ids)[N], int id) {
    return std::find(std::begin(ids), std::end(ids), id) != std::end(ids);
}

std::string addressOf(const std::vector<int>& p) {
    if (p.size() < 8) return {};
    char text[KOR_ADDR_TEXT_SIZE];
    korFormatAddress(text, p[4], p[5], p[6], p[7]);
    return text;
}

// Dotted as the command reads it, for the pages (which show p4..p7 as one).
Json journalJson(const JournalEntry& e) {
    Json j = kor::admin::journalEntryJson(e);
    j["outcome"] = outcomeOf(e);
    if (among(kAddressCommands, e.id)) j["address"] = addressOf(e.params);
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
    int handle = -1;
    {
        std::lock_guard lock(mutex_);
        handle = capture_.handle;
    }
    if (validHandle(wants.capture) && (now >= captureDue_ || wants.capture != handle)) {
        captureDue_ = now + kPeriod;
        readCapture(s, wants.capture);
    }
}

// Caller holds mutex_.
void LogCache::keep(Log& log, Json item, std::uint64_t seq) {
    if (&log == &journal_) noteCommand(item);
    if (log.cursor > 0) log.missed += kor::admin::missedBetween(log.cursor, seq);
    log.cursor = seq;
    item["i"] = ++log.index;
    const std::size_t size = item.dump(-1, ' ', false, Json::error_handler_t::replace).size();
    log.items.push_back({std::move(item), size});
    log.bytes += size;
    while (log.items.size() > kKeep || log.bytes > kKeepBytes) {
        log.bytes -= log.items.front().second;
        log.items.pop_front();
    }
}

void LogCache::readJournal(AdminSession& s) {
    std::string body;
    Fetch fetch = [&](std::uint64_t after, std::uint64_t* next, Items* items, std::string* error) {
        JournalPage page;
        if (!s.requestFramed(":journal", std::to_string(after), &body)) {
            *error = s.error();
            return false;
        }
        if (body == "-1") {
            *error = "the controller had no memory for the reply";
            return false;
        }
        if (!kor::admin::decodeJournal(body, after, &page)) {
            *error = "the journal reply was refused: an entry out of range or order";
            s.refuse(*error);
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
        if (body == "-1") {
            *error = "the controller had no memory for the reply";
            return false;
        }
        if (!kor::admin::decodeConsole(body, after, &page)) {
            *error = "the console reply was refused: a line out of range or order";
            s.refuse(*error);
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
            if (&log == &journal_) {  // its channels and slots start afresh too
                openers_ = {};
                lastCommands_ = {};
            }
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

namespace {

// An "opened" record holds the endpoints as text ("10.0.0.1:2000 > ...").
constexpr std::size_t kOpenedMax = 256;

}  // namespace

void LogCache::readCapture(AdminSession& s, int handle) {
    Capture c;
    c.handle = handle;
    c.readAt = Clock::now();
    kor::pcap::CaptureStream head;
    std::uint64_t lastUs = 0;
    bool sound = true;
    const auto check = [&](const kor::pcap::CaptureRecordView& r) {
        sound = sound && std::string("RSO").find(r.kind) != std::string::npos &&
                (r.kind != 'O' || r.data.size() <= kOpenedMax) && r.timeUs >= lastUs;
        lastUs = r.timeUs;
        ++c.count;
    };
    if (!s.requestFramed(":capture", "read " + std::to_string(handle), &c.body)) {
        c.error = s.error();
    } else if (!kor::pcap::walkCapture(c.body, &head, check) || !sound) {
        c.error = "the capture reply was refused: a record out of form or order";
        s.refuse(c.error);
    }
    if (!c.error.empty()) {
        c.body.clear();
        c.count = 0;
    }
    c.on = head.on;
    c.dropped = head.dropped;
    // Changes whenever the ring does: the page fetches the records only then.
    c.version = std::to_string(c.count) + ":" + std::to_string(c.dropped) + ":" +
                std::to_string(lastUs) + (c.error.empty() ? "" : ":error");
    std::lock_guard lock(mutex_);
    capture_ = std::move(c);
}

Json LogCache::summary() {
    std::lock_guard lock(mutex_);
    auto part = [](const Log& log) {
        return Json{{"last", log.index}, {"missed", log.missed}, {"error", log.error}};
    };
    Json out = {{"journal", part(journal_)}, {"console", part(console_)}};
    if (capture_.handle >= 0)
        out["capture"] = {{"handle", capture_.handle},   {"on", capture_.on},
                          {"dropped", capture_.dropped}, {"version", capture_.version},
                          {"count", capture_.count},     {"error", capture_.error}};
    return out;
}

Json LogCache::after(const Log& log, std::uint64_t index) {
    Json items = Json::array();
    for (const auto& [item, size] : log.items)
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
    if (capture_.handle != handle) return Json();
    // The newest records that fit the page, found in one walk.
    std::deque<kor::pcap::CaptureRecordView> newest;
    std::size_t bytes = 0;
    kor::pcap::CaptureStream head;
    kor::pcap::walkCapture(capture_.body, &head, [&](const kor::pcap::CaptureRecordView& r) {
        newest.push_back(r);
        bytes += r.data.size();
        while (newest.size() > kCapturePage || (bytes > kCapturePageBytes && newest.size() > 1)) {
            bytes -= newest.front().data.size();
            newest.pop_front();
        }
    });
    Json records = Json::array();
    for (const auto& r : newest)
        records.push_back({{"t", r.timeUs},
                           {"kind", std::string(1, r.kind)},
                           {"conn", r.conn},
                           {"cut", r.cut},
                           {"hex", hexOf(std::string(r.data))}});
    Json out = {{"handle", handle},
                {"on", capture_.on},
                {"dropped", capture_.dropped},
                {"version", capture_.version},
                {"count", capture_.count},
                {"records", std::move(records)}};
    if (!capture_.error.empty()) out["error"] = capture_.error;
    return out;
}

bool LogCache::captureBody(int handle, int maxAgeMs, std::string* body) {
    std::lock_guard lock(mutex_);
    if (capture_.handle != handle || !capture_.error.empty() ||
        Clock::now() - capture_.readAt > std::chrono::milliseconds(maxAgeMs))
        return false;
    *body = capture_.body;
    return true;
}

// Caller holds mutex_. Entries come from decodeJournal: their fields are there.
void LogCache::noteCommand(const Json& entry) {
    const int id = entry["command"], result = entry["result"], slot = entry["slot"];
    auto params = entry["params"].get<std::vector<int>>();
    if (among(kOpeners, id) && validHandle(result) && params.size() >= 8)
        openers_[static_cast<std::size_t>(result)] = {id, std::move(params)};
    if (slot >= 0 && slot < KOR_MAX_SLOTS)
        lastCommands_[static_cast<std::size_t>(slot)] = {{"command", id},
                                                         {"name", entry["name"]},
                                                         {"result", result},
                                                         {"meaning", entry["meaning"]}};
}

namespace {

// The opener's peer as the readout shows it ("" when it names none).
std::string openerPeer(int command, const std::vector<int>& p) {
    if (command != kTcpConnect && command != kTelnetConnect && command != kUdpBind) return {};
    return addressOf(p) + ":" + std::to_string(korDecodePort(p[0]) & 0xffffu);
}

bool needsOpener(int type) { return type == 1 || type == 5; }

}  // namespace

// Caller holds mutex_. The opener counts only when it names the channel's
// peer: a handle opened again while its entry was overwritten keeps the
// joint label rather than a wrong one.
void LogCache::describeChannel(Json& channel) {
    const int type = channel.value("type", -1), handle = channel.value("handle", -1);
    if (!needsOpener(type) || !validHandle(handle)) return;
    const Opener& o = openers_[static_cast<std::size_t>(handle)];
    const bool named = o.command != 0 && openerPeer(o.command, o.params) == channel["peer"];
    const int opener = named ? o.command : 0;
    channel["kind"] = kor::admin::channelKindName(type, opener);
    channel["openedBy"] = opener;
    // A UDP channel's own port, when the kernel's table did not give it.
    if (opener == kUdpBind && channel.value("local", "").empty() && o.params[1] != 0)
        channel["local"] = "0.0.0.0:" + std::to_string(korDecodePort(o.params[1]) & 0xffffu);
}

void LogCache::describe(AdminSession& s, Json* snap) {
    Json& channels = (*snap)["channels"];
    bool unknown = false;
    {
        std::lock_guard lock(mutex_);
        std::array<bool, KOR_LAST_HANDLE + 1> present{};
        for (Json& ch : channels) {
            const int h = ch.value("handle", -1);
            if (!validHandle(h)) continue;
            present[static_cast<std::size_t>(h)] = true;
            describeChannel(ch);
            if (needsOpener(ch["type"]) && ch["openedBy"] == 0 &&
                !looked_[static_cast<std::size_t>(h)]) {
                looked_[static_cast<std::size_t>(h)] = true;
                unknown = true;
            }
        }
        for (std::size_t h = 0; h < present.size(); ++h) looked_[h] = looked_[h] && present[h];
    }
    if (unknown && s.state() == LinkState::Ok) readJournal(s);
    std::lock_guard lock(mutex_);
    for (Json& ch : channels) describeChannel(ch);
    if (!snap->contains("state") || !(*snap)["state"].contains("slots")) return;
    for (Json& slot : (*snap)["state"]["slots"]) {
        const int k = slot.value("slot", -1);
        if (k < 0 || k >= KOR_MAX_SLOTS) continue;
        const Json& last = lastCommands_[static_cast<std::size_t>(k)];
        if (last.is_null()) continue;
        slot["last"] = last;
        // The result variable's value, read as a result of the slot's last command.
        if (slot["result"].is_number())
            slot["meaning"] = kor::admin::resultMeaning(last["command"].get<int>(),
                                                        slot["result"].get<int>());
    }
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

}  // namespace kordash
