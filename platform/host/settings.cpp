// The settings in force in this process, and the table of settings with
// their limits.
#include <arpa/inet.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "vc.h"

namespace vc {
namespace {

Settings& current() {
    static Settings* s = new Settings;  // never destroyed: detached tasks may read it at exit
    return *s;
}

using S = Settings;
using K = SettingKind;
constexpr int kCountMax = 65536;  // B..P indices are 16 bits

// Adding a setting: a field in Settings and a row here.
constexpr SettingRule kRules[] = {
    {"address", K::Address, &S::address, nullptr, 0, 0},
    {"motetsec0", K::OptionalAddress, &S::altAddress, nullptr, 0, 0},
    {"hostname", K::Text, &S::hostname, nullptr, 0, 0},
    {"state", K::Text, &S::statePath, nullptr, 0, 0},
    {"jobs", K::Text, &S::jobsDir, nullptr, 0, 0},
    {"clock_rate", K::Number, nullptr, &S::clockRate, 10, 100000},
    {"clock0_us", K::Number, nullptr, &S::clock0Us, 100, 1000000},
    {"clock1_us", K::Number, nullptr, &S::clock1Us, 100, 1000000},
    {"com1", K::Text, &S::com1, nullptr, 0, 0},
    {"com2", K::Text, &S::com2, nullptr, 0, 0},
    {"b_count", K::Number, nullptr, &S::bCount, 1, kCountMax},
    {"i_count", K::Number, nullptr, &S::iCount, 1, kCountMax},
    {"d_count", K::Number, nullptr, &S::dCount, 1, kCountMax},
    {"r_count", K::Number, nullptr, &S::rCount, 1, kCountMax},
    {"s_count", K::Number, nullptr, &S::sCount, 1, kCountMax},
    {"p_count", K::Number, nullptr, &S::pCount, 1, kCountMax},
    {"io_count", K::Number, nullptr, &S::ioCount, 1, static_cast<int>(CTL_REGISTER_BASE)},
    {"register_count", K::Number, nullptr, &S::registerCount, 1, 1000000},
    {"ftp_server", K::Text, &S::ftpServer, nullptr, 0, 0},
    {"ftp_port", K::Number, nullptr, &S::ftpPort, 1, 65535},
    {"realtime", K::AutoOff, nullptr, nullptr, 0, 0, &S::realtime},
    {"connect_timeout", K::Number, nullptr, &S::connectTimeout, 1, 600},
    {"send_buffer", K::Number, nullptr, &S::sendBuffer, 0, 1 << 24},
    {"mail_tls", K::Choice, &S::mailTls, nullptr, 0, 0, nullptr, "off|starttls|tls"},
    {"ftp_tls", K::Choice, &S::ftpTls, nullptr, 0, 0, nullptr, "off|explicit"},
    {"tls_ca", K::Text, &S::tlsCa, nullptr, 0, 0},
    {"mail_tls_name", K::Text, &S::mailTlsName, nullptr, 0, 0},
    {"ftp_tls_name", K::Text, &S::ftpTlsName, nullptr, 0, 0},
    {"ftp_temporary_names", K::Choice, &S::ftpTemporaryNames, nullptr, 0, 0, nullptr, "on|off"},
    {"modbus_transaction", K::Choice, &S::modbusTransaction, nullptr, 0, 0, nullptr, "fresh|fixed"},
    {"modbus_wait", K::Choice, &S::modbusWait, nullptr, 0, 0, nullptr, "fixed|reply"},
    {"journal", K::Number, nullptr, &S::journal, 0, 1 << 20},
    {"capture", K::OffAll, nullptr, nullptr, 0, 0, &S::captureAll},
    {"capture_bytes", K::Number, nullptr, &S::captureBytes, 1024, 16 << 20},
};

bool isAddress(const std::string& text) {
    in_addr a{};
    return ::inet_pton(AF_INET, text.c_str(), &a) == 1;
}

bool parseNumber(const std::string& text, int* out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != 0 || v < INT_MIN || v > INT_MAX) return false;
    *out = static_cast<int>(v);
    return true;
}

bool isChoice(const SettingRule& rule, const std::string& text) {
    const std::string words = std::string("|") + rule.choices + "|";
    return words.find("|" + text + "|") != std::string::npos;
}

std::string choiceProblem(const SettingRule& rule) {
    std::string words = rule.choices;
    for (char& c : words)
        if (c == '|') c = ',';
    return "must be one of " + words;
}

std::string textProblem(const SettingRule& rule, const std::string& text) {
    if (rule.kind == K::Choice) return isChoice(rule, text) ? std::string() : choiceProblem(rule);
    if (rule.kind == K::Text || isAddress(text) ||
        (rule.kind == K::OptionalAddress && text.empty()))
        return {};
    return "must be an IPv4 address like 127.0.0.1";
}

std::string numberLimits(const SettingRule& rule) {
    return "must be a whole number " + std::to_string(rule.min) + ".." + std::to_string(rule.max);
}

std::string numberProblem(const SettingRule& rule, int v) {
    return v >= rule.min && v <= rule.max ? std::string() : numberLimits(rule);
}

// Why the value the settings hold for rule is unusable; empty when it is fine.
std::string valueProblem(const SettingRule& rule, const Settings& s) {
    if (rule.kind == K::AutoOff || rule.kind == K::OffAll) return {};
    return rule.kind == K::Number ? numberProblem(rule, s.*rule.number)
                                  : textProblem(rule, s.*rule.text);
}

}  // namespace

const Settings& settings() { return current(); }

void useSettings(const Settings& settings) { current() = settings; }

std::span<const SettingRule> settingRules() { return kRules; }

const SettingRule* findSetting(const std::string& key) {
    for (const SettingRule& r : kRules)
        if (key == r.key) return &r;
    return nullptr;
}

std::string applySetting(const SettingRule& rule, std::string value, Settings* settings) {
    // The reader keeps a CR of CR LF line ends; it is never part of a value.
    while (!value.empty() && value.back() == '\r') value.pop_back();
    if (rule.kind == K::Number) {
        int v = 0;
        if (!parseNumber(value, &v)) return numberLimits(rule);
        std::string why = numberProblem(rule, v);
        if (why.empty()) settings->*rule.number = v;
        return why;
    }
    if (rule.kind == K::AutoOff) {
        if (value != "auto" && value != "off") return "must be auto or off";
        settings->*rule.flag = value == "auto";
        return {};
    }
    if (rule.kind == K::OffAll) {
        if (value != "off" && value != "all") return "must be off or all";
        settings->*rule.flag = value == "all";
        return {};
    }
    if (rule.kind == K::Text && value.empty()) return "must not be empty";
    std::string why = textProblem(rule, value);
    if (why.empty()) settings->*rule.text = value;
    return why;
}

std::string settingsProblem(const Settings& settings) {
    for (const SettingRule& r : kRules) {
        if (std::string why = valueProblem(r, settings); !why.empty())
            return std::string(r.key) + " " + why;
    }
    return {};
}

}  // namespace vc
