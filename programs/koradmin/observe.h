// koradmin's journal, console, counters and capture commands.
#pragma once

#include <string>
#include <vector>

namespace koradmin {

struct ObserveOptions {
    std::string host;
    int port = 0;
    int timeoutMs = 5000;
    bool json = false;
};

// Runs the command when it is one of these; false otherwise.
bool runObserveCommand(const ObserveOptions& opt, const std::string& name,
                       const std::vector<std::string>& args, int* status);
int runCapture(const ObserveOptions& opt, const std::vector<std::string>& args);

}  // namespace koradmin
