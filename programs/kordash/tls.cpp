#include "tls.h"

#include <gnutls/gnutls.h>

#include <fstream>
#include <memory>
#include <sstream>

namespace kordash {
namespace {

constexpr std::size_t kMaxPemFile = 256 * 1024;

bool readPem(const char* what, const std::string& path, std::string* out, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = std::string("cannot read the ") + what + " file " + path;
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    *out = text.str();
    if (out->empty() || out->size() > kMaxPemFile) {
        *error = path + " is " + (out->empty() ? "empty" : "too large for a PEM file");
        return false;
    }
    return true;
}

}  // namespace

bool loadTls(const std::string& certPath, const std::string& keyPath, TlsFiles* out,
             std::string* error) {
    if (!readPem("certificate", certPath, &out->certificate, error) ||
        !readPem("key", keyPath, &out->key, error))
        return false;
    // The web server makes the same check only when it starts, and without a reason.
    gnutls_certificate_credentials_t creds = nullptr;
    if (gnutls_certificate_allocate_credentials(&creds) != GNUTLS_E_SUCCESS) {
        *error = "cannot set up TLS";
        return false;
    }
    std::unique_ptr<gnutls_certificate_credentials_st, void (*)(gnutls_certificate_credentials_t)>
        guard(creds, gnutls_certificate_free_credentials);
    auto datum = [](std::string& s) {
        return gnutls_datum_t{reinterpret_cast<unsigned char*>(s.data()),
                              static_cast<unsigned>(s.size())};
    };
    const gnutls_datum_t cert = datum(out->certificate), key = datum(out->key);
    const int rc = gnutls_certificate_set_x509_key_mem2(creds, &cert, &key, GNUTLS_X509_FMT_PEM,
                                                        nullptr, 0);
    if (rc < 0) {
        *error = "cannot serve HTTPS with the certificate " + certPath + " and the key " + keyPath +
                 ": " + gnutls_strerror(rc);
        return false;
    }
    return true;
}

}  // namespace kordash
