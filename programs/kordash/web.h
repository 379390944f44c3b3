// The HTTP side: the page's files, the live event stream, the actions, and
// the token check for a dashboard that listens beyond loopback.
#pragma once

#include <signal.h>

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "dashboard.h"

namespace kordash {

struct WebOptions {
    std::string host = "127.0.0.1";
    int port = 8015;
    std::string token;  // empty: no log-in (loopback only)
};

bool isLoopback(const std::string& host);
// SIGINT and SIGTERM: blocked in main before any thread starts, taken by serve().
sigset_t stopSignalSet();

// Serves until a SIGINT or SIGTERM; false with *error when it cannot listen.
bool serve(Dashboard& dashboard, const WebOptions& options, std::string* error);

// A whole number field of a request body, range-checked before it is
// narrowed. Missing: `fallback`. False with *error ("handle must be a whole
// number", "handle must be 0..19") when it has the wrong type or range.
bool intField(const nlohmann::json& body, const char* name, std::int64_t lo, std::int64_t hi,
              int fallback, int* out, std::string* error);
// A text field; missing: empty. False with *error when it is not a string.
bool textField(const nlohmann::json& body, const char* name, std::string* out, std::string* error);
// The value of `name` in an application/x-www-form-urlencoded body.
std::string formValue(const std::string& body, const std::string& name);

}  // namespace kordash
