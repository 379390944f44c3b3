// The HTTP side: the page's files, the live event stream, the actions, and
// the token check for a dashboard that listens beyond loopback.
#pragma once

#include <signal.h>

#include <string>

#include "fleet.h"
#include "tls.h"

namespace kordash {

struct WebOptions {
    std::string host = "127.0.0.1";
    int port = 8015;
    std::string token;  // empty: no log-in (loopback only)
    TlsFiles tls;       // none: plain HTTP
};

bool isLoopback(const std::string& host);
// SIGINT and SIGTERM: blocked in main before any thread starts, taken by serve().
sigset_t stopSignalSet();

// Serves until a SIGINT or SIGTERM; false with *error when it cannot listen.
bool serve(Fleet& fleet, const WebOptions& options, std::string* error);

// The value of `name` in an application/x-www-form-urlencoded body.
std::string formValue(const std::string& body, const std::string& name);

}  // namespace kordash
