// korjob call: issues one command through the command area exactly as a robot
// job does, and waits for the launcher's acknowledgement and the result.
//
// Slot layout (base b and slot count n from S92, as the launcher reads it):
//   command ID   B b+k          parameters   I b+10k .. b+10k+9
//   defaults of this tool: result B b+10+130k, block B b+11+130k .. +127
// The block receives bytes= / field= data; commands that write output after
// the result variable (13, 30) write into the same block.
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <thread>

#include "korSlotLayout.h"
#include "korjob.h"

namespace korjob {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSlotArea = 130;  // result variable, 128 block variables, one spare
constexpr int kBlockMax = 128;
// Looks at the state file: no event tells of a change there, so the first
// looks come every millisecond (a result usually appears within the
// launcher's 4 ms poll period), later ones at a tenth of the time waited so
// far, at most every 20 ms: few wake-ups and at most 10 % added to a long wait.
constexpr auto kFirstLook = std::chrono::milliseconds(1);
constexpr auto kLongestLook = std::chrono::milliseconds(20);

enum class Returns { Status, Handle, Count, Service };

struct Command {
    int number;
    const char* name;
    Returns returns;
    bool outputAfterResult;  // output bytes start at the result variable + 1
};

constexpr Command kCommands[] = {
    {1, "TCPCONNECT", Returns::Handle, false},
    {2, "SENDDATA", Returns::Count, false},
    {3, "TCPLISTEN", Returns::Handle, false},
    {4, "CLOSEHANDLE", Returns::Status, false},
    {5, "READDATA", Returns::Count, false},
    {6, "CLEARDATA", Returns::Status, false},
    {7, "RS232OPEN", Returns::Handle, false},
    {8, "INFO", Returns::Count, false},
    {9, "CHECKPATTERN", Returns::Count, false},
    {11, "TCPISACCEPTED", Returns::Handle, false},
    {12, "UDPBIND", Returns::Handle, false},
    {13, "CHECKPATTERNBINRES", Returns::Count, true},
    {14, "CHECKPATTERNBIN", Returns::Count, false},
    {15, "FTPCONNECT", Returns::Status, false},
    {16, "FTPDISCONNECT", Returns::Status, false},
    {17, "FTPGETJOB", Returns::Status, false},
    {18, "FTPPUTJOB", Returns::Status, false},
    {20, "SMTP", Returns::Status, false},
    {21, "TELNETCONNECT", Returns::Handle, false},
    {22, "POSSTREAMCONFIG", Returns::Status, false},
    {23, "POSSTREAMSTART", Returns::Status, false},
    {24, "POSSTREAMSTOP", Returns::Status, false},
    {25, "TIMESTAMP", Returns::Status, false},
    {26, "SPEEDOUTSTART", Returns::Status, false},
    {27, "SPEEDOUTSTOP", Returns::Status, false},
    {28, "RVARTOBYTES", Returns::Status, false},
    {29, "BYTESTORVAR", Returns::Status, false},
    {30, "WAITPATTERN", Returns::Count, true},
    {31, "CLOSEALL", Returns::Status, false},
    {32, "POSVARTYPE", Returns::Status, false},
    {33, "POSRECHEADER", Returns::Status, false},
    {34, "MODBUSREAD", Returns::Service, false},
    {35, "MODBUSWRITE", Returns::Service, false},
    {36, "FTPLOADGET", Returns::Service, false},
    {37, "FTPLOADPUT", Returns::Service, false},
    {38, "PING", Returns::Service, false},
    {200, "RS232TEST", Returns::Status, false},
};

const Command* findCommand(int number) {
    for (const auto& c : kCommands)
        if (c.number == number) return &c;
    return nullptr;
}

const Command* findCommand(const std::string& name) {
    for (const auto& c : kCommands)
        if (strcasecmp(c.name, name.c_str()) == 0) return &c;
    return nullptr;
}

std::string meaning(const Command* cmd, int code) {
    if (code == 241) return "not run: controller restarted";
    if (cmd && cmd->returns == Returns::Service && code >= 240) {
        if (code == 255) return "done";
        if (cmd->number == 38 && code == 254) return "no answer";
        return "failed (status " + std::to_string(code - 255) + ")";
    }
    switch (code) {
        case 240: return "unknown command";
        case 249: return "no accepted connection from that address";
        case 251: return "no free handle";
        case 252: return "handle not in use";
        case 253: return "nothing to return (no data, no match, time-out, refused or out of range)";
        case 254: return "failed";
        case 255: return "done";
    }
    if (code > 239) return "unassigned code";
    if (!cmd) return "value";
    switch (cmd->returns) {
        case Returns::Handle: return "handle";
        case Returns::Count: return code == 1 ? "byte" : "bytes";
        default: break;
    }
    if (cmd->number == 15 && code == 2) return "already connected";
    if (cmd->number == 32) return "position data type";
    return code == 1 ? "ok" : "status";
}

std::uint16_t var16(long long n) { return static_cast<std::uint16_t>(n & 0xffff); }

bool parseBytes(const std::string& text, std::string* out, std::string* error) {
    if (text.rfind("hex:", 0) == 0) {
        std::string hex = text.substr(4);
        if (hex.size() % 2 != 0) return *error = "bytes=hex: needs pairs of hex digits", false;
        for (std::size_t k = 0; k < hex.size(); k += 2) {
            char pair[3] = {hex[k], hex[k + 1], 0};
            char* end = nullptr;
            long v = std::strtol(pair, &end, 16);
            if (*end != 0 || !std::isxdigit(static_cast<unsigned char>(pair[0])))
                return *error = "bytes=hex: holds something that is not a hex digit", false;
            out->push_back(static_cast<char>(v));
        }
        return true;
    }
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        std::string list = text.substr(1, text.size() - 2);
        std::size_t start = 0;
        while (list.find_first_not_of(' ') != std::string::npos) {
            std::size_t comma = list.find(',', start);
            std::string item = list.substr(start,
                                           comma == std::string::npos ? comma : comma - start);
            item.erase(0, item.find_first_not_of(' '));
            item.erase(item.find_last_not_of(' ') + 1);
            long long v = 0;
            if (!parseInt(item, 0, 255, &v))
                return *error = "bytes=[..] takes values 0..255 separated by commas", false;
            out->push_back(static_cast<char>(v));
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
        return true;
    }
    *out = text;
    return true;
}

std::string escaped(const std::string& bytes) {
    std::string text;
    char buf[8];
    for (unsigned char c : bytes) {
        switch (c) {
            case '\r': text += "\\r"; break;
            case '\n': text += "\\n"; break;
            case '\t': text += "\\t"; break;
            case '\\': text += "\\\\"; break;
            case '"': text += "\\\""; break;
            default:
                if (c >= 32 && c < 127) text += static_cast<char>(c);
                else {
                    std::snprintf(buf, sizeof buf, "\\x%02x", c);
                    text += buf;
                }
        }
    }
    return text;
}

struct CallRequest {
    const Command* command = nullptr;
    int number = 0;
    std::optional<long long> p[10];
    std::optional<long long> resultVar, block;
    std::optional<std::string> bytes;
    std::vector<std::string> fields;
    int slot = 0;
    double timeout = 10;
    int preset = 0;  // written into the result variable first; the result is the change from it
    std::optional<int> readCount;
};

// Sets parameter k once; a second setting (p0= and port=) is an error.
bool setParam(CallRequest* req, int k, long long v, const std::string& arg, std::string* error) {
    if (req->p[k])
        return *error = "'" + arg + "' sets p" + std::to_string(k) + " a second time", false;
    if (v < -32768 || v > 32767)
        return *error = "'" + arg + "': parameters are I variables, -32768..32767", false;
    req->p[k] = v;
    return true;
}

// addr=A.B.C.D into p4..p7.
bool setAddress(CallRequest* req, const std::string& value, const std::string& arg,
                std::string* error) {
    long long octet[4];
    int n = 0;
    std::size_t start = 0;
    for (; n < 4; ++n) {
        std::size_t dot = value.find('.', start);
        std::string item = value.substr(start, dot == std::string::npos ? dot : dot - start);
        if (!parseInt(item, -32768, 32767, &octet[n])) break;
        if (dot == std::string::npos) {
            ++n;
            break;
        }
        start = dot + 1;
    }
    if (n != 4 || value.find('.', start) != std::string::npos)
        return *error = "'" + arg + "': addr is A.B.C.D", false;
    for (int k = 0; k < 4; ++k)
        if (!setParam(req, 4 + k, octet[k], arg, error)) return false;
    return true;
}

// bytes= (once) or field= (any number of times): what goes into the block.
bool setBlockText(CallRequest* req, const std::string& name, const std::string& value,
                  std::string* error) {
    if (req->bytes || (name == "bytes" && !req->fields.empty()))
        return *error = "give either one bytes= or field= texts", false;
    if (name == "field") {
        req->fields.push_back(value);
        return true;
    }
    std::string data;
    if (!parseBytes(value, &data, error)) return false;
    req->bytes = data;
    return true;
}

bool parseParam(CallRequest* req, const std::string& arg, std::string* error) {
    std::size_t eq = arg.find('=');
    if (eq == std::string::npos || eq == 0)
        return *error = "'" + arg + "' is not name=value", false;
    std::string name = arg.substr(0, eq), value = arg.substr(eq + 1);
    long long v = 0;
    if (name.size() == 2 && (name[0] == 'p' || name[0] == 'P') &&
        std::isdigit(static_cast<unsigned char>(name[1]))) {
        if (!parseInt(value, INT32_MIN, INT32_MAX, &v))
            return *error = "'" + arg + "': not a number", false;
        return setParam(req, name[1] - '0', v, arg, error);
    }
    if (name == "addr") return setAddress(req, value, arg, error);
    if (name == "port") {
        if (!parseInt(value, 0, 65535, &v))
            return *error = "'" + arg + "': port is 0..65535", false;
        // I variables stop at 32767: higher ports are passed as 32767 - port.
        return setParam(req, 0, v <= 32767 ? v : 32767 - v, arg, error);
    }
    if (name == "handle") {
        if (!parseInt(value, -32768, 32767, &v))
            return *error = "'" + arg + "': not a number", false;
        return setParam(req, 8, v, arg, error);
    }
    if (name == "result" || name == "block") {
        if (!parseInt(value, 0, 65535, &v))
            return *error = "'" + arg + "': a B variable number is 0..65535", false;
        (name == "result" ? req->resultVar : req->block) = v;
        return true;
    }
    if (name == "bytes" || name == "field") return setBlockText(req, name, value, error);
    return *error = "unknown parameter '" + name +
                    "' (p0..p9, addr, port, handle, result, block, bytes, field)",
           false;
}

bool parseCall(const std::vector<std::string>& args, CallRequest* req, std::string* error) {
    if (args.empty()) return *error = "call needs a command name or number", false;
    long long n = 0;
    if (parseInt(args[0], 1, 255, &n)) {
        req->number = static_cast<int>(n);
        req->command = findCommand(req->number);
    } else if ((req->command = findCommand(args[0]))) {
        req->number = req->command->number;
    } else {
        return *error = "unknown command '" + args[0] +
                        "' (a name from korjob --help or a number 1..255)",
               false;
    }
    for (std::size_t k = 1; k < args.size(); ++k) {
        const std::string& a = args[k];
        bool hasValue = k + 1 < args.size();
        if (a == "--slot" && hasValue) {
            if (!parseInt(args[++k], 0, KOR_MAX_SLOTS - 1, &n))
                return *error = "--slot is 0..7", false;
            req->slot = static_cast<int>(n);
        } else if (a == "--timeout" && hasValue) {
            char* end = nullptr;
            req->timeout = std::strtod(args[++k].c_str(), &end);
            if (*end != 0 || !(req->timeout > 0 && req->timeout <= 86400))
                return *error = "--timeout is a number of seconds above 0", false;
        } else if (a == "--preset" && hasValue) {
            if (!parseInt(args[++k], 0, 255, &n)) return *error = "--preset is 0..255", false;
            req->preset = static_cast<int>(n);
        } else if (a == "--read" && hasValue) {
            if (!parseInt(args[++k], 0, kBlockMax, &n)) return *error = "--read is 0..128", false;
            req->readCount = static_cast<int>(n);
        } else if (a.rfind("--", 0) == 0) {
            return *error = "unknown or incomplete option '" + a + "'", false;
        } else if (!parseParam(req, a, error)) {
            return false;
        }
    }
    return true;
}

// Everything the job writes, with each variable number resolved.
struct Plan {
    std::uint16_t commandVar, paramVar[10], resultVar;
    std::int32_t params[10];
    std::string blockData;
    std::uint16_t blockVar;
    std::uint16_t readVar;
};

// True when every variable of the plan is in the state file.
bool planFits(const Plan& plan, const CallRequest& req, const vc::StateCounts& counts,
              std::string* error) {
    auto checkB = [&](std::uint32_t first, std::size_t n, const char* what) {
        // Nothing is read or written when n is 0 (p1 may then be a port, not a variable).
        if (n == 0 || first + n <= counts.b) return true;
        *error = std::string(what) + " B" + std::to_string(first) + ".." +
                 std::to_string(first + n - 1) + " is beyond this state file's B0..B" +
                 std::to_string(counts.b - 1);
        return false;
    };
    bool paramsFit = plan.paramVar[0] + 10u <= counts.i;
    if (!paramsFit)
        return *error = "the parameters I" + std::to_string(plan.paramVar[0]) +
                        ".. are beyond this state file's I variables",
               false;
    return checkB(plan.commandVar, 1, "the command ID") &&
           checkB(plan.resultVar, 1, "the result variable") &&
           checkB(plan.blockVar, plan.blockData.size(), "the block") &&
           checkB(plan.readVar, req.readCount.value_or(0), "the output");
}

bool makePlan(const CallRequest& req, const KorSlotLayout& layout, const vc::StateCounts& counts,
              Plan* plan, std::string* error) {
    if (req.slot >= layout.slots)
        return *error = "slot " + std::to_string(req.slot) + " does not exist: S92 gives " +
                        std::to_string(layout.slots) + " slot(s)",
               false;
    const int base = layout.base;
    long long area = static_cast<long long>(base) + 10 + kSlotArea * req.slot;
    plan->commandVar = var16(layout.commandIdVar(req.slot));
    plan->resultVar = var16(req.resultVar.value_or(area));
    plan->blockVar = var16(req.block.value_or(plan->resultVar + 1LL));
    std::optional<long long> p[10];
    std::copy(std::begin(req.p), std::end(req.p), p);
    if (req.bytes) plan->blockData = *req.bytes;
    if (plan->blockData.size() > kBlockMax)
        return *error = "bytes= makes " + std::to_string(plan->blockData.size()) +
                        " bytes; a block holds at most 128",
               false;
    // Text fields are read one variable at a time: only each field is bounded.
    for (const auto& f : req.fields) {
        if (f.size() > kBlockMax)
            return *error = "a field holds at most 128 characters, not " + std::to_string(f.size()),
                   false;
        plan->blockData += f + '\r';
    }
    bool writesBlock = req.bytes || !req.fields.empty();
    if (writesBlock || (req.readCount && !req.command) ||
        (req.readCount && !req.command->outputAfterResult)) {
        if (!p[1]) p[1] = plan->blockVar;
        if (!p[2])
            p[2] = writesBlock ? static_cast<long long>(plan->blockData.size()) : *req.readCount;
    }
    if (!p[3]) p[3] = plan->resultVar;
    plan->resultVar = var16(*p[3]);
    bool afterResult = req.command && req.command->outputAfterResult;
    plan->readVar = var16(afterResult ? plan->resultVar + 1LL : p[1].value_or(0));
    for (int k = 0; k < 10; ++k) {
        plan->params[k] = static_cast<std::int32_t>(p[k].value_or(0));
        plan->paramVar[k] = var16(static_cast<long long>(layout.firstParamVar(req.slot)) + k);
    }
    return planFits(*plan, req, counts, error);
}

// Sleeps until the next look, never past the deadline.
void sleepUntilNextLook(Clock::time_point start, Clock::time_point deadline) {
    const auto now = Clock::now();
    const Clock::duration step = std::clamp<Clock::duration>((now - start) / 10, kFirstLook,
                                                             kLongestLook);
    const auto wake = std::min(now + step, deadline);
    if (wake > now) std::this_thread::sleep_until(wake);
}

int replaced() {
    if (const std::string& problem = vc::stateLockProblem(); !problem.empty())
        std::fprintf(stderr, "korjob: %s\n", problem.c_str());
    else std::fprintf(stderr, "korjob: the state file was replaced while in use; run again\n");
    return kExitError;
}

enum class Step { Done, TimedOut, Replaced };

// The slot's start parameters as the launcher reads them.
bool readSlots(vc::StateFile& state, KorSlotLayout* layout) {
    vc::StateFile::Access access(state);
    if (!access.ok()) return false;
    *layout = korSlotLayoutFrom(vc::sVarText(access.data(), state.counts(), KOR_PARAM_SVAR));
    return true;
}

// Waits until the slot is free (a command still waiting there keeps its
// parameters until taken), then writes the preset, the block and the
// parameters.
Step writeParameters(vc::StateFile& state, const CallRequest& req, const Plan& plan,
                     Clock::time_point deadline) {
    const auto start = Clock::now();
    for (;;) {
        {
            vc::StateFile::Access access(state);
            if (!access.ok()) return Step::Replaced;
            if (access->b[plan.commandVar] == 0) {
                access->b[plan.resultVar] = static_cast<std::uint8_t>(req.preset);
                std::memcpy(access->b + plan.blockVar, plan.blockData.data(),
                            plan.blockData.size());
                for (int k = 0; k < 10; ++k)
                    access->i[plan.paramVar[k]] = static_cast<std::int16_t>(plan.params[k]);
                return Step::Done;
            }
        }
        if (Clock::now() >= deadline) return Step::TimedOut;
        sleepUntilNextLook(start, deadline);
    }
}

// The command number goes last, after the parameters are complete.
bool writeCommand(vc::StateFile& state, const CallRequest& req, const Plan& plan) {
    vc::StateFile::Access access(state);
    if (!access.ok()) return false;
    access->b[plan.commandVar] = static_cast<std::uint8_t>(req.number);
    return true;
}

// Done when the launcher has acknowledged the command (the command ID is back
// to 0) and the result variable has changed: a command task may write its
// result before the launcher resets the slot. A command not taken in time is
// withdrawn so that it cannot fire later.
Step awaitResult(vc::StateFile& state, const CallRequest& req, const Plan& plan,
                 Clock::time_point deadline, bool* taken, int* result) {
    *taken = false;
    *result = req.preset;
    const auto start = Clock::now();
    for (;;) {
        {
            vc::StateFile::Access access(state);
            if (!access.ok()) return Step::Replaced;
            *taken = *taken || access->b[plan.commandVar] != req.number;
            *result = access->b[plan.resultVar];
            if (*taken && *result != req.preset) return Step::Done;
            if (Clock::now() >= deadline) {
                if (!*taken) access->b[plan.commandVar] = 0;
                return Step::TimedOut;
            }
        }
        sleepUntilNextLook(start, deadline);
    }
}

int reportNoResult(const vc::StateFile& state, const CallRequest& req, const Plan& plan,
                   bool taken) {
    if (!taken) {
        std::fprintf(
            stderr,
            "korjob: time-out: the controller did not take command %d from slot %d (B%u) within %g s; "
            "is arvokor running on %s?\n",
            req.number, req.slot, plan.commandVar, req.timeout, state.path().c_str());
    } else {
        std::fprintf(
            stderr,
            "korjob: time-out: command %d was taken but wrote no result into B%u within %g s "
            "(a result equal to the preset %d cannot be told from it; see --preset)\n",
            req.number, plan.resultVar, req.timeout, req.preset);
    }
    return kExitTimeout;
}

// The output bytes (--read) as escaped text and hex: for a command whose
// result is a length, only the bytes it wrote (none on a failure).
int printOutput(vc::StateFile& state, const CallRequest& req, const Plan& plan, int result) {
    int count = *req.readCount;
    if (req.command && req.command->returns == Returns::Count)
        count = result < 240 ? std::min(count, result) : 0;
    std::string bytes;
    {
        vc::StateFile::Access access(state);
        if (!access.ok()) return replaced();
        for (int k = 0; k < count; ++k)
            bytes.push_back(static_cast<char>(access->b[plan.readVar + k]));
    }
    std::printf("text: \"%s\"\nhex:", escaped(bytes).c_str());
    for (unsigned char c : bytes) std::printf(" %02x", c);
    std::printf("\n");
    return kExitOk;
}

}  // namespace

