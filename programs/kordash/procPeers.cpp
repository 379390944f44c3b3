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

std::string fdPath(int pid, int fd) {
    return "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
}

// The descriptor of process `pid` that holds socket `inode`, or -1.
int descriptorOf(int pid, unsigned long inode) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (!d) return -1;
    int found = -1;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        if (socketInode(readLink(dir + "/" + e->d_name)) == inode) {
            found = static_cast<int>(std::strtol(e->d_name, nullptr, 10));
            break;
        }
    }
    closedir(d);
    return found;
}

// The process holding socket `inode` and its descriptor of it, or false.
bool findOwner(unsigned long inode, int* pid, int* fd) {
    DIR* d = opendir("/proc");
    if (!d) return false;
    *pid = -1;
    *fd = -1;
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        long p = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || p <= 0) continue;
        *fd = descriptorOf(static_cast<int>(p), inode);
        if (*fd >= 0) {
            *pid = static_cast<int>(p);
            break;
        }
    }
    closedir(d);
    return *pid > 0;
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

bool PeerLookup::readTable() {
    readAt_ = Clock::now();
    read_ = true;
    std::erase_if(missed_, [this](const auto& m) { return readAt_ - m.second > 10 * kRetry; });
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
    // The search through every process runs once per listener, not per reading.
    if (listener != adminInode_ || !ownerStillThere()) {
        adminInode_ = listener;
        if (!findOwner(listener, &pid_, &listenerFd_)) pid_ = -1;
    }
    return pid_ > 0;
}

bool PeerLookup::ownerStillThere() const {
    return pid_ > 0 && listenerFd_ >= 0 &&
           socketInode(readLink(fdPath(pid_, listenerFd_))) == adminInode_;
}

bool PeerLookup::ends(int fd, SocketEnds* out) {
    if (fd < 0) return false;
    const auto now = Clock::now();
    if (!ownerStillThere()) {
        if (read_ && now - readAt_ < kRetry) return false;
        if (!readTable()) return false;
    }
    const unsigned long inode = socketInode(readLink(fdPath(pid_, fd)));
    if (inode == 0) return false;
    auto it = byInode_.find(inode);
    if (it == byInode_.end()) {
        // A new socket is looked for at once, unless the table was read just
        // now; one missing from the table again only after kRetry.
        constexpr auto kJustRead = std::chrono::milliseconds(100);
        const auto miss = missed_.find(inode);
        const bool retry = miss == missed_.end() ? now - readAt_ >= kJustRead
                                                 : now - miss->second >= kRetry;
        if (!retry) {
            missed_.try_emplace(inode, now);
            return false;
        }
        if (!readTable()) return false;
        it = byInode_.find(inode);
        if (it == byInode_.end()) {
            missed_[inode] = now;
            return false;
        }
    }
    *out = it->second;
    return true;
}

}  // namespace kordash
