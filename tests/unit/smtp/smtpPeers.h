// The mail server peers of the SMTP tests (tests/peers/*.py), started on a
// loopback port of their own choosing and stopped when the object goes.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "korTest.h"

class SmtpPeer {
public:
    // script: file name in tests/peers; args: its arguments besides the
    // store directory / log file, which the peer gets here.
    SmtpPeer(const std::string& script, const std::vector<std::string>& args)
        : process_(script, withStore(script, args)) {
        if (process_.port() == 0) throw std::runtime_error("peer did not start: " + script);
    }

    std::uint16_t port() const { return static_cast<std::uint16_t>(process_.port()); }
    const std::string& dir() const { return dir_.path(); }

    std::vector<std::string> events() const {
        std::vector<std::string> lines;
        std::ifstream in(eventsPath());
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    bool hasEvent(const std::string& prefix) const {
        for (const auto& e : events())
            if (e.rfind(prefix, 0) == 0) return true;
        return false;
    }
    // Waits (bounded) until an event starting with prefix is logged.
    bool waitForEvent(const std::string& prefix, int timeoutMs = 10000) const {
        return kortest::waitFor([&] { return hasEvent(prefix); },
                                std::chrono::milliseconds(timeoutMs),
                                std::chrono::milliseconds(20));
    }
    std::string readFile(const std::string& name) const { return kortest::readFile(dir_ / name); }

private:
    std::vector<std::string> withStore(const std::string& script,
                                       std::vector<std::string> args) const {
        if (script == "smtp_server.py") args.insert(args.begin(), {"--dir", dir_.path()});
        else args.insert(args.begin(), {"--log", eventsPath()});
        return args;
    }
    std::string eventsPath() const { return dir_ / "events.log"; }

    kortest::TempDir dir_{"smtp-peer"};  // before the process, which is handed its paths
    kortest::PeerProcess process_;
};
