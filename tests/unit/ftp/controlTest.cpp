// FTP control connections against a real server (pyftpdlib) and against the
// scripted server for what a real one will not do.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "ctlTestHooks.h"
#include "ftpClient.h"
#include "ftpInternal.h"
#include "ftpPeers.h"

using namespace ftptest;

namespace {

constexpr const char* LOOPBACK = "127.0.0.1";

// Connection set-up shared by the tests: a peer, a scratch root, a leak check.
class FtpControlTest : public kortest::LeakCheckedTest {
protected:
    void TearDown() override {
        FtpQuit(conn);
        conn = nullptr;
        LeakCheckedTest::TearDown();
    }

    void startReal() {
        peer = std::make_unique<PeerProcess>("ftp_pyftpd.py", pyftpdArgs(LOOPBACK, root.path()));
        ASSERT_NE(peer->port(), 0);
    }
    void startScripted(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"--address", LOOPBACK, "--root",
                                      root.path(), "--log",  logPath()};
        args.insert(args.end(), extra.begin(), extra.end());
        peer = std::make_unique<PeerProcess>("ftp_scripted.py", args);
        ASSERT_NE(peer->port(), 0);
    }
    void connectAndLogin(const char* user = "robot", const char* pass = "secret") {
        ASSERT_EQ(FtpConnect(LOOPBACK, port(), &conn), 1);
        ASSERT_EQ(FtpLogin(user, pass, conn), 1) << conn->lastResponse;
    }
    std::uint16_t port() const { return static_cast<std::uint16_t>(peer->port()); }
    std::string logPath() const { return root / "commands.log"; }
    std::string commandLog() const { return readFile(logPath()); }

