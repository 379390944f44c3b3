// koradmin capture: switch a channel's (or a service's) traffic capture on or
// off, and save what the controller captured as a pcapng file.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "adminClient.h"
#include "korHandleTable.h"
#include "observe.h"
#include "pcapng.h"

namespace koradmin {
namespace {

using kor::admin::AdminSession;

const std::string kHandles = "1.." + std::to_string(KOR_LAST_HANDLE);

// Every stream the controller keeps: its channels and the services.
std::vector<std::string> allStreams() {
    std::vector<std::string> names;
    for (int h = 1; h <= KOR_LAST_HANDLE; ++h) names.push_back(std::to_string(h));
    names.emplace_back("ftp");
    names.emplace_back("smtp");
    return names;
}

[[noreturn]] void usage(const std::string& what) {
    std::fprintf(stderr, "koradmin: %s\n(koradmin --help for usage)\n", what.c_str());
    std::exit(2);  // NOLINT(concurrency-mt-unsafe): koradmin has one thread
}

[[noreturn]] void failed(const AdminSession& session) {
    std::fprintf(stderr, "koradmin: %s\n", session.error().c_str());
    std::exit(3);  // NOLINT(concurrency-mt-unsafe): koradmin has one thread
}

bool validName(const std::string& name) {
    for (const std::string& n : allStreams())
        if (n == name) return true;
    return false;
}

int runSwitch(const ObserveOptions& opt, const std::string& verb, const std::string& name) {
    if (name != "all" && !validName(name))
        usage("capture " + verb + " takes a handle " + kHandles + ", ftp, smtp or all, not '" +
              name + "'");
    AdminSession session(opt.host, opt.port, opt.timeoutMs);
    std::string body;
    if (!session.requestFramed(":capture", verb + " " + name, &body)) failed(session);
    if (body != "0") {
        std::fprintf(stderr, "koradmin: the controller refused (no memory for the capture ring)\n");
        return 1;
    }
    std::printf("capture %s for %s\n", verb.c_str(), name.c_str());
    return 0;
}

int runSave(const ObserveOptions& opt, const std::string& path, std::vector<std::string> names) {
    const bool chosen = !names.empty();
    if (!chosen) names = allStreams();
    for (const std::string& n : names) {
        if (validName(n)) continue;
        std::string why = "'" + n + "' is not a handle ";
        why += kHandles;
        usage(why + ", ftp or smtp");
    }
    std::vector<kor::pcap::CaptureStream> streams;
    {
        AdminSession session(opt.host, opt.port, opt.timeoutMs);
        for (const std::string& n : names) {
            std::string body;
            if (!session.requestFramed(":capture", "read " + n, &body)) failed(session);
            kor::pcap::CaptureStream s;
            if (!kor::pcap::decodeCapture(body, &s)) usage("the capture reply is not understood");
            if (s.dropped > 0)
                std::fprintf(stderr, "koradmin: %s: the oldest %llu bytes were overwritten\n",
                             n.c_str(), static_cast<unsigned long long>(s.dropped));
            if (!s.records.empty()) streams.push_back(std::move(s));
        }
    }
    int packets = 0;
    const std::size_t count = streams.size();
    const std::string file = kor::pcap::buildPcapng(std::move(streams), &packets);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(file.data(), static_cast<std::streamsize>(file.size()));
    if (!out.flush()) {
        std::fprintf(stderr, "koradmin: cannot write %s\n", path.c_str());
        return 1;
    }
    std::printf("%d packets of %zu streams saved in %s\n", packets, count, path.c_str());
    return 0;
}

}  // namespace

int runCapture(const ObserveOptions& opt, const std::vector<std::string>& args) {
    if (args.size() == 2 && (args[0] == "on" || args[0] == "off"))
        return runSwitch(opt, args[0], args[1]);
    if (args.size() >= 2 && args[0] == "save")
        return runSave(opt, args[1], std::vector<std::string>(args.begin() + 2, args.end()));
    usage("capture on|off HANDLE|all, or capture save FILE.pcapng [HANDLE...]");
}

}  // namespace koradmin
