// kordash: the engineer's dashboard in a browser. Serves a live page about a
// controller it reaches through the admin port (and, on the same machine,
// its state file and position stream).
#include <arpa/inet.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fleet.h"
#include "korNumbers.h"
#include "korPPComm.h"
#include "web.h"

namespace {

const char* kUsage =
    "Usage: kordash --controller ADDR[:PORT] [--controller ...] [OPTION]...\n"
    "       kordash --controllers FILE [OPTION]...\n"
    "\n"
    "Serves a live dashboard of an ArvoKOR controller to a web browser: channels,\n"
    "input queues, B variables, job files and transfers through the admin port;\n"
    "with --state also the command slots, variables and the simulated robot of a\n"
    "virtual controller on this machine; with --stream-port the position stream.\n"
    "\n"
    "  --controller ADDR[:PORT]  a controller's address (dotted IPv4) and admin\n"
    "                      port; give it once per controller\n"
    "  --controllers FILE  controllers one a line: ADDR[:PORT] [NAME [STATE_FILE]]\n"
    "                      ('#' starts a comment)\n"
    "  --admin-port N      the admin port where none is given (default 15000)\n"
    "  --state FILE        the virtual controller's state file (never created here;\n"
    "                      one controller only)\n"
    "  --stream-port N     receive position datagrams on this UDP port of the\n"
    "                      listen address (point POSSTREAMSTART at it)\n"
    "  --listen ADDR:PORT  where the page is served (default 127.0.0.1:8015)\n"
    "  --token-file FILE   a secret (at least 12 characters) the browser must give\n"
    "                      on a log-in page; required to listen beyond loopback,\n"
    "                      since the page changes variables and sends on channels\n"
    "  --tls-cert FILE     serve over HTTPS with this PEM certificate (the server's\n"
    "                      own first, then its chain) ...\n"
    "  --tls-key FILE      ... and its PEM private key; without them a dashboard\n"
    "                      beyond loopback warns that the token travels in clear\n"
    "\n"
    "The admin port is held only for the few requests of one refresh (about three\n"
    "a second while a page is open, none while no page is and no scraper asks),\n"
    "so koradmin and other tools keep their turn. With several controllers the\n"
    "page starts with an overview, one row per controller, refreshed once a\n"
    "second while it is open.\n"
    "\n"
    "GET /metrics gives every controller's counters to Prometheus (beyond loopback\n"
    "with the token as a bearer token); they are read at most once a second while a\n"
    "page is open or for 5 minutes after a scrape, so a scrape costs no request.\n"
    "Stop with Ctrl-C.\n";
static_assert(KOR_ADMIN_PORT == 15000, "the --admin-port default in kUsage");

// A controller as given: "ADDR[:PORT]", with a name and a state file from a
// --controllers file, and where it was given (for the error messages).
struct ControllerArg {
    std::string address, name, statePath, where;
};

struct Options {
    std::vector<ControllerArg> controllers;
    int adminPort = KOR_ADMIN_PORT;
    std::string statePath;
    int streamPort = 0;
    kordash::WebOptions web;
    std::string tokenFile;
    std::string tlsCert, tlsKey;
};

[[noreturn]] void usageError(const std::string& what) {
    std::fprintf(stderr, "kordash: %s\n(kordash --help for usage)\n", what.c_str());
    std::exit(2);  // NOLINT(concurrency-mt-unsafe): options are read before any thread starts
}

int portOf(const std::string& text, const std::string& name) {
    long long v = 0;
    if (!kor::parseInt(text, 1, 65535, &v))
        usageError(name + " must be a port number 1..65535, not '" + text + "'");
    return static_cast<int>(v);
}

void parseListen(const std::string& text, kordash::WebOptions* web) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) usageError("--listen takes ADDR:PORT, such as 127.0.0.1:8015");
    web->host = text.substr(0, colon);
    web->port = portOf(text.substr(colon + 1), "the --listen port");
    if (web->host != "0.0.0.0" && !kordash::isLoopback(web->host) &&
        web->host.find_first_not_of("0123456789.") != std::string::npos)
        usageError("--listen takes a dotted IPv4 address, not '" + web->host + "'");
}

// A plant's robots: a refresh thread each (bench/bench_plant.py measures 200).
constexpr std::size_t kMaxControllers = 512;

