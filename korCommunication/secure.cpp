// Secure streams over the platform's socket calls: mbedTLS does the TLS, its
// input and output go through ctlSend / ctlRecv, its random bytes come from
// the controller. Streams are found by their socket descriptor, so the
// clients keep carrying plain descriptors.
#include "korSecure.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#ifdef KOR_HAVE_MBEDTLS
#include <mbedtls/asn1.h>
#include <mbedtls/error.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

namespace {

// A single wait for the peer inside a TLS record (and of the handshake).
constexpr std::uint32_t kRecordWaitMs = 10000;
constexpr int kNameSize = CTL_TLS_TEXT_SIZE;

struct SecureStream {
    mbedtls_ssl_config config;
    mbedtls_ssl_context ssl;
    mbedtls_x509_crt trusted;
    mbedtls_ssl_session session;  // what a data connection resumes
    bool haveSession;
    std::uint32_t address;  // network order: what the certificate must carry without a name
    bool byAddress;
    int sock;
    bool cut;  // the peer closed the connection without close_notify
    // What a following stream needs to verify the same server.
    char caFile[kNameSize];
    char name[kNameSize];
    char addressText[kNameSize];
};

std::array<std::atomic<SecureStream*>, CTL_FD_SETSIZE> streams{};

SecureStream* streamOf(int sock) {
    if (!ctlFdValid(sock)) return nullptr;
    return streams[static_cast<std::size_t>(sock)].load(std::memory_order_acquire);
}

int randomBytes(void*, unsigned char* out, std::size_t len) {
    return ctlRandomBytes(out, len) == 0 ? 0 : MBEDTLS_ERR_SSL_INTERNAL_ERROR;
}

int sendToSocket(void* context, const unsigned char* buf, std::size_t len) {
    const int sock = static_cast<int>(reinterpret_cast<std::intptr_t>(context));
    const int chunk = len > INT_MAX ? INT_MAX : static_cast<int>(len);
    const int n = ctlSend(sock, reinterpret_cast<const char*>(buf), chunk, 0);
    return n <= 0 ? MBEDTLS_ERR_SSL_INTERNAL_ERROR : n;
}

int receiveFromSocket(void* context, unsigned char* buf, std::size_t len, std::uint32_t waitMs) {
    const int sock = static_cast<int>(reinterpret_cast<std::intptr_t>(context));
    CtlTimeval limit{static_cast<std::int32_t>(waitMs / 1000),
                     static_cast<std::int32_t>(waitMs % 1000 * 1000)};
    for (;;) {
        CtlFdSet set;
        ctlFdZero(&set);
        ctlFdSet(sock, &set);
        const int ready = ctlSelect(sock + 1, &set, nullptr, nullptr,
                                    waitMs == 0 ? nullptr : &limit);
        if (ready == 0) return MBEDTLS_ERR_SSL_TIMEOUT;
        if (ready < 0) return MBEDTLS_ERR_SSL_INTERNAL_ERROR;
        const int chunk = len > INT_MAX ? INT_MAX : static_cast<int>(len);
        const int n = ctlRecv(sock, reinterpret_cast<char*>(buf), chunk, 0);
        if (n >= 0) return n;
        if (errno != EINTR) return MBEDTLS_ERR_SSL_INTERNAL_ERROR;
    }
}

// Without a name the certificate must list the server's address among its
// alternative names (mbedTLS itself compares names only).
bool carriesAddress(const mbedtls_x509_crt* crt, std::uint32_t address) {
    constexpr int kIpAddressTag = MBEDTLS_ASN1_CONTEXT_SPECIFIC | 7;
    for (const mbedtls_x509_sequence* san = &crt->subject_alt_names; san; san = san->next) {
        if (san->buf.tag == kIpAddressTag && san->buf.len == 4 &&
            std::memcmp(san->buf.p, &address, 4) == 0)
            return true;
    }
    return false;
}

int checkAddress(void* context, mbedtls_x509_crt* crt, int depth, std::uint32_t* flags) {
    const auto* stream = static_cast<const SecureStream*>(context);
    if (depth == 0 && stream->byAddress && !carriesAddress(crt, stream->address))
        *flags |= MBEDTLS_X509_BADCERT_CN_MISMATCH;
    return 0;
}

// Why the certificate was refused, in words an operator can act on.
const char* refusal(std::uint32_t flags) {
    if (flags & MBEDTLS_X509_BADCERT_EXPIRED) return "expired";
    if (flags & MBEDTLS_X509_BADCERT_FUTURE) return "not valid yet";
    if (flags & MBEDTLS_X509_BADCERT_NOT_TRUSTED) return "unknown CA";
    if (flags & MBEDTLS_X509_BADCERT_CN_MISMATCH) return "name mismatch";
    if (flags & MBEDTLS_X509_BADCERT_REVOKED) return "revoked";
    return "not acceptable";
}

void reportFailure(const SecureStream* stream, const char* peer, int code) {
    if (code == MBEDTLS_ERR_X509_CERT_VERIFY_FAILED) {
        std::printf("TLS: certificate of %s refused: %s\r\n", peer,
                    refusal(mbedtls_ssl_get_verify_result(&stream->ssl)));
        return;
    }
    char text[128];
    mbedtls_strerror(code, text, sizeof text);
    std::printf("TLS: handshake with %s failed: %s\r\n", peer, text);
}

void release(SecureStream* stream) {
    mbedtls_ssl_free(&stream->ssl);
    mbedtls_ssl_config_free(&stream->config);
    mbedtls_x509_crt_free(&stream->trusted);
    mbedtls_ssl_session_free(&stream->session);
    stream->~SecureStream();
    ctlFree(stream);
}

void copyText(char (&to)[kNameSize], const char* from) {
    std::snprintf(to, sizeof to, "%s", from ? from : "");
}

SecureStream* newStream(int sock, const char* caFile, const char* name, const char* address) {
    void* memory = ctlMalloc(sizeof(SecureStream));
    if (!memory) return nullptr;
    auto* stream = new (memory) SecureStream{};
    mbedtls_ssl_config_init(&stream->config);
    mbedtls_ssl_init(&stream->ssl);
    mbedtls_x509_crt_init(&stream->trusted);
    mbedtls_ssl_session_init(&stream->session);
    stream->sock = sock;
    copyText(stream->caFile, caFile);
    copyText(stream->name, name);
    copyText(stream->addressText, address);
    return stream;
}

// The CAs of the bundle, or of the stream followed: a follower verifies
// during its handshake only (renegotiation is off), while its leader lives,
// so the bundle is not read again for every FTP data connection.
mbedtls_x509_crt* trustedCas(SecureStream* stream, int leader) {
    if (SecureStream* first = streamOf(leader)) return &first->trusted;
    if (mbedtls_x509_crt_parse_file(&stream->trusted, stream->caFile) < 0 ||
        stream->trusted.version == 0) {
        std::printf("TLS: no trusted CA certificates in %s\r\n", stream->caFile);
        return nullptr;
    }
    return &stream->trusted;
}

// The client's configuration: TLS 1.2 or newer, the server always verified.
int configure(SecureStream* stream, int leader) {
    mbedtls_x509_crt* cas = trustedCas(stream, leader);
    if (!cas) return -1;
    mbedtls_ssl_config* c = &stream->config;
    if (mbedtls_ssl_config_defaults(c, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0)
        return -1;
    mbedtls_ssl_conf_min_version(c, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
    mbedtls_ssl_conf_authmode(c, MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_ca_chain(c, cas, nullptr);
    mbedtls_ssl_conf_rng(c, randomBytes, nullptr);
    mbedtls_ssl_conf_verify(c, checkAddress, stream);
    mbedtls_ssl_conf_read_timeout(c, kRecordWaitMs);
    return 0;
}

int prepare(SecureStream* stream, int resumeFrom) {
    if (mbedtls_ssl_setup(&stream->ssl, &stream->config) != 0) return -1;
    stream->byAddress = stream->name[0] == '\0';
    stream->address = ctlInetAddr(stream->addressText);
    if (!stream->byAddress && mbedtls_ssl_set_hostname(&stream->ssl, stream->name) != 0) return -1;
    auto* context = reinterpret_cast<void*>(static_cast<std::intptr_t>(stream->sock));
    mbedtls_ssl_set_bio(&stream->ssl, context, sendToSocket, nullptr, receiveFromSocket);
    const SecureStream* earlier = streamOf(resumeFrom);
    if (earlier && earlier->haveSession) mbedtls_ssl_set_session(&stream->ssl, &earlier->session);
    return 0;
}

int handshake(SecureStream* stream) {
    const char* peer = stream->byAddress ? stream->addressText : stream->name;
    int code;
    do {
        code = mbedtls_ssl_handshake(&stream->ssl);
    } while (code == MBEDTLS_ERR_SSL_WANT_READ || code == MBEDTLS_ERR_SSL_WANT_WRITE);
    if (code != 0) {
        reportFailure(stream, peer, code);
        return -1;
    }
    stream->haveSession = mbedtls_ssl_get_session(&stream->ssl, &stream->session) == 0;
    return 0;
}

}  // namespace

int kor_secureStart(int sock, const char* caFile, const char* name, const char* address,
                    int resumeFrom) {
    if (!ctlFdValid(sock) || streamOf(sock)) return -1;
    SecureStream* stream = newStream(sock, caFile, name, address);
    if (!stream) {
        std::printf("TLS: no memory for a secure connection to %s\r\n", address);
        return -1;
    }
    if (configure(stream, resumeFrom) != 0 || prepare(stream, resumeFrom) != 0 ||
        handshake(stream) != 0) {
        release(stream);
        return -1;
    }
    streams[static_cast<std::size_t>(sock)].store(stream, std::memory_order_release);
    return 0;
}

int kor_secureFollow(int sock, int leader) {
    const SecureStream* first = streamOf(leader);
    if (!first) return -1;
    return kor_secureStart(sock, first->caFile, first->name, first->addressText, leader);
}

bool kor_secureIs(int sock) { return streamOf(sock) != nullptr; }

namespace {

int transportSend(int sock, const char* buf, int len) {
    SecureStream* stream = streamOf(sock);
    if (!stream) return ctlSend(sock, buf, len, 0);
    int sent = 0;
    while (sent < len) {
        const int n = mbedtls_ssl_write(&stream->ssl,
                                        reinterpret_cast<const unsigned char*>(buf) + sent,
                                        static_cast<std::size_t>(len - sent));
        if (n == MBEDTLS_ERR_SSL_WANT_WRITE || n == MBEDTLS_ERR_SSL_WANT_READ) continue;
        if (n < 0) {
            errno = EIO;
            return sent > 0 ? sent : -1;
        }
        sent += n;
    }
    return sent;
}

int transportRecv(int sock, char* buf, int len) {
    SecureStream* stream = streamOf(sock);
    if (!stream) return ctlRecv(sock, buf, len, 0);
    for (;;) {
        const int n = mbedtls_ssl_read(&stream->ssl, reinterpret_cast<unsigned char*>(buf),
                                       static_cast<std::size_t>(len));
        if (n > 0) return n;
        if (n == MBEDTLS_ERR_SSL_WANT_READ || n == MBEDTLS_ERR_SSL_WANT_WRITE) continue;
        if (n == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) return 0;
        if (n == 0 || n == MBEDTLS_ERR_SSL_CONN_EOF) {
            // The connection closed without close_notify (mbedTLS reads that
            // as 0): could be a cut, the caller decides.
            stream->cut = true;
            return 0;
        }
        errno = n == MBEDTLS_ERR_SSL_TIMEOUT ? ETIMEDOUT : EIO;
        return -1;
    }
}

int transportClose(int sock) {
    SecureStream* stream = nullptr;
    if (ctlFdValid(sock))
        stream = streams[static_cast<std::size_t>(sock)].exchange(nullptr,
                                                                  std::memory_order_acq_rel);
    if (stream) {
        mbedtls_ssl_close_notify(&stream->ssl);
        release(stream);
    }
    return ctlClose(sock);
}

int transportDiscard(int sock) {
    SecureStream* stream = nullptr;
    if (ctlFdValid(sock))
        stream = streams[static_cast<std::size_t>(sock)].exchange(nullptr,
                                                                  std::memory_order_acq_rel);
    if (stream) release(stream);
    return ctlClose(sock);
}

}  // namespace

bool kor_streamCut(int sock) {
    const SecureStream* stream = streamOf(sock);
    return stream && stream->cut;
}

int kor_streamPending(int sock) {
    const SecureStream* stream = streamOf(sock);
    return stream ? static_cast<int>(mbedtls_ssl_get_bytes_avail(&stream->ssl)) : 0;
}

#else  // built without TLS: every stream is plain

int kor_secureStart(int, const char*, const char*, const char* address, int) {
    std::printf("TLS: not built into this ArvoKOR; no secure connection to %s\r\n", address);
    return -1;
}
int kor_secureFollow(int, int) { return -1; }
bool kor_secureIs(int) { return false; }
bool kor_streamCut(int) { return false; }
int kor_streamPending(int) { return 0; }

namespace {

int transportSend(int sock, const char* buf, int len) { return ctlSend(sock, buf, len, 0); }
int transportRecv(int sock, char* buf, int len) { return ctlRecv(sock, buf, len, 0); }
int transportClose(int sock) { return ctlClose(sock); }
int transportDiscard(int sock) { return ctlClose(sock); }

}  // namespace

#endif

// ---------------------------------------------------------------- the stream hook

namespace {

std::atomic<KorStreamHook> currentHook{nullptr};
// The service each socket was opened for (None: not told of its bytes).
std::array<std::atomic<KorStreamService>, CTL_FD_SETSIZE> services{};

KorStreamService serviceOf(int sock) {
    if (!ctlFdValid(sock)) return KorStreamService::None;
    return services[static_cast<std::size_t>(sock)].load(std::memory_order_acquire);
}

void tell(int sock, char what, const char* data, int length, int secretFrom) {
    const KorStreamService service = serviceOf(sock);
    const KorStreamHook hook = currentHook.load(std::memory_order_acquire);
    if (service == KorStreamService::None || hook == nullptr || length <= 0) return;
    KorStreamBlock block{};
    block.sock = sock;
    block.service = service;
    block.what = what;
    block.data = data;
    block.length = length;
    block.secretFrom = secretFrom < 0 || secretFrom > length ? length : secretFrom;
    hook(block);
}

void forget(int sock) {
    if (ctlFdValid(sock))
        services[static_cast<std::size_t>(sock)].store(KorStreamService::None,
                                                       std::memory_order_release);
}

}  // namespace

void kor_streamHook(KorStreamHook hook) { currentHook.store(hook, std::memory_order_release); }

void kor_streamOpened(int sock, KorStreamService service, const char* peer, unsigned peerPort) {
    if (!ctlFdValid(sock)) return;
    services[static_cast<std::size_t>(sock)].store(service, std::memory_order_release);
    const KorStreamHook hook = currentHook.load(std::memory_order_acquire);
    if (hook == nullptr || service == KorStreamService::None) return;
    KorStreamBlock block{};
    block.sock = sock;
    block.service = service;
    block.what = 'O';
    block.peer = peer;
    block.peerPort = peerPort;
    hook(block);
}

int kor_streamSend(int sock, const char* buf, int len) {
    return kor_streamSendSecret(sock, buf, len, -1);
}

int kor_streamSendSecret(int sock, const char* buf, int len, int secretFrom) {
    const int sent = transportSend(sock, buf, len);
    tell(sock, 'S', buf, sent, secretFrom);
    return sent;
}

int kor_streamRecv(int sock, char* buf, int len) {
    const int got = transportRecv(sock, buf, len);
    tell(sock, 'R', buf, got, -1);
    return got;
}

int kor_streamClose(int sock) {
    forget(sock);
    return transportClose(sock);
}

int kor_streamDiscard(int sock) {
    forget(sock);
    return transportDiscard(sock);
}
