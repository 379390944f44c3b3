// Helpers of the FTP client tests: the remote server's arguments and
// whole-file writes; peers and scratch directories come from korTest.h.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "korTest.h"

namespace ftptest {

using kortest::PeerProcess;
using kortest::peersDir;
using kortest::readFile;
using kortest::TempDir;

inline void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

// The remote server of the tests: pyftpdlib over root, users robot / secret
// and ftp with an empty password.
inline std::vector<std::string> pyftpdArgs(const std::string& address, const std::string& root) {
    return {"--address", address, "--root", root};
}

}  // namespace ftptest
