// Mail sessions against real peers on loopback: the authenticating aiosmtpd
// server, and a scripted server for what a real one will not do.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "smtpClient.h"
#include "smtpInternal.h"
#include "smtpPeers.h"
#include "vc.h"

namespace {

using Steps = std::vector<std::string>;

class SmtpSession : public kortest::LeakCheckedTest {
protected:
    void TearDown() override {
        Smtp_clock = vx::time;
        LeakCheckedTest::TearDown();
    }

    static int connect(const SmtpPeer& peer, int* sock, const char* user = "robot",
                       const char* password = "secret") {
        return Smtp_ConnectRemoteServer("127.0.0.1", peer.port(), user, password, sock);
    }
    static SmtpPeer server(Steps args = {}) { return SmtpPeer("smtp_server.py", std::move(args)); }
    static SmtpPeer scripted(Steps steps) { return SmtpPeer("smtp_script.py", std::move(steps)); }
};

// A scripted session that gets as far as an accepted AUTH PLAIN.
Steps plainSession(Steps more) {
    Steps steps{"send:220 ready\\r\\n", "line", "send:250-mail\\r\\n250 AUTH PLAIN\\r\\n", "line",
                "send:235 ok\\r\\n"};
    steps.insert(steps.end(), more.begin(), more.end());
    return steps;
}

TEST_F(SmtpSession, LoginIsPreferredAndTheMailIsDelivered) {
    SmtpPeer peer = server({"--mechanisms", "PLAIN,LOGIN"});
    int sock = -1;
    ASSERT_EQ(connect(peer, &sock), SMTP_OK);
    EXPECT_GE(sock, 0);
    EXPECT_EQ(Smtp_SendMail(sock, "robot@cell.example", "boss@plant.example", "Arvo KOR mail",
                            "Hi"),
              SMTP_OK);
    ASSERT_TRUE(peer.waitForEvent("CLOSED 1"));
    const auto events = peer.events();
    ASSERT_EQ(events.size(), 10u);
    EXPECT_EQ(events[1].rfind("EHLO ", 0), 0u);
    EXPECT_EQ(std::vector<std::string>(events.begin() + 2, events.end()),
              (std::vector<std::string>{"AUTH LOGIN", "LOGIN LOGIN ok cm9ib3Q= c2VjcmV0",
                                        "MAIL FROM:<robot@cell.example>",
                                        "RCPT TO:<boss@plant.example>", "DATA",
                                        "MESSAGE mail-1.eml", "QUIT", "CLOSED 1"}));
}

TEST_F(SmtpSession, EitherMechanismAloneIsUsedWithEveryCharacterOfThePassword) {
    struct Case {
        const char* mechanism;
        const char* password;
        const char* event;
    };
    for (const Case& c :
         {Case{"LOGIN", "p^w", "LOGIN LOGIN ok"}, Case{"PLAIN", "pw", "LOGIN PLAIN ok"},
          Case{"PLAIN", "", "AUTH PLAIN AHJvYm90AA=="}}) {
        SCOPED_TRACE(std::string(c.mechanism) + " '" + c.password + "'");
        SmtpPeer peer = server({"--mechanisms", c.mechanism, "--password", c.password});
        int sock = -1;
        EXPECT_EQ(connect(peer, &sock, "robot", c.password), SMTP_OK);
        ctlClose(sock);
        EXPECT_TRUE(peer.waitForEvent(c.event));
        EXPECT_TRUE(peer.waitForEvent("LOGIN"));
        EXPECT_FALSE(peer.hasEvent("LOGIN " + std::string(c.mechanism) + " refused"));
    }
}

// PLAIN builds "^user^password" and turns every '^' into a NUL, also one
// inside the password: NUL robot NUL p NUL w.
TEST_F(SmtpSession, PlainTurnsACaretInThePasswordIntoNul) {
    SmtpPeer peer = server({"--mechanisms", "PLAIN", "--password", "p^w"});
    int sock = -1;
    EXPECT_EQ(connect(peer, &sock, "robot", "p^w"), SMTP_ERR_AUTH_PLAIN);
    EXPECT_TRUE(peer.waitForEvent("AUTH PLAIN AHJvYm90AHAAdw=="));
}

TEST_F(SmtpSession, RefusedLoginsCloseTheConnection) {
    struct Case {
        const char* mechanisms;
        const char* password;
        int expected;
    };
    for (const Case& c :
         {Case{"none", "secret", SMTP_ERR_NO_AUTH}, Case{"LOGIN", "wrong", SMTP_ERR_PASSWORD},
          Case{"PLAIN", "wrong", SMTP_ERR_AUTH_PLAIN}}) {
        SCOPED_TRACE(c.mechanisms);
        SmtpPeer peer = server({"--mechanisms", c.mechanisms});
        int sock = 123;
        EXPECT_EQ(connect(peer, &sock, "robot", c.password), c.expected);
        EXPECT_EQ(sock, -1);
        EXPECT_TRUE(peer.waitForEvent("CLOSED 1"));
        if (c.expected == SMTP_ERR_NO_AUTH) {
            EXPECT_FALSE(peer.hasEvent("AUTH"));
        }
    }
}

TEST_F(SmtpSession, RefusedRecipientEndsTheMailBeforeData) {
    SmtpPeer peer = server({"--refuse-rcpt", "nobody@plant.example"});
    int sock = -1;
    ASSERT_EQ(connect(peer, &sock), SMTP_OK);
    EXPECT_EQ(Smtp_SendMail(sock, "robot@cell.example", "nobody@plant.example", "s", "b"),
              SMTP_ERR_RCPT_TO);
    ASSERT_TRUE(peer.waitForEvent("CLOSED 1"));
    EXPECT_TRUE(peer.hasEvent("RCPT TO:<nobody@plant.example>"));
    EXPECT_FALSE(peer.hasEvent("DATA"));
    EXPECT_FALSE(peer.hasEvent("QUIT"));
}

TEST_F(SmtpSession, AddressesThatCouldInjectCommandsAreNotSent) {
    SmtpPeer peer = server();
    int sock = -1;
    ASSERT_EQ(connect(peer, &sock), SMTP_OK);
    EXPECT_EQ(Smtp_SendMail(sock, "a@b>\r\nRCPT TO:<c@d", "e@f", "s", "b"), SMTP_ERR_MAIL_FROM);
    ASSERT_TRUE(peer.waitForEvent("CLOSED 1"));
    EXPECT_FALSE(peer.hasEvent("MAIL"));

    ASSERT_EQ(connect(peer, &sock), SMTP_OK);
    EXPECT_EQ(Smtp_SendMail(sock, "a@b", "e@f\r\nDATA", "s", "b"), SMTP_ERR_RCPT_TO);
    ASSERT_TRUE(peer.waitForEvent("CLOSED 2"));
    EXPECT_TRUE(peer.hasEvent("MAIL FROM:<a@b>"));
    EXPECT_FALSE(peer.hasEvent("RCPT"));
    EXPECT_FALSE(peer.hasEvent("DATA"));
}

TEST_F(SmtpSession, BodyArrivesUnchangedAndCannotEndTheMessageEarly) {
    SmtpPeer peer = server();
    int sock = -1;
    ASSERT_EQ(connect(peer, &sock), SMTP_OK);
    const std::string body = ".first\r\n.\r\nMAIL FROM:<evil@x>\r\n..two\r\n.\nlast";
    ASSERT_EQ(Smtp_SendMail(sock, "a@b", "c@d", "s", body.c_str()), SMTP_OK);
    ASSERT_TRUE(peer.waitForEvent("CLOSED 1"));
    const std::string mail = peer.readFile("mail-1.eml");
    const auto bodyStart = mail.find("\r\n\r\n");
    ASSERT_NE(bodyStart, std::string::npos);
    EXPECT_EQ(mail.substr(bodyStart + 4), body + "\r\n\r\n");
    EXPECT_FALSE(peer.hasEvent("MAIL FROM:<evil@x>"));
}

TEST_F(SmtpSession, WithoutTimeNoMailIsSent) {
    SmtpPeer peer = server();
    int sock = -1;
    ASSERT_EQ(connect(peer, &sock), SMTP_OK);
    Smtp_clock = [] { return std::int64_t{0}; };
    EXPECT_EQ(Smtp_SendMail(sock, "a@b", "c@d", "s", "b"), SMTP_ERR_SEND);
    ASSERT_TRUE(peer.waitForEvent("CLOSED 1"));
    EXPECT_FALSE(peer.hasEvent("MESSAGE"));
}

TEST_F(SmtpSession, MissingBuffersFailTheirStep) {
    SmtpPeer peer = server();
    int sock = 123;
    vc::hooks::failAfter(vc::hooks::Site::Malloc, 0);  // the work buffer
    EXPECT_EQ(connect(peer, &sock), SMTP_ERR_NO_BUFFER);
    EXPECT_EQ(sock, -1);
    vc::hooks::failAfter(vc::hooks::Site::Malloc, 1);  // the reply collector: no greeting seen
    EXPECT_EQ(connect(peer, &sock), SMTP_ERR_GREETING);
    ASSERT_TRUE(peer.waitForEvent("CLOSED 1"));

    ASSERT_EQ(connect(peer, &sock), SMTP_OK);
    vc::hooks::failAfter(vc::hooks::Site::Malloc, 0);
    EXPECT_EQ(Smtp_SendMail(sock, "a@b", "c@d", "s", "b"), SMTP_ERR_SEND);
    EXPECT_TRUE(peer.waitForEvent("CLOSED 2"));  // the socket is closed all the same
}

TEST_F(SmtpSession, UnreachableServerGives239) {
    const int port = kortest::freePort("127.0.0.1");  // nobody listens on it
    int sock = 123;
    EXPECT_EQ(Smtp_ConnectRemoteServer("127.0.0.1", static_cast<std::uint16_t>(port), "u", "p",
                                       &sock),
              SMTP_ERR_CONNECT);
    EXPECT_EQ(sock, -1);
    EXPECT_EQ(Smtp_ConnectRemoteServer("300.1.2.3", 25, "u", "p", &sock), SMTP_ERR_CONNECT);
}

TEST_F(SmtpSession, GreetingOtherThan220ClosesAtOnce) {
    SmtpPeer peer = scripted({"send:554 go away\\r\\n"});
    int sock = 123;
    EXPECT_EQ(connect(peer, &sock), SMTP_ERR_GREETING);
    EXPECT_EQ(sock, -1);
    ASSERT_TRUE(peer.waitForEvent("DONE"));
    EXPECT_EQ(peer.events(), (std::vector<std::string>{"EOF", "DONE"}));  // nothing was sent
}

TEST_F(SmtpSession, ReplyInTwoChunksIsCollectedUntilItsFinalLine) {
    // The keyword LOGIN is split between the chunks.
    SmtpPeer peer = scripted({"send:220 ready\\r\\n", "line", "send:250-mail\\r\\n250-AUTH LOG",
                              "sleep:0.3", "send:IN\\r\\n250 OK\\r\\n", "line",
                              "send:334 VXNlcm5hbWU6\\r\\n", "line", "send:334 UGFzc3dvcmQ6\\r\\n",
                              "line", "send:235 ok\\r\\n"});
    int sock = -1;
    EXPECT_EQ(connect(peer, &sock), SMTP_OK);
    ctlClose(sock);
    ASSERT_TRUE(peer.waitForEvent("DONE"));
    const auto events = peer.events();
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[1], "RECV \"AUTH LOGIN\\r\\n\"");
    EXPECT_EQ(events[2], "RECV \"cm9ib3Q=\\r\\n\"");
    EXPECT_EQ(events[3], "RECV \"c2VjcmV0\\r\\n\"");
}

