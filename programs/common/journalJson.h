// One journal entry as JSON, with the keys that `koradmin journal --json`
// documents; kordash's journal data uses the same keys (and adds its own).
#pragma once

#include <nlohmann/json.hpp>

#include "adminClient.h"

namespace kor::admin {

inline nlohmann::json journalEntryJson(const JournalEntry& e) {
    return nlohmann::json{
        {"seq", e.seq},        {"start_ms", e.startMs}, {"duration_ms", e.durationMs},
        {"slot", e.slot},      {"command", e.id},       {"name", e.name},
        {"params", e.params},  {"result", e.result},    {"meaning", resultMeaning(e.id, e.result)},
        {"console", e.console}};
}

}  // namespace kor::admin
