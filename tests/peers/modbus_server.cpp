// A Modbus TCP server for the tests, built on libmodbus: 1000 coils, discrete
// inputs, holding and input registers (addresses 0..999; others get exception
// 02), any number of clients at once. Prints "READY <port>" once it listens.
//
//   modbus_server [--address A] [--port P] [--silent]
//                 [--coils ADDR:0110...] [--discrete ADDR:0110...]
//                 [--holding ADDR:V,V,...] [--input ADDR:V,V,...]
//
// --port 0 (the default) picks a free port. --silent accepts connections and
// reads requests but never answers. Values are decimal or 0x hex.
#include <modbus.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kSize = 1000;

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: modbus_server [--address A] [--port P] [--silent]\n"
                 "         [--coils ADDR:BITS] [--discrete ADDR:BITS]\n"
                 "         [--holding ADDR:V,V,...] [--input ADDR:V,V,...]\n"
                 "A Modbus TCP test server with %d items of each kind; prints READY <port>.\n",
                 kSize);
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "modbus_server: %s\n", what);
    std::exit(2);
}

int parseAddress(const std::string& setting, std::string* rest) {
    const auto colon = setting.find(':');
    if (colon == std::string::npos) fail("expected ADDR:VALUES");
    const long addr = std::strtol(setting.substr(0, colon).c_str(), nullptr, 0);
    if (addr < 0 || addr >= kSize) fail("address out of range");
    *rest = setting.substr(colon + 1);
    return static_cast<int>(addr);
}

void setBits(std::uint8_t* bits, const std::string& setting) {
    std::string values;
    int addr = parseAddress(setting, &values);
    for (char c : values) {
        if (addr >= kSize) fail("too many bits");
        if (c != '0' && c != '1') fail("bits are 0 or 1");
        bits[addr++] = c == '1';
    }
}

void setRegisters(std::uint16_t* regs, const std::string& setting) {
    std::string values;
    int addr = parseAddress(setting, &values);
    std::size_t pos = 0;
    while (pos <= values.size()) {
        const auto comma = values.find(',', pos);
        const std::string item = values.substr(pos, comma == std::string::npos ? std::string::npos
                                                                               : comma - pos);
        if (addr >= kSize) fail("too many registers");
        regs[addr++] = static_cast<std::uint16_t>(std::strtol(item.c_str(), nullptr, 0));
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
}

int boundPort(int fd) {
    sockaddr_in in{};
    socklen_t len = sizeof in;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&in), &len) != 0) fail("getsockname");
    return ntohs(in.sin_port);
}

}  // namespace

int main(int argc, char** argv) {
    std::string address = "127.0.0.1";
    int port = 0;
    bool silent = false;
    modbus_mapping_t* map = modbus_mapping_new(kSize, kSize, kSize, kSize);
    if (!map) fail("out of memory");

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) fail("missing value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else if (arg == "--address") {
            address = next();
        } else if (arg == "--port") {
            port = std::atoi(next().c_str());
        } else if (arg == "--silent") {
            silent = true;
        } else if (arg == "--coils") {
            setBits(map->tab_bits, next());
        } else if (arg == "--discrete") {
            setBits(map->tab_input_bits, next());
        } else if (arg == "--holding") {
            setRegisters(map->tab_registers, next());
        } else if (arg == "--input") {
            setRegisters(map->tab_input_registers, next());
        } else {
            usage(stderr);
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);

    modbus_t* ctx = modbus_new_tcp(address.c_str(), port);
    if (!ctx) fail("modbus_new_tcp");
    const int server = modbus_tcp_listen(ctx, 8);
    if (server < 0) fail(modbus_strerror(errno));
    std::printf("READY %d\n", boundPort(server));
    std::fflush(stdout);

    fd_set clients;
    FD_ZERO(&clients);
    FD_SET(server, &clients);
    int maxFd = server;
    std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        fd_set ready = clients;
        if (select(maxFd + 1, &ready, nullptr, nullptr, nullptr) < 0) {
            if (errno == EINTR) continue;
            fail("select");
        }
        for (int fd = 0; fd <= maxFd; ++fd) {
            if (!FD_ISSET(fd, &ready)) continue;
            if (fd == server) {
                int listener = server;
                const int client = modbus_tcp_accept(ctx, &listener);
                if (client < 0) continue;
                FD_SET(client, &clients);
                if (client > maxFd) maxFd = client;
                continue;
            }
            if (silent) {
                char sink[512];
                if (read(fd, sink, sizeof sink) <= 0) {
                    close(fd);
                    FD_CLR(fd, &clients);
                }
                continue;
            }
            modbus_set_socket(ctx, fd);
            const int rc = modbus_receive(ctx, query);
            if (rc > 0) {
                modbus_reply(ctx, query, rc, map);
            } else if (rc < 0) {
                close(fd);
                FD_CLR(fd, &clients);
            }
        }
    }
}