// "number NAME" pairs as running text, so that a man page made from the
// help keeps them together.
void printCommandTable() {
    constexpr std::size_t kWidth = 78;
    std::printf("\nCommands (COMMAND is the number or the name):\n");
    std::string line;
    for (const auto& c : kCommands) {
        std::string item = std::to_string(c.number) + " " + c.name;
        if (&c != &kCommands[std::size(kCommands) - 1]) item += ",";
        if (line.size() + 1 + item.size() > kWidth) {
            std::printf("%s\n", line.c_str());
            line.clear();
        }
        line += (line.empty() ? "  " : " ") + item;
    }
    std::printf("%s\n", line.c_str());
}

int cmdCall(vc::StateFile& state, const std::vector<std::string>& args) {
    CallRequest req;
    std::string error;
    if (!parseCall(args, &req, &error)) return usageError(error);
    KorSlotLayout layout;
    if (!readSlots(state, &layout)) return replaced();
    Plan plan{};
    if (!makePlan(req, layout, state.counts(), &plan, &error)) return usageError(error);

    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(req.timeout));
    const Step written = writeParameters(state, req, plan, deadline);
    if (written == Step::Replaced) return replaced();
    if (written == Step::TimedOut) {
        std::fprintf(stderr, "korjob: time-out: slot %d still holds an earlier command (B%u)\n",
                     req.slot, plan.commandVar);
        return kExitTimeout;
    }
    if (!writeCommand(state, req, plan)) return replaced();
    bool taken = false;
    int result = 0;
    const Step answered = awaitResult(state, req, plan, deadline, &taken, &result);
    if (answered == Step::Replaced) return replaced();
    if (answered == Step::TimedOut) return reportNoResult(state, req, plan, taken);
    std::printf("%d %s\n", result, meaning(req.command, result).c_str());
    return req.readCount ? printOutput(state, req, plan, result) : kExitOk;
}

}  // namespace korjob
