// The virtual controller's state: robot variables, I/O signals, registers and
// the simulated robot, kept in a memory-mapped file so that the values survive
// a restart and another process (korjob) sees and changes them live.
//
// File layout (native byte order): a header (magic, layout version, the
// counts, a process-shared robust mutex, the simulated robot), then one array
// per kind at offsets that follow from the counts alone:
//   B  uint8  [b]      I  int16 [i]      D  int32 [d]      R  uint32 [r] (bit pattern)
//   S  char[33][s]     P  int32[8][p]    IO uint16[io]     registers uint16[reg]
// Every access takes the mutex. A process that dies while holding it does not
// wedge the others: the next taker recovers the lock (robust mutex), and after
// a reboot the mutex is set up afresh (the header remembers the boot it was
// made in).
//
// Counts: the controller (openState / Mode::Owner) uses the counts of its
// settings. When an existing file has other counts it is rebuilt with the new
// counts: every value whose index exists in both is kept, values beyond the
// new counts are dropped, new indices start at 0, and a notice says what
// changed. A client (Mode::Client, korjob, kordash) adopts the counts in the
// file and never creates one.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "ctl.h"
#include "vcSettings.h"

namespace vc {

inline constexpr int kRobots = 8;                     // robots 0..7
inline constexpr int kControlGroups = 40;             // control groups 0..39
inline constexpr int kSVarSlot = CTL_SVAR_TEXT_SIZE;  // 32 characters and a NUL

struct StateCounts {
    std::uint32_t b = 0, i = 0, d = 0, r = 0, s = 0, p = 0, io = 0, reg = 0;
    bool operator==(const StateCounts&) const = default;
};
StateCounts countsFrom(const Settings& settings);
// Counts a state file accepts: the limits of the settings b_count ..
// register_count (B..P 1..65536 for 16-bit indices, io below the register
// addresses).
bool countsValid(const StateCounts& counts, std::string* error);

// The simulated robot.
struct RobotState {
    CtlCartPos pos[kRobots];
    std::int32_t servo[kControlGroups][CTL_SERVO_AXES];
};

// Pointers into the mapping; valid while a StateFile::Access lives.
struct StateData {
    std::uint8_t* b;
    std::int16_t* i;
    std::int32_t* d;
    std::uint32_t* r;
    char (*s)[kSVarSlot];
    CtlPosVarData* p;
    std::uint16_t* io;
    std::uint16_t* reg;
    RobotState* robot;
};

// The text of S variable k (up to its NUL, at most 32 characters); empty
// beyond the file's S variables.
inline std::string_view sVarText(const StateData& d, const StateCounts& c, std::uint32_t k) {
    if (k >= c.s) return {};
    return {d.s[k], strnlen(d.s[k], CTL_SVAR_MAX_CHARS)};
}

class StateFile {
public:
    enum class Mode { Owner, Client };

    // Opens the state file at path. Owner: creates it when missing; the file
    // ends up with `counts` (see above; *notice tells about a rebuild).
    // Client: the file's own counts are used; a missing or unfinished file
    // is "no controller state at PATH". Null with *error set on failure (not
    // a state file, other layout version, truncated, no access).
    // A file whose first bytes were zeroed while it holds values is refused
    // (arvokor --new-state moves it aside), and so is one whose lock cannot
    // be taken (damaged, or held for longer than 10 s; the error names the
    // holder). repairLock sets the lock up afresh first (arvokor
    // --repair-state: only when no other program uses the file).
    static std::unique_ptr<StateFile> open(const std::string& path, const StateCounts& counts,
                                           Mode mode, std::string* notice, std::string* error,
                                           bool repairLock = false);
    ~StateFile();
    StateFile(const StateFile&) = delete;
    StateFile& operator=(const StateFile&) = delete;

    const StateCounts& counts() const { return counts_; }
    const std::string& path() const { return path_; }

    // Holds the file's lock for one access. ok() is false when the file was
    // replaced by a rebuild with other counts (reopen it), or the lock could
    // not be taken within 10 s or is damaged (stateLockProblem() says which).
    class Access {
    public:
        explicit Access(StateFile& file);
        ~Access();
        Access(const Access&) = delete;
        Access& operator=(const Access&) = delete;
        bool ok() const { return ok_; }
        const StateData& data() const { return file_.data_; }
        const StateData* operator->() const { return &file_.data_; }

    private:
        StateFile& file_;
        bool locked_ = false;
        bool ok_ = false;
    };

private:
    StateFile() = default;
    void* map_ = nullptr;
    std::size_t size_ = 0;
    StateCounts counts_;
    StateData data_{};
    std::string path_;
    friend class Access;
    friend struct StateFileOpener;
};

// Why the last StateFile::Access of the calling thread could not take the
// lock (who holds it, or that it is damaged, and how to recover); empty when
// it could.
const std::string& stateLockProblem();

// The state file the controller's platform calls use (ctlGetVarData and the
// rest). openState returns 0, or -1 with *error set; a rebuild notice is
// printed on the console. Until openState (and after closeState) those calls fail.
int openState(const Settings& settings, std::string* error);
void closeState();

}  // namespace vc
