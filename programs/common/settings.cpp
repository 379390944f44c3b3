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
    }
    return text;
}

}  // namespace kor
