// koradmin: the engineer's client of the ArvoKOR admin port (TCP 15000).
//
// Requests go through the admin client that kordash uses too (programs/common/adminClient); the
// frame layout is the server's own (korPPComm.h). Replies are not framed, so the client reads
// until the expected size arrives or the server goes quiet; the extension requests' replies
// carry their length.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "adminClient.h"
#include "korNumbers.h"
#include "korPPComm.h"
#include "korSettings.h"
#include "observe.h"
#include "transferRecord.h"
#include "transferResult.h"

namespace {

// The command text keeps a NUL in its field.
constexpr size_t kCommandTextMax = KOR_ADMIN_CMD_SIZE - 1;

struct Options {
    std::string host = "127.0.0.1";
    int port = KOR_ADMIN_PORT;
    int timeoutMs = 5000;
    bool json = false;
};

const char* kUsage =
    "Usage: koradmin [--host ADDR | --config FILE] [--port N] [--timeout SEC] [--json] COMMAND\n"
    "                [ARGS]\n"
    "\n"
    "Talks to the admin port of a running ArvoKOR (no credentials are asked).\n"
    "\n"
    "commands:\n"
    "  version                 program version reply (\":v\")\n"
    "  handles                 channels in use (\":h?\")\n"
    "  readout N               channel N's table record, field by field (\":h\"); a TCP\n"
    "                          client's and an accepted channel's peer as ipAddress and port\n"
    "  queue N                 bytes waiting in channel N's input queue, hex dump and text\n"
    "                          (\":ir\"); an empty queue is \"0 bytes\"\n"
    "  clear N                 empty channel N's input queue (\":ic\")\n"
    "  send N DATA             send DATA on channel N (\":tx\"); DATA may use \\r \\n \\xHH\n"
    "  close N                 ask channel N's owner to close it (\":hc\")\n"
    "  getb N COUNT            read B variables N .. N+COUNT-1 (\":gb\")\n"
    "  setb N BYTE...          write B variables from N on (\":sb\"), bytes 0..255\n"
    "  jobs                    the controller's job files (\":list\")\n"
    "  ftpput TRANSFER         copy a job file from the controller to an FTP server (\":ftpp\")\n"
    "  ftpget TRANSFER         copy a job file from an FTP server to the controller (\":ftpg\");\n"
    "                          TRANSFER: --server ADDR --user U [--dir D] --job NAME.JBI and\n"
    "                          the password: --password-file FILE (its first line),\n"
    "                          --password P (every user sees it in ps), or else the\n"
    "                          environment variable KORADMIN_FTP_PASSWORD\n"
    "  quit                    end the served connection (\":q\")\n"
    "  raw TEXT [PAYLOAD]      send any command text with a payload (\\xHH escapes allowed)\n"
    "  journal [--since N] [--follow] [--json]\n"
    "                          the commands jobs issued: time, slot, name, parameters, result,\n"
    "                          duration and the console lines each printed (\":journal\")\n"
    "  console [--follow]      the console lines with their time and task (\":console\")\n"
    "  counters [--json]       counters since start (\":counters\"), a section with a\n"
    "                          heading per counter, commands by name, results in words\n"
    "  capture on|off HANDLE|all        switch a channel's traffic capture (\":capture\")\n"
    "  capture save FILE.pcapng [HANDLE...]  save captured traffic for Wireshark\n"
    "\n"
    "options:\n"
    "  --host ADDR    the controller's address (default: the environment variable\n"
    "                 KORADMIN_HOST, else 127.0.0.1)\n"
    "  --config FILE  the controller's address from its settings file (key address)\n"
    "  --port N       admin port (default 15000)\n"
    "  --timeout SEC  how long to wait for the connection and for a reply (default 5)\n"
    "  --json         machine-readable output\n"
    "exit status: 0 success, 1 the server reported a failure (-1), 2 usage, 3 connection or no reply\n";

std::string errorText(int err) { return std::generic_category().message(err); }

[[noreturn]] void usageError(const char* what) {
    std::fprintf(stderr, "koradmin: %s\n(koradmin --help for usage)\n", what);
    std::exit(2);  // NOLINT(concurrency-mt-unsafe): koradmin has one thread
}

[[noreturn]] void fail(int status, const std::string& what) {
    std::fprintf(stderr, "koradmin: %s\n", what.c_str());
    std::exit(status);  // NOLINT(concurrency-mt-unsafe): koradmin has one thread
}

bool parseInt(const char* text, long lo, long hi, long* out) {
    long long v = 0;
    if (!kor::parseInt(text, lo, hi, &v)) return false;
    *out = static_cast<long>(v);
    return true;
}

long requireInt(const char* text, long lo, long hi, const char* name) {
    long v = 0;
    if (!parseInt(text, lo, hi, &v)) {
        usageError((std::string(name) + " must be a number from " + std::to_string(lo) + " to " +
                    std::to_string(hi) + ", not '" + text + "'")
                       .c_str());
    }
    return v;
}

// Text with \r, \n, \t, \\ and \xHH escapes to bytes.
std::string unescape(const std::string& in) {
    std::string out;
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\' || i + 1 >= in.size()) {
            out += in[i];
            continue;
        }
        char c = in[++i];
        if (c == 'r') out += '\r';
        else if (c == 'n') out += '\n';
        else if (c == 't') out += '\t';
        else if (c == 'x' && i + 2 < in.size() &&
                 std::isxdigit(static_cast<unsigned char>(in[i + 1])) &&
                 std::isxdigit(static_cast<unsigned char>(in[i + 2]))) {
            out += static_cast<char>(std::strtol(in.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else out += c;
    }
    return out;
}

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else out += static_cast<char>(c);
    }
    return out + "\"";
}

