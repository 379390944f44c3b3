// Services under failing platform calls: telnet log-in, mail, Modbus
// exchanges, position streaming and speed output, and the variable commands.
// Every call of a site that the service's use reaches is failed in turn; each
// command of a run must end in one of its documented results (see lost()),
// with no channel, task or byte of memory left behind.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "faultPeers.h"
#include "faultSupport.h"
#include "korTransport.h"

namespace faults {
namespace {

constexpr int SENDDATA = 2, CLOSEHANDLE = 4, READDATA = 5, TCPCONNECT = 1, INFO = 8,
              FTPCONNECT = 15, FTPDISCONNECT = 16, FTPGETJOB = 17, FTPPUTJOB = 18, FTPLOADGET = 36,
              SMTP = 20, TELNETCONNECT = 21, POSSTREAMCONFIG = 22, POSSTREAMSTART = 23,
              POSSTREAMSTOP = 24, TIMESTAMP = 25, SPEEDOUTSTART = 26, SPEEDOUTSTOP = 27,
              RVARTOBYTES = 28, BYTESTORVAR = 29, POSVARTYPE = 32, MODBUSREAD = 34,
              MODBUSWRITE = 35;

Params to(const TcpPeer& peer) {
    return Params().address(127, 0, 0, 1).set(0, portParam(peer.port()));
}

class ServiceFaults : public FaultTest {
protected:
    // Log in over telnet, send a line, read the echo, close.
    void telnetLife(const std::function<void()>& arm) {
        baseline();
        const int n = setFields(kBlockVar, {"operator", "secret", "$ "});
        const int h = run(TELNETCONNECT, to(telnet_).set(1, kBlockVar).set(2, n), arm, kStep);
        ASSERT_TRUE(oneOf(h, {251, 254, lost()}) || isHandle(h)) << h;
        if (h != lost()) {
            EXPECT_TRUE(said("TELNETCONNECT result: " + std::to_string(h) + "\r\n"));
        }
        if (isHandle(h)) {
            setBytes(kBlockVar + 40, "ls\r\n");
            const int sent = run(SENDDATA, Params().handle(h).set(1, kBlockVar + 40).set(2, 4), {},
                                 kStep);
            EXPECT_TRUE(oneOf(sent, {4, 254, 252, lost()})) << sent;
            if (sent == 4) waitFor([&] { return queued(h) >= 4 || !inUse(h); }, 300ms);
            const int got = run(READDATA, Params().handle(h).set(1, kBlockVar + 50).set(2, 10), {},
                                kStep);
            EXPECT_TRUE(oneOf(got, {253, 254, 252, lost()}) || (got >= 1 && got <= 10)) << got;
            EXPECT_TRUE(oneOf(run(CLOSEHANDLE, Params().handle(h), {}, kStep), {255, 252, lost()}));
            EXPECT_TRUE(waitFor([&] { return !inUse(h); })) << "telnet channel not released";
        }
        settle();
    }

    // Send one mail.
    void mailLife(const std::function<void()>& arm) {
        baseline();
        const int n = setFields(kBlockVar, {"operator", "secret", "robot@cell.test",
                                            "line@plant.test", "part done"});
        const int r = run(SMTP, to(mail_).set(1, kBlockVar).set(2, n), arm, 12000ms);
        EXPECT_TRUE(oneOf(r, {1, 253, 254, lost()})) << r;
        if (r != lost()) {
            EXPECT_TRUE(said("SMTP result: " + std::to_string(r) + "\r\n"));
        }
        settle();
    }

    // Read two registers and write them back over a channel to the device.
    void modbusLife(const std::function<void()>& arm) {
        baseline();
        const int h = run(TCPCONNECT, to(modbus_), arm, kStep);
        ASSERT_TRUE(oneOf(h, {251, 254, lost()}) || isHandle(h)) << h;
        if (isHandle(h)) {
            setD(10, -1);
            setD(11, -1);
            const int read = run(MODBUSREAD,
                                 Params().set(2, h).set(1, 3).set(7, 0).set(6, 2).set(4, 10).set(5,
                                                                                                 2),
                                 {}, kStep);
            EXPECT_TRUE(oneOf(read, {255, 254, 253, 252, 251, lost()})) << read;
            if (read == 255) {  // a store that failed leaves its variable as it was
                EXPECT_TRUE(oneOf(d(10), {258, -1}) && oneOf(d(11), {772, -1}))
                    << d(10) << " " << d(11);
            }
            const int write = run(MODBUSWRITE,
                                  Params().set(2, h).set(1, 16).set(7, 0).set(6, 2).set(4, 10), {},
                                  kStep);
            EXPECT_TRUE(oneOf(write, {255, 254, 253, 252, 251, 250, 249, 248, lost()})) << write;
            EXPECT_TRUE(oneOf(run(CLOSEHANDLE, Params().handle(h), {}, kStep), {255, 252, lost()}));
            EXPECT_TRUE(waitFor([&] { return !inUse(h); })) << "Modbus channel not released";
        }
        settle();
    }