    TempDir root;
    std::unique_ptr<PeerProcess> peer;
    FtpConnection* conn = nullptr;
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST_F(FtpControlTest, LoginAcceptedAndRefusedByRealServer) {
    startReal();
    ASSERT_EQ(FtpConnect(LOOPBACK, port(), &conn), 1);
    EXPECT_EQ(std::strncmp(FtpLastResponse(conn), "220", 3), 0);
    EXPECT_EQ(FtpLogin("robot", "wrong", conn), 0);
    EXPECT_EQ(std::strncmp(FtpLastResponse(conn), "530", 3), 0);
    EXPECT_EQ(FtpLogin("robot", "secret", conn), 1);
    EXPECT_EQ(std::strncmp(FtpLastResponse(conn), "230", 3), 0);

    // The controller logs in to its own server as "ftp" with an empty password.
    FtpConnection* second = nullptr;
    ASSERT_EQ(FtpConnect(LOOPBACK, port(), &second), 1);
    EXPECT_EQ(FtpLogin("ftp", "", second), 1);
    FtpQuit(second);
}

TEST_F(FtpControlTest, ConnectFailuresLeaveThePointerUnchanged) {
    FtpConnection sentinel{};
    FtpConnection* out = &sentinel;
    startReal();
    const std::uint16_t closedPort = port();
    peer->stop();
    EXPECT_EQ(FtpConnect(LOOPBACK, closedPort, &out), 0);
    EXPECT_EQ(out, &sentinel);
    EXPECT_EQ(FtpConnect("not-an-address", 21, &out), 0);
    EXPECT_EQ(out, &sentinel);

    startScripted({"--greeting", "421 Too many users, try later."});
    EXPECT_EQ(FtpConnect(LOOPBACK, port(), &out), 0);
    EXPECT_EQ(out, &sentinel);

    EXPECT_EQ(FtpLastResponse(nullptr), nullptr);
    FtpQuit(nullptr);  // ignored
}

TEST_F(FtpControlTest, DirectoryAndFileCommandsOnRealServer) {
    startReal();
    writeFile(root / "JOB1.JBI", std::string(1234, 'x'));
    connectAndLogin();

    char text[64];
    ASSERT_EQ(FtpSysType(text, sizeof text, conn), 1);
    EXPECT_STREQ(text, "UNIX");

    EXPECT_EQ(FtpMkdir("robot", conn), 1);
    EXPECT_TRUE(std::filesystem::is_directory(root / "robot"));
    EXPECT_EQ(FtpChdir("robot", conn), 1);
    ASSERT_EQ(FtpPwd(text, sizeof text, conn), 1);
    EXPECT_STREQ(text, "/robot");
    ASSERT_EQ(FtpPwd(text, 4, conn), 1);
    EXPECT_STREQ(text, "/ro");
    EXPECT_EQ(FtpChdir("missing", conn), 0);
    EXPECT_EQ(std::strncmp(FtpLastResponse(conn), "550", 3), 0);
    EXPECT_EQ(FtpCDUp(conn), 1);
    EXPECT_EQ(FtpRmdir("robot", conn), 1);
    EXPECT_FALSE(fileExists(root / "robot"));

    int size = -1;
    EXPECT_EQ(FtpSize("JOB1.JBI", &size, 'I', conn), 1);
    EXPECT_EQ(size, 1234);
    size = -1;
    EXPECT_EQ(FtpSize("JOB1.JBI", &size, 'A', conn), 0);  // this server refuses SIZE in ASCII
    EXPECT_EQ(size, -1);

    char date[32];
    std::memset(date, '#', sizeof date);
    ASSERT_EQ(FtpModDate("JOB1.JBI", date, sizeof date, conn), 1);
    EXPECT_EQ(std::string(date, 16).find_first_not_of("0123456789"), 14u);  // 14 digits, CR LF
    EXPECT_EQ(std::string(date + 14, 2), "\r\n");

    EXPECT_EQ(FtpRename("JOB1.JBI", "JOB2.JBI", conn), 1);
    EXPECT_TRUE(fileExists(root / "JOB2.JBI"));
    EXPECT_EQ(FtpRename("NONE.JBI", "JOB3.JBI", conn), 0);
    EXPECT_EQ(FtpDelete("JOB2.JBI", conn), 1);
    EXPECT_FALSE(fileExists(root / "JOB2.JBI"));
    EXPECT_EQ(FtpDelete("JOB2.JBI", conn), 0);
    EXPECT_EQ(FtpSite("HELP", conn), 1);
}

TEST_F(FtpControlTest, MultiLineRepliesEndOnlyAtTheirOwnCodeAndBlank) {
    startScripted({"--reply",
                   "PASS=230-Welcome\\r\\n230-still 230 text\\r\\n530 not the end\\r\\n"
                   "230-more\\r\\n230 Logged in."});
    ASSERT_EQ(FtpConnect(LOOPBACK, port(), &conn), 1);
    EXPECT_EQ(FtpLogin("robot", "secret", conn), 1);
    EXPECT_STREQ(FtpLastResponse(conn), "230 Logged in.\r\n");
    EXPECT_EQ(FtpCDUp(conn), 1);  // the next reply is read in step
    EXPECT_EQ(std::strncmp(FtpLastResponse(conn), "250", 3), 0);
}

TEST_F(FtpControlTest, UserReplyDecidesWhetherPasswordIsSent) {
    startScripted({"--reply", "USER=230 No password needed."});
    ASSERT_EQ(FtpConnect(LOOPBACK, port(), &conn), 1);
    EXPECT_EQ(FtpLogin("robot", "secret", conn), 1);
    EXPECT_EQ(FtpCDUp(conn), 1);
    EXPECT_EQ(commandLog().find("PASS"), std::string::npos);
    FtpQuit(conn);
    conn = nullptr;

    startScripted({"--reply", "USER=530 Not allowed."});
    ASSERT_EQ(FtpConnect(LOOPBACK, port(), &conn), 1);
    EXPECT_EQ(FtpLogin("robot", "secret", conn), 0);
}

TEST_F(FtpControlTest, OverlongTextsAreRefusedBeforeAnythingIsSent) {
    startScripted();
    ASSERT_EQ(FtpConnect(LOOPBACK, port(), &conn), 1);
    const std::string name25(25, 'u');
    EXPECT_EQ(FtpLogin(name25.c_str(), "secret", conn), 0);
    EXPECT_EQ(FtpLogin("robot", name25.c_str(), conn), 0);
    ASSERT_EQ(FtpLogin("robot", "secret", conn), 1);

    const std::string path249(249, 'd');
    const std::string path250(250, 'd');
    const std::string path251(251, 'd');
    EXPECT_EQ(FtpMkdir(path251.c_str(), conn), 0);
    EXPECT_EQ(FtpChdir(path251.c_str(), conn), 0);
    EXPECT_EQ(FtpDelete(path250.c_str(), conn), 0);
    EXPECT_EQ(FtpRename(path250.c_str(), "x", conn), 0);
    // A CR or LF inside a name would start a second command: refused.
    EXPECT_EQ(FtpDelete("JOB.JBI\r\nRMD /", conn), 0);
    EXPECT_EQ(FtpMkdir(path250.c_str(), conn), 0);  // "MKD " and 250 exceed one command line
    EXPECT_EQ(FtpMkdir(path249.c_str(), conn), 1);

    const std::string log = commandLog();
    EXPECT_EQ(log.find("USER uuuu"), std::string::npos);
    EXPECT_EQ(log.find("PASS uuuu"), std::string::npos);
    EXPECT_EQ(log.find("DELE"), std::string::npos);
    EXPECT_EQ(log.find("RNFR"), std::string::npos);
    EXPECT_EQ(log.find("RMD"), std::string::npos);
    EXPECT_EQ(log.find("MKD " + path251), std::string::npos);
    EXPECT_EQ(log.find("MKD " + path250), std::string::npos);
    EXPECT_NE(log.find("MKD " + path249), std::string::npos);
}

TEST_F(FtpControlTest, ReplyParsingOfSizeAndSystemType) {
    startScripted(
        {"--reply", "SIZE=213", "--reply", "SYST=215 UNIX", "--reply", "PWD=257 \"/jobs"});
    connectAndLogin();
    int size = -7;
    EXPECT_EQ(FtpSize("JOB.JBI", &size, 'I', conn), 0);  // only one number
    EXPECT_EQ(size, -7);
    char type[8];
    ASSERT_EQ(FtpSysType(type, sizeof type, conn), 1);
    EXPECT_STREQ(type, "UNIX");
    ASSERT_EQ(FtpSysType(type, 3, conn), 1);
    EXPECT_STREQ(type, "UN");
    char dir[16];
    ASSERT_EQ(FtpPwd(dir, sizeof dir, conn), 1);  // no closing quote: up to the line end
    EXPECT_STREQ(dir, "/jobs");
}

TEST_F(FtpControlTest, SilentServerFailsTheCommandAfterTheWaitLimit) {
    startScripted({"--silent", "CWD"});
    connectAndLogin();
    conn->waitSeconds = 1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FtpChdir("jobs", conn), 0);
    EXPECT_GE(secondsSince(start), 0.9);
    EXPECT_LT(secondsSince(start), 5.0);
}

