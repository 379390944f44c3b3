#include "stateView.h"

#include <unistd.h>

#include <cstring>

#include "korCommands.h"
#include "korSlotLayout.h"

namespace kordash {
namespace {

// The command's name from the core's own table; null for 0 (idle) and for
// numbers no command has.
nlohmann::json commandName(std::int32_t id) {
    const char* name = korCommandName(id);
    return name ? nlohmann::json(name) : nlohmann::json(nullptr);
}

nlohmann::json slotsJson(const vc::StateData& d, const vc::StateCounts& c) {
    const KorSlotLayout layout = korSlotLayoutFrom(vc::sVarText(d, c, KOR_PARAM_SVAR));
    nlohmann::json out = nlohmann::json::array();
    for (int k = 0; k < layout.slots; ++k) {
        const std::uint32_t idVar = layout.commandIdVar(k);
        const std::uint32_t firstParam = layout.firstParamVar(k);
        if (idVar >= c.b || firstParam + KOR_SLOT_PARAMS > c.i) break;
        nlohmann::json params = nlohmann::json::array();
        for (std::uint32_t p = 0; p < KOR_SLOT_PARAMS; ++p) params.push_back(d.i[firstParam + p]);
        const int resultVar = d.i[firstParam + 3];
        nlohmann::json result = nullptr;
        if (resultVar >= 0 && static_cast<std::uint32_t>(resultVar) < c.b) result = d.b[resultVar];
        out.push_back({{"slot", k},
                       {"idVar", idVar},
                       {"id", d.b[idVar]},
                       {"name", commandName(d.b[idVar])},
                       {"firstParam", firstParam},
                       {"params", params},
                       {"resultVar", resultVar},
                       {"result", result}});
    }
    return out;
}

nlohmann::json varValue(const vc::StateData& d, char kind, std::uint32_t at) {
    switch (kind) {
        case 'I': return d.i[at];
        case 'D': return d.d[at];
        case 'R': {
            float f;
            std::memcpy(&f, &d.r[at], sizeof f);
            return f;
        }
        case 'S': return std::string(d.s[at], strnlen(d.s[at], CTL_SVAR_MAX_CHARS));
        default: return d.p[at].word;
    }
}

std::uint32_t countOf(const vc::StateCounts& c, char kind) {
    switch (kind) {
        case 'I': return c.i;
        case 'D': return c.d;
        case 'R': return c.r;
        case 'S': return c.s;
        case 'P': return c.p;
        default: return 0;
    }
}

nlohmann::json varsJson(const vc::StateData& d, const vc::StateCounts& c, const VarWindow& w) {
    const std::uint32_t count = countOf(c, w.kind);
    nlohmann::json values = nlohmann::json::array();
    for (int k = 0; k < w.count && k < kMaxVarWindow; ++k) {
        const auto at = static_cast<std::uint32_t>(w.start + k);
        if (w.start < 0 || at >= count) break;
        values.push_back(varValue(d, w.kind, at));
    }
    return {{"kind", std::string(1, w.kind)},
            {"start", w.start},
            {"count", count},
            {"values", values}};
}

nlohmann::json robotJson(const vc::RobotState& robot) {
    nlohmann::json out = nlohmann::json::array();
    for (const CtlCartPos& pos : robot.pos) {
        std::array<std::int32_t, 7> v{};
        std::copy(pos.value, pos.value + 7, v.begin());
        out.push_back({{"values", v}, {"figure", pos.figure}});
    }
    return out;
}

}  // namespace

bool StateView::open(const std::string& path, std::string* error) {
    // korjob creates a missing file; a dashboard must not make one up.
    if (access(path.c_str(), R_OK | W_OK) != 0) {
        *error = "no state file at " + path +
                 " that kordash may read (the controller's 'state' setting)";
        return false;
    }
    file_ = vc::StateFile::open(path, vc::countsFrom(vc::Settings{}), vc::StateFile::Mode::Client,
                                nullptr, error);
    path_ = path;
    return file_ != nullptr;
}

nlohmann::json StateView::read(const VarWindow& window) {
    std::string error;
    for (int attempt = 0; attempt < 2 && file_; ++attempt) {
        {
            vc::StateFile::Access access(*file_);
            if (access.ok()) {
                const vc::StateData& d = access.data();
                return {{"path", path_},
                        {"slots", slotsJson(d, file_->counts())},
                        {"vars", varsJson(d, file_->counts(), window)},
                        {"robot", robotJson(*d.robot)}};
            }
        }
        // Rebuilt by the controller with other counts: open it again.
        file_ = vc::StateFile::open(path_, vc::countsFrom(vc::Settings{}),
                                    vc::StateFile::Mode::Client, nullptr, &error);
    }
    return {{"path", path_}, {"error", error.empty() ? "the state file cannot be read" : error}};
}

}  // namespace kordash
