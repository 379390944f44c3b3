// korjob: the robot job's side of the virtual controller, for people and tests.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "korSettings.h"
#include "korjob.h"

namespace {

void printCallHelp();

void printHelp() {
    std::printf(
        "Usage: korjob [--config FILE | --state FILE] COMMAND ...\n"
        "\n"
        "Plays the robot job against the virtual controller through its state file\n"
        "(the controller may be running or not). korjob never makes a state file: a\n"
        "missing one is an error ('no controller state at PATH'); arvokor makes it when\n"
        "it starts (arvokor --make-state makes it without starting).\n"
        "  --config FILE   settings file of arvokor (its 'state' key names the state file,\n"
        "                  relative to the settings file's folder)\n"
        "  --state FILE    the state file itself (default: arvokor.state)\n"
        "\n"
        "korjob get [--names] VAR...\n"
        "  One line per variable: B, I, D and IO in decimal, R as a decimal real, S as\n"
        "  its text, P as its eight 32-bit words separated by commas. --names (-n)\n"
        "  puts the variable's name before its value: B10=3.\n"
        "  VAR: B100 I5 D7 R3 S92 P4 IO10016 IO1000500 (register 500), or a range\n"
        "  such as B300..B309 or B300..309 (one line per variable).\n"
        "korjob set VAR VALUE [VAR VALUE ...]\n"
        "  Checks every pair, then writes them in order. B 0..255, I -32768..32767,\n"
        "  D 32-bit, R real, S up to 32 characters, IO 0..65535, P 1..8 words\n"
        "  separated by commas (missing words become 0). A range sets each variable.\n"
        "korjob robot pos ROBOT X Y Z RX RY RZ [RE]\n"
        "  Position of the simulated robot 0..7: X Y Z in micrometres, RX RY RZ in\n"
        "  0.0001 degrees, RE the seventh axis (0 when left out).\n"
        "korjob robot speed GROUP S0 [S1 .. S7]\n"
        "  Servo speeds of control group 0..39 (missing axes become 0).\n");
    printCallHelp();
    korjob::printCommandTable();
}

void printCallHelp() {
    std::printf(
        "korjob call COMMAND [NAME=VALUE ...] [--slot K] [--timeout SEC] [--read N] [--preset V]\n"
        "  Issues a command as a job does: presets the result variable to 0, writes\n"
        "  the parameters, then the command number into the slot; waits until the\n"
        "  launcher has taken it and the result variable has changed; prints\n"
        "  '<result> <meaning>'. COMMAND is a name or a number 1..255.\n"
        "  Parameters (all 0 unless given):\n"
        "    p0=N .. p9=N       a parameter (-32768..32767)\n"
        "    addr=A.B.C.D       p4..p7\n"
        "    port=N             p0; ports 32768..65535 are passed as 32767-port\n"
        "    handle=N           p8\n"
        "    result=N           p3, the result B variable (default: see below)\n"
        "    block=N            first B variable of the block (default: result + 1)\n"
        "    bytes=TEXT | bytes=hex:0d0a.. | bytes=[1,2,3]\n"
        "                       bytes written into the block; sets p1 and p2\n"
        "    field=TEXT         repeatable: text fields of at most 128 characters,\n"
        "                       each followed by a 13, written into the block;\n"
        "                       sets p1 and p2. Fields may make the block longer\n"
        "                       than 128 variables (it then runs on into the next\n"
        "                       slot's default area: use block=N there)\n"
        "  Explicit p1=/p2= win over what bytes= and field= set.\n"
        "\n"
        "  --slot K      slot 0..n-1 (default 0); base b and slot count n come from S92\n"
        "                ('b:n', default 100:4) as the launcher reads it\n"
        "  --timeout S   seconds to wait (default 10)\n"
        "  --preset V    value written into the result variable before the command\n"
        "                (default 0); the result is the change from it, so a command\n"
        "                whose result may be 0 needs another preset\n"
        "  --read N      also print up to N output bytes ('text: \"..\"' and 'hex: ..'):\n"
        "                from p1 (default the block, with p2 = N), or for\n"
        "                CHECKPATTERNBINRES and WAITPATTERN from the result variable + 1;\n"
        "                for a command whose result is a length (READDATA, INFO, the\n"
        "                patterns) only the bytes it wrote, none when it failed\n"
        "  Slot k uses command ID B b+k, parameters I b+10k..b+10k+9, and by default\n"
        "  result B b+10+130k and block B b+11+130k..+127 (with 100:4: B110, B111..).\n"
        "  Run one call per slot at a time.\n"
        "\n"
        "Exit status: 0 done, 1 time-out, 2 usage or state file error.\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const auto isHelp = [](const std::string& a) { return a == "--help" || a == "-h"; };
    const char* configPath = nullptr;
    const char* statePath = nullptr;
    std::size_t k = 0;
    for (; k < args.size() && args[k].rfind("--", 0) == 0 && !isHelp(args[k]); k += 2) {
        if (k + 1 >= args.size()) return korjob::usageError(args[k] + " needs a value");
        if (isHelp(args[k + 1])) {
            printHelp();
            return korjob::kExitOk;
        }
        if (args[k] == "--config") configPath = argv[k + 2];
        else if (args[k] == "--state") statePath = argv[k + 2];
        else return korjob::usageError("unknown option '" + args[k] + "'");
    }
    // Help in place of the command or of its first argument ("korjob get --help");
    // later on, "-h" may be a value, such as the text of an S variable.
    if ((k < args.size() && isHelp(args[k])) || (k + 1 < args.size() && isHelp(args[k + 1]))) {
        printHelp();
        return korjob::kExitOk;
    }
    if (configPath && statePath) return korjob::usageError("give --config or --state, not both");
    if (k >= args.size()) return korjob::usageError("no command (get, set, robot, call)");

    vc::Settings settings;
    std::string error;
    if (!kor::loadSettings(configPath, &settings, &error)) {
        std::fprintf(stderr, "korjob: %s\n", error.c_str());
        return korjob::kExitError;
    }
    if (statePath) settings.statePath = statePath;
    auto state = vc::StateFile::open(settings.statePath, vc::countsFrom(settings),
                                     vc::StateFile::Mode::Client, nullptr, &error);
    if (!state) {
        std::fprintf(stderr, "korjob: %s\n", error.c_str());
        return korjob::kExitError;
    }
    std::string command = args[k];
    std::vector<std::string> rest(args.begin() + static_cast<long>(k) + 1, args.end());
    if (command == "get") return korjob::cmdGet(*state, rest);
    if (command == "set") return korjob::cmdSet(*state, rest);
    if (command == "robot") return korjob::cmdRobot(*state, rest);
    if (command == "call") return korjob::cmdCall(*state, rest);
    return korjob::usageError("unknown command '" + command + "' (get, set, robot, call)");
}
