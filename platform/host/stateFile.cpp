// The state file: creation, checking, rebuilding with other counts, and the
// process-shared robust lock around every access.
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

#include "schedule.h"
#include "vcState.h"

namespace vc {
namespace {

constexpr char kMagic[8] = {'A', 'R', 'V', 'O', 'S', 'T', 'A', 'T'};
constexpr std::uint32_t kLayoutVersion = 1;
constexpr int kOpenAttempts = 5;
// Every access holds the lock for microseconds: one held for this long is
// held by a program that is stuck, or the lock word is damaged.
constexpr auto kLockWaitLimit = std::chrono::seconds(10);

// Why the last StateFile::Access of this thread failed; empty when it did not.
thread_local std::string lockProblem;

struct alignas(64) FileHeader {
    char magic[8];
    std::uint32_t version;
    std::uint32_t headerSize;
    std::uint64_t fileSize;
    StateCounts counts;
    std::uint32_t retired;  // 1: replaced by a rebuild; reopen the path
    std::uint32_t reserved;
    char bootId[40];  // boot in which `lock` was set up
    alignas(64) pthread_mutex_t lock;
    alignas(64) RobotState robot;
};

struct Layout {
    std::size_t b, i, d, r, s, p, io, reg, size;
};

constexpr std::size_t align8(std::size_t v) { return (v + 7) & ~std::size_t{7}; }

Layout layoutOf(const StateCounts& c) {
    Layout l{};
    std::size_t off = sizeof(FileHeader);
    auto place = [&off](std::size_t bytes) {
        std::size_t at = off;
        off = align8(off + bytes);
        return at;
    };
    l.b = place(c.b);
    l.i = place(std::size_t{2} * c.i);
    l.d = place(std::size_t{4} * c.d);
    l.r = place(std::size_t{4} * c.r);
    l.s = place(std::size_t{kSVarSlot} * c.s);
    l.p = place(sizeof(CtlPosVarData) * c.p);
    l.io = place(std::size_t{2} * c.io);
    l.reg = place(std::size_t{2} * c.reg);
    l.size = off;
    return l;
}

std::string currentBootId() {
    char id[40] = {};
    if (FILE* f = std::fopen("/proc/sys/kernel/random/boot_id", "r")) {
        if (!std::fgets(id, sizeof id, f)) id[0] = 0;
        std::fclose(f);
    }
    id[std::strcspn(id, "\n")] = 0;
    return id;
}

bool initLock(FileHeader* h) {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return false;
    // Priority inheritance: a job-side tool at normal priority that holds the
    // lock runs at the priority of a controller task waiting for it, so a
    // busy machine cannot hold up a tick through it.
    bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
              pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
              (!vc::sched::priorityInheritanceWorks() ||
               pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT) == 0) &&
              pthread_mutex_init(&h->lock, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    std::string boot = currentBootId();
    std::memset(h->bootId, 0, sizeof h->bootId);
    std::memcpy(h->bootId, boot.data(), std::min(boot.size(), sizeof h->bootId - 1));
    return ok;
}

// "thread T of process P (name)" for the thread id in a lock word.
std::string threadText(pid_t tid) {
    std::ifstream status("/proc/" + std::to_string(tid) + "/status");
    std::string line, name, tgid;
    while (std::getline(status, line)) {
        if (line.rfind("Name:", 0) == 0) name = line.substr(line.find_first_not_of(" \t", 5));
        if (line.rfind("Tgid:", 0) == 0) tgid = line.substr(line.find_first_not_of(" \t", 5));
    }
    if (tgid.empty()) return "thread " + std::to_string(tid) + " (not running)";
    return "thread " + std::to_string(tid) + " of process " + tgid + " (" + name + ")";
}

// The thread the lock word names as its holder (0: none).
pid_t lockHolder(const pthread_mutex_t* m) {
    const auto word = static_cast<std::uint32_t>(m->__data.__lock) & FUTEX_TID_MASK;
    return word != 0 ? static_cast<pid_t>(word) : static_cast<pid_t>(m->__data.__owner);
}

// Takes a robust lock, waiting at most kLockWaitLimit (in slices, so that a
// calendar clock step neither ends nor extends it); a holder that died
// leaves it recoverable. False with lockProblem set otherwise.
bool lockRobust(pthread_mutex_t* m, const std::string& path) {
    const auto end = std::chrono::steady_clock::now() + kLockWaitLimit;
    // A free lock, or one whose holder died, is taken at once (the try also
    // reports a dead holder where a thread checker follows only this form).
    int rc = pthread_mutex_trylock(m);
    while (rc == EBUSY || (rc == ETIMEDOUT && std::chrono::steady_clock::now() < end)) {
        timespec slice{};
        clock_gettime(CLOCK_REALTIME, &slice);
        slice.tv_sec += 1;
        rc = pthread_mutex_timedlock(m, &slice);
    }
    if (rc == EOWNERDEAD) rc = pthread_mutex_consistent(m);
    if (rc == 0) {
        lockProblem.clear();
        return true;
    }
    if (rc == ETIMEDOUT)
        lockProblem = "the lock of state file " + path + " is held for more than " +
                      std::to_string(kLockWaitLimit.count()) + " s by " +
                      threadText(lockHolder(m)) +
                      ": stop that program; if it is not one using the state file, the lock "
                      "area is damaged (stop every program using the file, then start arvokor "
                      "once with --repair-state)";
    else
        // NOLINTNEXTLINE(concurrency-mt-unsafe): glibc formats into a per-thread buffer
        lockProblem = "the lock area of state file " + path + " is damaged (" + std::strerror(rc) +
                      "); no value is lost: stop every program using the file, then start "
                      "arvokor once with --repair-state to set the lock up afresh";
    return false;
}

std::string noState(const std::string& path) {
    return "no controller state at " + path + " (arvokor makes it when it starts)";
}

std::string sysError(const std::string& what, const std::string& path) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): glibc formats into a per-thread buffer
    return what + " " + path + ": " + std::strerror(errno);
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    // A mapping keeps the open file alive, and with it a file lock taken
    // through it: unlock explicitly before closing.
    ~Fd() {
        if (fd_ < 0) return;
        flock(fd_, LOCK_UN);
        ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

std::string countsChange(const StateCounts& from, const StateCounts& to) {
    std::string text;
    auto item = [&text](const char* name, std::uint32_t a, std::uint32_t b) {
        if (a == b) return;
        if (!text.empty()) text += ", ";
        text += std::string(name) + " " + std::to_string(a) + " -> " + std::to_string(b);
    };
    item("b_count", from.b, to.b);
    item("i_count", from.i, to.i);
    item("d_count", from.d, to.d);
    item("r_count", from.r, to.r);
    item("s_count", from.s, to.s);
    item("p_count", from.p, to.p);
    item("io_count", from.io, to.io);
    item("register_count", from.reg, to.reg);
    return text;
}

}  // namespace

StateCounts countsFrom(const Settings& s) {
    auto u = [](int v) { return v < 0 ? 0u : static_cast<std::uint32_t>(v); };
    return StateCounts{u(s.bCount), u(s.iCount), u(s.dCount),  u(s.rCount),
                       u(s.sCount), u(s.pCount), u(s.ioCount), u(s.registerCount)};
}

bool countsValid(const StateCounts& c, std::string* error) {
    // The limits of the settings of the same names.
    auto check = [error](const char* name, std::uint32_t v) {
        const SettingRule& rule = *findSetting(name);
        const auto min = static_cast<std::uint32_t>(rule.min),
                   max = static_cast<std::uint32_t>(rule.max);
        if (v >= min && v <= max) return true;
        if (error)
            *error = std::string(name) + " must be " + std::to_string(min) + ".." +
                     std::to_string(max) + ", not " + std::to_string(v);
        return false;
    };
    return check("b_count", c.b) && check("i_count", c.i) && check("d_count", c.d) &&
           check("r_count", c.r) && check("s_count", c.s) && check("p_count", c.p) &&
           check("io_count", c.io) && check("register_count", c.reg);
}

// Builds StateFile objects; a friend of StateFile.
struct StateFileOpener {
    static std::unique_ptr<StateFile> mapFile(int fd, const std::string& path,
                                              const StateCounts& counts, std::string* error) {
        Layout l = layoutOf(counts);
        void* map = mmap(nullptr, l.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) {
            *error = sysError("cannot map state file", path);
            return nullptr;
        }
        std::unique_ptr<StateFile> f(new StateFile());
        f->map_ = map;
        f->size_ = l.size;
        f->counts_ = counts;
        f->path_ = path;
        auto* base = static_cast<char*>(map);
        f->data_ = StateData{
            reinterpret_cast<std::uint8_t*>(base + l.b),
            reinterpret_cast<std::int16_t*>(base + l.i),
            reinterpret_cast<std::int32_t*>(base + l.d),
            reinterpret_cast<std::uint32_t*>(base + l.r),
            reinterpret_cast<char(*)[kSVarSlot]>(base + l.s),
            reinterpret_cast<CtlPosVarData*>(base + l.p),
            reinterpret_cast<std::uint16_t*>(base + l.io),
            reinterpret_cast<std::uint16_t*>(base + l.reg),
            &reinterpret_cast<FileHeader*>(base)->robot,
        };
        return f;
    }

