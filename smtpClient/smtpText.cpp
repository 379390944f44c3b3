// Texts of the SMTP client: reply scanning, EHLO keywords, the composed message.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "ctl.h"
#include "smtpInternal.h"

std::int64_t (*Smtp_clock)() = vx::time;

namespace {

constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int foldCase(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Appends to a fixed buffer; remembers when something did not fit.
class MessageWriter {
public:
    MessageWriter(char* buf, std::size_t size) : buf_(buf), size_(size) {}

    void append(const char* text, std::size_t n) {
        if (overflow_ || n >= size_ - length_) {  // keep room for the NUL
            overflow_ = true;
            return;
        }
        std::memcpy(buf_ + length_, text, n);
        length_ += n;
        buf_[length_] = '\0';
    }
    void append(const char* text) { append(text, std::strlen(text)); }

    // The body as it is, except that a dot beginning a line is doubled. A line
    // begins at the start of the body and after every LF (bare or in CR LF):
    // servers differ on whether a bare LF ends a line, and none may see a lone
    // dot line inside the body.
    void appendBody(const char* body) {
        bool lineStart = true;
        for (const char* p = body; *p != '\0'; ++p) {
            if (lineStart && *p == '.') append(".", 1);
            append(p, 1);
            lineStart = *p == '\n';
        }
    }

    bool fits() const { return !overflow_; }

private:
    char* buf_;
    std::size_t size_;
    std::size_t length_ = 0;
    bool overflow_ = false;
};

// "Date: Tue, 5 Mar 2024 09:04:07 \r\n" (local time, no zone). False when the
// clock gives no time.
bool formatDateLine(char* line, std::size_t size) {
    const std::int64_t now = Smtp_clock();
    if (now <= 0) return false;
    const std::time_t t = static_cast<std::time_t>(now);
    if (static_cast<std::int64_t>(t) != now) return false;  // past a 32-bit time_t's end
    std::tm local{};
    if (::localtime_r(&t, &local) == nullptr)
        return false;  // reentrant form: callers run in parallel
    if (local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 || local.tm_mon > 11)
        return false;
    const int n = std::snprintf(line, size, "Date: %s, %d %s %d %02d:%02d:%02d \r\n",
                                kDayNames[local.tm_wday], local.tm_mday, kMonthNames[local.tm_mon],
                                local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
    return n > 0 && static_cast<std::size_t>(n) < size;
}

}  // namespace

int Smtp_StringCmp(const char* a, const char* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const int ca = foldCase(static_cast<unsigned char>(a[i]));
        const int cb = foldCase(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca - cb;
        if (ca == 0) break;
    }
    return 0;
}

int Smtp_IsKeywordSupported(const char* reply, const char* keyword) {
    if (reply == nullptr || keyword == nullptr) return 0;
    const std::size_t replyLength = std::strlen(reply);
    const std::size_t keywordLength = std::strlen(keyword);
    if (replyLength < keywordLength) return 0;

    for (std::size_t p = 1; p <= replyLength - keywordLength; ++p) {
        if (Smtp_StringCmp(keyword, reply + p, keywordLength) != 0) continue;
        const char before = reply[p - 1];
        if (before != '-' && before != ' ' && before != '=') continue;
        const std::size_t after = p + keywordLength;
        if (after >= replyLength) continue;
        const char next = reply[after];
        const bool endsLine = next == '\r' && after + 1 < replyLength && reply[after + 1] == '\n';
        if (next == ' ' || next == '=' || endsLine) return 1;
    }
    return 0;
}

int Smtp_FindReplyCode(const char* text, std::size_t length) {
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i + 1 < length; ++i) {
        if (text[i] != '\r' || text[i + 1] != '\n') continue;
        const char* line = text + lineStart;
        const std::size_t lineLength = i + 2 - lineStart;  // with CR LF
        lineStart = i + 2;
        if (lineLength < 5 || !isDigit(line[0]) || !isDigit(line[1]) || !isDigit(line[2])) continue;
        if (lineLength == 5 || line[3] == ' ')
            return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    }
    return -1;
}

int Smtp_FormatHeader(char* buf, const char* from, const char* to, const char* mailer,
                      const char* subject, const char* body) {
    char dateLine[80];
    if (!formatDateLine(dateLine, sizeof dateLine)) return 0;

    MessageWriter w(buf, SMTP_BUFFER_SIZE);
    w.append(dateLine);
    w.append("From: ");
    w.append(from);
    w.append(" <");
    w.append(from);
    w.append(">\r\n");
    w.append("X-Mailer: ");
    w.append(mailer);
    w.append("\r\n");
    w.append("X-Priority: 3 (Normal)\r\n");
    w.append("To: ");
    w.append(to);
    w.append("\r\n");
    w.append("Subject: ");
    w.append(subject);
    w.append("\r\n");
    w.append("MIME-Version: 1.0\r\n");
    w.append("Content-type: text/plain; charset=\"US-ASCII\"\r\n");
    w.append("Content-Transfer-Encoding: 7bit\r\n");
    w.append("\r\n");
    w.appendBody(body);
    w.append("\r\n");
    return w.fits() ? 1 : 0;
}

int Smtp_AddressIsSafe(const char* address) {
    return std::strpbrk(address, "\r\n<>") == nullptr ? 1 : 0;
}
