// Configuration files of "key = value" lines.
#include "rconfig.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ctl.h"
#include "funclib.h"
#include "rconfigText.h"

const char* file_error_msg = "could not open file ";
const char* unknown_option_msg = "unknown option ";
const char* illegal_format_msg = "line without '='.\n";

namespace {

constexpr int LINE_BUFFER = 1024;

bool isLeadingBlank(char c) { return c == ' ' || c == '\t'; }
bool isTrailingBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

int findKey(const char* const* keys, const char* key) {
    for (int i = 0; keys[i]; ++i)
        if (std::strcmp(keys[i], key) == 0) return i;
    return -1;
}

int countKeys(const char* const* keys) {
    int n = 0;
    while (keys[n]) ++n;
    return n;
}

// Splits one line into trimmed key and value (both point into line); false
// when the line, once its comment is cut off, holds no '='.
bool splitSetting(char* line, char** key, char** value) {
    if (char* comment = std::strchr(line, '#')) *comment = '\0';
    char* equals = std::strchr(line, '=');
    if (!equals) return false;
    *equals = '\0';
    trim_blanks(line);
    trim_blanks(equals + 1);
    *key = line;
    *value = equals + 1;
    return true;
}

struct KnownValues {
    const char* const* keys;
    char** values;
    bool* setHere;
    int count;  // lines that set a known key
};

bool storeKnownValue(const ConfigLine& line, void* context) {
    auto* known = static_cast<KnownValues*>(context);
    const int k = line.key ? findKey(known->keys, line.key) : -1;
    if (k < 0) return true;
    char* copy = mystrdup(line.value);
    if (!copy) return true;  // out of memory: the earlier value stays
    if (known->setHere[k]) ctlFree(known->values[k]);
    known->values[k] = copy;
    known->setHere[k] = true;
    ++known->count;
    return true;
}

}  // namespace

void trim_blanks(char* text) {
    if (!text) return;
    std::size_t start = 0;
    while (isLeadingBlank(text[start])) ++start;
    std::size_t len = std::strlen(text + start);
    std::memmove(text, text + start, len + 1);
    while (len > 0 && isTrailingBlank(text[len - 1])) text[--len] = '\0';
}

char* expand_tilde(const char* path) {
    if (!path) return nullptr;
    const char* home = std::getenv("HOME");
    if (path[0] != '~' || !home) return mystrdup(path);
    return rconfig_make_message(home, path + 1, nullptr);
}

char* rconfig_make_message(const char* first, const char* second, const char* third) {
    if (!first) first = "";
    const std::size_t total = std::strlen(first) + (second ? std::strlen(second) : 0) +
                              (third ? std::strlen(third) : 0);
    auto* text = static_cast<char*>(ctlMalloc(total + 2));
    if (!text) return nullptr;
    std::strcpy(text, first);
    if (second) std::strcat(text, second);
    if (third) std::strcat(text, third);
    return text;
}

int visit_config_file(const char* filename, bool (*visit)(const ConfigLine& line, void* context),
                      void* context) {
    std::FILE* file = std::fopen(filename, "r");
    if (!file) return -1;
    int number = 0;
    bool more = true;
    char line[LINE_BUFFER];
    while (more && std::fgets(line, sizeof line, file)) {
        ConfigLine seen{++number, nullptr, nullptr, nullptr};
        char* key = nullptr;
        char* value = nullptr;
        if (splitSetting(line, &key, &value)) {
            seen.key = key;
            seen.value = value;
        } else {
            trim_blanks(line);
            seen.text = line;
        }
        more = visit(seen, context);
    }
    std::fclose(file);
    return number;
}

int read_config_file(const char* filename, const char* const* keys, char** values) {
    // Which entries this call has set: only those are released when a later
    // line sets the same key again.
    const int keyCount = countKeys(keys);
    auto* setHere = static_cast<bool*>(ctlMalloc(sizeof(bool) * (keyCount + 1)));
    if (!setHere) return -1;
    for (int i = 0; i < keyCount; ++i) setHere[i] = false;
    KnownValues known{keys, values, setHere, 0};
    const int lines = visit_config_file(filename, storeKnownValue, &known);
    ctlFree(setHere);
    return lines < 0 ? -1 : known.count;
}

char* write_config_file(const char* filename, const char* const* keys, char* const* values,
                        const char* header) {
    std::FILE* file = std::fopen(filename, "w");
    if (!file) return rconfig_make_message(file_error_msg, filename, ".");
    bool written = !header || std::fprintf(file, "%s\n", header) >= 0;
    for (int i = 0; keys[i] && written; ++i)
        if (values[i]) written = std::fprintf(file, "%s = %s\n", keys[i], values[i]) >= 0;
    // A full disk shows up at the latest when the buffer is flushed.
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) return rconfig_make_message("could not write file ", filename, ".");
    return nullptr;
}

char* make_conf_filename(const char* name, const char* defaultName, const char* dir) {
    char* path = expand_tilde(name ? name : defaultName);
    if (!path) return nullptr;
    if (path[0] == '/' || !dir) return path;

    char* expandedDir = expand_tilde(dir);
    if (!expandedDir) {
        ctlFree(path);
        return nullptr;
    }
    const std::size_t dirLen = std::strlen(expandedDir);
    if (dirLen > 0 && expandedDir[dirLen - 1] == '/') expandedDir[dirLen - 1] = '\0';
    char* joined = rconfig_make_message(expandedDir, "/", path);
    ctlFree(expandedDir);
    ctlFree(path);
    return joined;
}
