// Traffic capture: per channel (and for the services' own connections) a ring
// of the chunks received and sent, with their time, for a client that saves
// them for a protocol analyser. Off by default; switched on per stream by the
// admin request or for all by the setting `capture = all`.
//
// A stream's ring holds records as korCaptureRecord.h lays them out. An 'O'
// record's data is the connection's endpoints as text ("tcp LOCAL LPORT
// REMOTE RPORT", "udp ...", "serial"). A UDP channel's datagram from another
// sender than the one its records are shown with is preceded by an 'O' record
// naming that sender as the remote end, and a sent datagram by one naming the
// channel's destination again when it was not so: a reader that knows only
// 'O' records shows every datagram with its real sender.
// When the ring is full the oldest records make room. The secrets the
// services mark (log-in passwords and answers) are replaced by *** before they
// are kept; a service's received bytes that continue an unfinished line join
// its record (the FTP client reads its replies a byte at a time).
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "korCaptureRecord.h"
#include "korHandleTable.h"
#include "korObserveInternal.h"

namespace {

constexpr int kHeader = KOR_CAPTURE_HEADER;
constexpr int kOpenText = 64;
constexpr int kOpens = 4;  // the endpoints of the last connections, kept beside the ring
constexpr int kServiceFtp = KORHDLTBL_SIZE;
constexpr int kServiceSmtp = KORHDLTBL_SIZE + 1;
constexpr int kStreams = KORHDLTBL_SIZE + 2;

struct Stream {
    CtlSemId sem = 0;
    std::atomic<bool> on{false};
    char* ring = nullptr;
    int capacity = 0;
    int head = 0;  // where the next record goes
    int tail = 0;  // the oldest record
    int used = 0;
    std::uint64_t dropped = 0;  // data bytes of records that made room
    struct Open {
        int conn = -1;
        char text[kOpenText] = {};
        int length = 0;
        bool udp = false;
        std::uint32_t remote = 0;  // network order
        unsigned remotePort = 0;
    };
    std::array<Open, kOpens> opens{};  // [0] the latest
    struct Shown {
        int conn = -1;
        std::uint32_t remote = 0;
        unsigned remotePort = 0;
    } shown;        // the remote end of the ring's newest 'O' record
    int last = -1;  // where the newest record starts (-1: gone or none)
};

std::array<Stream, kStreams> streams;
int ringBytes = 0;  // each stream's ring, allocated when it is first switched on

// Takes the stream's lock for a scope (copies and appends only; no platform
// call is made while it is held).
class StreamLock {
public:
    explicit StreamLock(Stream& s)
        : s_(s), held_(s.sem != 0 && ctlSemTake(s.sem, CTL_WAIT_FOREVER) == 0) {}
    ~StreamLock() {
        if (held_) ctlSemGive(s_.sem);
    }
    StreamLock(const StreamLock&) = delete;
    StreamLock& operator=(const StreamLock&) = delete;
    bool held() const { return held_; }

private:
    Stream& s_;
    bool held_;
};

void ringWrite(Stream& s, const char* data, int n) {
    for (int done = 0; done < n;) {
        const int run = n - done < s.capacity - s.head ? n - done : s.capacity - s.head;
        std::memcpy(s.ring + s.head, data + done, static_cast<std::size_t>(run));
        s.head = (s.head + run) % s.capacity;
        done += run;
    }
}

void ringRead(const Stream& s, int at, char* out, int n) {
    for (int done = 0; done < n;) {
        const int run = n - done < s.capacity - at ? n - done : s.capacity - at;
        std::memcpy(out + done, s.ring + at, static_cast<std::size_t>(run));
        at = (at + run) % s.capacity;
        done += run;
    }
}

int recordLength(const char* header) { return korCaptureHeaderOf(header).length; }

void putHeader(char* header, char kind, bool cut, int conn, int length) {
    KorCaptureHeader h;
    h.timeUs = static_cast<std::uint64_t>(korobs::nowUs());
    h.kind = kind;
    h.cut = cut;
    h.conn = conn & 0xffff;
    h.length = length;
    korPutCaptureHeader(header, h);
}

void dropOldest(Stream& s) {
    if (s.tail == s.last) s.last = -1;
    char header[kHeader];
    ringRead(s, s.tail, header, kHeader);
    const int length = recordLength(header);
    if (header[8] != KOR_CAPTURE_OPENED) s.dropped += static_cast<std::uint64_t>(length);
    s.tail = (s.tail + kHeader + length) % s.capacity;
    s.used -= kHeader + length;
}

void append(Stream& s, char kind, int conn, const char* data, int length) {
    if (s.ring == nullptr) return;
    // One chunk never takes more than half the ring.
    const int cap = s.capacity / 2 - kHeader;
    const int n = length < cap ? length : cap;
    while (s.capacity - s.used < kHeader + n) dropOldest(s);
    char header[kHeader];
    putHeader(header, kind, n < length, conn, n);
    s.last = s.head;
    ringWrite(s, header, kHeader);
    ringWrite(s, data, n);
    s.used += kHeader + n;
}

// Adds received bytes to the newest record when it holds received bytes of
// the same connection that end in the middle of a line and room is left.
bool joinLast(Stream& s, int conn, const char* data, int length) {
    if (s.ring == nullptr || s.last < 0) return false;
    char header[kHeader];
    ringRead(s, s.last, header, kHeader);
    KorCaptureHeader h = korCaptureHeaderOf(header);
    if (h.kind != KOR_CAPTURE_RECEIVED || h.conn != conn || h.length == 0 || h.cut) return false;
    char lastByte = 0;
    ringRead(s, (s.last + kHeader + h.length - 1) % s.capacity, &lastByte, 1);
    if (lastByte == '\n' || s.capacity - s.used < length ||
        h.length + length > s.capacity / 2 - kHeader)
        return false;
    ringWrite(s, data, length);
    s.used += length;
    h.length += length;
    korPutCaptureHeader(header, h);
    const int head = s.head;
    s.head = s.last;
    ringWrite(s, header, kHeader);
    s.head = head;
    return true;
}

void appendOpened(Stream& s, const Stream::Open& o) {
    append(s, KOR_CAPTURE_OPENED, o.conn, o.text, o.length);
    s.shown = {o.conn, o.remote, o.remotePort};
}

void dotted(std::uint32_t networkOrder, char (&out)[16]);

// Before a UDP channel's chunk: an 'O' record naming the datagram's sender
// (null: the channel's destination) as the remote end, unless the ring's
// records already are shown with it.
void showRemote(Stream& s, const CtlSockAddrIn* from) {
    const Stream::Open& o = s.opens[0];
    if (!o.udp) return;
    Stream::Open shown = o;
    if (from != nullptr) {
        shown.remote = from->addr;
        shown.remotePort = ctlNtohs(from->port);
    }
    if (s.shown.conn == o.conn && s.shown.remote == shown.remote &&
        s.shown.remotePort == shown.remotePort)
        return;
    if (from != nullptr) {
        int cut = 0;  // the opening's local end: "udp LOCAL LPORT"
        for (int spaces = 0; cut < o.length; ++cut)
            if (o.text[cut] == ' ' && ++spaces == 3) break;
        char address[16];
        dotted(shown.remote, address);
        const int n = std::snprintf(shown.text, sizeof shown.text, "%.*s %s %u", cut, o.text,
                                    address, shown.remotePort);
        shown.length = n < kOpenText ? n : kOpenText - 1;
    }
    appendOpened(s, shown);
}

bool allocateRing(Stream& s) {
    if (s.ring != nullptr) return true;
    const int bytes = ringBytes;
    if (bytes <= 0) return false;
    auto* ring = static_cast<char*>(ctlMalloc(static_cast<std::size_t>(bytes)));
    if (ring == nullptr) return false;
    s.ring = ring;
    s.capacity = bytes;
    return true;
}

bool switchOn(int index) {
    Stream& s = streams[static_cast<std::size_t>(index)];
    const StreamLock lock(s);
    if (!lock.held() || !allocateRing(s)) return false;
    const Stream::Open& latest = s.opens[0];
    if (!s.on.load() && latest.length > 0) appendOpened(s, latest);
    s.on.store(true, std::memory_order_release);
    return true;
}

Stream* streamOf(int handle) {
    return handle >= 1 && handle < kStreams ? &streams[static_cast<std::size_t>(handle)] : nullptr;
}

// "1".."19", "ftp", "smtp": the stream's index; -1 otherwise.
int streamNamed(const char* name) {
    if (std::strcmp(name, "ftp") == 0) return kServiceFtp;
    if (std::strcmp(name, "smtp") == 0) return kServiceSmtp;
    char* end = nullptr;
    const long n = std::strtol(name, &end, 10);
    return end != name && *end == '\0' && n >= 1 && n < KORHDLTBL_SIZE ? static_cast<int>(n) : -1;
}

const char* nameOf(int index, char (&buf)[12]) {
    if (index == kServiceFtp) return "ftp";
    if (index == kServiceSmtp) return "smtp";
    std::snprintf(buf, sizeof buf, "%d", index);
    return buf;
}

// Dotted text of an address in network byte order (no allocation: the
// services' own allocations stay as they are counted by their tests).
void dotted(std::uint32_t networkOrder, char (&out)[16]) {
    const auto* b = reinterpret_cast<const unsigned char*>(&networkOrder);
    std::snprintf(out, sizeof out, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

void endpointText(char* out, int size, const char* proto, int socket, const char* peer,
                  unsigned peerPort) {
    CtlSockAddrIn local{};
    int length = sizeof local;
    const bool known = ctlGetsockname(socket, reinterpret_cast<CtlSockAddr*>(&local), &length) == 0;
    char localText[16] = "0.0.0.0";
    if (known) dotted(local.addr, localText);
    std::snprintf(out, static_cast<std::size_t>(size), "%s %s %u %s %u", proto, localText,
                  known ? static_cast<unsigned>(ctlNtohs(local.port)) : 0u,
                  peer != nullptr && *peer ? peer : "0.0.0.0", peerPort);
}

int switchRequest(bool on, const char* name) {
    if (std::strcmp(name, "all") == 0) {
        bool ok = true;
        for (int i = 1; i < kStreams; ++i) {
            if (on) ok = switchOn(i) && ok;
            else streams[static_cast<std::size_t>(i)].on.store(false);
        }
        return ok ? 0 : -1;
    }
    const int index = streamNamed(name);
    if (index < 0) return -1;
    if (on) return switchOn(index) ? 0 : -1;
    streams[static_cast<std::size_t>(index)].on.store(false);
    return 0;
}

// The stream's ring as the read reply gives it: a text line, the endpoints of
// the last connections (their 'O' records may have made room), then the
// records in order.
int readStream(int index, char* buf, int size) {
    Stream& s = streams[static_cast<std::size_t>(index)];
    const StreamLock lock(s);
    char name[12];
    int used = std::snprintf(buf, static_cast<std::size_t>(size), "capture %s %s %llu\n",
                             nameOf(index, name), s.on.load() ? "on" : "off",
                             static_cast<unsigned long long>(s.dropped));
    if (!lock.held() || s.ring == nullptr || used >= size) return used < size ? used : 0;
    for (int k = kOpens - 1; k >= 0; --k) {
        const Stream::Open& o = s.opens[static_cast<std::size_t>(k)];
        if (o.length == 0 || used + kHeader + o.length > size) continue;
        putHeader(buf + used, KOR_CAPTURE_OPENED, false, o.conn, o.length);
        if (s.used > 0) ringRead(s, s.tail, buf + used, 8);  // the oldest record's time
        std::memcpy(buf + used + kHeader, o.text, static_cast<std::size_t>(o.length));
        used += kHeader + o.length;
    }
    // The newest whole records that fit.
    int from = s.tail;
    int n = s.used;
    while (n > size - used) {
        char header[kHeader];
        ringRead(s, from, header, kHeader);
        const int record = kHeader + recordLength(header);
        from = (from + record) % s.capacity;
        n -= record;
    }
    ringRead(s, from, buf + used, n);
    return used + n;
}

// The room a read reply of the stream takes (it may have grown by the read).
int readSize(int index) {
    Stream& s = streams[static_cast<std::size_t>(index)];
    const StreamLock lock(s);
    int size = 64;  // the text line
    for (const Stream::Open& o : s.opens) size += kHeader + o.length;
    return size + (lock.held() ? s.used : 0);
}

}  // namespace

namespace korobs {

bool startCapture(int bytes, bool all) {
    if (ringBytes == 0) ringBytes = bytes;
    for (auto& s : streams)
        if (s.sem == 0) s.sem = ctlSemBCreate(0, 1);
    return !all || switchRequest(true, "all") == 0;
}

void captureChunk(int handle, bool received, const char* data, int length,
                  const CtlSockAddrIn* from) {
    Stream* s = streamOf(handle);
    if (s == nullptr || length <= 0 || !s->on.load(std::memory_order_acquire)) return;
    const StreamLock lock(*s);
    if (!lock.held()) return;
    showRemote(*s, from);
    append(*s, received ? KOR_CAPTURE_RECEIVED : KOR_CAPTURE_SENT, s->opens[0].conn, data, length);
}

}  // namespace korobs

void kor_captureOpened(int handle, int type, int socket, const char* peer, unsigned peerPort) {
    Stream* s = streamOf(handle);
    if (s == nullptr) return;
    Stream::Open o;
    o.conn = socket & 0xffff;
    if (type == KORHDLTYPE_RS232) std::snprintf(o.text, sizeof o.text, "serial");
    else
        endpointText(o.text, sizeof o.text, type == KORHDLTYPE_UDP ? "udp" : "tcp", socket, peer,
                     peerPort);
    o.length = static_cast<int>(std::strlen(o.text));
    o.udp = type == KORHDLTYPE_UDP;
    o.remote = peer != nullptr && *peer ? ctlInetAddr(peer) : 0;
    o.remotePort = peerPort & 0xffff;
    const StreamLock lock(*s);
    if (!lock.held()) return;
    for (int k = kOpens - 1; k > 0; --k)
        s->opens[static_cast<std::size_t>(k)] = s->opens[static_cast<std::size_t>(k - 1)];
    s->opens[0] = o;
    if (s->on.load()) appendOpened(*s, o);
}

namespace {

int serviceIndex(KorStreamService service) {
    return service == KorStreamService::Ftp ? kServiceFtp : kServiceSmtp;
}

// A sent line with its secret as ***: the part before it, ***, its line end.
int maskedLine(const KorStreamBlock& b, char* out, int size) {
    const int shown = b.secretFrom < size - 8 ? b.secretFrom : size - 8;
    std::memcpy(out, b.data, static_cast<std::size_t>(shown));
    int n = shown;
    for (const char c : {'*', '*', '*'}) out[n++] = c;
    const bool crlf = b.length >= 2 && b.data[b.length - 2] == '\r' && b.data[b.length - 1] == '\n';
    if (crlf) out[n++] = '\r';
    if (crlf || (b.length >= 1 && b.data[b.length - 1] == '\n')) out[n++] = '\n';
    return n;
}

}  // namespace

namespace korobs {

void captureService(const KorStreamBlock& b) {
    const int index = serviceIndex(b.service);
    if (b.what == 'O') {
        kor_captureOpened(index, KORHDLTYPE_TCPCLIENT, b.sock, b.peer, b.peerPort);
        return;
    }
    Stream& s = streams[static_cast<std::size_t>(index)];
    if (b.length <= 0 || !s.on.load(std::memory_order_acquire)) return;
    const StreamLock lock(s);
    if (!lock.held()) return;
    const int conn = b.sock & 0xffff;
    if (b.what == 'R') {
        if (!joinLast(s, conn, b.data, b.length))
            append(s, KOR_CAPTURE_RECEIVED, conn, b.data, b.length);
    } else if (b.secretFrom < b.length) {
        char masked[80];
        append(s, KOR_CAPTURE_SENT, conn, masked, maskedLine(b, masked, sizeof masked));
    } else {
        append(s, KOR_CAPTURE_SENT, conn, b.data, b.length);
    }
}

}  // namespace korobs

namespace {

// A ":capture" payload: its verb and stream name. The payload is a short
// text; anything longer or malformed is refused (false).
struct CaptureAsk {
    char verb[8] = {};
    char name[16] = {};
};
bool parseAsk(const char* payload, int payloadLength, CaptureAsk* ask) {
    char text[32] = {};
    std::memcpy(text, payload, static_cast<std::size_t>(payloadLength < 31 ? payloadLength : 31));
    return std::sscanf(text, "%7s %15s", ask->verb, ask->name) == 2;
}

constexpr int kResultBody = 16;  // "0" or "-1"

}  // namespace

int kor_captureBodyMax(const char* payload, int payloadLength) {
    CaptureAsk ask;
    if (!parseAsk(payload, payloadLength, &ask) || std::strcmp(ask.verb, "read") != 0)
        return kResultBody;
    const int index = streamNamed(ask.name);
    return index < 0 ? kResultBody : readSize(index);
}

int kor_captureRequest(const char* payload, int payloadLength, char* buf, int size) {
    CaptureAsk ask;
    int result = -1;
    if (parseAsk(payload, payloadLength, &ask)) {
        if (std::strcmp(ask.verb, "read") == 0) {
            const int index = streamNamed(ask.name);
            if (index >= 0) return readStream(index, buf, size);
        } else if (std::strcmp(ask.verb, "on") == 0 || std::strcmp(ask.verb, "off") == 0) {
            result = switchRequest(ask.verb[1] == 'n', ask.name);
        }
    }
    return std::snprintf(buf, static_cast<std::size_t>(size), "%d", result);
}
