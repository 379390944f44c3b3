// Texts of the SMTP client: case-blind compare, EHLO keywords, reply lines,
// the composed message.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "korTest.h"
#include "smtpInternal.h"

namespace {

TEST(SmtpStringCmp, FoldsOnlyAsciiLettersAndStopsAfterN) {
    EXPECT_EQ(Smtp_StringCmp("AUTH", "auth", 4), 0);
    EXPECT_EQ(Smtp_StringCmp("Login", "lOGIN", 5), 0);
    EXPECT_EQ(Smtp_StringCmp("PLAIN", "plaix", 4), 0);
    EXPECT_EQ(Smtp_StringCmp("abc", "xyz", 0), 0);
    EXPECT_LT(Smtp_StringCmp("abc", "ABD", 3), 0);
    EXPECT_GT(Smtp_StringCmp("b", "A", 1), 0);
    EXPECT_EQ(Smtp_StringCmp("a", "A", 5), 0);  // both end within n
    EXPECT_NE(Smtp_StringCmp("a", "ab", 5), 0);
    EXPECT_NE(Smtp_StringCmp("[", "{", 1), 0);  // not letters: no folding
}

TEST(SmtpKeyword, FindsKeywordsAndParametersInAnyCase) {
    const char* reply = "250-mail.example\r\n250-SIZE 1000\r\n250-AUTH LOGIN PLAIN\r\n250 HELP\r\n";
    for (const char* k : {"AUTH", "LOGIN", "PLAIN", "auth", "login", "Plain", "HELP", "SIZE"})
        EXPECT_EQ(Smtp_IsKeywordSupported(reply, k), 1) << k;
    EXPECT_EQ(Smtp_IsKeywordSupported(reply, "CRAM-MD5"), 0);
    EXPECT_EQ(Smtp_IsKeywordSupported("250-AUTH=LOGIN\r\n250 OK\r\n", "LOGIN"), 1);
    EXPECT_EQ(Smtp_IsKeywordSupported("250-AUTH=LOGIN\r\n250 OK\r\n", "AUTH"), 1);
    EXPECT_EQ(Smtp_IsKeywordSupported("250 auth plain\r\n", "PLAIN"), 1);
}

TEST(SmtpKeyword, NeedsSeparatorsOnBothSides) {
    EXPECT_EQ(Smtp_IsKeywordSupported("250-XAUTH LOGIN\r\n250 OK\r\n", "AUTH"), 0);
    EXPECT_EQ(Smtp_IsKeywordSupported("250-AUTHX LOGIN\r\n250 OK\r\n", "AUTH"), 0);
    EXPECT_EQ(Smtp_IsKeywordSupported("250-AUTH LOGINS\r\n", "LOGIN"), 0);
    // At the very start, at the very end, or before a lone CR: not a keyword.
    EXPECT_EQ(Smtp_IsKeywordSupported("AUTH LOGIN\r\n", "AUTH"), 0);
    EXPECT_EQ(Smtp_IsKeywordSupported("250 AUTH", "AUTH"), 0);
    EXPECT_EQ(Smtp_IsKeywordSupported("250 AUTH\r", "AUTH"), 0);
    EXPECT_EQ(Smtp_IsKeywordSupported("250 AUTH\rX", "AUTH"), 0);
    EXPECT_EQ(Smtp_IsKeywordSupported("250 AUTH\r\n", "AUTH"), 1);
    EXPECT_EQ(Smtp_IsKeywordSupported("AU", "AUTH"), 0);
    EXPECT_EQ(Smtp_IsKeywordSupported(nullptr, "AUTH"), 0);
    EXPECT_EQ(Smtp_IsKeywordSupported("250 AUTH\r\n", nullptr), 0);
}

int code(const std::string& text) { return Smtp_FindReplyCode(text.data(), text.size()); }

TEST(SmtpReplyCode, FindsTheFirstFinalLine) {
    EXPECT_EQ(code("220\r\n"), 220);
    EXPECT_EQ(code("220 ready\r\n"), 220);
    EXPECT_EQ(code("250-one\r\n250-two\r\n250 three\r\n"), 250);
    EXPECT_EQ(code("334 VXNlcm5hbWU6\r\n"), 334);
    // Lines that are not final are skipped: continuation, short, not digits.
    EXPECT_EQ(code("ab\r\n22\r\nxyz hello\r\n250-go on\r\n354 go\r\n"), 354);
    // The first final line wins.
    EXPECT_EQ(code("250 first\r\n550 second\r\n"), 250);
    // A final line in the middle of binary junk is found; a NUL does not end the text.
    EXPECT_EQ(code(std::string("\0\0\r\n221 bye\r\n", 13)), 221);
}

TEST(SmtpReplyCode, IncompleteRepliesHaveNoCode) {
    EXPECT_EQ(code(""), -1);
    EXPECT_EQ(code("220 ready"), -1);  // last line without CR LF is not examined
    EXPECT_EQ(code("220 ready\r"), -1);
    EXPECT_EQ(code("220 ready\n"), -1);  // a bare LF does not end a line
    EXPECT_EQ(code("250-AUTH LOGIN\r\n250-"), -1);
    EXPECT_EQ(code("250-AUTH LOGIN\r\n"), -1);
    EXPECT_EQ(code("2200\r\n"), -1);  // fourth character must be a blank
    EXPECT_EQ(code("22a \r\n"), -1);
}

TEST(SmtpAddress, RefusesWhatCouldEndTheCommandLine) {
    EXPECT_EQ(Smtp_AddressIsSafe("robot@cell.example"), 1);
    EXPECT_EQ(Smtp_AddressIsSafe(""), 1);
    for (const char* bad : {"a@b\r\nRCPT TO:<x@y>", "a@b\n", "a@b\r", "a@b>", "<a@b", "a>\r\nDATA"})
        EXPECT_EQ(Smtp_AddressIsSafe(bad), 0) << bad;
}

// The message composer with a fixed clock in UTC.
class SmtpMessage : public kortest::LeakCheckedTest {
protected:
    static std::int64_t fixedClock() { return clockValue; }
    static inline std::int64_t clockValue = 0;

