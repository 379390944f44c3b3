#include "actions.h"

#include <cstdlib>
#include <limits>

#include "korPPComm.h"

namespace kordash {
namespace {

using Json = nlohmann::json;
constexpr int kOk = 200, kBadRequest = 400, kNotFound = 404;

Json plainResult(const std::string& text, const std::string& failure) {
    return {{"ok", text == "0"}, {"reply", text}, {"message", text == "0" ? "done" : failure}};
}

Action badRequest(const std::string& why) { return {kBadRequest, why, {}, {}}; }
Action answer(Json j) { return {kOk, {}, std::move(j), {}}; }
Action later(std::function<Json()> work) { return {kOk, {}, {}, std::move(work)}; }

Action channelAction(Dashboard& dash, const std::string& what, const Json& body) {
    int handle = -1;
    std::string text, error;
    if (!intField(body, "handle", 0, kLastHandle, -1, &handle, &error) ||
        !textField(body, "text", &text, &error))
        return badRequest(error);
    if (handle < 0) return badRequest("handle is missing");
    const std::string data = unescape(text);
    if (what == "send" && data.size() > static_cast<std::size_t>(KOR_ADMIN_PAYLOAD_MAX))
        return badRequest("at most " + std::to_string(KOR_ADMIN_PAYLOAD_MAX) + " bytes per send");
    return later([&dash, what, handle, data] {
        return dash.act([&](AdminSession& s) -> Json {
            std::string r;
            const std::string cmd = (what == "clear"   ? ":ic"
                                     : what == "close" ? ":hc"
                                                       : ":tx") +
                                    std::to_string(handle);
            if (!s.request(cmd, what == "send" ? data : "", &r)) return {};
            if (what != "send")
                return plainResult(r, "channel " + std::to_string(handle) + " is not in use");
            const bool ok = r != "-1" && r.rfind('-', 0) != 0;
            return {
                {"ok", ok},
                {"reply", r},
                {"message",
                 ok ? r + " bytes sent"
                    : "not sent (a listener or accepted client, a free channel, or the send failed)"}};
        });
    });
}

Action variableAction(Dashboard& dash, const Json& body) {
    int index = -1, value = -1;
    std::string error;
    if (!intField(body, "index", 0, 65535, -1, &index, &error) ||
        !intField(body, "value", 0, 255, -1, &value, &error))
        return badRequest(error);
    if (index < 0 || value < 0) return badRequest("index and value are needed");
    return later([&dash, index, value] {
        return dash.act([&](AdminSession& s) -> Json {
            std::string r;
            if (!s.request(":sb" + std::to_string(index), std::string(1, static_cast<char>(value)),
                           &r))
                return {};
            return plainResult(r, "the controller refused the write (result " + r + ")");
        });
    });
}

Action transferAction(Dashboard& dash, const std::string& direction, const Json& b) {
    std::string server, user, password, dir, job, record, error;
    if (!textField(b, "server", &server, &error) || !textField(b, "user", &user, &error) ||
        !textField(b, "password", &password, &error) || !textField(b, "dir", &dir, &error) ||
        !textField(b, "job", &job, &error))
        return badRequest(error);
    if (!transferRecord(server, user, password, dir, job, &record, &error))
        return answer({{"ok", false}, {"message", error}});
    const std::string cmd = direction == "get" ? ":ftpg" : ":ftpp";
    return later([&dash, cmd, record] {
        // A transfer holds the admin port until it is done.
        Json result = dash.act(
            [&](AdminSession& s) -> Json {
                std::string r;
                if (!s.request(cmd, record, &r)) return {};
                const long code = std::strtol(r.c_str(), nullptr, 10);
                return {{"ok", code == 0}, {"code", code}, {"message", transferMeaning(code)}};
            },
            120000);
        dash.requestJobList();
        return result;
    });
}

Action captureAction(Dashboard& dash, const Json& body) {
    int handle = -1;
    std::string error;
    if (!intField(body, "handle", 1, kLastHandle, -1, &handle, &error)) return badRequest(error);
    auto on = body.find("on");
    if (handle < 0 || on == body.end() || !on->is_boolean())
        return badRequest("handle (1.." + std::to_string(kLastHandle) +
                          ") and on (true or false) are needed");
    return later([&dash, handle, on = on->get<bool>()] {
        return dash.act([&](AdminSession& s) { return switchCapture(s, handle, on); });
    });
}

}  // namespace

Action apiAction(Dashboard& dash, const std::string& url, const std::string& bodyText) {
    if (url == "/api/jobs") {
        dash.requestJobList();
        return answer({{"ok", true}});
    }
    Json body = bodyText.empty() ? Json::object() : Json::parse(bodyText, nullptr, false);
    if (!body.is_object()) return badRequest("the request body must be a JSON object");
    for (const char* what : {"clear", "close", "send"})
        if (url == std::string("/api/channel/") + what) return channelAction(dash, what, body);
    if (url == "/api/b") return variableAction(dash, body);
    if (url == "/api/capture") return captureAction(dash, body);
    if (url == "/api/ftp/get" || url == "/api/ftp/put")
        return transferAction(dash, url.substr(9), body);
    return {kNotFound, "no such action", {}, {}};
}

bool intField(const Json& body, const char* name, std::int64_t lo, std::int64_t hi, int fallback,
              int* out, std::string* error) {
    const std::string range = std::string(name) + " must be " + std::to_string(lo) + ".." +
                              std::to_string(hi);
    auto it = body.find(name);
    if (it == body.end() || it->is_null()) {
        *out = fallback;
        return true;
    }
    if (!it->is_number_integer()) {
        *error = std::string(name) + " must be a whole number";
        return false;
    }
    // Compared as 64-bit before narrowing: 2^32+19 is not 19.
    if (it->is_number_unsigned() &&
        it->get<std::uint64_t>() >
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        *error = range;
        return false;
    }
    const auto v = it->get<std::int64_t>();
    if (v < lo || v > hi) {
        *error = range;
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

bool textField(const Json& body, const char* name, std::string* out, std::string* error) {
    auto it = body.find(name);
    if (it == body.end() || it->is_null()) {
        out->clear();
        return true;
    }
    if (!it->is_string()) {
        *error = std::string(name) + " must be a text";
        return false;
    }
    *out = it->get<std::string>();
    return true;
}

}  // namespace kordash
