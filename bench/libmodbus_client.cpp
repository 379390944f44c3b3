// The reference for the Modbus exchanges: libmodbus's own client reading and
// writing holding registers of a Modbus TCP server, each call timed from the
// request to the reply taken (median and 99th percentile).
//
//   bench_libmodbus_client --address A --port P [--count N] [--registers R]
//
// Reads registers 0..R-1 with modbus_read_registers, then writes them back
// with modbus_write_registers; prints one line per kind.
#include <modbus.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "korNumbers.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Args {
    std::string address = "127.0.0.1";
    int port = 502;
    int count = 1000;
    int registers = 100;
};

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(std::lround(p * static_cast<double>(v.size() - 1)));
    return v[std::min(i, v.size() - 1)];
}

// The options into *args; false when one is unknown or out of range.
bool parseArgs(int argc, char** argv, Args* args) {
    if (argc % 2 == 0) return false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const std::string v = argv[i + 1];
        long long n = 0;
        if (a == "--address") args->address = v;
        else if (a == "--port" && kor::parseInt(v, 1, 65535, &n)) args->port = static_cast<int>(n);
        else if (a == "--count" && kor::parseInt(v, 1, 10000000, &n))
            args->count = static_cast<int>(n);
        else if (a == "--registers" && kor::parseInt(v, 1, MODBUS_MAX_WRITE_REGISTERS, &n))
            args->registers = static_cast<int>(n);
        else return false;
    }
    return true;
}

// Times `count` calls of one kind; false when a call failed.
template <typename Call>
bool timeCalls(int count, Call call, std::vector<double>* ms) {
    for (int n = 0; n < count; ++n) {
        const auto start = Clock::now();
        if (!call()) return false;
        ms->push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return true;
}

void report(const char* what, int registers, const std::vector<double>& ms) {
    std::printf("%s %d registers over %zu calls: median %.3f ms, p99 %.3f ms, max %.3f ms\n", what,
                registers, ms.size(), percentile(ms, 0.5), percentile(ms, 0.99),
                percentile(ms, 1.0));
}

}  // namespace

int main(int argc, char** argv) {
    Args args;
    if (!parseArgs(argc, argv, &args)) {
        std::fprintf(stderr,
                     "usage: bench_libmodbus_client --address A --port P [--count N] "
                     "[--registers 1..%d]\n",
                     MODBUS_MAX_WRITE_REGISTERS);
        return 2;
    }
    modbus_t* ctx = modbus_new_tcp(args.address.c_str(), args.port);
    if (ctx == nullptr || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "bench_libmodbus_client: no connection to %s:%d\n",
                     args.address.c_str(), args.port);
        if (ctx != nullptr) modbus_free(ctx);
        return 1;
    }
    modbus_set_slave(ctx, 1);
    std::vector<std::uint16_t> values(static_cast<std::size_t>(args.registers));
    std::vector<double> reads, writes;
    const bool ok = timeCalls(
                        args.count,
                        [&] {
                            return modbus_read_registers(ctx, 0, args.registers, values.data()) ==
                                   args.registers;
                        },
                        &reads) &&
                    timeCalls(
                        args.count,
                        [&] {
                            return modbus_write_registers(ctx, 0, args.registers, values.data()) ==
                                   args.registers;
                        },
                        &writes);
    if (!ok) std::fprintf(stderr, "bench_libmodbus_client: %s\n", modbus_strerror(errno));
    modbus_close(ctx);
    modbus_free(ctx);
    if (!ok) return 1;
    report("read", args.registers, reads);
    report("write", args.registers, writes);
    return 0;
}
