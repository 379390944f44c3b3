// Loading the settings file with the system's configuration reader against
// the controller's table of settings. Lines the reader would pass over in
// silence (unknown keys, lines without '=') are reported, so that a typing
// error in a key is not ignored.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <vector>

#include "korSettings.h"
#include "rconfig.h"

namespace kor {
namespace {

struct Reading {
    const char* path;
    std::vector<std::optional<std::string>> values;  // the last value of each row of the table
    std::string error;  // the first line that is not a known key = value
};

bool isBlank(const char* text) { return text[std::strspn(text, " \t\r\n")] == '\0'; }

// The keys whose values are paths of files or folders.
bool isPathKey(const char* key) {
    for (const char* k : {"state", "jobs", "com1", "com2", "tls_ca"})
        if (std::strcmp(key, k) == 0) return true;
    return false;
}

// A relative path written in a settings file names a place next to that
// file, not in whatever folder the program was started from.
std::string besideFile(const char* file, const std::string& value) {
    const char* slash = std::strrchr(file, '/');
    if (value.empty() || value[0] == '/' || !slash) return value;
    return std::string(file, slash + 1) + value;
}

bool takeLine(const ConfigLine& line, void* context) {
    auto* r = static_cast<Reading*>(context);
    const std::string where = std::string(r->path) + ":" + std::to_string(line.number) + ": ";
    if (!line.key) {
        if (!isBlank(line.text)) r->error = where + "expected 'key = value'";
        return r->error.empty();
    }
    const vc::SettingRule* rule = vc::findSetting(line.key);
    if (rule == nullptr) {
        r->error = where + "unknown key '" + line.key + "'";
        return false;
    }
    r->values[rule - vc::settingRules().data()] = line.value;
    return true;
}

}  // namespace

bool loadSettings(const char* path, vc::Settings* settings, std::string* error) {
    *settings = vc::Settings{};
    if (!path) return true;
    const auto rules = vc::settingRules();
    Reading r{path, std::vector<std::optional<std::string>>(rules.size()), {}};
    errno = 0;
    if (visit_config_file(path, takeLine, &r) < 0) {
        *error = std::string("cannot read settings file ") + path + ": " +
                 std::generic_category().message(errno);
        return false;
    }
    if (!r.error.empty()) {
        *error = r.error;
        return false;
    }
    // Values in the order of the table, each key's last line winning.
    for (size_t k = 0; k < rules.size(); ++k) {
        if (!r.values[k]) continue;
        if (isPathKey(rules[k].key)) {
            // A CR of a CR LF line end is not part of the value.
            std::string& value = *r.values[k];
            if (!value.empty() && value.back() == '\r') value.pop_back();
            value = besideFile(path, value);
        }
        if (std::string why = vc::applySetting(rules[k], *r.values[k], settings); !why.empty()) {
            *error = std::string(path) + ": bad value '" + *r.values[k] + "' for key '" +
                     rules[k].key + "': " + why;
            return false;
        }
    }
    return true;
}

}  // namespace kor

