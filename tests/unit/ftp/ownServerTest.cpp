// The virtual controller's own FTP server: started and stopped with the
// program, serving the job directory to "ftp" with an empty password.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "ftpClient.h"
#include "ftpPeers.h"
#include "vcFtpServer.h"

using namespace ftptest;
using kortest::freePort;
using namespace std::chrono_literals;

namespace {

constexpr const char* OWN_ADDRESS = "127.0.0.61";

bool portOpen(const char* address, int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address, &sin.sin_addr);
    const bool open = ::connect(s, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
    ::close(s);
    return open;
}

// Waits until the port is in the wanted state (5 s at most).
bool waitPort(const char* address, int port, bool open) {
    return kortest::waitFor([&] { return portOpen(address, port) == open; }, 5000ms, 50ms);
}

vc::Settings ownSettings(const TempDir& dir, int port) {
    vc::Settings s;
    s.address = OWN_ADDRESS;
    s.ftpPort = port;
    s.jobsDir = dir / "jobs";
    return s;
}

}  // namespace

TEST(OwnFtpServer, ServesTheJobDirectoryToFtpWithEmptyPassword) {
    TempDir dir;
    const int port = freePort(OWN_ADDRESS);
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(vc::startFtpServer(ownSettings(dir, port)), 0);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count(), 2.5);
    ASSERT_TRUE(waitPort(OWN_ADDRESS, port, true));

    FtpConnection* conn = nullptr;
    ASSERT_EQ(FtpConnect(OWN_ADDRESS, static_cast<std::uint16_t>(port), &conn), 1);
    EXPECT_EQ(FtpLogin("robot", "secret", conn), 0);
    ASSERT_EQ(FtpLogin("ftp", "", conn), 1);
    // Job files are kept as they travel: CR LF stays CR LF in TYPE A.
    const std::string job = "/JOB\r\n//NAME WELD1\r\nNOP\r\nEND\r\n";
    EXPECT_EQ(FtpBufferedPut(job.data(), static_cast<int>(job.size()), "WELD1.JBI", 'A', conn),
              static_cast<int>(job.size()));
    EXPECT_EQ(readFile(dir / "jobs/WELD1.JBI"), job);
    char back[64];
    EXPECT_EQ(FtpBufferedGet(back, sizeof back, "WELD1.JBI", 'A', conn),
              static_cast<int>(job.size()));
    EXPECT_EQ(std::string(back, job.size()), job);
    EXPECT_EQ(FtpDelete("WELD1.JBI", conn), 1);
    FtpQuit(conn);

    vc::stopFtpServer();
    EXPECT_FALSE(portOpen(OWN_ADDRESS, port));
    vc::stopFtpServer();  // a second stop does nothing
}

TEST(OwnFtpServer, OffStartsNothingAndACommandLineReplacesTheServer) {
    TempDir dir;
    const int port = freePort(OWN_ADDRESS);
    vc::Settings settings = ownSettings(dir, port);
    settings.ftpServer = "off";
    EXPECT_EQ(vc::startFtpServer(settings), 0);
    EXPECT_FALSE(portOpen(OWN_ADDRESS, port));

    std::filesystem::create_directories(settings.jobsDir);
    settings.ftpServer = "exec /usr/bin/python3 " + peersDir() +
                         "/ftp_pyftpd.py --address \"$VC_FTP_ADDRESS\" --port \"$VC_FTP_PORT\" "
                         "--root \"$VC_FTP_ROOT\" >/dev/null";
    ASSERT_EQ(vc::startFtpServer(settings), 0);
    EXPECT_TRUE(portOpen(OWN_ADDRESS, port));  // start waited until it listened
    FtpConnection* conn = nullptr;
    ASSERT_EQ(FtpConnect(OWN_ADDRESS, static_cast<std::uint16_t>(port), &conn), 1);
    EXPECT_EQ(FtpLogin("robot", "secret", conn), 1);
    FtpQuit(conn);
    vc::stopFtpServer();
    EXPECT_TRUE(waitPort(OWN_ADDRESS, port, false));
}

TEST(OwnFtpServer, AServerThatCannotListenIsReported) {
    TempDir dir;
    const int port = freePort(OWN_ADDRESS);
    // Something else holds the port.
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, OWN_ADDRESS, &sin.sin_addr);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    EXPECT_EQ(vc::startFtpServer(ownSettings(dir, port)), -1);
    ::close(holder);
    vc::stopFtpServer();
}

TEST(OwnFtpServer, EndsWhenTheProgramIsKilled) {
    TempDir dir;
    const int port = freePort(OWN_ADDRESS);
    const vc::Settings settings = ownSettings(dir, port);
    // A stand-in for arvokor: starts the server from a thread that ends at
    // once (as a start-up task would), then waits until it is killed.
    const pid_t program = ::fork();
    if (program == 0) {
        std::thread starter([&] { vc::startFtpServer(settings); });
        starter.join();
        for (;;) ::pause();
    }
    ASSERT_GT(program, 0);
    struct KillAtEnd {
        pid_t pid;
        ~KillAtEnd() {
            if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
        }
    } guard{program};
    ASSERT_TRUE(waitPort(OWN_ADDRESS, port, true));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(portOpen(OWN_ADDRESS, port)) << "the server ended with its starting thread";
    ::kill(program, SIGKILL);
    ::waitpid(program, nullptr, 0);
    guard.pid = -1;
    EXPECT_TRUE(waitPort(OWN_ADDRESS, port, false)) << "the server outlived the program";
}
