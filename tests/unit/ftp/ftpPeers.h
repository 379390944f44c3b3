// Helpers of the FTP client tests: peer server processes started by the test
// (pyftpdlib and the scripted server of tests/peers), scratch directories and
// whole-file reads and writes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace ftptest {

inline std::string peersDir() {
    std::string here = __FILE__;  // .../tests/unit/ftp/ftpPeers.h
    for (int i = 0; i < 3; ++i) here = here.substr(0, here.rfind('/'));
    return here + "/peers";
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

// A scratch directory, removed with everything in it at the end.
class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/kor-ftp-XXXXXX";
        path_ = ::mkdtemp(name);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A peer server process. It prints "ready <port>" when it listens; the
// constructor waits for that line (at most 10 s). Ended at destruction.
class PeerProcess {
public:
    PeerProcess(const std::string& script, const std::vector<std::string>& args) {
        std::vector<std::string> words{"/usr/bin/python3", peersDir() + "/" + script};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        port_ = readReadyLine(out[0]);
        ::close(out[0]);
    }
    ~PeerProcess() { stop(); }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        int status;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    // The port it listens on, 0 when it did not start.
    int port() const { return port_; }

private:
    static int readReadyLine(int fd) {
        std::string line;
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0) return 0;
            char c;
            if (::read(fd, &c, 1) != 1) return 0;
            if (c == '\n') break;
            line += c;
        }
        int port = 0;
        return std::sscanf(line.c_str(), "ready %d", &port) == 1 ? port : 0;
    }

    pid_t pid_ = -1;
    int port_ = 0;
};

// The remote server of the tests: pyftpdlib over root, users robot / secret
// and ftp with an empty password.
inline std::vector<std::string> pyftpdArgs(const std::string& address, const std::string& root) {
    return {"--address", address, "--root", root};
}

}  // namespace ftptest