    // Stream the position for a while, stop; nothing may arrive afterwards.
    void streamLife(const std::function<void()>& arm) {
        baseline();
        EXPECT_EQ(run(POSSTREAMCONFIG,
                      Params().set(4, 0).set(5, 0).set(6, 0).set(7, 0).set(0, 1).set(1, 0)),
                  1);
        const int started = run(POSSTREAMSTART, Params().address(127, 0, 0, 1).set(0, sink_.port()),
                                arm, kStep);
        EXPECT_TRUE(oneOf(started, {1, 254, lost()})) << started;
        std::this_thread::sleep_for(30ms);
        EXPECT_TRUE(oneOf(run(POSSTREAMSTOP, Params(), {}, kStep), {1, lost()}));
        sink_.take();
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(sink_.take(), 0) << "datagrams after the stop";
        settle();
    }

    // Copy servo speeds into registers for a while, stop.
    void speedLife(const std::function<void()>& arm) {
        baseline();
        const int started = run(SPEEDOUTSTART, Params().set(4, 0).set(5, 500).set(6, 1), arm,
                                kStep);
        EXPECT_TRUE(oneOf(started, {1, 253, 254, lost()})) << started;
        std::this_thread::sleep_for(30ms);
        EXPECT_TRUE(oneOf(run(SPEEDOUTSTOP, Params(), {}, kStep), {1, lost()}));
        settle();
    }

    // The commands that only move variables.
    void variableCommands(const std::function<void()>& arm) {
        baseline();
        EXPECT_TRUE(
            oneOf(run(RVARTOBYTES, Params().set(4, 3).set(5, kBlockVar).set(6, 0), arm, kStep),
                  {1, 254, lost()}));
        EXPECT_TRUE(
            oneOf(run(BYTESTORVAR, Params().set(4, 4).set(5, kBlockVar).set(6, 0), {}, kStep),
                  {1, 254, lost()}));
        EXPECT_TRUE(oneOf(run(POSVARTYPE, Params().set(4, 2), {}, kStep),
                          {1, 2, 3, 4, 5, 253, 254, lost()}));
        EXPECT_TRUE(oneOf(run(TIMESTAMP, Params().set(4, 7), {}, kStep), {1, 254, lost()}));
        EXPECT_TRUE(
            oneOf(run(INFO, Params().set(8, 1).set(1, kBlockVar + 10), {}, kStep), {4, lost()}));
        settle();
    }

