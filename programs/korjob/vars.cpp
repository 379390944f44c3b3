// korjob get / set / robot: variables, I/O signals and the simulated robot,
// read and written in the state file under its lock.
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "korjob.h"

namespace korjob {
namespace {

struct KindName {
    const char* prefix;
    Kind kind;
};
// IO before I so that the longer prefix wins.
constexpr KindName kKinds[] = {{"IO", Kind::Io}, {"B", Kind::B}, {"I", Kind::I}, {"D", Kind::D},
                               {"R", Kind::R},   {"S", Kind::S}, {"P", Kind::P}};

const char* kindPrefix(Kind kind) {
    for (const auto& k : kKinds)
        if (k.kind == kind) return k.prefix;
    return "?";
}

std::uint32_t countOf(const vc::StateCounts& c, Kind kind) {
    switch (kind) {
        case Kind::B: return c.b;
        case Kind::I: return c.i;
        case Kind::D: return c.d;
        case Kind::R: return c.r;
        case Kind::S: return c.s;
        case Kind::P: return c.p;
        case Kind::Io: return c.io;
    }
    return 0;
}

bool validIndex(const vc::StateCounts& c, Kind kind, std::uint32_t index) {
    if (kind != Kind::Io) return index < countOf(c, kind);
    return index < c.io || (index >= CTL_REGISTER_BASE && index - CTL_REGISTER_BASE < c.reg);
}

std::string rangeHelp(const vc::StateCounts& c, Kind kind) {
    std::string p = kindPrefix(kind);
    if (kind == Kind::Io)
        return "IO0..IO" + std::to_string(c.io - 1) + " and registers IO1000000..IO" +
               std::to_string(CTL_REGISTER_BASE + c.reg - 1);
    return p + "0.." + p + std::to_string(countOf(c, kind) - 1);
}

// "B100" -> kind B, index 100. `kind` fixed when wanted != nullptr.
bool parseOne(const std::string& text, Kind* kind, const Kind* wanted, std::uint32_t* index) {
    std::size_t digits = 0;
    if (wanted) {
        std::string p = kindPrefix(*wanted);
        if (text.size() > p.size() && strncasecmp(text.c_str(), p.c_str(), p.size()) == 0)
            digits = p.size();
        *kind = *wanted;
    } else {
        bool found = false;
        for (const auto& k : kKinds) {
            std::size_t n = std::strlen(k.prefix);
            if (text.size() > n && strncasecmp(text.c_str(), k.prefix, n) == 0 &&
                std::isdigit(static_cast<unsigned char>(text[n]))) {
                *kind = k.kind;
                digits = n;
                found = true;
                break;
            }
        }
        if (!found) return false;
    }
    long long v = 0;
    if (!parseInt(text.substr(digits), 0, 0xffffffffLL, &v)) return false;
    if (!std::isdigit(static_cast<unsigned char>(text[digits]))) return false;
    *index = static_cast<std::uint32_t>(v);
    return true;
}

std::string formatReal(std::uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, f);
    return std::string(buf, res.ptr);
}

std::string formatValue(const vc::StateData& d, Kind kind, std::uint32_t at) {
    switch (kind) {
        case Kind::B: return std::to_string(d.b[at]);
        case Kind::I: return std::to_string(d.i[at]);
        case Kind::D: return std::to_string(d.d[at]);
        case Kind::R: return formatReal(d.r[at]);
        case Kind::S: return std::string(d.s[at], strnlen(d.s[at], CTL_SVAR_MAX_CHARS));
        case Kind::P: {
            std::string text;
            for (int w = 0; w < CTL_POSVAR_WORDS; ++w)
                text += (w ? "," : "") + std::to_string(d.p[at].word[w]);
            return text;
        }
        case Kind::Io:
            return std::to_string(at >= CTL_REGISTER_BASE ? d.reg[at - CTL_REGISTER_BASE]
                                                          : d.io[at]);
    }
    return {};
}

// A value checked against its kind, ready to be stored.
struct Value {
    std::int64_t number = 0;
    std::uint32_t bits = 0;
    std::string text;
    std::int32_t words[CTL_POSVAR_WORDS] = {};
};

// A P value: comma-separated words; missing ones are 0.
bool parsePosition(const std::string& text, Value* v, std::string* why) {
    std::size_t start = 0;
    int w = 0;
    while (true) {
        std::size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
        while (!item.empty() && item.front() == ' ') item.erase(item.begin());
        while (!item.empty() && item.back() == ' ') item.pop_back();
        long long n = 0;
        if (w == CTL_POSVAR_WORDS || !parseInt(item, INT32_MIN, 0xffffffffLL, &n))
            return *why = "a P value is 1 to 8 comma-separated 32-bit words", false;
        v->words[w++] = static_cast<std::int32_t>(static_cast<std::uint32_t>(n));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return true;
}

bool parseValue(Kind kind, const std::string& text, Value* v, std::string* why) {
    long long n = 0;
    switch (kind) {
        case Kind::B:
            if (!parseInt(text, 0, 255, &n)) return *why = "a B value is 0..255", false;
            break;
        case Kind::I:
            if (!parseInt(text, -32768, 32767, &n))
                return *why = "an I value is -32768..32767", false;
            break;
        case Kind::D:
            if (!parseInt(text, INT32_MIN, INT32_MAX, &n))
                return *why = "a D value is a signed 32-bit number", false;
            break;
        case Kind::Io:
            if (!parseInt(text, 0, 65535, &n)) return *why = "an IO value is 0..65535", false;
            break;
        case Kind::R: {
            char* end = nullptr;
            errno = 0;
            float f = std::strtof(text.c_str(), &end);
            if (text.empty() || *end != 0 || (errno == ERANGE && std::isinf(f)))
                return *why = "an R value is a real number such as 1.5 or -2e3", false;
            std::memcpy(&v->bits, &f, sizeof f);
            return true;
        }
        case Kind::S:
            if (text.size() > CTL_SVAR_MAX_CHARS || text.find('\0') != std::string::npos)
                return *why = "an S value holds at most 32 characters", false;
            v->text = text;
            return true;
        case Kind::P: return parsePosition(text, v, why);
    }
    v->number = n;
    return true;
}

void store(const vc::StateData& d, Kind kind, std::uint32_t at, const Value& v) {
    switch (kind) {
        case Kind::B: d.b[at] = static_cast<std::uint8_t>(v.number); break;
        case Kind::I: d.i[at] = static_cast<std::int16_t>(v.number); break;
        case Kind::D: d.d[at] = static_cast<std::int32_t>(v.number); break;
        case Kind::R: d.r[at] = v.bits; break;
        case Kind::S:
            std::memset(d.s[at], 0, vc::kSVarSlot);
            std::memcpy(d.s[at], v.text.data(), v.text.size());
            break;
        case Kind::P: std::memcpy(d.p[at].word, v.words, sizeof v.words); break;
        case Kind::Io:
            if (at >= CTL_REGISTER_BASE)
                d.reg[at - CTL_REGISTER_BASE] = static_cast<std::uint16_t>(v.number);
            else d.io[at] = static_cast<std::uint16_t>(v.number);
            break;
    }
}

int replacedError(const vc::StateFile& state) {
    if (const std::string& problem = vc::stateLockProblem(); !problem.empty())
        std::fprintf(stderr, "korjob: %s\n", problem.c_str());
    else
        std::fprintf(stderr, "korjob: state file %s was replaced while in use; run again\n",
                     state.path().c_str());
    return kExitError;
}

bool parseInts(const std::vector<std::string>& args, std::size_t from, std::int32_t* out,
               std::size_t count, std::string* error) {
    for (std::size_t k = 0; k < count; ++k) {
        long long v = 0;
        if (!parseInt(args[from + k], INT32_MIN, INT32_MAX, &v)) {
            *error = "'" + args[from + k] + "' is not a 32-bit whole number";
            return false;
        }
        out[k] = static_cast<std::int32_t>(v);
    }
    return true;
}

}  // namespace

int usageError(const std::string& message) {
    std::fprintf(stderr, "korjob: %s (korjob --help tells more)\n", message.c_str());
    return kExitError;
}

bool parseVarRange(const std::string& text, const vc::StateCounts& counts, VarRange* out,
                   std::string* error) {
    std::size_t dots = text.find("..");
    std::string head = dots == std::string::npos ? text : text.substr(0, dots);
    Kind kind{};
    std::uint32_t first = 0, last = 0;
    if (!parseOne(head, &kind, nullptr, &first)) {
        *error = "'" + text +
                 "' is not a variable name (B100, I5, D7, R3, S92, P4, IO1000500, B300..B309)";
        return false;
    }
    last = first;
    if (dots != std::string::npos) {
        std::string tail = text.substr(dots + 2);
        long long n = 0;
        Kind same = kind;
        if (parseInt(tail, 0, 0xffffffffLL, &n)) last = static_cast<std::uint32_t>(n);
        else if (!parseOne(tail, &same, &kind, &last)) {
            *error = "'" + text + "': the end of a range is a number or a name of the same kind";
            return false;
        }
        if (last < first) {
            *error = "'" + text + "': the range ends before it starts";
            return false;
        }
    }
    if (!validIndex(counts, kind, first) || !validIndex(counts, kind, last)) {
        *error = "'" + text + "' is out of range (this state file has " + rangeHelp(counts, kind) +
                 ")";
        return false;
    }
    if (kind == Kind::Io && first < counts.io && last >= CTL_REGISTER_BASE) {
        *error = "'" + text + "' spans the gap between I/O signals and registers";
        return false;
    }
    *out = VarRange{kind, first, last};
    return true;
}

std::string varName(Kind kind, std::uint32_t index) {
    static constexpr const char* kPrefix[] = {"B", "I", "D", "R", "S", "P", "IO"};
    return kPrefix[static_cast<int>(kind)] + std::to_string(index);
}

int cmdGet(vc::StateFile& state, const std::vector<std::string>& args) {
    const bool names = !args.empty() && (args[0] == "--names" || args[0] == "-n");
    if (args.size() <= (names ? 1U : 0U)) return usageError("get needs at least one variable");
    std::vector<VarRange> ranges;
    for (const auto& a : args) {
        if (names && &a == &args[0]) continue;
        VarRange r{};
        std::string error;
        if (!parseVarRange(a, state.counts(), &r, &error)) return usageError(error);
        ranges.push_back(r);
    }
    std::string out;
    {
        vc::StateFile::Access access(state);
        if (!access.ok()) return replacedError(state);
        for (const auto& r : ranges)
            for (std::uint64_t at = r.first; at <= r.last; ++at) {
                const auto index = static_cast<std::uint32_t>(at);
                if (names) out += varName(r.kind, index) + "=";
                out += formatValue(access.data(), r.kind, index) + "\n";
            }
    }
    std::fputs(out.c_str(), stdout);
    return kExitOk;
}

int cmdSet(vc::StateFile& state, const std::vector<std::string>& args) {
    if (args.empty() || args.size() % 2 != 0) return usageError("set needs pairs of VAR VALUE");
    std::vector<std::pair<VarRange, Value>> writes;
    for (std::size_t k = 0; k < args.size(); k += 2) {
        VarRange r{};
        Value v;
        std::string error;
        if (!parseVarRange(args[k], state.counts(), &r, &error)) return usageError(error);
        if (!parseValue(r.kind, args[k + 1], &v, &error))
            return usageError(args[k] + ": '" + args[k + 1] + "' is not valid: " + error);
        writes.emplace_back(r, v);
    }
    for (const auto& [r, v] : writes) {
        vc::StateFile::Access access(state);
        if (!access.ok()) return replacedError(state);
        for (std::uint64_t at = r.first; at <= r.last; ++at)
            store(access.data(), r.kind, static_cast<std::uint32_t>(at), v);
    }
    return kExitOk;
}

int cmdRobot(vc::StateFile& state, const std::vector<std::string>& args) {
    std::string error;
    long long unit = 0;
    if (args.size() >= 2 && args[0] == "pos") {
        if (args.size() != 8 && args.size() != 9)
            return usageError("robot pos needs ROBOT X Y Z RX RY RZ [RE]");
        if (!parseInt(args[1], 0, vc::kRobots - 1, &unit)) return usageError("ROBOT is 0..7");
        std::int32_t values[7] = {};
        if (!parseInts(args, 2, values, args.size() - 2, &error)) return usageError(error);
        vc::StateFile::Access access(state);
        if (!access.ok()) return replacedError(state);
        CtlCartPos& pos = access->robot->pos[unit];
        std::memcpy(pos.value, values, sizeof values);
        return kExitOk;
    }
    if (args.size() >= 3 && args[0] == "speed") {
        if (args.size() > 2 + CTL_SERVO_AXES)
            return usageError("robot speed takes at most 8 speeds");
        if (!parseInt(args[1], 0, vc::kControlGroups - 1, &unit))
            return usageError("GROUP is 0..39");
        std::int32_t speeds[CTL_SERVO_AXES] = {};
        if (!parseInts(args, 2, speeds, args.size() - 2, &error)) return usageError(error);
        vc::StateFile::Access access(state);
        if (!access.ok()) return replacedError(state);
        std::memcpy(access->robot->servo[unit], speeds, sizeof speeds);
        return kExitOk;
    }
    return usageError("robot takes 'pos ROBOT X Y Z RX RY RZ [RE]' or 'speed GROUP S0 .. S7'");
}

}  // namespace korjob