TEST_F(SmtpSession, BareCodeLinesAreCompleteReplies) {
    SmtpPeer peer = scripted(
        {"send:220\\r\\n", "line", "send:250-AUTH PLAIN\\r\\n250\\r\\n", "line", "send:235\\r\\n"});
    int sock = -1;
    EXPECT_EQ(connect(peer, &sock), SMTP_OK);
    ctlClose(sock);
}

TEST_F(SmtpSession, AuthenticationStepsReportTheirOwnCodes) {
    struct Case {
        Steps steps;
        int expected;
        const char* lastSent;
    };
    const Case cases[] = {
        // AUTH offered, but only with mechanisms this client does not speak.
        {{"send:220 ready\\r\\n", "line", "send:250-mail\\r\\n250 AUTH CRAM-MD5 XOAUTH2\\r\\n"},
         SMTP_ERR_NO_AUTH,
         "EHLO "},
        {{"send:220 ready\\r\\n", "line", "send:250 AUTH LOGIN\\r\\n", "line",
          "send:504 not now\\r\\n"},
         SMTP_ERR_AUTH_LOGIN,
         "AUTH LOGIN"},
        {{"send:220 ready\\r\\n", "line", "send:502 no\\r\\n"}, SMTP_ERR_EHLO, "EHLO "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        SmtpPeer peer = scripted(c.steps);
        int sock = 123;
        EXPECT_EQ(connect(peer, &sock), c.expected);
        EXPECT_EQ(sock, -1);
        ASSERT_TRUE(peer.waitForEvent("DONE"));
        // Nothing follows the failed step, and the connection is closed.
        const auto events = peer.events();
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ(events[events.size() - 3].rfind(std::string("RECV \"") + c.lastSent, 0), 0u)
            << events[events.size() - 3];
        EXPECT_EQ(events[events.size() - 2], "EOF");
    }
}

TEST_F(SmtpSession, HostWithoutUsableNameGreetsAsDomain) {
    vc::Settings settings = vc::settings();
    const vc::Settings saved = settings;
    settings.hostname = std::string(SMTP_HOSTNAME_SIZE, 'h');  // no room for its NUL
    vc::useSettings(settings);
    SmtpPeer peer = scripted(
        {"send:220 ready\\r\\n", "line", "send:250 AUTH PLAIN\\r\\n", "line", "send:235 ok\\r\\n"});
    int sock = -1;
    EXPECT_EQ(connect(peer, &sock), SMTP_OK);
    vc::useSettings(saved);
    ctlClose(sock);
    ASSERT_TRUE(peer.waitForEvent("DONE"));
    EXPECT_EQ(peer.events()[0], "RECV \"EHLO domain\\r\\n\"");
}

TEST_F(SmtpSession, FailedSendsGive252) {
    SmtpPeer greeter = scripted({"send:220 ready\\r\\n", "line"});
    int sock = 123;
    vc::hooks::failAfter(vc::hooks::Site::Send, 0);  // the EHLO line
    EXPECT_EQ(connect(greeter, &sock), SMTP_ERR_SEND);
    EXPECT_EQ(sock, -1);
    ASSERT_TRUE(greeter.waitForEvent("DONE"));

    SmtpPeer peer = scripted(plainSession({"line", "send:250 ok\\r\\n", "line"}));
    ASSERT_EQ(connect(peer, &sock), SMTP_OK);
    vc::hooks::failAfter(vc::hooks::Site::Send, 1);  // RCPT TO, after MAIL FROM went out
    EXPECT_EQ(Smtp_SendMail(sock, "a@b", "c@d", "s", "body"), SMTP_ERR_SEND);
    ASSERT_TRUE(peer.waitForEvent("DONE"));
    EXPECT_TRUE(peer.hasEvent("RECV \"MAIL FROM:<a@b>\\r\\n\""));
    EXPECT_FALSE(peer.hasEvent("RECV \"RCPT"));
}

TEST_F(SmtpSession, OverlongUserNameSendsAnEmptyLine) {
    SmtpPeer peer = scripted({"send:220 ready\\r\\n", "line", "send:250 AUTH LOGIN\\r\\n", "line",
                              "send:334 VXNlcm5hbWU6\\r\\n", "line", "send:501 no\\r\\n"});
    int sock = -1;
    EXPECT_EQ(connect(peer, &sock, std::string(94, 'u').c_str()), SMTP_ERR_USER);
    ASSERT_TRUE(peer.waitForEvent("DONE"));
    EXPECT_EQ(peer.events()[2], "RECV \"\\r\\n\"");
}

TEST_F(SmtpSession, ReplyLongerThanTheBufferIsRefused) {
    std::string flood = "send:";
    while (flood.size() < 12000) flood += "220-aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\\r\\n";
    SmtpPeer peer = scripted({flood, "sleep:30"});
    int sock = -1;
    EXPECT_EQ(connect(peer, &sock), SMTP_ERR_GREETING);  // at once, not after the silence
}

TEST_F(SmtpSession, MailStepsReportTheirOwnCodes) {
    struct Case {
        Steps steps;
        int expected;
    };
    const Case cases[] = {
        {{"line", "send:550 sender refused\\r\\n"}, SMTP_ERR_MAIL_FROM},
        {{"line", "send:250 ok\\r\\n", "line", "send:250 ok\\r\\n", "line",
          "send:554 no data\\r\\n"},
         SMTP_ERR_DATA},
        {{"line", "send:250 ok\\r\\n", "line", "send:250 ok\\r\\n", "line", "send:354 go\\r\\n",
          "data", "send:552 too big\\r\\n"},
         SMTP_ERR_END_OF_DATA},
    };
    for (const Case& c : cases) {
        SmtpPeer peer = scripted(plainSession(c.steps));
        int sock = -1;
        ASSERT_EQ(connect(peer, &sock), SMTP_OK);
        EXPECT_EQ(Smtp_SendMail(sock, "a@b", "c@d", "s", "body"), c.expected);
        ASSERT_TRUE(peer.waitForEvent("DONE"));
        EXPECT_FALSE(peer.hasEvent("RECV \"QUIT"));
    }
}

TEST_F(SmtpSession, TricklingReplyFailsWhenTheWholeReplyTakesTooLong) {
    const std::int64_t saved = Smtp_replyLimitSec;
    Smtp_replyLimitSec = 2;
    // One byte a second: every single wait succeeds, the reply never ends in time.
    std::vector<std::string> steps;
    for (const char* piece : {"2", "2", "0", " ", "h", "e", "l", "l", "o"}) {
        steps.push_back(std::string("send:") + piece);
        steps.push_back("sleep:1");
    }
    steps.push_back("send:\\r\\n");
    SmtpPeer peer = scripted(steps);
    int sock = -1;
    EXPECT_EQ(connect(peer, &sock), SMTP_ERR_GREETING);
    Smtp_replyLimitSec = saved;
}

// The reply limit counts ticks: a calendar clock set forward while a reply
// trickles in does not cut it off.
TEST_F(SmtpSession, CalendarClockStepDoesNotCutAReplyShort) {
    SmtpPeer peer = scripted({"send:2", "sleep:1", "send:2", "sleep:1", "send:0 ready\\r\\n",
                              "line", "send:250-mail\\r\\n250 AUTH PLAIN\\r\\n", "line",
                              "send:235 ok\\r\\n"});
    std::thread step([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        vc::hooks::stepCalendar(3600);
    });
    int sock = -1;
    EXPECT_EQ(connect(peer, &sock), SMTP_OK);
    step.join();
    ctlClose(sock);
}

TEST_F(SmtpSession, SilentServerFailsTheStepAfterTheWait) {
    SmtpPeer peer = scripted({"send:220 ready\\r\\n", "line", "sleep:15"});
    int sock = -1;
    EXPECT_EQ(connect(peer, &sock), SMTP_ERR_EHLO);
    EXPECT_EQ(sock, -1);
}

}  // namespace
