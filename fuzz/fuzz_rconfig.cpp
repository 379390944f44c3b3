// The configuration reader on arbitrary file contents: the values it stores
// and the lines it counts are checked against a reference reader, every text
// it hands out is released (the allocation count returns to where it was),
// and what it read survives a write and a second read unchanged.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "rconfig.h"

namespace {

const char* const kKeys[] = {"ip", "port", "name", "a", "", "two words", "IP", nullptr};
constexpr int kKeyCount = 7;
constexpr std::size_t kLineBuffer = 1024;

std::string scratchFile;

struct Reading {
    int count = 0;
    std::optional<std::string> values[kKeyCount];
};

std::string trimmed(const std::string& s) {
    std::size_t start = 0;
    while (start < s.size() && (s[start] == ' ' || s[start] == '\t')) ++start;
    std::size_t end = s.size();
    while (end > start && (s[end - 1] == ' ' || s[end - 1] == '\t' || s[end - 1] == '\n')) --end;
    return s.substr(start, end - start);
}

// Reads as fgets with a 1024-byte buffer does: pieces of at most 1023 bytes,
// each ending after a line feed; a NUL inside a piece ends its text.
Reading referenceRead(const std::string& content) {
    Reading r;
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t end = pos;
        while (end < content.size() && end - pos < kLineBuffer - 1) {
            if (content[end++] == '\n') break;
        }
        std::string line = content.substr(pos, end - pos);
        line.resize(std::strlen(line.c_str()));
        pos = end;
        if (std::size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = trimmed(line.substr(0, eq));
        for (int k = 0; k < kKeyCount; ++k) {
            if (key == kKeys[k]) {
                r.values[k] = trimmed(line.substr(eq + 1));
                ++r.count;
                break;
            }
        }
    }
    return r;
}

void writeFile(const std::string& content) {
    std::ofstream(scratchFile, std::ios::binary | std::ios::trunc) << content;
}

[[noreturn]] void fail(const char* what, int key = -1) {
    std::fprintf(stderr, "%s (key %d)\n", what, key);
    std::abort();
}

// Runs the reader and compares with the reference; values released after.
void readAndCheck(const Reading& expected, std::vector<std::optional<std::string>>* got = nullptr) {
    char* values[kKeyCount + 1] = {};
    const int count = read_config_file(scratchFile.c_str(), kKeys, values);
    if (count != expected.count) fail("count differs");
    for (int k = 0; k < kKeyCount; ++k) {
        if (expected.values[k].has_value() != (values[k] != nullptr)) fail("key set differs", k);
        if (values[k] && *expected.values[k] != values[k]) fail("value differs", k);
        if (got) got->push_back(values[k] ? std::optional<std::string>(values[k]) : std::nullopt);
        ctlFree(values[k]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/arvokor-fuzz-rconfig-XXXXXX";
    const int fd = ::mkstemp(tmpl);
    if (fd < 0) std::abort();
    ::close(fd);
    scratchFile = tmpl;
    std::atexit([] { std::remove(scratchFile.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size > 16384) return 0;
    const long liveBefore = vc::hooks::liveAllocations();
    const std::string content(reinterpret_cast<const char*>(bytes), size);
    writeFile(content);
    const Reading expected = referenceRead(content);
    std::vector<std::optional<std::string>> got;
    readAndCheck(expected, &got);

    // Write what was read and read it back: the same values, one line each.
    // (A line longer than the reader's buffer would be split: not checked.)
    std::vector<char*> values(kKeyCount + 1, nullptr);
    Reading again;
    bool fits = true;
    for (int k = 0; k < kKeyCount; ++k) {
        if (!got[k]) continue;
        values[k] = const_cast<char*>(got[k]->c_str());
        again.values[k] = got[k];
        ++again.count;
        fits = fits && std::strlen(kKeys[k]) + got[k]->size() + 4 < kLineBuffer;
    }
    if (char* msg = write_config_file(scratchFile.c_str(), kKeys, values.data(), "# fuzz")) {
        ctlFree(msg);
        fail("write failed");
    }
    if (fits) readAndCheck(again);

    if (vc::hooks::liveAllocations() != liveBefore) fail("texts not released");
    return 0;
}