    TcpPeer telnet_{telnetLogin};
    TcpPeer mail_{mailServer};
    TcpPeer modbus_{modbusDevice};
    UdpSink sink_;
};

#define SERVICE_SWEEP(Name, scenario, ...)                                            \
    class Name : public ServiceFaults, public ::testing::WithParamInterface<Site> {}; \
    TEST_P(Name, EveryCallFailsInTurn) {                                              \
        sweepSite(GetParam(), [&](const auto& arm) { scenario(arm); });               \
    }                                                                                 \
    INSTANTIATE_TEST_SUITE_P(Sites, Name, ::testing::Values(__VA_ARGS__),             \
                             [](const auto& info) { return std::string(siteName(info.param)); })

SERVICE_SWEEP(TelnetSweep, telnetLife, Site::Malloc, Site::VarRead, Site::Socket, Site::Connect,
              Site::Send, Site::Recv, Site::Select, Site::PipeCreate, Site::Close);
SERVICE_SWEEP(MailSweep, mailLife, Site::Malloc, Site::VarRead, Site::VarWrite, Site::Socket,
              Site::Connect, Site::Send, Site::Recv, Site::Select);
SERVICE_SWEEP(ModbusSweep, modbusLife, Site::Malloc, Site::VarRead, Site::VarWrite, Site::Send,
              Site::Recv);
SERVICE_SWEEP(VariableSweep, variableCommands, Site::VarRead, Site::VarWrite);

// The cyclic tasks call their sites every cycle: the first few calls are
// failed in turn, later ones would only repeat them.
class StreamSweep : public ServiceFaults, public ::testing::WithParamInterface<Site> {};

TEST_P(StreamSweep, EarlyCallsFailInTurn) {
    sweepSite(
        GetParam(), [&](const auto& arm) { streamLife(arm); }, 4);
}

INSTANTIATE_TEST_SUITE_P(Sites, StreamSweep,
                         ::testing::Values(Site::TaskCreate, Site::Socket, Site::SendTo,
                                           Site::CartPos),
                         [](const auto& info) { return std::string(siteName(info.param)); });

class SpeedOutputSweep : public ServiceFaults, public ::testing::WithParamInterface<Site> {};

TEST_P(SpeedOutputSweep, EarlyCallsFailInTurn) {
    sweepSite(
        GetParam(), [&](const auto& arm) { speedLife(arm); }, 4);
}

INSTANTIATE_TEST_SUITE_P(Sites, SpeedOutputSweep,
                         ::testing::Values(Site::TaskCreate, Site::ServoSpeed, Site::IoWrite),
                         [](const auto& info) { return std::string(siteName(info.param)); });

// ---- mail and job copies over TLS: the handshake's platform calls fail in turn too

#ifdef KOR_TEST_TLS
constexpr bool kTlsBuilt = true;
#else
constexpr bool kTlsBuilt = false;  // a cross build without a cross mbedTLS
#endif

// The tests' PKI (tests/support/testpki.py) in dir; dir, or empty when it
// could not be made.
std::string makePki(const std::string& dir) {
    const std::string support = kortest::peersDir() + "/../support";
    const std::string command = "PYTHONPATH=" + support +
                                " /usr/bin/python3 -c 'import testpki; testpki.TestPki(\"" + dir +
                                "\")'";
    return std::system(command.c_str()) == 0 ? dir : std::string();
}

// A CA and a server certificate for server.test, made by the tests' own PKI
// helper (Debian's python3-cryptography), and a mail server on TLS from the
// first byte with it.
class TlsMailFaults : public FaultTest {
protected:
    void SetUp() override {
        if (!kTlsBuilt) GTEST_SKIP() << "built without TLS (KOR_TLS=OFF)";
        FaultTest::SetUp();
    }
    void TearDown() override {
        if (kTlsBuilt) FaultTest::TearDown();
    }

    void configure(vc::Settings& s) override {
        s.mailTls = "tls";
        s.tlsCa = pki_ / "ca.pem";
        s.mailTlsName = "server.test";
    }

    void mailLife(const std::function<void()>& arm) {
        baseline();
        const int n = setFields(kBlockVar, {"robot", "secret", "robot@cell.test", "line@plant.test",
                                            "part done"});
        Params server = Params().address(127, 0, 0, 1).set(0, portParam(server_.port()));
        const int r = run(SMTP, server.set(1, kBlockVar).set(2, n), arm, 15000ms);
        EXPECT_TRUE(oneOf(r, {1, 253, 254, lost()})) << r;
        settle();
    }

    kortest::TempDir pki_{"kor-pki"};
    std::string made_ = makePki(pki_.path());
    kortest::PeerProcess server_{"smtp_server.py",
                                 {"--dir", pki_ / "store", "--tls", "implicit", "--tls-cert",
                                  pki_ / "good.pem", "--tls-key", pki_ / "good.key"}};
};

TEST_F(TlsMailFaults, MailGoesThroughWithoutFailures) {
    ASSERT_FALSE(made_.empty());
    ASSERT_NE(server_.port(), 0);
    Console console;
    const int n = setFields(kBlockVar,
                            {"robot", "secret", "robot@cell.test", "line@plant.test", "part done"});
    EXPECT_EQ(run(SMTP,
                  Params()
                      .address(127, 0, 0, 1)
                      .set(0, portParam(server_.port()))
                      .set(1, kBlockVar)
                      .set(2, n),
                  {}, 15000ms),
              1);
}

class TlsMailSweep : public TlsMailFaults, public ::testing::WithParamInterface<Site> {};

TEST_P(TlsMailSweep, EveryCallFailsInTurn) {
    ASSERT_NE(server_.port(), 0);
    sweepSite(GetParam(), [&](const auto& arm) { mailLife(arm); });
}

INSTANTIATE_TEST_SUITE_P(Sites, TlsMailSweep,
                         ::testing::Values(Site::Malloc, Site::Socket, Site::Connect, Site::Send,
                                           Site::Recv, Site::Select, Site::Random,
                                           Site::TlsSettings, Site::Close),
                         [](const auto& info) { return std::string(siteName(info.param)); });

// ---- FTP: the shared connection, job copies through it, job transfers

class FtpFaults : public FaultTest {
protected:
    // The controller's own FTP server is a peer on the controller's address;
    // connections to port 21 there reach it.
    void configure(vc::Settings& s) override {
        own_ = std::make_unique<TcpPeer>([host = s.address](
                                             PeerConnection& c) { ftpServer(c, host); },
                                         s.address);
        s.ftpPort = own_->port();
    }

