// The certificate and key for serving the page over HTTPS, read and checked
// at start, so that a wrong file is refused with its reason instead of every
// browser seeing a failed handshake.
#pragma once

#include <string>

namespace kordash {

struct TlsFiles {
    std::string certificate;  // PEM, the chain from the server's own first
    std::string key;          // PEM
    bool enabled() const { return !certificate.empty(); }
};

// Reads both files and checks that they hold a certificate and its key;
// false with *error naming the file and the reason.
bool loadTls(const std::string& certPath, const std::string& keyPath, TlsFiles* out,
             std::string* error);

}  // namespace kordash