// One controller a line: ADDR[:PORT] [NAME [STATE_FILE]]; '#' starts a comment.
void readControllers(const std::string& path, std::vector<ControllerArg>* out) {
    std::ifstream in(path);
    if (!in) usageError("cannot read the controllers file " + path);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        line = line.substr(0, line.find('#'));
        std::istringstream fields(line);
        ControllerArg arg;
        arg.where = path + ":" + std::to_string(number);
        if (!(fields >> arg.address)) continue;
        fields >> arg.name >> arg.statePath;
        std::string extra;
        if (fields >> extra)
            usageError(arg.where + ": one controller a line: ADDR[:PORT] [NAME [STATE_FILE]]");
        out->push_back(arg);
    }
}

Options parseOptions(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);  // NOLINT(concurrency-mt-unsafe): before any thread starts
        }
        if (i + 1 >= argc) usageError("missing value after " + a);
        std::string v = argv[++i];
        if (a == "--controller") opt.controllers.push_back({v, "", "", "--controller"});
        else if (a == "--controllers") readControllers(v, &opt.controllers);
        else if (a == "--admin-port") opt.adminPort = portOf(v, a);
        else if (a == "--state") opt.statePath = v;
        else if (a == "--stream-port") opt.streamPort = portOf(v, a);
        else if (a == "--listen") parseListen(v, &opt.web);
        else if (a == "--token-file") opt.tokenFile = v;
        else if (a == "--tls-cert") opt.tlsCert = v;
        else if (a == "--tls-key") opt.tlsKey = v;
        else usageError("unknown option " + a);
    }
    if (opt.tlsCert.empty() != opt.tlsKey.empty())
        usageError("--tls-cert FILE and --tls-key FILE go together");
    if (opt.controllers.empty()) usageError("--controller ADDR or --controllers FILE is required");
    if (opt.controllers.size() > 1 && (!opt.statePath.empty() || opt.streamPort))
        usageError(
            "--state and --stream-port are for one controller; give state files in a "
            "--controllers file");
    if (opt.controllers.size() > kMaxControllers)
        usageError("at most " + std::to_string(kMaxControllers) + " controllers");
    return opt;
}

// "ADDR[:PORT]" into a controller's options, or exit 2 naming `where`.
kordash::ControllerEntry resolve(const ControllerArg& arg, const Options& opt) {
    kordash::ControllerEntry e;
    e.name = arg.name;
    e.options.host = arg.address;
    e.options.adminPort = opt.adminPort;
    e.options.statePath = arg.statePath.empty() ? opt.statePath : arg.statePath;
    e.options.streamPort = opt.streamPort;
    const std::size_t colon = arg.address.find(':');
    if (colon != std::string::npos) {
        e.options.host = arg.address.substr(0, colon);
        e.options.adminPort = portOf(arg.address.substr(colon + 1), arg.where + " port");
    }
    in_addr addr{};
    if (inet_pton(AF_INET, e.options.host.c_str(), &addr) != 1)
        usageError(arg.where + " takes a dotted IPv4 address, not '" + e.options.host + "'");
    return e;
}

// The secret: the file's text without surrounding white space.
std::string readToken(const std::string& path) {
    std::ifstream in(path);
    if (!in) usageError("cannot read the token file " + path);
    std::stringstream text;
    text << in.rdbuf();
    std::string token = text.str();
    token.erase(0, token.find_first_not_of(" \t\r\n"));
    token.erase(token.find_last_not_of(" \t\r\n") + 1);
    if (token.size() < 12) usageError("the token in " + path + " must hold at least 12 characters");
    return token;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt = parseOptions(argc, argv);
    std::vector<kordash::ControllerEntry> entries;
    for (const ControllerArg& arg : opt.controllers) entries.push_back(resolve(arg, opt));
    if (!opt.tokenFile.empty()) opt.web.token = readToken(opt.tokenFile);
    if (opt.web.token.empty() && !kordash::isLoopback(opt.web.host))
        usageError("listening on " + opt.web.host +
                   " would let anyone who reaches it change robot variables and send on channels; "
                   "give --token-file FILE, or listen on a loopback address");
    std::string error;
    if (!opt.tlsCert.empty() && !kordash::loadTls(opt.tlsCert, opt.tlsKey, &opt.web.tls, &error))
        usageError(error);
    if (!opt.web.tls.enabled() && !kordash::isLoopback(opt.web.host))
        std::fprintf(stderr,
                     "kordash: warning: serving plain HTTP on %s: the token and the session "
                     "travel in clear; give --tls-cert FILE --tls-key FILE for HTTPS\n",
                     opt.web.host.c_str());
    sigset_t stop = kordash::stopSignalSet();
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    kordash::Fleet fleet(entries);
    if (!fleet.open(opt.web.host, &error)) {
        std::fprintf(stderr, "kordash: %s\n", error.c_str());
        return 1;
    }
    fleet.start();
    if (!kordash::serve(fleet, opt.web, &error)) {
        std::fprintf(stderr, "kordash: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
