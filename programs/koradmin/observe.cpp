// koradmin's commands that show what happened: journal, console and counters
// (the capture commands are in capture.cpp). Each request is one short
// session, so a following koradmin never holds the admin port from kordash.
#include "observe.h"

#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>

#include "adminClient.h"
#include "journalJson.h"
#include "korCommands.h"
#include "korNumbers.h"

namespace koradmin {
namespace {

using kor::admin::AdminSession;
using nlohmann::json;

constexpr int kFollowMs = 250;

[[noreturn]] void usage(const std::string& what) {
    std::fprintf(stderr, "koradmin: %s\n(koradmin --help for usage)\n", what.c_str());
    std::exit(2);  // NOLINT(concurrency-mt-unsafe): koradmin has one thread
}

// One framed request in a session of its own; exits 3 when it fails.
std::string fetch(const ObserveOptions& opt, const char* command, const std::string& payload) {
    AdminSession session(opt.host, opt.port, opt.timeoutMs);
    std::string body;
    if (!session.requestFramed(command, payload, &body)) {
        std::fprintf(stderr, "koradmin: %s\n", session.error().c_str());
        std::exit(3);  // NOLINT(concurrency-mt-unsafe): koradmin has one thread
    }
    return body;
}

void pause() { poll(nullptr, 0, kFollowMs); }

std::string clockText(std::int64_t ms) {
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(ms % 1000));
    return text;
}

void printEntry(const kor::admin::JournalEntry& e) {
    std::string params;
    for (std::size_t k = 0; k < e.params.size(); ++k)
        params += (k ? "," : "") + std::to_string(e.params[k]);
    std::printf("%s  #%llu slot %d  %s (%d)  p=%s  -> %d %s  %d ms\n", clockText(e.startMs).c_str(),
                static_cast<unsigned long long>(e.seq), e.slot, e.name.c_str(), e.id,
                params.c_str(), e.result, kor::admin::resultMeaning(e.id, e.result).c_str(),
                e.durationMs);
    for (const std::string& line : e.console) std::printf("    | %s\n", line.c_str());
}

void printGap(std::uint64_t missed, bool asJson) {
    if (missed == 0) return;
    if (asJson) std::printf("%s\n", json{{"missed", missed}}.dump().c_str());
    else
        std::printf("... %llu entries missed (overwritten before they were read)\n",
                    static_cast<unsigned long long>(missed));
}

struct JournalArgs {
    std::uint64_t since = 0;
    bool follow = false;
    bool json = false;
};

JournalArgs journalArgs(const ObserveOptions& opt, const std::vector<std::string>& args) {
    JournalArgs a;
    a.json = opt.json;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--follow") a.follow = true;
        else if (args[i] == "--json") a.json = true;
        else if (args[i] == "--since" && i + 1 < args.size()) {
            char* end = nullptr;
            a.since = std::strtoull(args[++i].c_str(), &end, 10);
            if (end == args[i].c_str() || *end != '\0') usage("--since takes a sequence number");
        } else usage("unknown journal argument '" + args[i] + "'");
    }
    return a;
}

int runJournal(const ObserveOptions& opt, const std::vector<std::string>& args) {
    const JournalArgs a = journalArgs(opt, args);
    std::uint64_t since = a.since;
    json all = json::array();
    for (;;) {
        kor::admin::JournalPage page;
        if (!kor::admin::decodeJournal(fetch(opt, ":journal", std::to_string(since)), since, &page))
            usage("the controller's journal reply is not understood");
        if (page.capacity == 0 && !a.follow) {
            std::fprintf(stderr, "koradmin: the journal is off (setting journal = 0)\n");
            return 1;
        }
        for (const auto& e : page.entries) {
            const std::uint64_t missed = kor::admin::missedBetween(since, e.seq);
            if (a.json && !a.follow) {
                all.push_back(kor::admin::journalEntryJson(e));
            } else if (a.json) {
                printGap(missed, true);
                std::printf("%s\n", kor::admin::journalEntryJson(e).dump().c_str());
            } else {
                printGap(missed, false);
                printEntry(e);
            }
            since = e.seq;
        }
        // A page holds what fits; the rest comes with the next request.
        const bool more = !page.entries.empty() && since + 1 < page.next;
        if (more) continue;
        if (!a.follow) break;
        std::fflush(stdout);
        pause();
    }
    if (a.json && !a.follow) std::printf("%s\n", all.dump(2).c_str());
    return 0;
}

