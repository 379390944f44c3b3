// Speed output: whether every tick of clock 1 writes the speed registers. The
// servo speed of one axis is changed every 200 µs through the state file, far
// more often than a tick, so each write of the task brings a new register
// value; every change seen is one write. Prints the writes, the ticks of the
// span they cover, gaps over 1.5 periods and the interval jitter.
//
//   bench_speedout --state FILE [--seconds S] [--period-us P] [--group G] [--first R]
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "korNumbers.h"
#include "vcState.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Args {
    std::string state = "arvokor.state";
    double seconds = 10;
    int periodUs = 4000;
    int group = 0;
    int first = 520;
};

// A number of seconds; 0 (out of range) when the text is not one.
double seconds(const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    return text.empty() || *end != 0 ? 0 : v;
}

bool parse(int argc, char** argv, Args* args) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help") {
            std::puts(
                "usage: bench_speedout --state FILE [--seconds S] [--period-us P] "
                "[--group G] [--first R]");
            std::exit(0);  // NOLINT(concurrency-mt-unsafe): one thread yet
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "missing value after %s\n", a.c_str());
            return false;
        }
        const std::string v = argv[++i];
        long long n = -1;  // out of range for every option when v is no integer
        if (a != "--state" && a != "--seconds" && !kor::parseInt(v, 0, 1000000000, &n)) n = -1;
        if (a == "--state") args->state = v;
        else if (a == "--seconds") args->seconds = seconds(v);
        else if (a == "--period-us") args->periodUs = static_cast<int>(n);
        else if (a == "--group") args->group = static_cast<int>(n);
        else if (a == "--first") args->first = static_cast<int>(n);
        else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return false;
        }
    }
    const bool sane = args->seconds > 0 && args->seconds <= 600 && args->periodUs >= 100 &&
                      args->group >= 0 && args->group < vc::kControlGroups && args->first >= 0;
    if (!sane) std::fprintf(stderr, "bench_speedout: a value is out of range\n");
    return sane;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(std::lround(p * static_cast<double>(v.size() - 1)));
    return v[std::min(i, v.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    Args args;
    if (!parse(argc, argv, &args)) return 2;
    std::string notice, error;
    auto file = vc::StateFile::open(args.state, vc::countsFrom(vc::Settings{}),
                                    vc::StateFile::Mode::Client, &notice, &error);
    if (!file) {
        std::fprintf(stderr, "bench_speedout: %s\n", error.c_str());
        return 1;
    }
    if (static_cast<std::uint32_t>(args.first) + 1 >= file->counts().reg) {
        std::fprintf(stderr, "bench_speedout: register %d is not in the state file\n", args.first);
        return 1;
    }
    std::vector<Clock::time_point> changes;
    std::uint32_t speed = 1, last = 0;
    const auto end = Clock::now() + std::chrono::duration<double>(args.seconds);
    while (Clock::now() < end) {
        {
            vc::StateFile::Access a(*file);
            if (!a.ok()) return 1;
            const std::uint32_t seen = a->reg[args.first] | (a->reg[args.first + 1] << 16);
            if (seen != last && seen != 0) changes.push_back(Clock::now());
            last = seen;
            a->robot->servo[args.group][0] = static_cast<std::int32_t>(++speed % 1000000 + 1);
        }
        timespec ts{0, 200000};
        nanosleep(&ts, nullptr);
    }
    if (changes.size() < 2) {
        std::fprintf(stderr, "bench_speedout: the registers did not change (speed output off?)\n");
        return 1;
    }
    const double period = args.periodUs / 1e6;
    std::vector<double> jitter;
    int longGaps = 0;
    for (std::size_t k = 1; k < changes.size(); ++k) {
        const double gap = std::chrono::duration<double>(changes[k] - changes[k - 1]).count();
        if (gap > 1.5 * period) ++longGaps;
        jitter.push_back(std::fabs(gap - period) * 1e3);
    }
    const double span = std::chrono::duration<double>(changes.back() - changes.front()).count();
    const long ticks = std::lround(span / period) + 1;
    std::printf(
        "speed output: %zu writes in %ld ticks, %d gaps over 1.5 periods, "
        "jitter median %.3f ms, p99 %.3f ms\n",
        changes.size(), ticks, longGaps, percentile(jitter, 0.5), percentile(jitter, 0.99));
    return 0;
}
