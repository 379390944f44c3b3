// Settings of the virtual controller (the host implementation of the controller
// platform). Programs fill this from a key = value settings file; every field
// has a default so that no file is needed.
#pragma once

#include <span>
#include <string>

namespace vc {

struct Settings {
    std::string address = "127.0.0.1";        // address: the controller's own network address
    std::string altAddress;                   // motetsec0: second interface; empty = none
    std::string hostname = "arvokor-vc";      // hostname: what gethostname reports
    std::string statePath = "arvokor.state";  // state: memory-mapped variable / robot state file
    std::string jobsDir = "jobs";             // jobs: directory of the job files (*.JBI)
    int clockRate = 1000;                     // clock_rate: system clock ticks per second
    int clock0Us = 4000;                      // clock0_us: period of controller clock 0
    int clock1Us = 4000;                      // clock1_us: period of controller clock 1
    std::string com1;                         // com1: device path of "\COM1" and "" (tty or pty)
    std::string com2;                         // com2: device path of "\COM2"
    // Variable counts (indices 0 .. count-1 are valid).
    int bCount = 1000, iCount = 1000, dCount = 1000, rCount = 1000, sCount = 1000, pCount = 1000;
    int ioCount = 100000;      // io_count: general I/O signal addresses 0 .. io_count-1
    int registerCount = 1000;  // register_count: registers 0 .. n-1 at 1000000 + n
    // The controller's own FTP server over the job directory.
    std::string ftpServer =
        "auto";            // ftp_server: "auto" (built-in command), "off", or a command line
    int ftpPort = 21;      // ftp_port: where that server really listens
    bool realtime = true;  // realtime: auto (true) or off: see schedule.h

    // connect_timeout: the seconds any TCP connect may take.
    int connectTimeout = 10;
    // send_buffer: bytes of every TCP socket's send buffer; 0 leaves the
    // system's own (tests: a peer that stops reading then fills it at once).
    int sendBuffer = 0;
    // TLS of the mail and FTP clients (the controller's own FTP server stays plain).
    std::string mailTls = "off";  // mail_tls: off, starttls or tls (from the first byte)
    std::string ftpTls = "off";   // ftp_tls: off or explicit (AUTH TLS, data in TLS too)
    std::string tlsCa = "/etc/ssl/certs/ca-certificates.crt";  // tls_ca: trusted CAs (PEM)
    std::string mailTlsName;  // mail_tls_name: name the certificate must carry; empty: address
    std::string ftpTlsName;   // ftp_tls_name: the same for the FTP servers
    // Peers of older behaviour.
    std::string ftpTemporaryNames = "on";     // ftp_temporary_names: on or off (the job's own name)
    std::string modbusTransaction = "fresh";  // modbus_transaction: fresh (an id per request) or
                                              // fixed (id 1, any id accepted)
    std::string modbusWait = "fixed";  // modbus_wait: fixed (the whole 200 ms) or reply (until
                                       // the reply is complete, 200 ms at most)
    // What ArvoKOR keeps of what happened (passed to the core by the program).
    int journal = 2048;        // journal: command journal entries; 0 off
    bool captureAll = false;   // capture: off (false) or all (true) channels from the start
    int captureBytes = 65536;  // capture_bytes: capture ring of one channel
    // Not a setting: arvokor --repair-state sets the state file's lock up afresh.
    bool repairStateLock = false;
};

// The keys of the settings file, one row each: the field it sets and its
// limits. The programs read files against this table and the controller
// checks the settings it is started with against it.
enum class SettingKind {
    Text,             // any text; a key given in a file must have one
    Address,          // an IPv4 address
    OptionalAddress,  // an IPv4 address or empty
    Number,           // a whole number min..max
    AutoOff,          // "auto" (true) or "off" (false)
    Choice,           // one of the words of `choices`
    OffAll,           // "off" (false) or "all" (true)
};
struct SettingRule {
    const char* key;
    SettingKind kind;
    std::string Settings::*text;  // Text and the address kinds
    int Settings::*number;        // Number
    int min, max;
    bool Settings::*flag = nullptr;  // AutoOff
    const char* choices = nullptr;   // Choice: the words, separated by '|'
};
std::span<const SettingRule> settingRules();
// The row of key, or null.
const SettingRule* findSetting(const std::string& key);
// Stores one value read from a file (a CR of a CR LF line end is not part of
// it); empty when it is taken, else why not ("must be ...").
std::string applySetting(const SettingRule& rule, std::string value, Settings* settings);
// The first setting outside its row's limits as "key: why"; empty when all
// are usable.
std::string settingsProblem(const Settings& settings);

}  // namespace vc