int runConsole(const ObserveOptions& opt, const std::vector<std::string>& args) {
    bool follow = false;
    bool asJson = opt.json;
    for (const std::string& a : args) {
        if (a == "--follow") follow = true;
        else if (a == "--json") asJson = true;
        else usage("unknown console argument '" + a + "'");
    }
    std::uint64_t since = 0;
    json all = json::array();
    for (;;) {
        kor::admin::ConsolePage page;
        if (!kor::admin::decodeConsole(fetch(opt, ":console", std::to_string(since)), since, &page))
            usage("the controller's console reply is not understood");
        for (const auto& l : page.lines) {
            const json j{{"seq", l.seq},
                         {"time_ms", l.timeMs},
                         {"task", l.task},
                         {"count", l.count},
                         {"text", l.text}};
            if (asJson && !follow) all.push_back(j);
            else if (asJson) std::printf("%s\n", j.dump().c_str());
            else
                std::printf("%s %-8s %s\n", clockText(l.timeMs).c_str(), l.task.c_str(),
                            l.text.c_str());
            since = l.seq;
        }
        if (!page.lines.empty() && since + 1 < page.next) continue;
        if (!follow) break;
        std::fflush(stdout);
        pause();
    }
    if (asJson && !follow) std::printf("%s\n", all.dump(2).c_str());
    return 0;
}

// Counters as JSON: a counter without keys is a number, one with keys an
// object nested by its keys.
json countersJson(const std::vector<kor::admin::Counter>& counters) {
    json out = json::object();
    for (const auto& c : counters) {
        json* at = &out[c.name];
        for (const std::string& key : c.keys) at = &(*at)[key];
        *at = c.value;
    }
    return out;
}

// What the keys of a counter are, for the heading of its section.
std::string keyHeading(const kor::admin::Counter& c) {
    if (c.keys.empty()) return "";
    if (c.name == "command") return ": command, result";
    if (c.name == "duration_ms_le") return ": commands that took at most (ms)";
    if (c.name == "duration_ms_over") return ": commands that took longer than (ms)";
    if (c.name.rfind("bytes_", 0) == 0 || c.name.rfind("channels_", 0) == 0) return ": kind";
    if (c.name == "ftp_transfers") return ": result code";
    return c.keys.size() > 1 ? ": keys" : ": key";
}

// A counter's keys in words: a command's number with its name, a result
// code with its meaning.
std::string keyText(const kor::admin::Counter& c) {
    long long id = 0, code = 0;
    if (c.name == "command" && kor::parseInt(c.keys[0], 0, 255, &id)) {
        const char* name = korCommandName(static_cast<std::int32_t>(id));
        std::string text = (name ? std::string(name) + " (" + c.keys[0] + ")" : c.keys[0]);
        for (std::size_t k = 1; k < c.keys.size(); ++k) {
            text.append(" ").append(c.keys[k]);
            if (kor::parseInt(c.keys[k], -1, 255, &code))
                text.append(" ").append(
                    kor::admin::resultMeaning(static_cast<int>(id), static_cast<int>(code)));
        }
        return text;
    }
    std::string text;
    for (const std::string& k : c.keys) text.append(text.empty() ? "" : " ").append(k);
    return text;
}

int runCounters(const ObserveOptions& opt, const std::vector<std::string>& args) {
    bool asJson = opt.json;
    for (const std::string& a : args) {
        if (a == "--json") asJson = true;
        else usage("unknown counters argument '" + a + "'");
    }
    std::vector<kor::admin::Counter> counters;
    if (!kor::admin::decodeCounters(fetch(opt, ":counters", ""), &counters))
        usage("the controller's counters reply is not understood");
    if (asJson) {
        std::printf("%s\n", countersJson(counters).dump(2).c_str());
        return 0;
    }
    // A section with a heading per counter with keys; counters without keys
    // under a heading of their own.
    std::string section = "\n";  // none yet
    for (const auto& c : counters) {
        const std::string name = c.keys.empty() ? "" : c.name;
        if (name != section) {
            std::printf("%s%-40s %12s\n", section == "\n" ? "" : "\n",
                        name.empty() ? "counter" : (name + keyHeading(c)).c_str(), "count");
            section = name;
        }
        std::printf("  %-38s %12llu\n", name.empty() ? c.name.c_str() : keyText(c).c_str(),
                    static_cast<unsigned long long>(c.value));
    }
    return 0;
}

}  // namespace

bool runObserveCommand(const ObserveOptions& opt, const std::string& name,
                       const std::vector<std::string>& args, int* status) {
    if (name == "journal") *status = runJournal(opt, args);
    else if (name == "console") *status = runConsole(opt, args);
    else if (name == "counters") *status = runCounters(opt, args);
    else if (name == "capture") *status = runCapture(opt, args);
    else return false;
    return true;
}

}  // namespace koradmin
