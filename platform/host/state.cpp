// Variables, I/O signals, registers and the simulated robot of the virtual
// controller, served from the state file (vcState.h).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "vcState.h"

namespace vc {
namespace {

using hooks::Site;

// The open state file; the platform calls hold the guard shared, so
// closeState waits until no call still uses the mapping. Never destroyed: a
// thread that is still running at exit may read it.
std::shared_mutex& stateGuard = *new std::shared_mutex;
std::unique_ptr<StateFile>& current = *new std::unique_ptr<StateFile>;

int fail(int err) {
    errno = err;
    return -1;
}

// Checks a request against the open file's counts, then runs it under the
// file's lock; -1 when no state file is open or the check fails.
template <class Check, class Run>
int withState(Check&& check, Run&& run) {
    std::shared_lock guard(stateGuard);
    if (!current) return fail(ENODEV);
    if (check(current->counts()) != 0) return -1;
    StateFile::Access access(*current);
    if (!access.ok()) {
        // Who holds the lock, or that it is damaged: on the console, as the
        // caller's own message says only that the access failed.
        if (const std::string& problem = stateLockProblem(); !problem.empty())
            std::printf("Error - %s\r\n", problem.c_str());
        return fail(EIO);
    }
    return run(access.data());
}

std::uint32_t countOf(const StateCounts& c, std::uint16_t type) {
    switch (type) {
        case CTL_VAR_B: return c.b;
        case CTL_VAR_I: return c.i;
        case CTL_VAR_D: return c.d;
        case CTL_VAR_R: return c.r;
        case CTL_VAR_P: return c.p;
        case CTL_VAR_S:
        case CTL_VAR_S_INFO: return c.s;
        default: return 0;
    }
}

bool validVar(const StateCounts& c, std::uint16_t type, std::uint16_t index) {
    return index < countOf(c, type);
}

// Checks every reference before anything is touched, so that a request with
// one bad element (or one armed failure) reads or writes nothing at all.
template <class Ref, class Allowed>
int checkRefs(const Ref* refs, int count, bool write, Allowed allowed, const StateCounts& counts) {
    for (int k = 0; k < count; ++k) {
        if (!allowed(refs[k].type, k) || !validVar(counts, refs[k].type, refs[k].index))
            return fail(EINVAL);
    }
    for (int k = 0; k < count; ++k)
        if (hooks::shouldFailVar(write, refs[k].type, refs[k].index)) return -1;
    return 0;
}

void copyText(char* out, const char* slot) {
    std::size_t n = strnlen(slot, CTL_SVAR_MAX_CHARS);
    std::memcpy(out, slot, n);
    out[n] = 0;
}

bool validIo(const StateCounts& c, std::uint32_t address) {
    if (address < c.io) return true;
    return address >= CTL_REGISTER_BASE && address - CTL_REGISTER_BASE < c.reg;
}

std::uint16_t& ioCell(const StateData& d, std::uint32_t address) {
    return address >= CTL_REGISTER_BASE ? d.reg[address - CTL_REGISTER_BASE] : d.io[address];
}

template <class Ref>
int checkIo(const Ref* refs, int count, const StateCounts& counts) {
    for (int k = 0; k < count; ++k)
        if (!validIo(counts, refs[k].address)) return fail(EINVAL);
    return 0;
}

// Argument checks and the call-site hook, before the state is looked at.
bool badCall(const void* refs, const void* out, int count, Site site) {
    if (count < 0 || (count > 0 && (!refs || !out))) {
        errno = EINVAL;
        return true;
    }
    return hooks::shouldFail(site);
}

}  // namespace

int openState(const Settings& settings, std::string* error) {
    std::string notice, why;
    auto file = StateFile::open(settings.statePath, countsFrom(settings), StateFile::Mode::Owner,
                                &notice, &why, settings.repairStateLock);
    if (!file) {
        if (error) *error = why;
        return -1;
    }
    if (!notice.empty()) std::printf("%s\n", notice.c_str());
    std::unique_lock guard(stateGuard);
    current = std::move(file);
    return 0;
}

void closeState() {
    std::unique_lock guard(stateGuard);
    current.reset();
}

}  // namespace vc

using vc::hooks::Site;

namespace {

bool numericType(std::uint16_t type) {
    return type == CTL_VAR_B || type == CTL_VAR_I || type == CTL_VAR_D || type == CTL_VAR_R;
}

}  // namespace

int ctlGetVarData(const CtlVarInfo* info, std::int32_t* data, int count) {
    if (vc::badCall(info, data, count, Site::VarRead)) return -1;
    // A text is written over the slots that follow its own, so it may only
    // come last.
    auto allowed = [count](std::uint16_t type, int k) {
        return numericType(type) || (type == CTL_VAR_S && k == count - 1);
    };
    auto check = [&](const vc::StateCounts& c) {
        return vc::checkRefs(info, count, false, allowed, c);
    };
    return vc::withState(check, [&](const vc::StateData& d) {
        for (int k = 0; k < count; ++k) {
            std::uint16_t at = info[k].index;
            switch (info[k].type) {
                case CTL_VAR_B: data[k] = d.b[at]; break;
                case CTL_VAR_I: data[k] = d.i[at]; break;
                case CTL_VAR_D: data[k] = d.d[at]; break;
                case CTL_VAR_R: data[k] = static_cast<std::int32_t>(d.r[at]); break;
                case CTL_VAR_S: vc::copyText(reinterpret_cast<char*>(data + k), d.s[at]); break;
            }
        }
        return 0;
    });
}

