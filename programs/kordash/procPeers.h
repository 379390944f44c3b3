// Peer addresses of TCP channels, and the own ends of TCP and UDP channels,
// on a virtual controller on this machine. The readout record has no port for
// a listener or an accepted client, and no own port of a UDP channel; the
// virtual controller's channel sockets are real sockets of the arvokor
// process, so the kernel's socket tables know them.
//
// Reading the kernel's table walks every TCP socket of the machine (on a busy
// one that is most of a refresh's cost), so it is read only when a channel's
// socket is not known from the last reading: a socket's ends never change.
#pragma once

#include <chrono>
#include <map>
#include <string>

namespace kordash {

struct SocketEnds {
    std::string local, remote;  // "A.B.C.D:port"
};

class PeerLookup {
public:
    PeerLookup(std::string host, int adminPort) : host_(std::move(host)), adminPort_(adminPort) {}
    // The ends of the controller's socket `fd`; false when unknown (also when
    // the controller is not on this machine).
    bool ends(int fd, SocketEnds* out);

private:
    using Clock = std::chrono::steady_clock;
    // A socket missing from the table (not connected yet, or gone) and a
    // controller not found are looked for again at most this often.
    static constexpr auto kRetry = std::chrono::seconds(1);
    // Whether the process found before still holds the admin listener.
    bool ownerStillThere() const;
    // Re-reads the kernel's TCP and UDP tables; finds the controller's process when
    // it is not known yet or has gone. False when it is not on this machine.
    bool readTable();
    std::string host_;
    int adminPort_;
    int pid_ = -1;
    int listenerFd_ = -1;  // the controller's descriptor of the admin listener
    std::map<unsigned long, SocketEnds> byInode_;
    std::map<unsigned long, Clock::time_point> missed_;  // inodes not in the last reading
    unsigned long adminInode_ = 0;
    Clock::time_point readAt_{};
    bool read_ = false;  // the table was read at least once
};

}  // namespace kordash
