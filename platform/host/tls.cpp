// What the TLS of the mail and FTP clients needs from the controller: random
// bytes from the kernel and the TLS settings; and the settings for peers of
// older behaviour.
#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "vc.h"

namespace {

int modeOf(const std::string& word) {
    if (word == "starttls" || word == "explicit") return CTL_TLS_STARTTLS;
    if (word == "tls") return CTL_TLS_IMPLICIT;
    return CTL_TLS_OFF;
}

bool copyText(char (&to)[CTL_TLS_TEXT_SIZE], const std::string& from) {
    if (from.size() >= sizeof to) return false;
    std::memcpy(to, from.c_str(), from.size() + 1);
    return true;
}

}  // namespace

int ctlRandomBytes(unsigned char* buf, std::size_t len) {
    if (vc::hooks::shouldFail(vc::hooks::Site::Random)) return -1;
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = ::getrandom(buf + done, len - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

int ctlGetTlsSettings(CtlTlsSettings* out) {
    *out = CtlTlsSettings{};
    if (vc::hooks::shouldFail(vc::hooks::Site::TlsSettings)) return -1;
    const vc::Settings& s = vc::settings();
    CtlTlsSettings taken{};
    taken.mailTls = modeOf(s.mailTls);
    taken.ftpTls = modeOf(s.ftpTls);
    if (!copyText(taken.caFile, s.tlsCa) || !copyText(taken.mailName, s.mailTlsName) ||
        !copyText(taken.ftpName, s.ftpTlsName)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    *out = taken;
    return 0;
}

int ctlGetPeerSettings(CtlPeerSettings* out) {
    const vc::Settings& s = vc::settings();
    out->ftpTemporaryNames = s.ftpTemporaryNames != "off";
    out->modbusFixedTransaction = s.modbusTransaction == "fixed";
    out->modbusWaitReply = s.modbusWait == "reply";
    return 0;
}
