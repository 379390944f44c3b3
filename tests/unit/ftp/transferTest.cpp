// FTP data transfers: files, memory buffers and server-to-server moves against
// real servers (pyftpdlib) and the scripted server (raw storage, faults).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "ctlTestHooks.h"
#include "ftpClient.h"
#include "ftpPeers.h"

using namespace ftptest;

namespace {

constexpr const char* LOOPBACK = "127.0.0.1";

std::string allByteValues(int length) {
    std::string s(static_cast<std::size_t>(length), '\0');
    for (int i = 0; i < length; ++i)
        s[static_cast<std::size_t>(i)] = static_cast<char>(i * 7 % 256);
    return s;
}

// Lines of the given lengths, each ended by LF.
std::string lfLines(std::initializer_list<int> lengths) {
    std::string s;
    char c = 'a';
    for (int n : lengths) {
        s += std::string(static_cast<std::size_t>(n), c);
        s += '\n';
        c = c == 'z' ? 'a' : static_cast<char>(c + 1);
    }
    return s;
}

std::string withCrLf(const std::string& lf) {
    std::string out;
    for (char c : lf) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// One server of a test: its root directory, process and logged-in connection.
struct Server {
    TempDir root;
    std::unique_ptr<PeerProcess> process;
    FtpConnection* conn = nullptr;

    ~Server() { FtpQuit(conn); }
    std::string file(const std::string& name) const { return root / name; }
    std::string log() const { return readFile(root / "commands.log"); }
};

class FtpTransferTest : public kortest::LeakCheckedTest {
protected:
    void TearDown() override {
        servers.clear();
        LeakCheckedTest::TearDown();
    }

    Server& startReal() { return start("ftp_pyftpd.py", {}); }
    Server& startScripted(std::vector<std::string> extra = {}) {
        return start("ftp_scripted.py", extra);
    }

    Server& start(const char* script, std::vector<std::string> extra) {
        auto server = std::make_unique<Server>();
        std::vector<std::string> args{"--address", LOOPBACK, "--root", server->root.path()};
        if (std::string(script) == "ftp_scripted.py") {
            args.push_back("--log");
            args.push_back(server->root / "commands.log");
        }
        args.insert(args.end(), extra.begin(), extra.end());
        server->process = std::make_unique<PeerProcess>(script, args);
        EXPECT_NE(server->process->port(), 0);
        const auto port = static_cast<std::uint16_t>(server->process->port());
        EXPECT_EQ(FtpConnect(LOOPBACK, port, &server->conn), 1);
        EXPECT_EQ(FtpLogin("robot", "secret", server->conn), 1);
        servers.push_back(std::move(server));
        return *servers.back();
    }

    TempDir local;
    std::vector<std::unique_ptr<Server>> servers;
};

}  // namespace

TEST_F(FtpTransferTest, ImageFilesTravelUnchangedBothWays) {
    Server& s = startReal();
    const std::string content = allByteValues(3 * FTPLIB_BUFSIZ + 17);
    writeFile(local / "up.bin", content);
    ASSERT_EQ(FtpPut((local / "up.bin").c_str(), "JOB.BIN", 'I', s.conn), 1);
    EXPECT_EQ(readFile(s.file("JOB.BIN")), content);
    ASSERT_EQ(FtpGet((local / "down.bin").c_str(), "JOB.BIN", 'I', s.conn), 1);
    EXPECT_EQ(readFile(local / "down.bin"), content);
}

TEST_F(FtpTransferTest, AsciiWritesTurnBareLineFeedsIntoCrLf) {
    Server& s = startScripted();  // stores what arrives, unchanged
    writeFile(local / "a.txt", std::string("\na\nb\r\nc\rd"));
    ASSERT_EQ(FtpPut((local / "a.txt").c_str(), "A.JBI", 'A', s.conn), 1);
    EXPECT_EQ(readFile(s.file("A.JBI")), std::string("\r\na\r\nb\r\nc\rd"));

    // A CR at the end of one write and its LF at the start of the next stay one
    // line end.
    FtpConnection* data = nullptr;
    ASSERT_EQ(FtpAccess("B.JBI", FTP_ACCESS_STOR, 'A', s.conn, &data), 1);
    EXPECT_EQ(FtpWrite("x\r", 2, data), 2);
    EXPECT_EQ(FtpWrite("\ny\n", 3, data), 3);
    EXPECT_EQ(FtpClose(data), 1);
    EXPECT_EQ(readFile(s.file("B.JBI")), std::string("x\r\ny\r\n"));
}

TEST_F(FtpTransferTest, AsciiReadsDeliverOneLineAtATime) {
    Server& s = startReal();  // sends LF as CR LF in TYPE A
    writeFile(s.file("L.JBI"), "first\nsecond\nlast");
    FtpConnection* data = nullptr;
    ASSERT_EQ(FtpAccess("L.JBI", FTP_ACCESS_RETR, 'A', s.conn, &data), 1);
    char line[64];
    EXPECT_EQ(FtpRead(line, sizeof line, data), 7);
    EXPECT_STREQ(line, "first\r\n");
    EXPECT_EQ(FtpRead(line, 4, data), 3);
    EXPECT_STREQ(line, "sec");
    EXPECT_EQ(FtpRead(line, sizeof line, data), 5);
    EXPECT_STREQ(line, "ond\r\n");
    EXPECT_EQ(FtpRead(line, sizeof line, data), 4);
    EXPECT_STREQ(line, "last");
    EXPECT_EQ(FtpRead(line, sizeof line, data), 0);
    EXPECT_EQ(FtpClose(data), 1);

    ASSERT_EQ(FtpGet((local / "l.txt").c_str(), "L.JBI", 'A', s.conn), 1);
    EXPECT_EQ(readFile(local / "l.txt"), "first\r\nsecond\r\nlast");
}

TEST_F(FtpTransferTest, ListingsGoToTheLocalFile) {
    Server& s = startReal();
    writeFile(s.file("ONE.JBI"), "1");
    writeFile(s.file("TWO.JBI"), "2");
    ASSERT_EQ(FtpNlst((local / "nlst").c_str(), nullptr, s.conn), 1);
    EXPECT_EQ(readFile(local / "nlst"), "ONE.JBI\r\nTWO.JBI\r\n");
    ASSERT_EQ(FtpDir((local / "dir").c_str(), "/", s.conn), 1);
    const std::string dir = readFile(local / "dir");
    EXPECT_NE(dir.find("ONE.JBI\r\n"), std::string::npos);
    EXPECT_NE(dir.find("TWO.JBI\r\n"), std::string::npos);
}

TEST_F(FtpTransferTest, BufferedTransfersRespectTheBufferSize) {
    Server& s = startReal();
    writeFile(s.file("100"), std::string(100, 'h'));
    writeFile(s.file("101"), std::string(101, 'h'));
    writeFile(s.file("EMPTY"), "");
    char buffer[100];
    EXPECT_EQ(FtpBufferedGet(buffer, sizeof buffer, "101", 'I', s.conn), 0);
    EXPECT_EQ(FtpBufferedGet(buffer, sizeof buffer, "100", 'I', s.conn), 100);
    EXPECT_EQ(std::string(buffer, 100), std::string(100, 'h'));
    EXPECT_EQ(FtpBufferedGet(buffer, sizeof buffer, "EMPTY", 'I', s.conn), 0);
    EXPECT_EQ(FtpBufferedGet(buffer, sizeof buffer, "MISSING", 'I', s.conn), 0);

    for (int size : {FTPLIB_BUFSIZ, FTPLIB_BUFSIZ + 1}) {
        const std::string content = allByteValues(size);
        EXPECT_EQ(FtpBufferedPut(content.data(), size, "PUT", 'I', s.conn), size);
        EXPECT_EQ(readFile(s.file("PUT")), content);
    }
}

TEST_F(FtpTransferTest, AccessRefusalsLeaveNoDataConnection) {
    Server& s = startReal();
    FtpConnection* data = nullptr;
    EXPECT_EQ(FtpAccess(nullptr, FTP_ACCESS_RETR, 'I', s.conn, &data), 0);
    EXPECT_STREQ(FtpLastResponse(s.conn), "Missing path argument for file transfer\n");
    EXPECT_EQ(FtpAccess("X", 5, 'I', s.conn, &data), 0);
    EXPECT_STREQ(FtpLastResponse(s.conn), "Invalid open type 5\n");
    EXPECT_EQ(FtpAccess("MISSING.JBI", FTP_ACCESS_RETR, 'A', s.conn, &data), 0);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(std::strncmp(FtpLastResponse(s.conn), "550", 3), 0);
    // The control connection still works after each refusal.
    char dir[32];
    EXPECT_EQ(FtpPwd(dir, sizeof dir, s.conn), 1);

    EXPECT_EQ(FtpClose(nullptr), 0);
    EXPECT_EQ(FtpClose(s.conn), 0);  // a control record is not closed here
    EXPECT_EQ(FtpRead(dir, sizeof dir, s.conn), 0);
    EXPECT_EQ(FtpWrite("x", 1, s.conn), 0);
}

TEST_F(FtpTransferTest, PassiveReplyGivesThePortOnly) {
    // The reply names 127.0.0.5; the data connection goes to the server's own
    // address all the same, at the port of the reply (4 * 256 + 1).
    Server& s = startScripted(
        {"--pasv-port", "1025", "--pasv-text", "227 Entering Passive Mode (127,0, 0,5,4,1)."});
    writeFile(s.file("P.JBI"), "passive");
    char buffer[32];
    EXPECT_EQ(FtpBufferedGet(buffer, sizeof buffer, "P.JBI", 'I', s.conn), 7);
    EXPECT_EQ(std::string(buffer, 7), "passive");
}

TEST_F(FtpTransferTest, ActiveModeDataConnection) {
    Server& s = startReal();
    s.conn->connectMode = FTP_CONNECT_ACTIVE;
    writeFile(s.file("ACT.JBI"), "active mode");
    char buffer[32];
    EXPECT_EQ(FtpBufferedGet(buffer, sizeof buffer, "ACT.JBI", 'I', s.conn), 11);
    EXPECT_EQ(std::string(buffer, 11), "active mode");
}

TEST_F(FtpTransferTest, FailedTransferBufferAllocationStopsTheTransfer) {
    Server& s = startScripted();
    writeFile(s.file("JOB.JBI"), "job");
    vc::hooks::failAfter(vc::hooks::Site::Malloc, 0);
    EXPECT_EQ(FtpGet((local / "job").c_str(), "JOB.JBI", 'I', s.conn), 0);
    EXPECT_FALSE(fileExists(local / "job"));
    vc::hooks::failAfter(vc::hooks::Site::Malloc, 0);
    EXPECT_EQ(FtpBufferedPut("new", 3, "JOB.JBI", 'I', s.conn), 0);
    EXPECT_EQ(readFile(s.file("JOB.JBI")), "job");
    EXPECT_EQ(s.log().find("STOR"), std::string::npos);
    EXPECT_EQ(s.log().find("RETR"), std::string::npos);
}

TEST_F(FtpTransferTest, DataConnectionThatCannotBeOpenedSendsNoTransferCommand) {
    Server& s = startScripted();
    writeFile(s.file("JOB.JBI"), "job");
    // The PASV reply is read before the data socket is created; a socket or a
    // connect that fails then ends the access before RETR, leaking nothing.
    for (vc::hooks::Site site : {vc::hooks::Site::Socket, vc::hooks::Site::Connect}) {
        vc::hooks::failAfter(site, 0);
        FtpConnection* data = nullptr;
        EXPECT_EQ(FtpAccess("JOB.JBI", FTP_ACCESS_RETR, 'I', s.conn, &data), 0);
        EXPECT_EQ(data, nullptr);
    }
    const std::string log = s.log();
    EXPECT_EQ(log.find("RETR"), std::string::npos);
    EXPECT_NE(log.find("PASV\nTYPE I\nPASV\n"), std::string::npos) << log;
    char buffer[8];
    EXPECT_EQ(FtpBufferedGet(buffer, sizeof buffer, "JOB.JBI", 'I', s.conn), 3);
}

TEST_F(FtpTransferTest, CutShortDownloadsAreFailures) {
    const std::string content = lfLines({100, 200, 300, 4000, 20});
    struct Case {
        std::vector<std::string> fault;
    };
    const Case cases[] = {
        {{"--cut", "500", "--retr-done", "426 Connection closed; transfer aborted."}},
        {{"--reset", "500"}},
        {{"--hang", "500"}},
        {{"--retr-done", "451 Local error in processing."}},
    };
    for (const Case& c : cases) {
        Server& s = startScripted(c.fault);
        s.conn->waitSeconds = 1;
        writeFile(s.file("JOB.JBI"), content);
        EXPECT_EQ(FtpGet((local / "job").c_str(), "JOB.JBI", 'I', s.conn), 0) << c.fault[0];
        char buffer[8000];
        EXPECT_EQ(FtpBufferedGet(buffer, sizeof buffer, "JOB.JBI", 'A', s.conn), 0) << c.fault[0];
    }
}

TEST_F(FtpTransferTest, RefusedUploadCompletionIsAFailure) {
    Server& s = startScripted({"--stor-done", "452 Insufficient storage space."});
    writeFile(local / "up", "data\n");
    EXPECT_EQ(FtpPut((local / "up").c_str(), "UP.JBI", 'A', s.conn), 0);
    EXPECT_EQ(FtpBufferedPut("data", 4, "UP.JBI", 'I', s.conn), 0);
    EXPECT_EQ(std::strncmp(FtpLastResponse(s.conn), "452", 3), 0);
}

TEST_F(FtpTransferTest, MoveBetweenTwoServersInBothModes) {
    Server& remote = startReal();
    Server& controller = startScripted();  // keeps what arrives byte for byte
    // A 1022-character line puts its CR last in one 1023-byte read and its LF
    // first in the next: it must still arrive as one CR LF.
    const std::string text = lfLines({10, 1022, 0, 1500, 3000, 5}) + "tail";
    writeFile(remote.file("WELD1.JBI"), text);
    EXPECT_EQ(FtpMove(remote.conn, "WELD1.JBI", controller.conn, "WELD1.JBI", 'A'),
              static_cast<int>(withCrLf(text).size()));
    EXPECT_EQ(readFile(controller.file("WELD1.JBI")), withCrLf(text));

    const std::string binary = allByteValues(50000);
    writeFile(remote.file("IMG.BIN"), binary);
    EXPECT_EQ(FtpMove(remote.conn, "IMG.BIN", controller.conn, "IMG.BIN", 'I'), 50000);
    EXPECT_EQ(readFile(controller.file("IMG.BIN")), binary);

    // And back: the remote server stores CR LF as LF in TYPE A.
    EXPECT_GT(FtpMove(controller.conn, "WELD1.JBI", remote.conn, "BACK.JBI", 'A'), 0);
    EXPECT_EQ(readFile(remote.file("BACK.JBI")), text);
}

TEST_F(FtpTransferTest, MoveReportsNothingMovedWhenEitherSideFails) {
    Server& remote = startReal();
    Server& controller = startScripted();
    writeFile(remote.file("EMPTY.JBI"), "");
    EXPECT_EQ(FtpMove(remote.conn, "EMPTY.JBI", controller.conn, "EMPTY.JBI", 'A'), 0);
    EXPECT_EQ(FtpMove(remote.conn, "MISSING.JBI", controller.conn, "M.JBI", 'A'), 0);
    EXPECT_FALSE(fileExists(controller.file("M.JBI")));
    writeFile(remote.file("JOB.JBI"), "job\n");
    // A refused STOR is told apart: nothing was stored there.
    EXPECT_EQ(FtpMove(remote.conn, "JOB.JBI", controller.conn, "no/such/dir/JOB.JBI", 'A'), -1);
    EXPECT_EQ(FtpLastResponse(controller.conn)[0], '5');
    // Both control connections are still usable afterwards.
    EXPECT_EQ(FtpMove(remote.conn, "JOB.JBI", controller.conn, "JOB.JBI", 'A'), 5);
}

TEST_F(FtpTransferTest, CutShortMoveIsNeverReportedAsMoved) {
    const std::string text = lfLines({100, 2000, 3000, 50, 7000});
    const std::vector<std::string> sourceFaults[] = {
        {"--cut", "2500", "--retr-done", "426 Connection closed; transfer aborted."},
        {"--reset", "2500"},
        {"--hang", "2500"},
        {"--retr-done", "451 Read error."},
    };
    for (const auto& fault : sourceFaults) {
        Server& source = startScripted(fault);
        Server& destination = startReal();
        source.conn->waitSeconds = 1;
        writeFile(source.file("JOB.JBI"), text);
        EXPECT_EQ(FtpMove(source.conn, "JOB.JBI", destination.conn, "JOB.JBI", 'A'), 0)
            << fault[0] << " " << fault[1];
    }
    Server& source = startReal();
    Server& destination = startScripted({"--stor-done", "452 Insufficient storage space."});
    writeFile(source.file("JOB.JBI"), text);
    EXPECT_EQ(FtpMove(source.conn, "JOB.JBI", destination.conn, "JOB.JBI", 'A'), 0);
}

// A server that falls silent is given up after one wait: no second wait for
// its completion reply, none for the reply to QUIT. The other side goes on.
TEST_F(FtpTransferTest, MoveGivesUpASilentServerAfterOneWait) {
    Server& frozenSource = startScripted({"--freeze", "2500"});
    Server& destination = startReal();
    frozenSource.conn->waitSeconds = 1;
    writeFile(frozenSource.file("JOB.JBI"), allByteValues(20000));
    EXPECT_EQ(FtpMove(frozenSource.conn, "JOB.JBI", destination.conn, "JOB.JBI", 'I'), 0);
    EXPECT_EQ(frozenSource.conn->sock, -1);
    char dir[32];
    EXPECT_EQ(FtpPwd(dir, sizeof dir, frozenSource.conn), 0);
    EXPECT_EQ(FtpPwd(dir, sizeof dir, destination.conn), 1);
    FtpQuit(frozenSource.conn);
    frozenSource.conn = nullptr;
    EXPECT_EQ(frozenSource.log().find("QUIT"), std::string::npos) << frozenSource.log();

    // The same for a destination that stops taking the upload.
    Server& source = startReal();
    Server& frozenDestination = startScripted({"--stor-freeze", "10000"});
    frozenDestination.conn->waitSeconds = 1;
    writeFile(source.file("BIG.JBI"), allByteValues(8 << 20));
    EXPECT_EQ(FtpMove(source.conn, "BIG.JBI", frozenDestination.conn, "BIG.JBI", 'I'), 0);
    EXPECT_EQ(frozenDestination.conn->sock, -1);
    EXPECT_EQ(FtpPwd(dir, sizeof dir, source.conn), 1);
    FtpQuit(frozenDestination.conn);
    frozenDestination.conn = nullptr;
    EXPECT_EQ(frozenDestination.log().find("QUIT"), std::string::npos);
}

TEST_F(FtpTransferTest, MoveToAServerThatDropsTheUploadFails) {
    Server& source = startReal();
    Server& destination = startScripted({"--stor-reset", "10000"});
    writeFile(source.file("BIG.JBI"), allByteValues(4 << 20));
    EXPECT_EQ(FtpMove(source.conn, "BIG.JBI", destination.conn, "BIG.JBI", 'I'), 0);
    // Both sides answer again afterwards.
    char dir[32];
    EXPECT_EQ(FtpPwd(dir, sizeof dir, source.conn), 1);
    EXPECT_EQ(FtpPwd(dir, sizeof dir, destination.conn), 1);
}