std::string hexDump(const std::string& data) {
    std::string out;
    for (size_t off = 0; off < data.size(); off += 16) {
        char line[100];
        int n = std::snprintf(line, sizeof line, "%04zx  ", off);
        std::string text;
        for (size_t i = off; i < off + 16; ++i) {
            if (i < data.size()) {
                unsigned char c = static_cast<unsigned char>(data[i]);
                n += std::snprintf(line + n, sizeof line - n, "%02x ", c);
                text += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '.';
            } else {
                n += std::snprintf(line + n, sizeof line - n, "   ");
            }
        }
        out += line;
        out += " " + text + "\n";
    }
    return out;
}

// One session of the shared admin client; every failure ends koradmin with
// status 3 (a usage error with 2).
class Connection {
public:
    explicit Connection(const Options& opt)
        : opt_(opt), session_(validHost(opt.host), opt.port, opt.timeoutMs) {
        if (session_.state() == kor::admin::LinkState::Ok) return;
        std::string why = session_.error();
        if (why.find("refused") != std::string::npos)
            why += " (is arvokor running, and is this its address and admin port?)";
        fail(3, why);
    }

    void sendRequest(const std::string& command, const std::string& payload) {
        if (command.size() > kCommandTextMax)
            usageError(("the command text holds at most " + std::to_string(kCommandTextMax) +
                        " characters")
                           .c_str());
        if (payload.size() > KOR_ADMIN_PAYLOAD_MAX)
            usageError(
                ("the payload holds at most " + std::to_string(KOR_ADMIN_PAYLOAD_MAX) + " bytes")
                    .c_str());
        command_ = command;
        payload_ = payload;
    }

    // Sends the request and reads its unframed reply: up to the time-out for
    // the first bytes, then until `expected` bytes (if known) or until the
    // server is quiet for a moment. A reply of "-1" where more is expected is
    // the server's refusal: after it only a moment of quiet is awaited.
    std::string readReply(size_t expected = 0) {
        std::string reply;
        if (!session_.request(command_, payload_, &reply, expected, kQuietMs)) {
            if (session_.state() == kor::admin::LinkState::Busy)
                fail(3, "no reply within " + std::to_string(opt_.timeoutMs / 1000.0).substr(0, 4) +
                            " s (the server ignores malformed requests and may be busy with "
                            "another client)");
            fail(3, session_.error());
        }
        return reply;
    }

