// Peer addresses of TCP channels, and the own ends of TCP and UDP channels,
// on a virtual controller on this machine. The readout record has no port for
// a listener or an accepted client, and no own port of a UDP channel; the
// virtual controller's channel sockets are real sockets of the arvokor
// process, so the kernel's socket tables know them.
#pragma once

#include <map>
#include <string>

namespace kordash {

struct SocketEnds {
    std::string local, remote;  // "A.B.C.D:port"
};

class PeerLookup {
public:
    PeerLookup(std::string host, int adminPort) : host_(std::move(host)), adminPort_(adminPort) {}
    // Re-reads the kernel's TCP and UDP tables; finds the controller's process when
    // it is not known yet or has gone. False when it is not on this machine.
    bool refresh();
    // The ends of the controller's socket `fd`; false when unknown.
    bool ends(int fd, SocketEnds* out) const;

private:
    std::string host_;
    int adminPort_;
    int pid_ = -1;
    std::map<unsigned long, SocketEnds> byInode_;
    unsigned long adminInode_ = 0;
};

}  // namespace kordash
