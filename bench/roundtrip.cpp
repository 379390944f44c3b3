// Command round trip: the time from the job's write of a command number until
// the command's result is visible in the result variable, measured through
// the state file exactly as a job sees it. Uses INFO with selector 0 (result
// 255), or --command N with parameters --param K=V (p0..p9 but p3, the result
// variable; the rest 0), which must give 255 too.
// The slot's variables follow S92 as the launcher reads it; --base overrides
// its base number.
//
//   bench_roundtrip --state FILE [--count N] [--slot K] [--base B]
//                   [--command N] [--param K=V ...]
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "korNumbers.h"
#include "korSlotLayout.h"
#include "vcState.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Args {
    std::string state = "arvokor.state";
    int count = 1000;
    int slot = 0;
    std::optional<int> base;                  // from S92 unless given
    int command = 8;                          // INFO
    std::vector<std::pair<int, int>> params;  // (k, value) of pK
};

constexpr int kResultOffset = 50;  // result variable: B(base + 50 + slot)
constexpr int kResultParam = 3;    // p3 names the result variable
constexpr int kParams = 10;

// Polls the state file at a fine interval; sleeping, not spinning.
template <typename Pred>
bool waitFor(vc::StateFile& file, Pred pred, double timeoutSec) {
    auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSec);
    for (;;) {
        {
            vc::StateFile::Access a(file);
            if (a.ok() && pred(a.data())) return true;
        }
        if (Clock::now() > deadline) return false;
        timespec ts{0, 20000};  // 20 µs
        nanosleep(&ts, nullptr);
    }
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(std::lround(p * static_cast<double>(v.size() - 1)));
    return v[std::min(i, v.size() - 1)];
}

// The slot layout as the launcher reads it from S92, with --base applied.
bool readLayout(vc::StateFile& file, const Args& args, KorSlotLayout* layout) {
    {
        vc::StateFile::Access a(file);
        if (!a.ok()) return false;
        *layout = korSlotLayoutFrom(vc::sVarText(a.data(), file.counts(), KOR_PARAM_SVAR));
    }
    layout->base = args.base.value_or(layout->base);
    if (args.slot >= 0 && args.slot < layout->slots) return true;
    std::fprintf(stderr, "bench_roundtrip: slot %d does not exist: S92 gives %d slot(s)\n",
                 args.slot, layout->slots);
    return false;
}

// "K=V" of --param into args->params; false after a message.
bool parseParam(const std::string& text, Args* args) {
    const auto eq = text.find('=');
    long long k = 0;
    long long value = 0;
    if (eq == std::string::npos || !kor::parseInt(text.substr(0, eq), 0, kParams - 1, &k) ||
        k == kResultParam || !kor::parseInt(text.substr(eq + 1), -32768, 32767, &value)) {
        std::fprintf(stderr,
                     "--param takes K=V with K 0..9 but 3 and V a 16-bit number, not '%s'\n",
                     text.c_str());
        return false;
    }
    args->params.emplace_back(static_cast<int>(k), static_cast<int>(value));
    return true;
}

// The options into *args; false after a message (exit status in *status).
bool parseArgs(int argc, char** argv, Args* args, int* status) {
    *status = 2;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help") {
            std::puts(
                "usage: bench_roundtrip --state FILE [--count N] [--slot K] [--base B]\n"
                "                       [--command N] [--param K=V ...]");
            *status = 0;
            return false;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "missing value after %s\n", a.c_str());
            return false;
        }
        const std::string v = argv[++i];
        long long n = 0;
        const bool number = kor::parseInt(v, 0, 1000000000, &n);
        if (a == "--state") args->state = v;
        else if (a == "--param") {
            if (!parseParam(v, args)) return false;
        } else if (a != "--count" && a != "--slot" && a != "--base" && a != "--command") {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return false;
        } else if (!number) {
            std::fprintf(stderr, "%s takes a number, not '%s'\n", a.c_str(), v.c_str());
            return false;
        } else if (a == "--count" && n == 0) {
            std::fprintf(stderr, "--count takes at least 1\n");
            return false;
        } else if (a == "--count") args->count = static_cast<int>(n);
        else if (a == "--slot") args->slot = static_cast<int>(n);
        else if (a == "--command") args->command = static_cast<int>(n);
        else args->base = static_cast<int>(n);
    }
    return true;
}

// One command's round trip in ms, or a negative value when no result came.
double roundTrip(vc::StateFile& file, const Args& args, int idVar, int paramVar, int resultVar) {
    {
        vc::StateFile::Access a(file);
        if (!a.ok()) return -1;
        a->b[resultVar] = 0;
        for (int k = 0; k < kParams; ++k) a->i[paramVar + k] = 0;  // INFO selector 0: 255
        for (const auto& [k, value] : args.params)
            a->i[paramVar + k] = static_cast<std::int16_t>(value);
        a->i[paramVar + kResultParam] = static_cast<std::int16_t>(resultVar);
    }
    Clock::time_point start;
    {
        vc::StateFile::Access a(file);
        a->b[idVar] = static_cast<std::uint8_t>(args.command);
        start = Clock::now();
    }
    int result = 0;
    if (!waitFor(
            file,
            [&](const vc::StateData& d) {
                result = d.b[resultVar];
                return result != 0;
            },
            5.0)) {
        std::fprintf(
            stderr,
            "bench_roundtrip: no result within 5 s (is arvokor running on this state file?)\n");
        return -1;
    }
    if (result != 255) {
        std::fprintf(stderr, "bench_roundtrip: command %d gave %d\n", args.command, result);
        return -1;
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    waitFor(
        file, [&](const vc::StateData& d) { return d.b[idVar] == 0; }, 5.0);
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    Args args;
    int status = 0;
    if (!parseArgs(argc, argv, &args, &status)) return status;
    std::string notice, error;
    auto file = vc::StateFile::open(args.state, vc::countsFrom(vc::Settings{}),
                                    vc::StateFile::Mode::Client, &notice, &error);
    if (!file) {
        std::fprintf(stderr, "bench_roundtrip: %s\n", error.c_str());
        return 1;
    }
    KorSlotLayout layout;
    if (!readLayout(*file, args, &layout)) return 2;
    const int idVar = layout.commandIdVar(args.slot);
    const int paramVar = layout.firstParamVar(args.slot);
    const int resultVar = layout.base + kResultOffset + args.slot;
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> jitter(0, 4000);
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(args.count));
    for (int n = 0; n < args.count; ++n) {
        const double ms = roundTrip(*file, args, idVar, paramVar, resultVar);
        if (ms < 0) return 1;
        samples.push_back(ms);
        // A job is not in step with the launcher's poll: start the next command
        // at a random point of the poll period.
        std::this_thread::sleep_for(std::chrono::microseconds(jitter(rng)));
    }
    std::printf("round trip over %d commands %d: median %.3f ms, p99 %.3f ms, max %.3f ms\n",
                args.count, args.command, percentile(samples, 0.5), percentile(samples, 0.99),
                percentile(samples, 1.0));
    return 0;
}