    // A request without a reply (":q").
    void post() {
        if (!session_.post(command_, payload_)) fail(3, session_.error());
    }

private:
    static constexpr int kQuietMs = 200;
    static const std::string& validHost(const std::string& host) {
        in_addr a{};
        if (inet_pton(AF_INET, host.c_str(), &a) != 1)
            usageError(("'" + host + "' is not a dotted IPv4 address").c_str());
        return host;
    }
    const Options& opt_;
    kor::admin::AdminSession session_;
    std::string command_, payload_;
};

// A reply that is a decimal number as a JSON number, any other as text.
nlohmann::json numberOrText(const std::string& text) {
    long v = 0;
    if (parseInt(text.c_str(), -2147483647L - 1, 2147483647L, &v)) return v;
    return text;
}

// Prints a plain result reply ("0", "-1", ...), in words where `success` is
// given, and returns the exit status.
int printResult(const Options& opt, const std::string& reply, const std::string& failure,
                const std::string& success = "") {
    bool failed = reply == "-1";
    if (opt.json) {
        std::printf("%s\n",
                    nlohmann::json{{"reply", numberOrText(reply)}, {"ok", !failed}}.dump().c_str());
    } else if (failed) {
        std::printf("-1: %s\n", failure.c_str());
    } else {
        std::printf("%s\n", success.empty() ? reply.c_str() : success.c_str());
    }
    return failed ? 1 : 0;
}

std::string fieldText(const std::string& rec, size_t off, size_t size) {
    std::string f = rec.substr(off, size);
    size_t nul = f.find('\0');
    return nul == std::string::npos ? f : f.substr(0, nul);
}

int printReadout(const Options& opt, const std::string& rec, long n) {
    if (rec == "-1")
        return printResult(opt, rec,
                           "channel " + std::to_string(n) + " is not in use (or not 0..19)");
    if (rec.size() < KOR_ADMIN_READOUT_SIZE)
        fail(3, "short readout: " + std::to_string(rec.size()) + " of " +
                    std::to_string(KOR_ADMIN_READOUT_SIZE) + " bytes");
    static const char* typeNames[] = {"none",         "TCP client", "TCP server",
                                      "TCP accepted", "serial",     "UDP"};
    nlohmann::json fields = nlohmann::json::object();
    for (const KorReadoutField& f : KOR_READOUT_FIELDS) {
        std::string v = fieldText(rec, static_cast<size_t>(f.offset), static_cast<size_t>(f.size));
        if (opt.json) {
            // Text fields stay text, number fields become numbers.
            const bool text = f.offset == KOR_READOUT_FIELDS[KOR_RO_IP_ADDRESS].offset ||
                              f.offset == KOR_READOUT_FIELDS[KOR_RO_TASK_NAME].offset ||
                              f.offset == KOR_READOUT_FIELDS[KOR_RO_PIPE_NAME].offset;
            fields[f.name] = text ? nlohmann::json(v) : numberOrText(v);
        } else {
            std::printf("%-13s %s", f.name, v.c_str());
            if (std::strcmp(f.name, "type") == 0) {
                long t = -1;
                if (parseInt(v.c_str(), 0, 5, &t)) std::printf(" (%s)", typeNames[t]);
            }
            std::printf("\n");
        }
    }
    if (opt.json) std::printf("%s\n", fields.dump().c_str());
    return 0;
}

int printBytes(const Options& opt, const std::string& data, const std::string& failure) {
    if (data == "-1") return printResult(opt, data, failure);
    if (opt.json) {
        std::printf("{\"length\": %zu, \"bytes\": [", data.size());
        for (size_t i = 0; i < data.size(); ++i)
            std::printf("%s%u", i ? ", " : "", static_cast<unsigned char>(data[i]));
        std::printf("], \"text\": %s}\n", jsonString(data).c_str());
    } else {
        std::printf("%zu bytes\n%s", data.size(), hexDump(data).c_str());
    }
    return 0;
}