    static FileHeader* header(StateFile& f) { return static_cast<FileHeader*>(f.map_); }

    // Sizes a new (empty or unfinished) file and writes its header; the
    // magic goes last, so a file without it is known to be unfinished.
    static std::unique_ptr<StateFile> create(int fd, const std::string& path,
                                             const StateCounts& counts, std::string* error) {
        Layout l = layoutOf(counts);
        if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(l.size)) != 0) {
            *error = sysError("cannot size state file", path);
            return nullptr;
        }
        auto f = mapFile(fd, path, counts, error);
        if (!f) return nullptr;
        FileHeader* h = header(*f);
        h->version = kLayoutVersion;
        h->headerSize = sizeof(FileHeader);
        h->fileSize = l.size;
        h->counts = counts;
        if (!initLock(h)) {
            *error = "cannot set up the lock of state file " + path;
            return nullptr;
        }
        std::memcpy(h->magic, kMagic, sizeof kMagic);
        return f;
    }

    // Copies what fits from `from` into a new file with `counts`, retires
    // `from` and puts the new file in its place.
    static std::unique_ptr<StateFile> rebuild(StateFile& from, const StateCounts& counts,
                                              std::string* notice, std::string* error) {
        const std::string& path = from.path_;
        std::string tmpl = path + ".rebuild-XXXXXX";
        int tmpFd = mkstemp(tmpl.data());
        if (tmpFd < 0) {
            *error = sysError("cannot create a new state file beside", path);
            return nullptr;
        }
        Fd fd(tmpFd);
        auto to = create(fd.get(), path, counts, error);
        if (!to) {
            unlink(tmpl.c_str());
            return nullptr;
        }
        {
            StateFile::Access lock(from);
            const StateCounts& c = from.counts_;
            const StateData& a = from.data_;
            const StateData& b = to->data_;
            std::copy_n(a.b, std::min(c.b, counts.b), b.b);
            std::copy_n(a.i, std::min(c.i, counts.i), b.i);
            std::copy_n(a.d, std::min(c.d, counts.d), b.d);
            std::copy_n(a.r, std::min(c.r, counts.r), b.r);
            std::memcpy(b.s, a.s, std::size_t{kSVarSlot} * std::min(c.s, counts.s));
            std::copy_n(a.p, std::min(c.p, counts.p), b.p);
            std::copy_n(a.io, std::min(c.io, counts.io), b.io);
            std::copy_n(a.reg, std::min(c.reg, counts.reg), b.reg);
            *b.robot = *a.robot;
            if (rename(tmpl.c_str(), path.c_str()) != 0) {
                *error = sysError("cannot replace state file", path);
                unlink(tmpl.c_str());
                return nullptr;
            }
            header(from)->retired = 1;
        }
        *notice = "state file " + path + " had other counts (" +
                  countsChange(from.counts_, counts) +
                  "): values at indices that exist in both were kept, new ones start at 0, "
                  "values beyond the new counts were dropped";
        return to;
    }

    // Takes the file lock (creation and rebuilds of one file, one process at
    // a time; released when fd closes) and reads the file's size.
    static bool lockAndExamine(int fd, const std::string& path, struct stat* st,
                               std::string* error) {
        while (flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                *error = sysError("cannot lock state file", path);
                return false;
            }
        }
        if (fstat(fd, st) != 0) {
            *error = sysError("cannot examine state file", path);
            return false;
        }
        return true;
    }

    // The header of an existing file, `got` bytes of it read, is one this
    // program can map.
    static bool headerUsable(const FileHeader& h, ssize_t got, off_t fileSize,
                             const std::string& path, std::string* error, bool* retry) {
        if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0) {
            *error = path + " is not a state file of the virtual controller";
            return false;
        }
        if (static_cast<std::size_t>(got) < sizeof h) {
            *error = path + " is damaged (shorter than its header)";
            return false;
        }
        if (h.version != kLayoutVersion || h.headerSize != sizeof(FileHeader)) {
            *error = path + " has state layout version " + std::to_string(h.version) +
                     "; this program uses version " + std::to_string(kLayoutVersion) +
                     " (move the file away to start with a new one)";
            return false;
        }
        if (h.retired) {
            *retry = true;
            *error = "state file " + path + " keeps being replaced";
            return false;
        }
        std::string why;
        if (!countsValid(h.counts, &why) || layoutOf(h.counts).size != h.fileSize ||
            static_cast<std::uint64_t>(fileSize) < h.fileSize) {
            *error = path + " is damaged (its size does not match the counts in its header)";
            return false;
        }
        return true;
    }

    // Whether every byte after the header is 0 (a file whose creation did
    // not finish, or that holds nothing to lose).
    static bool valuesAllZero(int fd, off_t size) {
        char block[65536];
        for (off_t at = sizeof(FileHeader); at < size;) {
            const ssize_t got = pread(fd, block, sizeof block, at);
            if (got <= 0) return got == 0;
            if (!std::all_of(block, block + got, [](char c) { return c == 0; })) return false;
            at += got;
        }
        return true;
    }

    // A magic of zeros: a creation that did not finish (nothing but zeros
    // after the header), started again by the controller; or a damaged
    // file whose values are not given up without being asked to.
    static std::unique_ptr<StateFile> withoutMagic(int fd, off_t size, const std::string& path,
                                                   const StateCounts& counts, bool owner,
                                                   std::string* error) {
        if (!valuesAllZero(fd, size)) {
            *error = path +
                     " is damaged (its first bytes, which mark a state file, are "
                     "gone; its values may still be in it): keep a copy of it, then "
                     "start arvokor once with --new-state to begin with an empty "
                     "state file";
            return nullptr;
        }
        if (owner) return create(fd, path, counts, error);
        *error = noState(path);
        return nullptr;
    }

    // Sets the lock up afresh where nobody can hold it (an earlier boot, or a
    // repair asked for while nobody uses the file), then takes it once: a lock
    // that cannot be taken is said now, not at every access.
    static bool lockReady(StateFile& f, const std::string& path, bool repairLock,
                          std::string* error) {
        FileHeader* mapped = header(f);
        if (repairLock ||
            currentBootId() !=
                std::string(mapped->bootId, strnlen(mapped->bootId, sizeof mapped->bootId))) {
            if (!initLock(mapped)) {
                *error = "cannot set up the lock of state file " + path;
                return false;
            }
        }
        StateFile::Access probe(f);
        if (!probe.ok() && !lockProblem.empty()) {
            *error = lockProblem;
            return false;
        }
        return true;
    }

    static std::unique_ptr<StateFile> openOnce(const std::string& path, const StateCounts& counts,
                                               StateFile::Mode mode, bool repairLock,
                                               std::string* notice, std::string* error,
                                               bool* retry) {
        *retry = false;
        // Only the controller makes a state file: a client given a wrong
        // path must not go on with a new, empty one nobody serves.
        const bool owner = mode == StateFile::Mode::Owner;
        Fd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC | (owner ? O_CREAT : 0), 0644));
        if (fd.get() < 0) {
            *error = !owner && errno == ENOENT ? noState(path)
                                               : sysError("cannot open state file", path);
            return nullptr;
        }
        struct stat st {};
        if (!lockAndExamine(fd.get(), path, &st, error)) return nullptr;
        if (st.st_size == 0 && !owner) {
            *error = noState(path);
            return nullptr;
        }
        if (st.st_size == 0) return create(fd.get(), path, counts, error);
        FileHeader h{};
        ssize_t got = pread(fd.get(), &h, sizeof h, 0);
        if (got < 0) {
            *error = sysError("cannot read state file", path);
            return nullptr;
        }
        if (std::all_of(h.magic, h.magic + sizeof h.magic, [](char c) { return c == 0; }))
            return withoutMagic(fd.get(), st.st_size, path, counts, owner, error);
        if (!headerUsable(h, got, st.st_size, path, error, retry)) return nullptr;
        auto f = mapFile(fd.get(), path, h.counts, error);
        if (!f) return nullptr;
        if (!lockReady(*f, path, repairLock, error)) return nullptr;
        if (mode == StateFile::Mode::Owner && !(h.counts == counts))
            return rebuild(*f, counts, notice, error);
        return f;
    }
};

std::unique_ptr<StateFile> StateFile::open(const std::string& path, const StateCounts& counts,
                                           Mode mode, std::string* notice, std::string* error,
                                           bool repairLock) {
    std::string ignoredNotice, ignoredError;
    if (!notice) notice = &ignoredNotice;
    if (!error) error = &ignoredError;
    notice->clear();
    if (!countsValid(counts, error)) return nullptr;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        bool retry = false;
        auto f = StateFileOpener::openOnce(path, counts, mode, repairLock, notice, error, &retry);
        if (f || !retry) return f;
    }
    return nullptr;
}

StateFile::~StateFile() {
    if (map_) munmap(map_, size_);
}

StateFile::Access::Access(StateFile& file) : file_(file) {
    FileHeader* h = StateFileOpener::header(file);
    locked_ = lockRobust(&h->lock, file.path_);
    ok_ = locked_ && h->retired == 0;
}

const std::string& stateLockProblem() { return lockProblem; }

StateFile::Access::~Access() {
    if (locked_) pthread_mutex_unlock(&StateFileOpener::header(file_)->lock);
}

}  // namespace vc