TEST_F(FtpControlTest, ServerStoppingInsideAReplyLineCannotHoldTheTask) {
    startScripted({"--stall", "CWD"});
    connectAndLogin();
    conn->waitSeconds = 1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FtpChdir("jobs", conn), 0);
    EXPECT_LT(secondsSince(start), 5.0);
}

TEST_F(FtpControlTest, OverlongReplyLineDoesNotSpillIntoTheNextReply) {
    const std::string longLine = "250 " + std::string(400, 'L');
    startScripted({"--reply", "CWD=" + longLine});
    connectAndLogin();
    EXPECT_EQ(FtpChdir("jobs", conn), 1);
    EXPECT_EQ(std::strlen(FtpLastResponse(conn)), static_cast<std::size_t>(FTP_RESPONSE_SIZE - 1));
    char dir[64];
    ASSERT_EQ(FtpPwd(dir, sizeof dir, conn), 1);
    EXPECT_STREQ(dir, "/");
}

TEST_F(FtpControlTest, ServerClosingTheConnectionFailsCommands) {
    startScripted({"--reply", "CWD=250-first line of many", "--hangup", "CWD"});
    connectAndLogin();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FtpChdir("jobs", conn), 0);  // closed inside a multi-line reply
    EXPECT_EQ(FtpCDUp(conn), 0);
    EXPECT_LT(secondsSince(start), 5.0);
}

TEST_F(FtpControlTest, FailedAllocationOfTheRecordClosesTheSocket) {
    startReal();
    vc::hooks::failAfter(vc::hooks::Site::Malloc, 0);
    EXPECT_EQ(FtpConnect(LOOPBACK, port(), &conn), 0);
    EXPECT_EQ(conn, nullptr);
}

TEST_F(FtpControlTest, UserOrPasswordWithALineBreakIsNoLogIn) {
    startScripted();
    ASSERT_EQ(FtpConnect(LOOPBACK, port(), &conn), 1);  // the 220 greeting is the last reply
    EXPECT_EQ(FtpLogin("ali\nce", "secret", conn), 0);
    EXPECT_EQ(FtpLogin("robot", "sec\rret", conn), 0);
    EXPECT_EQ(commandLog().find("PASS"), std::string::npos);
}

// A server that never finishes a reply must not hold the task: the whole reply
// is bounded, then the connection is given up like a dropped one.
TEST_F(FtpControlTest, ReplyThatNeverEndsFailsAfterTheReplyLimit) {
    const int savedLimit = ftpio::replyLimitSeconds;
    ftpio::replyLimitSeconds = 2;
    startScripted({"--endless", "greeting"});
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FtpConnect(LOOPBACK, port(), &conn), 0);
    EXPECT_LT(secondsSince(start), 8.0);

    startScripted({"--trickle", "CWD", "--endless", "MKD"});
    connectAndLogin();
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(FtpChdir("jobs", conn), 0);
    EXPECT_EQ(FtpCDUp(conn), 0);  // given up: fails at once
    EXPECT_LT(secondsSince(start), 8.0);
    FtpQuit(conn);
    conn = nullptr;

    connectAndLogin();
    EXPECT_EQ(FtpMkdir("cell", conn), 0);
    ftpio::replyLimitSeconds = savedLimit;
}