    // Connect, copy a job both ways over the shared connection, disconnect,
    // then a job transfer named by S variables.
    void ftpLife(const std::function<void()>& arm) {
        baseline();
        const int n = setFields(kBlockVar, {"robot", "secret"});
        const int connected = run(FTPCONNECT, to(remote_).set(1, kBlockVar).set(2, n), arm, kStep);
        EXPECT_TRUE(oneOf(connected, {1, 253, 254, lost()})) << connected;
        setBytes(kBlockVar + 20, "A.JBI");
        const Params job = Params().set(1, kBlockVar + 20).set(2, 5);
        const int got = run(FTPGETJOB, job, {}, 6000ms);
        EXPECT_TRUE(oneOf(got, {1, 253, 254, lost()})) << got;
        const int put = run(FTPPUTJOB, job, {}, 6000ms);
        EXPECT_TRUE(oneOf(put, {1, 253, 254, lost()})) << put;
        EXPECT_TRUE(oneOf(run(FTPDISCONNECT, Params(), {}, kStep), {1, lost()}));
        // Disconnected whatever failed: a copy now finds no shared connection.
        EXPECT_TRUE(oneOf(run(FTPGETJOB, job, {}, kStep), {254, lost()}));

        setS(10, settings.address);
        setS(11, "robot");
        setS(12, "secret");
        setS(13, "/jobs");
        setS(14, "A");
        const int load = run(FTPLOADGET,
                             Params().set(4, 10).set(5, 11).set(6, 12).set(7, 13).set(0, 1).set(1,
                                                                                                14),
                             {}, 8000ms);
        EXPECT_TRUE(oneOf(load, {255, 254, 253, 252, 251, 250, 249, lost()})) << load;
        settle();
    }

    std::unique_ptr<TcpPeer> own_;
    TcpPeer remote_{[](PeerConnection& c) { ftpServer(c, "127.0.0.1"); }};
};

TEST_F(FtpFaults, TransfersWorkWithoutFailures) {
    Console console;
    const int n = setFields(kBlockVar, {"robot", "secret"});
    ASSERT_EQ(run(FTPCONNECT, to(remote_).set(1, kBlockVar).set(2, n)), 1);
    setBytes(kBlockVar + 20, "A.JBI");
    EXPECT_EQ(run(FTPGETJOB, Params().set(1, kBlockVar + 20).set(2, 5), {}, 15000ms), 1);
    EXPECT_EQ(run(FTPPUTJOB, Params().set(1, kBlockVar + 20).set(2, 5), {}, 15000ms), 1);
    EXPECT_EQ(run(FTPDISCONNECT, Params()), 1);
    setS(10, settings.address);
    setS(11, "robot");
    setS(12, "secret");
    setS(13, "/jobs");
    setS(14, "A");
    EXPECT_EQ(run(FTPLOADGET,
                  Params().set(4, 10).set(5, 11).set(6, 12).set(7, 13).set(0, 1).set(1, 14), {},
                  30000ms),
              255);
}

class FtpSweep : public FtpFaults, public ::testing::WithParamInterface<Site> {};

TEST_P(FtpSweep, EveryCallFailsInTurn) {
    sweepSite(GetParam(), [&](const auto& arm) { ftpLife(arm); });
}

INSTANTIATE_TEST_SUITE_P(Sites, FtpSweep,
                         ::testing::Values(Site::Malloc, Site::VarRead, Site::VarWrite,
                                           Site::Socket, Site::Connect, Site::Send, Site::Recv,
                                           Site::Select, Site::IfAddr),
                         [](const auto& info) { return std::string(siteName(info.param)); });

// The shared connection to pyftpdlib requiring TLS (control and data), job
// copies both ways through it; the controller's own server stays plain.
class TlsFtpFaults : public FtpFaults {
protected:
    void SetUp() override {
        if (!kTlsBuilt) GTEST_SKIP() << "built without TLS (KOR_TLS=OFF)";
        FtpFaults::SetUp();
    }
    void TearDown() override {
        if (kTlsBuilt) FtpFaults::TearDown();
    }

