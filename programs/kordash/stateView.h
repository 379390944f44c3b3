// Views of the virtual controller's state file (--state): the command slots,
// a range of I, D, R, S or P variables and the simulated robot. Read through
// the same state file code as korjob, under the file's lock.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "vcState.h"

namespace kordash {

struct VarWindow {
    char kind = 'I';  // I, D, R, S or P
    int start = 0;
    int count = 20;
};
inline constexpr int kMaxVarWindow = 200;

class StateView {
public:
    // Opens an existing state file (never creates one); false with *error.
    bool open(const std::string& path, std::string* error);
    bool isOpen() const { return file_ != nullptr; }
    // {slots, vars, robot} or {error}.
    nlohmann::json read(const VarWindow& window);

private:
    std::string path_;
    std::unique_ptr<vc::StateFile> file_;
};

}  // namespace kordash
