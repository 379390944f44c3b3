// Settings of the virtual controller (the host implementation of the controller
// platform). Programs fill this from a key = value settings file; every field
// has a default so that no file is needed.
#pragma once

#include <string>

namespace vc {

struct Settings {
    std::string address = "127.0.0.1";      // address: the controller's own network address
    std::string altAddress;                 // motetsec0: second interface; empty = none
    std::string hostname = "arvokor-vc";    // hostname: what gethostname reports
    std::string statePath = "arvokor.state";  // state: memory-mapped variable / robot state file
    std::string jobsDir = "jobs";           // jobs: directory of the job files (*.JBI)
    int clockRate = 1000;                   // clock_rate: system clock ticks per second
    int clock0Us = 4000;                    // clock0_us: period of controller clock 0
    int clock1Us = 4000;                    // clock1_us: period of controller clock 1
    std::string com1;                       // com1: device path of "\COM1" and "" (tty or pty)
    std::string com2;                       // com2: device path of "\COM2"
    // Variable counts (indices 0 .. count-1 are valid).
    int bCount = 1000, iCount = 1000, dCount = 1000, rCount = 1000, sCount = 1000, pCount = 1000;
    int ioCount = 100000;                   // io_count: general I/O signal addresses 0 .. io_count-1
    int registerCount = 1000;               // register_count: registers 0 .. n-1 at 1000000 + n
    // The controller's own FTP server over the job directory.
    std::string ftpServer = "auto";         // ftp_server: "auto" (built-in command), "off", or a command line
    int ftpPort = 21;                       // ftp_port: where that server really listens
    bool realtime = true;                   // realtime: auto (true) or off: see schedule.h
};

}  // namespace vc
