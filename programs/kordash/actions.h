// The page's actions (POST /api/...): the body's fields checked, then the
// admin requests they stand for.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "dashboard.h"
#include "korHandleTable.h"

namespace kordash {

// The highest channel handle a job or a page can name.
inline constexpr int kLastHandle = KORHDLTBL_SIZE - 1;

// What an action does once its body is checked: answer at once, or run
// `work` in a worker (it may wait for the admin port).
struct Action {
    int status = 200;
    std::string message;  // for a status other than 200: the plain reason
    nlohmann::json immediate;
    std::function<nlohmann::json()> work;
};

// The action for `path` (such as "/api/b") with the request body `body`.
Action apiAction(Dashboard& dash, const std::string& path, const std::string& body);

// A whole number field of a request body, range-checked before it is
// narrowed. Missing: `fallback`. False with *error ("handle must be a whole
// number", "handle must be 0..19") when it has the wrong type or range.
bool intField(const nlohmann::json& body, const char* name, std::int64_t lo, std::int64_t hi,
              int fallback, int* out, std::string* error);
// A text field; missing: empty. False with *error when it is not a string.
bool textField(const nlohmann::json& body, const char* name, std::string* out, std::string* error);

}  // namespace kordash