// The first line of a password file (its line end is not part of it).
std::string readPasswordFile(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || (!std::getline(in, line) && !in.eof()))
        fail(2, "cannot read the password file " + path + ": " + errorText(errno));
    while (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// The job transfer record (user, password, directory, job, server), each
// text NUL-padded to its field.
std::string transferRecord(std::span<char* const> words) {
    std::string user, password, passwordFile, dir, job, server;
    bool passwordGiven = false;
    for (size_t i = 0; i < words.size(); ++i) {
        std::string a = words[i];
        if (i + 1 >= words.size()) usageError(("missing value after " + a).c_str());
        std::string v = words[++i];
        passwordGiven = passwordGiven || a == "--password";
        if (a == "--user") user = v;
        else if (a == "--password") password = v;
        else if (a == "--password-file") passwordFile = v;
        else if (a == "--dir") dir = v;
        else if (a == "--job") job = v;
        else if (a == "--server") server = v;
        else usageError(("unknown option " + a).c_str());
    }
    if (server.empty() || job.empty()) usageError("--server and --job are required");
    if (passwordGiven && !passwordFile.empty())
        usageError("give --password or --password-file, not both");
    if (!passwordFile.empty()) {
        password = readPasswordFile(passwordFile);
    } else if (const char* env = std::getenv("KORADMIN_FTP_PASSWORD"); env && !passwordGiven) {
        password = env;
    }
    std::string rec;
    int room = 0;
    if (const char* bad = kor::buildTransferRecord({server, user, password, dir, job}, &rec, &room))
        usageError(
            ("--" + std::string(bad) + " holds at most " + std::to_string(room) + " characters")
                .c_str());
    return rec;
}

// The words after the command name.
using Words = std::span<char* const>;

// One request as the command line asks for it, and what its reply printer
// needs to know.
struct Call {
    std::string text;  // the command text
    std::string payload;
    size_t expected = 0;  // the reply's size when it is known
    long number = 0;      // N: the channel or the first B variable
};

struct Command {
    const char* name;
    const char* text;                             // the command text, or its letters before N
    size_t words;                                 // how many words it needs at least
    void (*build)(const Command&, Words, Call&);  // null: the text alone
    int (*print)(const Options&, const Call&, const std::string& reply);  // null: no reply awaited
};

// N of the channel commands: what fits behind the letters in the command text.
void buildChannel(const Command& c, Words w, Call& call) {
    call.number = requireInt(w[0], -99999999L, 999999999L, "N");
    call.text = c.text + std::to_string(call.number);
}

void buildReadout(const Command& c, Words w, Call& call) {
    call.number = requireInt(w[0], -2147483647L, 2147483647L, "N");
    call.text = c.text + std::to_string(call.number);
    call.expected = KOR_ADMIN_READOUT_SIZE;
}

void buildSend(const Command& c, Words w, Call& call) {
    buildChannel(c, w, call);
    call.payload = unescape(w[1]);
}

void buildGetB(const Command& c, Words w, Call& call) {
    call.number = requireInt(w[0], 0, 65535, "N");
    const long count = requireInt(w[1], 1, KOR_ADMIN_GB_MAX, "COUNT");
    call.text = c.text + std::to_string(call.number);
    call.payload = std::to_string(count);
    call.expected = static_cast<size_t>(count);
}

void buildSetB(const Command& c, Words w, Call& call) {
    call.number = requireInt(w[0], 0, 65535, "N");
    call.text = c.text + std::to_string(call.number);
    for (const char* word : w.subspan(1))
        call.payload += static_cast<char>(requireInt(word, 0, 255, "BYTE"));
}

void buildTransfer(const Command&, Words w, Call& call) { call.payload = transferRecord(w); }

void buildRaw(const Command&, Words w, Call& call) {
    call.text = unescape(w[0]);
    if (w.size() > 1) call.payload = unescape(w[1]);
}

int printPlain(const Options& opt, const Call&, const std::string& r) {
    return printResult(opt, r, "");
}

int printHandles(const Options& opt, const Call&, const std::string& r) {
    if (opt.json) {
        nlohmann::json handles = nlohmann::json::array();
        for (int h : kor::admin::decodeHandleList(r)) handles.push_back(h);
        std::printf("%s\n", nlohmann::json{{"handles", handles}}.dump().c_str());
    } else {
        std::printf("%s\n", r == "0" ? "no channel in use" : r.c_str());
    }
    return 0;
}

int printRecord(const Options& opt, const Call& call, const std::string& r) {
    return printReadout(opt, r, call.number);
}

int printQueue(const Options& opt, const Call& call, const std::string& r) {
    return printBytes(opt, r, "channel " + std::to_string(call.number) + " is not in use");
}

int printChannelResult(const Options& opt, const Call& call, const std::string& r) {
    return printResult(opt, r,
                       "channel " + std::to_string(call.number) + " is not 0..19 or not in use",
                       "done");
}

// The reply is the number of bytes sent.
int printSendResult(const Options& opt, const Call& call, const std::string& r) {
    return printResult(opt, r,
                       "channel " + std::to_string(call.number) +
                           " is not in use, is a listening or accepted channel, or the send failed",
                       r + (r == "1" ? " byte sent" : " bytes sent"));
}

int printGetB(const Options& opt, const Call& call, const std::string& r) {
    // The reply is exactly COUNT bytes; "-1" means the server had no memory for them.
    if (r.size() != call.expected && r == "-1")
        return printResult(opt, r, "the server could not allocate the buffer");
    if (r.size() != call.expected)
        fail(3, "short reply: " + std::to_string(r.size()) + " of " +
                    std::to_string(call.expected) + " bytes");
    if (opt.json) return printBytes(opt, r, "");
    for (size_t k = 0; k < r.size(); ++k)
        std::printf("B%ld = %u\n", call.number + static_cast<long>(k),
                    static_cast<unsigned char>(r[k]));
    return 0;
}

int printSetB(const Options& opt, const Call&, const std::string& r) {
    if (r != "0" && !opt.json) {
        std::printf("%s: writing a B variable failed (the variable layer's result)\n", r.c_str());
        return 1;
    }
    return printResult(opt, r, "", "done");
}

int printJobs(const Options& opt, const Call&, const std::string& r) {
    std::vector<std::string> names;
    size_t start = 1;
    while (start < r.size()) {
        size_t end = r.find('\n', start);
        if (end == std::string::npos) end = r.size();
        if (end > start) names.push_back(r.substr(start, end - start));
        start = end + 1;
    }
    if (opt.json) {
        std::printf("{\"jobs\": [");
        for (size_t k = 0; k < names.size(); ++k)
            std::printf("%s%s", k ? ", " : "", jsonString(names[k]).c_str());
        std::printf("]}\n");
    } else if (names.empty()) {
        std::printf("no job files\n");
    } else {
        for (const auto& nm : names) std::printf("%s\n", nm.c_str());
    }
    return 0;
}

int printTransfer(const Options& opt, const Call&, const std::string& reply) {
    std::string r = reply;
    while (!r.empty() && (r.back() == '\n' || r.back() == '\r')) r.pop_back();
    long code = 0;
    if (!parseInt(r.c_str(), -1000, 1000, &code)) fail(3, "unexpected reply '" + r + "'");
    if (opt.json) {
        std::printf("{\"result\": %ld, \"meaning\": %s}\n", code,
                    jsonString(kor::transferResultMeaning(code)).c_str());
    } else {
        std::printf("%ld: %s\n", code, kor::transferResultMeaning(code));
    }
    return code == 0 ? 0 : 1;
}

int printRaw(const Options& opt, const Call&, const std::string& r) {
    return printBytes(opt, r, "the server replied -1");
}

constexpr Command kCommands[] = {
    {"version", ":v", 0, nullptr, printPlain},
    {"handles", ":h?", 0, nullptr, printHandles},
    {"readout", ":h", 1, buildReadout, printRecord},
    {"queue", ":ir", 1, buildChannel, printQueue},
    {"clear", ":ic", 1, buildChannel, printChannelResult},
    {"close", ":hc", 1, buildChannel, printChannelResult},
    {"send", ":tx", 2, buildSend, printSendResult},
    {"getb", ":gb", 2, buildGetB, printGetB},
    {"setb", ":sb", 2, buildSetB, printSetB},
    {"jobs", ":list", 0, nullptr, printJobs},
    {"ftpput", ":ftpp", 0, buildTransfer, printTransfer},
    {"ftpget", ":ftpg", 0, buildTransfer, printTransfer},
    {"quit", ":q", 0, nullptr, nullptr},
    {"raw", "", 1, buildRaw, printRaw},
};

bool channelInUse(Connection& conn, long handle) {
    conn.sendRequest(":h" + std::to_string(handle), "");
    const std::string record = conn.readReply(KOR_ADMIN_READOUT_SIZE);
    return record.size() >= KOR_ADMIN_READOUT_SIZE &&
           fieldText(record, KOR_READOUT_FIELDS[KOR_RO_IN_USE].offset,
                     KOR_READOUT_FIELDS[KOR_RO_IN_USE].size) == "1";
}

// The arguments are checked before connecting: a usage error needs no server.
int runCommand(const Options& opt, Words words) {
    if (words.empty()) usageError("no command given");
    const std::string name = words[0];
    int status = 0;
    if (koradmin::runObserveCommand({opt.host, opt.port, opt.timeoutMs, opt.json}, name,
                                    std::vector<std::string>(words.begin() + 1, words.end()),
                                    &status))
        return status;
    const auto* command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                       [&](const Command& c) { return name == c.name; });
    if (command == std::end(kCommands)) usageError(("unknown command '" + name + "'").c_str());
    const Words args = words.subspan(1);
    if (args.size() < command->words)
        usageError(
            ("'" + name + "' needs " + std::to_string(command->words) + " argument(s)").c_str());
    Call call;
    call.text = command->text;
    if (command->build) command->build(*command, args, call);
    Connection conn(opt);
    conn.sendRequest(call.text, call.payload);
    if (!command->print) {
        conn.post();
        return 0;
    }
    std::string reply = conn.readReply(call.expected);
    // The queue's "-1" is both "empty" and "not in use": the channel's
    // readout tells them apart.
    if (command->print == printQueue && reply == "-1" && channelInUse(conn, call.number))
        reply.clear();
    return command->print(opt, call, reply);
}

// The controller's address from its settings file.
std::string addressFromConfig(const char* path) {
    vc::Settings settings;
    std::string error;
    if (!kor::loadSettings(path, &settings, &error)) fail(2, error);
    return settings.address;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (const char* host = std::getenv("KORADMIN_HOST"); host && *host) opt.host = host;
    bool hostGiven = false, configGiven = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
        std::string a = argv[i];
        if (a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--json") {
            opt.json = true;
            continue;
        }
        if (i + 1 >= argc) usageError(("missing value after " + a).c_str());
        const char* v = argv[++i];
        if (a == "--host") {
            opt.host = v;
            hostGiven = true;
        } else if (a == "--config") {
            opt.host = addressFromConfig(v);
            configGiven = true;
        } else if (a == "--port") opt.port = static_cast<int>(requireInt(v, 1, 65535, "--port"));
        else if (a == "--timeout")
            opt.timeoutMs = static_cast<int>(requireInt(v, 1, 3600, "--timeout")) * 1000;
        else usageError(("unknown option " + a).c_str());
    }
    if (hostGiven && configGiven) usageError("give --host or --config, not both");
    return runCommand(opt, Words(argv + i, static_cast<size_t>(argc - i)));
}
