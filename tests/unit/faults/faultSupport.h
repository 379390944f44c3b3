// Fault injection through the platform's test hooks: a virtual controller
// state for each test, commands run as the launcher runs them (each in a task
// of its own), the job's side of the variables read and written past the
// hooks, the console captured, and the sweep that fails every call of one
// platform site in turn.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "korApp.h"
#include "korHandleTable.h"
#include "korTest.h"
#include "vc.h"
#include "vcState.h"

namespace faults {

using namespace std::chrono_literals;
using vc::hooks::Site;
using vc::hooks::siteName;

using kortest::freePort;
using kortest::waitFor;

// Everything written on the console (stdout and stderr) while it lives. When
// the test has failed, the captured text is shown at the end.
class Console {
public:
    Console() {
        std::fflush(stdout);
        std::fflush(stderr);
        char tmpl[] = "/tmp/arvokor-console-XXXXXX";
        fd_ = ::mkstemp(tmpl);
        path_ = tmpl;
        savedOut_ = ::dup(1);
        savedErr_ = ::dup(2);
        ::dup2(fd_, 1);
        ::dup2(fd_, 2);
    }
    ~Console() {
        const std::string captured = text();
        ::dup2(savedOut_, 1);
        ::dup2(savedErr_, 2);
        ::close(savedOut_);
        ::close(savedErr_);
        ::close(fd_);
        std::remove(path_.c_str());
        if (::testing::Test::HasFailure())
            std::fprintf(stderr, "--- console ---\n%s\n", captured.c_str());
    }
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    std::string text() const {
        std::fflush(stdout);
        std::fflush(stderr);
        std::ifstream in(path_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool shows(const std::string& what) const { return text().find(what) != std::string::npos; }
    // Waits until `what` has been printed.
    bool awaits(const std::string& what, std::chrono::milliseconds limit = 5000ms) const {
        return waitFor([&] { return shows(what); }, limit);
    }

private:
    int fd_ = -1, savedOut_ = -1, savedErr_ = -1;
    std::string path_;
};

// The console of the running sweep (null outside one).
inline Console* sweptConsole = nullptr;
// The site the running sweep fails (Site::Count outside a sweep).
inline Site sweptSite = Site::Count;

// Command parameters p0 .. p8 by role.
struct Params {
    std::array<std::int32_t, 9> p{};
    Params& set(int index, std::int32_t value) {
        p[static_cast<std::size_t>(index)] = value;
        return *this;
    }
    Params& address(int a, int b, int c, int d) { return set(4, a).set(5, b).set(6, c).set(7, d); }
    Params& handle(int h) { return set(8, h); }
};

inline constexpr int kResultVar = 250;  // B variable of the results
inline constexpr int kBlockVar = 300;   // first B variable of byte and text blocks
inline constexpr int kNoResult = 199;   // preset into the result variable (no command writes it)

// A fresh controller state per test (own state file, own loopback address,
// channel table initialised); the job's side reads and writes the variables
// through the state file directly, so armed failures hit only the controller.
class FaultTest : public kortest::LeakCheckedTest {
protected:
    virtual void configure(vc::Settings&) {}

    void SetUp() override {
        vc::hooks::reset();
        settings = kortest::ownController("kor-faults", 150, &dir_);
        configure(settings);
        vc::useSettings(settings);
        std::string error;
        ASSERT_EQ(vc::openState(settings, &error), 0) << error;
        job_ = vc::StateFile::open(settings.statePath, vc::countsFrom(settings),
                                   vc::StateFile::Mode::Client, nullptr, &error);
        ASSERT_TRUE(job_) << error;
        korSysClkRate = vx::sysClkRateGet() / 1000;
        KORHDLTBL_Init(&korHandleTable);
        LeakCheckedTest::SetUp();
    }

    void TearDown() override {
        vc::hooks::reset();
        closeAllChannels();
        LeakCheckedTest::TearDown();
        job_.reset();
        vc::closeState();
        std::filesystem::remove_all(dir_);
    }

    // ---- the job's side

    void setB(int index, int value) {
        vc::StateFile::Access(*job_)->b[index] = static_cast<std::uint8_t>(value);
    }
    int b(int index) { return vc::StateFile::Access(*job_)->b[index]; }
    void setBytes(int first, const std::string& bytes) {
        vc::StateFile::Access a(*job_);
        for (std::size_t k = 0; k < bytes.size(); ++k)
            a->b[first + k] = static_cast<std::uint8_t>(bytes[k]);
    }
    std::string bytes(int first, int n) {
        vc::StateFile::Access a(*job_);
        std::string s;
        for (int k = 0; k < n; ++k) s += static_cast<char>(a->b[first + k]);
        return s;
    }
    // Holds the variables' lock: a command touching a variable waits until
    // the returned guard is gone (the job's side must not be used meanwhile).
    std::unique_ptr<vc::StateFile::Access> holdVariables() {
        return std::make_unique<vc::StateFile::Access>(*job_);
    }
    std::int32_t d(int index) { return vc::StateFile::Access(*job_)->d[index]; }
    void setD(int index, std::int32_t value) { vc::StateFile::Access(*job_)->d[index] = value; }
    void setS(int index, const std::string& text) {
        vc::StateFile::Access a(*job_);
        std::snprintf(a->s[index], vc::kSVarSlot, "%s", text.c_str());
    }
    // B variables of a text block: the fields, each ended by 13.
    int setFields(int first, std::initializer_list<std::string> fields) {
        std::string block;
        for (const auto& f : fields) block += f + '\r';
        setBytes(first, block);
        return static_cast<int>(block.size());
    }

    // ---- commands

    // Starts command `id` as the launcher does (a task of its own running the
    // interpreter) with the result variable preset; `arm` runs inside that
    // task just before the command, so failures armed there hit the command
    // and what it starts, not the test. Tasks are spawned, so that creation
    // failures armed for ctlCreateTask do not hit the test's own tasks.
    void start(int id, Params params, std::function<void()> arm = {}, bool preset = true,
               int resultVar = kResultVar) {
        params.set(3, resultVar);
        if (preset) setB(resultVar, kNoResult);
        auto* run = new Run{id, params, std::move(arm)};
        const int task = vx::taskSpawn(nullptr, 100, 0, 0, runEntry, reinterpret_cast<CtlArg>(run),
                                       0, 0, 0, 0, 0, 0, 0, 0, 0);
        if (task == -1) {
            delete run;
            ADD_FAILURE() << "no task for command " << id;
        }
    }
    // The result once written; kNoResult when none came within the limit.
    int awaitResult(std::chrono::milliseconds limit = 5000ms) {
        waitFor([&] { return b(kResultVar) != kNoResult; }, limit);
        return b(kResultVar);
    }
    int run(int id, Params params, std::function<void()> arm = {},
            std::chrono::milliseconds limit = 5000ms) {
        if (sweptConsole != nullptr) mark_ = sweptConsole->text().size();
        start(id, params, std::move(arm));
        return awaitResult(limit);
    }
    // In a sweep: the last command run printed `what` (true outside a sweep).
    bool said(const std::string& what) const {
        if (sweptConsole == nullptr) return true;
        return waitFor([&] { return sweptConsole->text().find(what, mark_) != std::string::npos; },
                       1000ms);
    }
    // A result `code` of the last command comes with its message. Any command
    // that could not lock the channel table (or a send its channel's send
    // lock) fails with 254 and that lock's message.
    void expectMessage(int result, int code, const std::string& what) const {
        if (result == 254 && sweptSite == Site::MutexTake &&
            (said("Error - channel table: no lock") || said("Error - channel send lock")))
            return;
        if (result == code) {
            EXPECT_TRUE(said(what)) << "result " << code << " without \"" << what << "\"";
        }
    }

    // ---- end of a run

    static constexpr auto kStep = 2000ms;  // a result lost to a failed write is given up after this

    // Every run must end with all channels released and all memory back (as
    // at the first call of baseline()).
    void settle() {
        closeAllChannels();
        const long before = baseline();
        EXPECT_TRUE(waitFor([&] { return vc::hooks::liveAllocations() == before; }, 3000ms))
            << "memory left allocated: " << vc::hooks::liveAllocations() - before << " blocks";
    }
    long baseline() {
        if (baseline_ < 0) baseline_ = vc::hooks::liveAllocations();
        return baseline_;
    }

    // ---- channels

    static bool inUse(int h) { return KORHDLTBL_GetActiveHandle(&korHandleTable, h) == 0; }
    static int openChannels() {
        int n = 0;
        for (int h = 1; h < KORHDLTBL_SIZE; ++h) n += inUse(h) ? 1 : 0;
        return n;
    }
    static int queued(int h) {
        KorTableLock lock(&korHandleTable);
        const KORCHQUE* q = KORHDLTBL_Record(&korHandleTable, h).inputQueue;
        return q ? q->count : 0;
    }
    // Asks every open channel to close (as CLOSEALL does) and waits until
    // their owners have released them; a channel that stays open fails the test.
    void closeAllChannels() {
        if (openChannels() == 0) return;
        const int task = vx::taskSpawn(nullptr, 100, 0, 0, closeAllEntry, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                       0);
        EXPECT_NE(task, -1);
        EXPECT_TRUE(waitFor([] { return openChannels() == 0; }, 10000ms))
            << "a channel was not released";
    }

    vc::Settings settings;

private:
    struct Run {
        int id;
        Params params;
        std::function<void()> arm;
    };
    static void runEntry(CtlArg a, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg,
                         CtlArg) {
        int id;
        std::array<std::int32_t, 9> q;
        {
            const std::unique_ptr<Run> run(reinterpret_cast<Run*>(a));
            id = run->id;
            q = run->params.p;
            if (run->arm) run->arm();
        }
        // Ends this task (ctlDeleteTask) without returning here.
        korCommandInterpreter(id, q[4], q[5], q[6], q[7], q[0], q[1], q[2], q[8], q[3]);
    }
    static void closeAllEntry(CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg,
                              CtlArg, CtlArg) {
        KORHDLTBL_RequestCloseAll(&korHandleTable);
    }

    std::filesystem::path dir_;
    std::size_t mark_ = 0;  // console length when the last command started
    std::unique_ptr<vc::StateFile> job_;
    long baseline_ = -1;
};

// A port parameter as a job writes it (ports above 32767 as negatives).
inline std::int32_t portParam(int port) { return port <= 32767 ? port : 32767 - port; }

inline bool isHandle(int r) { return r >= 1 && r <= 19; }

// True when a failure armed with failAfter(site, skip, 1) had not yet been
// used up: consumes what is left of it.
inline bool stillArmed(Site site, int skip) {
    for (int k = 0; k <= skip; ++k)
        if (vc::hooks::shouldFail(site)) return true;
    return false;
}

// What a swept command may leave in its result variable besides its
// documented results: nothing at all, but only where the failed call can be
// the write of that result itself (the command prints its message then).
// Everywhere else a command must answer.
inline int lost() { return sweptSite == Site::VarWrite ? kNoResult : -1; }

// Runs `scenario` once for every call of `site` that the scenario makes: run
// k fails the k-th call (one failure, armed by the scenario's first command
// through the arm function it is handed). The scenario checks its own
// outcome; the sweep ends when the failure is no longer reached. Returns the
// number of calls failed in turn.
inline int sweep(Site site, const std::function<void(const std::function<void()>& arm)>& scenario,
                 int most = 200) {
    struct Sweeping {
        explicit Sweeping(Site s) { sweptSite = s; }
        ~Sweeping() { sweptSite = Site::Count; }
    } sweeping(site);
    int k = 0;
    for (; k < most; ++k) {
        SCOPED_TRACE(std::string(siteName(site)) + " call " + std::to_string(k) + " fails");
        vc::hooks::reset();
        scenario([site, k] { vc::hooks::failAfter(site, k, 1); });
        const bool reached = !stillArmed(site, k);
        vc::hooks::reset();
        if (::testing::Test::HasFatalFailure() || !reached) break;
    }
    return k;
}

// The sweep with the console captured (shown only when the test fails);
// prints how many calls were failed in turn, and fails the test when the
// scenario never reached the site.
inline int sweepSite(Site site,
                     const std::function<void(const std::function<void()>& arm)>& scenario,
                     int most = 200) {
    int calls = 0;
    {
        Console console;
        sweptConsole = &console;
        calls = sweep(site, scenario, most);
        sweptConsole = nullptr;
    }
    std::printf("%s: %d calls failed in turn\n", siteName(site), calls);
    EXPECT_GT(calls, 0) << "the scenario never reached " << siteName(site);
    return calls;
}

inline bool oneOf(int value, std::initializer_list<int> allowed) {
    for (int a : allowed)
        if (value == a) return true;
    return false;
}

}  // namespace faults