    void configure(vc::Settings& s) override {
        FtpFaults::configure(s);
        s.ftpTls = "explicit";
        s.tlsCa = pki_ / "ca.pem";
        s.ftpTlsName = "server.test";
    }

    void tlsLife(const std::function<void()>& arm) {
        baseline();
        const int n = setFields(kBlockVar, {"robot", "secret"});
        Params server = Params().address(127, 0, 0, 1).set(0, portParam(tlsRemote_.port()));
        const int connected = run(FTPCONNECT, server.set(1, kBlockVar).set(2, n), arm, 8000ms);
        EXPECT_TRUE(oneOf(connected, {1, 253, 254, lost()})) << connected;
        setBytes(kBlockVar + 20, "A.JBI");
        const Params job = Params().set(1, kBlockVar + 20).set(2, 5);
        EXPECT_TRUE(oneOf(run(FTPGETJOB, job, {}, 8000ms), {1, 253, 254, lost()}));
        EXPECT_TRUE(oneOf(run(FTPPUTJOB, job, {}, 8000ms), {1, 253, 254, lost()}));
        EXPECT_TRUE(oneOf(run(FTPDISCONNECT, Params(), {}, kStep), {1, lost()}));
        settle();
    }

    kortest::TempDir pki_{"kor-pki"};
    std::string made_ = makePki(pki_.path());
    kortest::TempDir root_{"kor-ftps"};
    bool job_ = static_cast<bool>(std::ofstream(root_ / "A.JBI") << "NOP\r\nEND\r\n");
    kortest::PeerProcess tlsRemote_{"ftp_pyftpd.py",
                                    {"--address", "127.0.0.1", "--port", "0", "--root",
                                     root_.path(), "--tls-cert", pki_ / "good.pem", "--tls-key",
                                     pki_ / "good.key"}};
};

TEST_F(TlsFtpFaults, CopiesGoThroughWithoutFailures) {
    ASSERT_NE(tlsRemote_.port(), 0);
    Console console;
    const int n = setFields(kBlockVar, {"robot", "secret"});
    ASSERT_EQ(run(FTPCONNECT,
                  Params()
                      .address(127, 0, 0, 1)
                      .set(0, portParam(tlsRemote_.port()))
                      .set(1, kBlockVar)
                      .set(2, n),
                  {}, 8000ms),
              1);
    setBytes(kBlockVar + 20, "A.JBI");
    EXPECT_EQ(run(FTPGETJOB, Params().set(1, kBlockVar + 20).set(2, 5), {}, 15000ms), 1);
    EXPECT_EQ(run(FTPPUTJOB, Params().set(1, kBlockVar + 20).set(2, 5), {}, 15000ms), 1);
    EXPECT_EQ(run(FTPDISCONNECT, Params()), 1);
}

class TlsFtpSweep : public TlsFtpFaults, public ::testing::WithParamInterface<Site> {};

TEST_P(TlsFtpSweep, EveryCallFailsInTurn) {
    ASSERT_NE(tlsRemote_.port(), 0);
    sweepSite(GetParam(), [&](const auto& arm) { tlsLife(arm); });
}

INSTANTIATE_TEST_SUITE_P(Sites, TlsFtpSweep,
                         ::testing::Values(Site::Malloc, Site::Socket, Site::Connect, Site::Send,
                                           Site::Recv, Site::Select, Site::Random,
                                           Site::TlsSettings, Site::Close),
                         [](const auto& info) { return std::string(siteName(info.param)); });

// ---- single failures: result and console message

// A channel closed while a Modbus request is on its way out: its socket
// number may be handed to the next connection at once, which must never get
// the request (the lookup and the send are one hold of the table lock).
TEST_F(ServiceFaults, AModbusRequestNeverGoesToAConnectionOpenedUnderIt) {
    std::atomic<std::size_t> stray{0};
    auto other = std::make_unique<TcpPeer>(
        [&](PeerConnection& c) { stray += c.receive(1500).size(); });
    const int h = run(TCPCONNECT, to(modbus_));
    ASSERT_TRUE(isHandle(h));
    setD(10, 5);
    const int oldSocket = [h] {
        KorTableLock table(&korHandleTable);
        return KORHDLTBL_Record(&korHandleTable, h).socket;
    }();
    vc::hooks::delaySends(400);
    start(MODBUSWRITE, Params().set(2, h).set(1, 6).set(7, 0).set(4, 10));
    std::this_thread::sleep_for(100ms);  // the request waits in its send
    std::thread closer([h] { KORHDLTBL_RequestClose(&korHandleTable, h); });
    std::this_thread::sleep_for(100ms);
    // The next connection gets the released number, as it would on a busy
    // controller: the lower free numbers are taken first.
    std::vector<int> lower;
    int fd = ::dup(2);
    for (; fd >= 0 && fd < oldSocket; fd = ::dup(2)) lower.push_back(fd);
    if (fd >= 0) ::close(fd);  // the first free number at or above it
    int s = -1;
    const bool connected = kor_startTCPConnect("127.0.0.1", static_cast<unsigned>(other->port()),
                                               &s) == 0;
    for (int fd : lower) ::close(fd);
    closer.join();
    awaitResult();
    vc::hooks::reset();
    other.reset();  // waits for what its connection received
    if (connected) ctlClose(s);
    EXPECT_EQ(stray.load(), 0u);
    EXPECT_TRUE(waitFor([&] { return !inUse(h); }));
}

TEST_F(ServiceFaults, TelnetLoginThatCannotSendFailsWith254) {
    Console console;
    const int n = setFields(kBlockVar, {"operator", "secret", "$ "});
    EXPECT_EQ(run(TELNETCONNECT, to(telnet_).set(1, kBlockVar).set(2, n),
                  [] {
                      vc::hooks::failAfter(Site::Send, 2);
                  }),  // after the two option replies: the user name
              254);
    EXPECT_TRUE(console.awaits("TELNETCONNECT result: 254\r\n"));
    EXPECT_EQ(openChannels(), 0);
}

TEST_F(ServiceFaults, MailWithoutMemoryOrConnectionIsReported) {
    Console console;
    const int n = setFields(kBlockVar, {"operator", "secret", "a@b.test", "c@d.test", "text"});
    EXPECT_EQ(run(SMTP, to(mail_).set(1, kBlockVar).set(2, n),
                  [] { vc::hooks::failAfter(Site::Socket, 0); }),
              254);
    EXPECT_TRUE(console.awaits("SMTP result: 254\r\n"));
    EXPECT_EQ(run(SMTP, to(mail_).set(1, kBlockVar).set(2, n),
                  [] { vc::hooks::failAfter(Site::Malloc, 0, -1); }),
              254);
    vc::hooks::reset();
    EXPECT_EQ(run(SMTP, to(mail_).set(1, kBlockVar).set(2, n)), 1);
}

TEST_F(ServiceFaults, StreamingWithoutTaskOrSocketGives254) {
    Console console;
    ASSERT_EQ(run(POSSTREAMCONFIG, Params().set(4, 0).set(5, 0).set(6, 0).set(0, 1)), 1);
    const Params dest = Params().address(127, 0, 0, 1).set(0, sink_.port());
    EXPECT_EQ(run(POSSTREAMSTART, dest, [] { vc::hooks::failAfter(Site::TaskCreate, 0); }), 254);
    EXPECT_EQ(run(POSSTREAMSTART, dest, [] { vc::hooks::failAfter(Site::Socket, 0); }), 254);
    // A failed platform call: its words, then the platform's error text.
    EXPECT_TRUE(
        console.shows("Error UDPPositionTask - Can't create socket\r\n: Input/output error\n"));
    EXPECT_EQ(run(SPEEDOUTSTART, Params().set(4, 0).set(5, 500).set(6, 1),
                  [] { vc::hooks::failAfter(Site::TaskCreate, 0); }),
              254);
    // After the failures streaming still starts and stops.
    EXPECT_EQ(run(POSSTREAMSTART, dest), 1);
    EXPECT_TRUE(waitFor([&] { return sink_.take() > 0; }));
    EXPECT_EQ(run(POSSTREAMSTOP, Params()), 1);
}

}  // namespace
}  // namespace faults