int ctlPutVarData(const CtlVarData* data, int count) {
    if (vc::badCall(data, data, count, Site::VarWrite)) return -1;
    auto allowed = [](std::uint16_t type, int) { return numericType(type); };
    auto check = [&](const vc::StateCounts& c) {
        return vc::checkRefs(data, count, true, allowed, c);
    };
    return vc::withState(check, [&](const vc::StateData& d) {
        for (int k = 0; k < count; ++k) {
            std::uint16_t at = data[k].index;
            auto v = static_cast<std::uint32_t>(data[k].value);
            switch (data[k].type) {
                case CTL_VAR_B: d.b[at] = static_cast<std::uint8_t>(v & 0xffu); break;
                case CTL_VAR_I: d.i[at] = static_cast<std::int16_t>(v & 0xffffu); break;
                case CTL_VAR_D: d.d[at] = data[k].value; break;
                case CTL_VAR_R: d.r[at] = v; break;
            }
        }
        return 0;
    });
}

int ctlGetSVarInfo(const CtlVarInfo* info, CtlSVarInfoData* data, int count) {
    if (vc::badCall(info, data, count, Site::VarRead)) return -1;
    auto allowed = [](std::uint16_t type, int) { return type == CTL_VAR_S_INFO; };
    auto check = [&](const vc::StateCounts& c) {
        return vc::checkRefs(info, count, false, allowed, c);
    };
    return vc::withState(check, [&](const vc::StateData& d) {
        for (int k = 0; k < count; ++k) {
            const char* text = d.s[info[k].index];
            std::size_t n = strnlen(text, CTL_SVAR_MAX_CHARS);
            std::size_t first = std::min<std::size_t>(n, 16);
            std::memset(&data[k], 0, sizeof data[k]);
            std::memcpy(data[k].half[0], text, first);
            std::memcpy(data[k].half[1], text + first, n - first);
        }
        return 0;
    });
}

int ctlPutSVarInfo(const CtlVarInfo* info, const CtlSVarInfoData* data, int count) {
    if (vc::badCall(info, data, count, Site::VarWrite)) return -1;
    auto allowed = [](std::uint16_t type, int) { return type == CTL_VAR_S_INFO; };
    auto check = [&](const vc::StateCounts& c) {
        return vc::checkRefs(info, count, true, allowed, c);
    };
    return vc::withState(check, [&](const vc::StateData& d) {
        for (int k = 0; k < count; ++k) {
            // Each half carries at most 16 characters; the text is the first
            // half's followed by the second half's.
            char* slot = d.s[info[k].index];
            std::size_t a = strnlen(data[k].half[0], 16);
            std::size_t b = strnlen(data[k].half[1], 16);
            std::memset(slot, 0, vc::kSVarSlot);
            std::memcpy(slot, data[k].half[0], a);
            std::memcpy(slot + a, data[k].half[1], b);
        }
        return 0;
    });
}

int ctlGetPosVarData(const CtlVarInfo* info, CtlPosVarData* data, int count) {
    if (vc::badCall(info, data, count, Site::VarRead)) return -1;
    auto allowed = [](std::uint16_t type, int) { return type == CTL_VAR_P; };
    auto check = [&](const vc::StateCounts& c) {
        return vc::checkRefs(info, count, false, allowed, c);
    };
    return vc::withState(check, [&](const vc::StateData& d) {
        for (int k = 0; k < count; ++k) data[k] = d.p[info[k].index];
        return 0;
    });
}

int ctlReadIO(const CtlIoInfo* info, std::uint16_t* values, int count) {
    if (vc::badCall(info, values, count, Site::IoRead)) return -1;
    auto check = [&](const vc::StateCounts& c) { return vc::checkIo(info, count, c); };
    return vc::withState(check, [&](const vc::StateData& d) {
        for (int k = 0; k < count; ++k) values[k] = vc::ioCell(d, info[k].address);
        return 0;
    });
}

int ctlWriteIO(const CtlIoData* data, int count) {
    if (vc::badCall(data, data, count, Site::IoWrite)) return -1;
    auto check = [&](const vc::StateCounts& c) { return vc::checkIo(data, count, c); };
    return vc::withState(check, [&](const vc::StateData& d) {
        for (int k = 0; k < count; ++k)
            vc::ioCell(d, data[k].address) = static_cast<std::uint16_t>(data[k].value & 0xffffu);
        return 0;
    });
}

// The simulated robot reports the position it was given in every frame; the
// tool number asked for is returned with it.
int ctlGetCartPosEx(std::uint16_t robotNo, std::uint16_t /*frame*/, std::uint16_t tool,
                    CtlCartPos* pos) {
    if (!pos || robotNo >= vc::kRobots) return vc::fail(EINVAL);
    if (vc::hooks::shouldFail(Site::CartPos)) return -1;
    auto none = [](const vc::StateCounts&) { return 0; };
    return vc::withState(none, [&](const vc::StateData& d) {
        *pos = d.robot->pos[robotNo];
        pos->toolNo = tool;
        return 0;
    });
}

int ctlGetServoSpeed(int controlGroup, std::int32_t speeds[CTL_SERVO_AXES]) {
    if (!speeds || controlGroup < 0 || controlGroup >= vc::kControlGroups) return vc::fail(EINVAL);
    if (vc::hooks::shouldFail(Site::ServoSpeed)) return -1;
    auto none = [](const vc::StateCounts&) { return 0; };
    return vc::withState(none, [&](const vc::StateData& d) {
        std::copy_n(d.robot->servo[controlGroup], CTL_SERVO_AXES, speeds);
        return 0;
    });
}
