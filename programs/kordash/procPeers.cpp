#include "procPeers.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kordash {
namespace {

constexpr int kListenState = 0x0A;

// "0100007F:3A98" (as /proc/net/tcp prints it) -> "127.0.0.1:15000".
std::string decodeEndpoint(const std::string& hex) {
    std::size_t colon = hex.find(':');
    if (colon == std::string::npos) return {};
    in_addr a{};
    a.s_addr = static_cast<std::uint32_t>(std::strtoul(hex.substr(0, colon).c_str(), nullptr, 16));
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a, text, sizeof text);
    return std::string(text) + ":" +
           std::to_string(std::strtoul(hex.c_str() + colon + 1, nullptr, 16));
}

unsigned long socketInode(const std::string& link) {
    if (link.rfind("socket:[", 0) != 0) return 0;
    return std::strtoul(link.c_str() + 8, nullptr, 10);
}

std::string readLink(const std::string& path) {
    char buf[128];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

bool processHolds(int pid, unsigned long inode) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (!d) return false;
    bool found = false;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        if (socketInode(readLink(dir + "/" + e->d_name)) == inode) {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

int findOwner(unsigned long inode) {
    DIR* d = opendir("/proc");
    if (!d) return -1;
    int owner = -1;
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (*end == '\0' && pid > 0 && processHolds(static_cast<int>(pid), inode)) {
            owner = static_cast<int>(pid);
            break;
        }
    }
    closedir(d);
    return owner;
}

// The UDP sockets' ends (a bound channel's own port) by inode.
void readUdp(std::map<unsigned long, SocketEnds>* byInode) {
    std::ifstream in("/proc/net/udp");
    std::string line;
    std::getline(in, line);  // column titles
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string slot, local, remote, state, queues, timer, retr, uid, timeout;
        unsigned long inode = 0;
        if ((f >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >>
             inode) &&
            inode)
            (*byInode)[inode] = {decodeEndpoint(local), decodeEndpoint(remote)};
    }
}

}  // namespace

bool PeerLookup::refresh() {
    std::ifstream in("/proc/net/tcp");
    if (!in) return false;
    byInode_.clear();
    readUdp(&byInode_);
    unsigned long listener = 0;
    std::string line;
    std::getline(in, line);  // column titles
    const std::string admin = host_ + ":" + std::to_string(adminPort_);
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string slot, local, remote, state, queues, timer, retr, uid, timeout;
        unsigned long inode = 0;
        if (!(f >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >>
              inode))
            continue;
        SocketEnds ends{decodeEndpoint(local), decodeEndpoint(remote)};
        if (std::strtol(state.c_str(), nullptr, 16) == kListenState &&
            (ends.local == admin || ends.local == "0.0.0.0:" + std::to_string(adminPort_)))
            listener = inode;
        if (inode) byInode_[inode] = ends;
    }
    if (listener == 0) {
        pid_ = -1;
        adminInode_ = 0;
        return false;
    }
    // The search through every process runs once per listener, not per refresh.
    if (listener != adminInode_ || (pid_ > 0 && !processHolds(pid_, listener))) {
        adminInode_ = listener;
        pid_ = findOwner(listener);
    }
    return pid_ > 0;
}

bool PeerLookup::ends(int fd, SocketEnds* out) const {
    if (pid_ <= 0 || fd < 0) return false;
    auto it = byInode_.find(
        socketInode(readLink("/proc/" + std::to_string(pid_) + "/fd/" + std::to_string(fd))));
    if (it == byInode_.end()) return false;
    *out = it->second;
    return true;
}

}  // namespace kordash
