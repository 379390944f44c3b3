// Loading the settings file: the configuration reader fetches the values of
// the known keys; a line scan beforehand finds what the reader would skip in
// silence (unknown keys, lines without '='), so that a typing error in a key
// is reported instead of ignored.
#include <arpa/inet.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ctl.h"
#include "korSettings.h"
#include "rconfig.h"

namespace kor {
namespace {

enum class Kind { Text, Address, OptionalAddress, Number, AutoOff };

struct Rule {
    const char* key;
    Kind kind;
    std::string vc::Settings::*text;
    int vc::Settings::*number;
    int min, max;
    bool vc::Settings::*flag = nullptr;
};

using S = vc::Settings;
constexpr int kCountMax = 65536;

const Rule kRules[] = {
    {"address", Kind::Address, &S::address, nullptr, 0, 0},
    {"motetsec0", Kind::OptionalAddress, &S::altAddress, nullptr, 0, 0},
    {"hostname", Kind::Text, &S::hostname, nullptr, 0, 0},
    {"state", Kind::Text, &S::statePath, nullptr, 0, 0},
    {"jobs", Kind::Text, &S::jobsDir, nullptr, 0, 0},
    {"clock_rate", Kind::Number, nullptr, &S::clockRate, 10, 100000},
    {"clock0_us", Kind::Number, nullptr, &S::clock0Us, 100, 1000000},
    {"clock1_us", Kind::Number, nullptr, &S::clock1Us, 100, 1000000},
    {"com1", Kind::Text, &S::com1, nullptr, 0, 0},
    {"com2", Kind::Text, &S::com2, nullptr, 0, 0},
    {"b_count", Kind::Number, nullptr, &S::bCount, 1, kCountMax},
    {"i_count", Kind::Number, nullptr, &S::iCount, 1, kCountMax},
    {"d_count", Kind::Number, nullptr, &S::dCount, 1, kCountMax},
    {"r_count", Kind::Number, nullptr, &S::rCount, 1, kCountMax},
    {"s_count", Kind::Number, nullptr, &S::sCount, 1, kCountMax},
    {"p_count", Kind::Number, nullptr, &S::pCount, 1, kCountMax},
    {"io_count", Kind::Number, nullptr, &S::ioCount, 1, static_cast<int>(CTL_REGISTER_BASE)},
    {"register_count", Kind::Number, nullptr, &S::registerCount, 1, 1000000},
    {"ftp_server", Kind::Text, &S::ftpServer, nullptr, 0, 0},
    {"ftp_port", Kind::Number, nullptr, &S::ftpPort, 1, 65535},
    {"realtime", Kind::AutoOff, nullptr, nullptr, 0, 0, &S::realtime},
};
constexpr int kRuleCount = sizeof kRules / sizeof kRules[0];

std::string trimmed(const char* begin, const char* end) {
    while (begin < end && (*begin == ' ' || *begin == '\t')) ++begin;
    while (end > begin && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\n' || end[-1] == '\r'))
        --end;
    return std::string(begin, end);
}

bool knownKey(const std::string& key) {
    for (const Rule& r : kRules)
        if (key == r.key) return true;
    return false;
}

// What the configuration reader would pass over without a word.
bool scanLines(const char* path, std::string* error) {
    FILE* f = std::fopen(path, "r");
    if (!f) {
        *error = std::string("cannot read settings file ") + path + ": " + std::strerror(errno);
        return false;
    }
    char line[1024];
    int number = 0;
    bool ok = true;
    while (ok && std::fgets(line, sizeof line, f)) {
        ++number;
        line[std::strcspn(line, "#")] = 0;
        std::string where = std::string(path) + ":" + std::to_string(number) + ": ";
        char* eq = std::strchr(line, '=');
        if (!eq) {
            if (!trimmed(line, line + std::strlen(line)).empty()) {
                *error = where + "expected 'key = value'";
                ok = false;
            }
            continue;
        }
        std::string key = trimmed(line, eq);
        if (!knownKey(key)) {
            *error = where + "unknown key '" + key + "'";
            ok = false;
        }
    }
    std::fclose(f);
    return ok;
}

bool parseInt(const std::string& text, int min, int max, int* out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != 0 || v < min || v > max) return false;
    *out = static_cast<int>(v);
    return true;
}

bool isAddress(const std::string& text) {
    in_addr a{};
    return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

bool apply(const Rule& rule, std::string value, vc::Settings* s, std::string* why) {
    // The reader keeps a CR of CR LF line ends; it is never part of a value.
    while (!value.empty() && value.back() == '\r') value.pop_back();
    switch (rule.kind) {
        case Kind::Text:
            if (value.empty()) *why = "must not be empty";
            else s->*rule.text = value;
            break;
        case Kind::Address:
        case Kind::OptionalAddress:
            if (isAddress(value) || (rule.kind == Kind::OptionalAddress && value.empty()))
                s->*rule.text = value;
            else *why = "must be an IPv4 address like 127.0.0.1";
            break;
        case Kind::Number:
            if (!parseInt(value, rule.min, rule.max, &(s->*rule.number)))
                *why = "must be a whole number " + std::to_string(rule.min) + ".." +
                       std::to_string(rule.max);
            break;
        case Kind::AutoOff:
            if (value == "auto" || value == "off") s->*rule.flag = value == "auto";
            else *why = "must be auto or off";
            break;
    }
    return why->empty();
}

}  // namespace

bool loadSettings(const char* path, vc::Settings* settings, std::string* error) {
    *settings = vc::Settings{};
    if (!path) return true;
    if (!scanLines(path, error)) return false;
    const char* keys[kRuleCount + 1] = {};
    for (int k = 0; k < kRuleCount; ++k) keys[k] = kRules[k].key;
    char* values[kRuleCount + 1] = {};
    if (read_config_file(path, keys, values) < 0) {
        *error = std::string("cannot read settings file ") + path;
        return false;
    }
    bool ok = true;
    for (int k = 0; k < kRuleCount; ++k) {
        if (!values[k]) continue;
        std::string why;
        if (ok && !apply(kRules[k], values[k], settings, &why)) {
            *error = std::string(path) + ": bad value '" + values[k] + "' for key '" +
                     kRules[k].key + "': " + why;
            ok = false;
        }
        ctlFree(values[k]);
    }
    return ok;
}

}  // namespace kor