namespace kor {
namespace {

// What each key does, for arvokor --help and its man page (the README's
// settings table says the same at more length).
struct Meaning {
    const char* key;
    const char* text;
};
constexpr Meaning kMeanings[] = {
    {"address",
     "The controller's own address (interface gei1). Sockets bound to \"any "
     "address\" bind here, and the admin port (15000) listens here; several "
     "controllers run side by side on 127.x.y.z addresses."},
    {"motetsec0", "The address of the second interface, if any."},
    {"hostname", "The controller's host name."},
    {"state",
     "The state file: B, I, D, R, S and P variables, I/O signals, registers and the "
     "simulated robot, kept across restarts and shared with korjob. Made when missing; "
     "rebuilt, keeping every value that still fits, when the counts change."},
    {"jobs", "The job file directory (*.JBI), which the controller's own FTP server serves."},
    {"clock_rate",
     "System clock ticks per second. Delays given in milliseconds are rounded up "
     "to whole ticks, so they last as long at any rate."},
    {"clock0_us", "The period of controller clock 0 in microseconds."},
    {"clock1_us", "The period of controller clock 1 in microseconds."},
    {"com1", "The device path (tty or pty) of \\COM1, also used for the empty port name."},
    {"com2", "The device path (tty or pty) of \\COM2."},
    {"b_count", "The number of B variables (bytes)."},
    {"i_count", "The number of I variables (16-bit)."},
    {"d_count", "The number of D variables (32-bit)."},
    {"r_count", "The number of R variables (reals)."},
    {"s_count", "The number of S variables (texts of 32 characters)."},
    {"p_count", "The number of P variables (positions)."},
    {"io_count", "General I/O signal addresses 0 .. n-1."},
    {"register_count", "Registers 0 .. n-1, at I/O addresses 1000000 + n."},
    {"ftp_server",
     "The controller's own FTP server: auto (the built-in one), off, or the "
     "command line of another server."},
    {"ftp_port",
     "Where that server really listens; connections to port 21 of the "
     "controller's address go there."},
    {"realtime",
     "auto: every task runs at a fixed real-time (SCHED_FIFO) priority by its "
     "class and memory is locked, where the process may do so, else normal "
     "scheduling with one console line saying so; off: normal scheduling."},
    {"connect_timeout",
     "Seconds any TCP connect of ArvoKOR may take (channels, telnet, "
     "Modbus, FTP, mail) before it fails, instead of the kernel's SYN "
     "retries (about 2 minutes)."},
    {"mail_tls",
     "TLS of the mail command: off; starttls (STARTTLS after EHLO; a server "
     "that does not offer it fails the mail); tls (TLS from the first byte, port "
     "465 servers)."},
    {"ftp_tls",
     "TLS of every job transfer to another FTP server: off, or explicit (AUTH "
     "TLS, PBSZ 0, PROT P, data connections in TLS). The controller's own FTP "
     "server stays plain."},
    {"tls_ca",
     "PEM bundle of the certificate authorities a server's certificate must chain "
     "to. Verification is always on; a refused certificate fails the command with "
     "a console line saying why."},
    {"mail_tls_name",
     "The name a mail server's certificate must carry, also sent as SNI; "
     "without it the certificate must carry the server's address."},
    {"ftp_tls_name",
     "The name an FTP server's certificate must carry, also sent as SNI; "
     "without it the certificate must carry the server's address."},
    {"send_buffer",
     "Bytes of every TCP socket's send buffer; 0 keeps the system's own. A "
     "smaller buffer makes a send to a peer that stops reading block sooner."},
    {"ftp_temporary_names",
     "on: a job transfer stores the file under a temporary name (NAME.<n>.kortmp) "
     "and renames it once complete; a server that refuses that name or the rename "
     "gets the job name directly, with a console line. off: the job name only, for "
     "servers whose watchers pick up any new file."},
    {"modbus_transaction",
     "fresh: every Modbus request carries a transaction id of its own and only the "
     "reply with that id counts; fixed: every request carries id 1 and a reply with "
     "any id counts, for devices that answer with a fixed id or echo none."},
    {"modbus_wait",
     "fixed: a Modbus exchange always waits 200 ms for its reply, as jobs timed on "
     "it expect; reply: it ends as soon as the reply to the request is complete "
     "(200 ms still the limit, the same result codes and stored values)."},
    {"journal",
     "Entries of the command journal (koradmin journal): each command's "
     "parameters, result, duration and console lines. 0 turns it off."},
    {"capture",
     "all: every channel's traffic is captured from its opening on (koradmin "
     "capture); off: none until switched on per channel."},
    {"capture_bytes", "The size in bytes of one channel's capture ring."},
};

// text in lines of at most `width` characters, each after `indent` spaces.
std::string wrapped(const std::string& text, std::size_t indent, std::size_t width) {
    std::string out, line;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(at, end - at);
        if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
            out += std::string(indent, ' ') + line + "\n";
            line.clear();
        }
        line.append(line.empty() ? "" : " ").append(word);
        at = end + 1;
    }
    if (!line.empty()) out += std::string(indent, ' ') + line + "\n";
    return out;
}

}  // namespace

const char* settingMeaning(const char* key) {
    for (const Meaning& m : kMeanings)
        if (std::strcmp(m.key, key) == 0) return m.text;
    return nullptr;
}

std::string describeSettings() {
    using K = vc::SettingKind;
    const vc::Settings defaults;
    std::string text;
    for (const vc::SettingRule& rule : vc::settingRules()) {
        std::string value, values;
        switch (rule.kind) {
            case K::Number:
                value = std::to_string(defaults.*rule.number);
                values = std::to_string(rule.min) + ".." + std::to_string(rule.max);
                break;
            case K::AutoOff:
                value = defaults.*rule.flag ? "auto" : "off";
                values = "auto or off";
                break;
            case K::OffAll:
                value = defaults.*rule.flag ? "all" : "off";
                values = "off or all";
                break;
            case K::Choice:
                value = defaults.*rule.text;
                values = rule.choices;
                for (char& c : values)
                    if (c == '|') c = ',';
                break;
            default:
                value = defaults.*rule.text;
                if (rule.kind != K::Text) values = "an IPv4 address";
                if (rule.kind == K::OptionalAddress) values += " or none";
                break;
        }
        if (value.empty()) value = "(none)";
        std::string key = "  " + std::string(rule.key);
        key.resize(std::max<std::size_t>(key.size() + 2, 20), ' ');
        text += key + value + (values.empty() ? "" : " (" + values + ")") + "\n";
        if (const char* meaning = settingMeaning(rule.key)) text += wrapped(meaning, 6, 78);
    }
    return text;
}

}  // namespace kor