    void SetUp() override {
        LeakCheckedTest::SetUp();
        savedClock = Smtp_clock;
        Smtp_clock = fixedClock;
        clockValue = 1709629447;  // Tuesday, 5 March 2024, 09:04:07 UTC
        setenv("TZ", "UTC0", 1);
        tzset();
        buf.assign(SMTP_BUFFER_SIZE, '#');
    }
    void TearDown() override {
        Smtp_clock = savedClock;
        LeakCheckedTest::TearDown();
    }

    std::string compose(const char* body, const char* from = "robot@cell.example") {
        if (!Smtp_FormatHeader(buf.data(), from, "boss@plant.example", "Quorvel", "Arvo KOR mail",
                               body))
            return "<refused>";
        return std::string(buf.c_str());
    }

    std::int64_t (*savedClock)() = nullptr;
    std::string buf;
};

std::string firstLine(const std::string& s) { return s.substr(0, s.find("\r\n") + 2); }

const char* const kHeader =
    "Date: Tue, 5 Mar 2024 09:04:07 \r\n"
    "From: robot@cell.example <robot@cell.example>\r\n"
    "X-Mailer: Quorvel\r\n"
    "X-Priority: 3 (Normal)\r\n"
    "To: boss@plant.example\r\n"
    "Subject: Arvo KOR mail\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-type: text/plain; charset=\"US-ASCII\"\r\n"
    "Content-Transfer-Encoding: 7bit\r\n"
    "\r\n";

TEST_F(SmtpMessage, HeaderBlankLineBodyAndFinalLineEnd) {
    EXPECT_EQ(compose("Cell 3 stopped."), std::string(kHeader) + "Cell 3 stopped.\r\n");
    EXPECT_EQ(compose(""), std::string(kHeader) + "\r\n");
}

TEST_F(SmtpMessage, DateLineHasNoLeadingZeroInTheDayAndTwoDigitTime) {
    clockValue = 1704067199;  // Sunday, 31 December 2023, 23:59:59 UTC
    EXPECT_EQ(firstLine(compose("x")), "Date: Sun, 31 Dec 2023 23:59:59 \r\n");
    clockValue = 1;  // Thursday, 1 January 1970, 00:00:01
    EXPECT_EQ(firstLine(compose("x")), "Date: Thu, 1 Jan 1970 00:00:01 \r\n");
    clockValue = 4102444800;  // past 2038: a 32-bit time_t would wrap to 1963
    EXPECT_EQ(firstLine(compose("x")), "Date: Fri, 1 Jan 2100 00:00:00 \r\n");
}

TEST_F(SmtpMessage, BodyKeepsItsLineEndsButDotsThatBeginALineAreDoubled) {
    EXPECT_EQ(compose(".\r\nMAIL FROM:<x@y>\r\n.. two\nbare.\n.\nend."),
              std::string(kHeader) + "..\r\nMAIL FROM:<x@y>\r\n... two\nbare.\n..\nend.\r\n");
    EXPECT_EQ(compose("a.b\r.c"),
              std::string(kHeader) + "a.b\r.c\r\n");  // a bare CR starts no line
}

TEST_F(SmtpMessage, NoTimeNoMessage) {
    for (std::int64_t t : {0, -1}) {
        clockValue = t;
        EXPECT_EQ(Smtp_FormatHeader(buf.data(), "a@b", "c@d", "Quorvel", "s", "body"), 0);
        EXPECT_EQ(buf, std::string(SMTP_BUFFER_SIZE, '#'));  // not written
    }
}

TEST_F(SmtpMessage, MessageThatDoesNotFitIsRefused) {
    const std::size_t room = SMTP_BUFFER_SIZE - std::strlen(kHeader) - 2 -
                             1;  // final CR LF and NUL
    EXPECT_NE(compose(std::string(room, 'x').c_str()), "<refused>");
    EXPECT_EQ(compose(std::string(room + 1, 'x').c_str()), "<refused>");
    // Doubling the dots counts against the room too.
    std::string dotLines;
    while (dotLines.size() + 2 <= room) dotLines += "\n.";
    EXPECT_EQ(compose(dotLines.c_str()), "<refused>");
}

}  // namespace
