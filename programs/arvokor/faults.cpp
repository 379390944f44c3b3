// Test hooks of arvokor armed from the environment (see faults.h).
#include "faults.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "korNumbers.h"

namespace kor {
namespace {

using vc::hooks::Site;

struct SiteFault {
    Site site;
    int skip, times, err;
};
struct VarFault {
    bool write;
    std::uint16_t type, first, last;
    int times;
};

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(sep, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

bool toInt(const std::string& text, long low, long high, long* out) {
    long long v = 0;
    if (!kor::parseInt(text, low, high, &v)) return false;
    *out = static_cast<long>(v);
    return true;
}

bool varKind(const std::string& text, std::uint16_t* type) {
    static const struct {
        const char* name;
        std::uint16_t type;
    } kinds[] = {{"B", CTL_VAR_B}, {"I", CTL_VAR_I}, {"D", CTL_VAR_D},
                 {"R", CTL_VAR_R}, {"P", CTL_VAR_P}, {"S", CTL_VAR_S}};
    for (const auto& k : kinds) {
        if (text == k.name) {
            *type = k.type;
            return true;
        }
    }
    return false;
}

// One entry of KOR_FAULTS; false when it is malformed.
bool parseEntry(const std::string& entry, std::vector<SiteFault>* sites,
                std::vector<VarFault>* vars) {
    const std::vector<std::string> f = split(entry, ':');
    if (f[0] == "get" || f[0] == "put") {
        VarFault v{f[0] == "put", 0, 0, 0, 1};
        if (f.size() < 3 || f.size() > 4 || !varKind(f[1], &v.type)) return false;
        const std::vector<std::string> range = split(f[2], '-');
        long first = 0, last = 0, times = 1;
        if (range.size() > 2 || !toInt(range[0], 0, 65535, &first)) return false;
        last = first;
        if (range.size() == 2 && !toInt(range[1], first, 65535, &last)) return false;
        if (f.size() == 4 && !toInt(f[3], -1, 1000000000, &times)) return false;
        v.first = static_cast<std::uint16_t>(first);
        v.last = static_cast<std::uint16_t>(last);
        v.times = static_cast<int>(times);
        vars->push_back(v);
        // S variables are read and written through two call kinds.
        if (v.type == CTL_VAR_S) {
            v.type = CTL_VAR_S_INFO;
            vars->push_back(v);
        }
        return true;
    }
    for (int s = 0; s < static_cast<int>(Site::Count); ++s) {
        if (f[0] != vc::hooks::siteName(static_cast<Site>(s))) continue;
        long skip = 0, times = 1, err = EIO;
        if (f.size() < 2 || f.size() > 4 || !toInt(f[1], 0, 1000000000, &skip)) return false;
        if (f.size() >= 3 && !toInt(f[2], -1, 1000000000, &times)) return false;
        if (f.size() == 4 && !toInt(f[3], 1, 4095, &err)) return false;
        sites->push_back(SiteFault{static_cast<Site>(s), static_cast<int>(skip),
                                   static_cast<int>(times), static_cast<int>(err)});
        return true;
    }
    return false;
}

void arm(const std::vector<SiteFault>& sites, const std::vector<VarFault>& vars) {
    for (const auto& s : sites) vc::hooks::failAfter(s.site, s.skip, s.times, s.err);
    for (const auto& v : vars) vc::hooks::failVar(v.write, v.type, v.first, v.last, v.times);
}

void reportAllocations(const std::string& path) {
    const std::string temp = path + ".tmp";
    for (;;) {
        if (std::FILE* f = std::fopen(temp.c_str(), "w")) {
            std::fprintf(f, "%ld\n", vc::hooks::liveAllocations());
            std::fclose(f);
            std::rename(temp.c_str(), path.c_str());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

}  // namespace

bool armFaultsFromEnvironment(const char** error) {
    std::vector<SiteFault> sites;
    std::vector<VarFault> vars;
    if (const char* faults = std::getenv("KOR_FAULTS"); faults && *faults) {
        for (const std::string& entry : split(faults, ',')) {
            if (!parseEntry(entry, &sites, &vars)) {
                *error =
                    "KOR_FAULTS: malformed entry (SITE:SKIP[:TIMES[:ERRNO]] or get|put:KIND:FIRST[-LAST][:TIMES])";
                return false;
            }
        }
    }
    long afterMs = 0;
    if (const char* after = std::getenv("KOR_FAULTS_AFTER_MS"); after && *after) {
        if (!toInt(after, 0, 86400000, &afterMs)) {
            *error = "KOR_FAULTS_AFTER_MS: not a number of milliseconds";
            return false;
        }
    }
    if (afterMs == 0) {
        arm(sites, vars);
    } else if (!sites.empty() || !vars.empty()) {
        std::thread([sites, vars, afterMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
            arm(sites, vars);
        }).detach();
    }
    if (const char* report = std::getenv("KOR_ALLOC_REPORT"); report && *report)
        std::thread(reportAllocations, std::string(report)).detach();
    return true;
}

}  // namespace kor
