// The mail server peers of the SMTP tests (tests/peers/*.py), started on a
// loopback port of their own choosing and stopped when the object goes.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

class SmtpPeer {
public:
    // script: file name in tests/peers; args: its arguments besides the
    // store directory / log file, which the peer gets here.
    SmtpPeer(const std::string& script, std::vector<std::string> args) {
        char dirTemplate[] = "/tmp/smtp-peer-XXXXXX";
        if (!mkdtemp(dirTemplate)) throw std::runtime_error("mkdtemp");
        dir_ = dirTemplate;
        const auto peers = std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "peers";
        std::vector<std::string> argv{"/usr/bin/python3", (peers / script).string()};
        if (script == "smtp_server.py") argv.insert(argv.end(), {"--dir", dir_});
        else argv.insert(argv.end(), {"--log", eventsPath()});
        argv.insert(argv.end(), args.begin(), args.end());
        start(argv);
    }
    ~SmtpPeer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    SmtpPeer(const SmtpPeer&) = delete;
    SmtpPeer& operator=(const SmtpPeer&) = delete;

    std::uint16_t port() const { return port_; }
    const std::string& dir() const { return dir_; }

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
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            if (hasEvent(prefix)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    std::string readFile(const std::string& name) const {
        std::ifstream in(std::filesystem::path(dir_) / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::string eventsPath() const { return dir_ + "/events.log"; }

    void start(const std::vector<std::string>& args) {
        int out[2];
        if (pipe(out) != 0) throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv;
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        std::string line;
        pollfd pfd{out[0], POLLIN, 0};
        char c = 0;
        while (line.find('\n') == std::string::npos && poll(&pfd, 1, 10000) > 0 && read(out[0], &c, 1) == 1)
            line += c;
        close(out[0]);
        if (line.rfind("READY ", 0) != 0) throw std::runtime_error("peer did not start: " + line);
        port_ = static_cast<std::uint16_t>(std::stoi(line.substr(6)));
    }

    std::string dir_;
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
};
