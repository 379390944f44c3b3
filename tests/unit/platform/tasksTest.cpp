// Tasks: ids, names, scheduling, self-ending and deletion of blocked tasks.
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <thread>

#include "clockInternal.h"
#include "platformTest.h"
#include "schedule.h"

using namespace platformtest;

namespace {

class Tasks : public PlatformTest {};

TEST_F(Tasks, IdsArePositiveUniqueAndKnownToTheTaskItself) {
    Event done;
    std::atomic<int> seenInside{0};
    int id = startTask([&] {
        seenInside = ctlTaskIdSelf();
        done.signal();
    });
    ASSERT_GT(id, 0);
    ASSERT_TRUE(done.waitFor());
    EXPECT_EQ(seenInside.load(), id);

    // A thread the platform did not start gets an id of its own on first use.
    int mainId = ctlTaskIdSelf();
    int threadId = 0;
    std::thread([&] { threadId = ctlTaskIdSelf(); }).join();
    EXPECT_GT(mainId, 0);
    EXPECT_GT(threadId, 0);
    EXPECT_NE(mainId, threadId);
    EXPECT_EQ(ctlTaskIdSelf(), mainId);

    // Ids are not reused after a task has ended.
    Event second;
    int next = startTask([&] { second.signal(); });
    ASSERT_TRUE(second.waitFor());
    EXPECT_GT(next, id);
    EXPECT_NE(next, threadId);
}

// Ids wrap around after INT_MAX: never -1 or 0 and never an id still live
// (a live task given twice would be started twice by the launcher).
TEST_F(Tasks, IdsWrapAroundWithoutMeetingALiveOne) {
    Event release, liveEnded;
    const int liveTask = startTask([&] {
        release.waitFor();
        liveEnded.signal();
    });
    const CtlSemId liveSem = ctlSemBCreate(0, 1);
    const CtlMsgQId liveQueue = ctlMsgQCreate(1, 1, 0);
    ASSERT_GT(liveTask, 0);
    ASSERT_NE(liveSem, 0);
    ASSERT_NE(liveQueue, 0);

    constexpr int kMax = std::numeric_limits<int>::max();
    vc::hooks::startIdsAt(kMax);
    EXPECT_EQ(ctlSemBCreate(0, 1), kMax);
    const CtlSemId wrappedSem = ctlSemBCreate(0, 1);
    EXPECT_GT(wrappedSem, 0);
    EXPECT_NE(wrappedSem, liveSem);
    EXPECT_EQ(ctlMsgQCreate(1, 1, 0), kMax);
    EXPECT_GT(ctlMsgQCreate(1, 1, 0), 0);
    Event ended;
    EXPECT_EQ(startTask([&] { ended.signal(); }), kMax);
    ASSERT_TRUE(ended.waitFor());
    Event ended2;
    EXPECT_GT(startTask([&] { ended2.signal(); }), 0);
    ASSERT_TRUE(ended2.waitFor());

    vc::hooks::startIdsAt(liveSem);
    EXPECT_NE(ctlSemBCreate(0, 1), liveSem);
    vc::hooks::startIdsAt(liveQueue);
    EXPECT_NE(ctlMsgQCreate(1, 1, 0), liveQueue);
    vc::hooks::startIdsAt(liveTask);
    Event ended3;
    const int next = startTask([&] { ended3.signal(); });
    EXPECT_GT(next, 0);
    EXPECT_NE(next, liveTask);
    ASSERT_TRUE(ended3.waitFor());
    // The live task must be done with `release` before this frame goes: its
    // wait would otherwise decrement whatever the stack holds there next.
    release.signal();
    ASSERT_TRUE(liveEnded.waitFor());
}

// Policy and priority a task sees at its start. `create` starts runBody with
// the body it is given and returns the task id.
struct Scheduling {
    int policy = -1;
    int priority = -1;
    bool operator==(const Scheduling&) const = default;
};

template <class Create>
Scheduling schedulingOf(Create create) {
    Event done;
    Scheduling seen;
    auto* b = new Body([&] {
        sched_param p{};
        pthread_getschedparam(pthread_self(), &seen.policy, &p);
        seen.priority = p.sched_priority;
        done.signal();
    });
    int id = create(reinterpret_cast<CtlArg>(b));
    if (id < 0) delete b;
    EXPECT_GT(id, 0);
    EXPECT_TRUE(done.waitFor());
    return seen;
}

Scheduling ofClass(int priorityClass) {
    return schedulingOf([=](CtlArg b) {
        return ctlCreateTask(priorityClass, 0, runBody, b, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    });
}

Scheduling ofSpawn(int priority) {
    return schedulingOf([=](CtlArg b) {
        return vx::taskSpawn(nullptr, priority, 0, 0, runBody, b, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    });
}

TEST_F(Tasks, EveryTaskRunsAtItsPlaceInTheSchedulingModel) {
    if (!vc::sched::inEffect())
        GTEST_SKIP() << "real-time scheduling is not permitted here (root, CAP_SYS_NICE or "
                        "RLIMIT_RTPRIO >= 30 needed)";
    const Scheduling class0 = ofClass(0), class1 = ofClass(1), class3 = ofClass(3);
    EXPECT_EQ(class0.policy, SCHED_FIFO);
    EXPECT_GT(class0.priority, class1.priority);
    EXPECT_GT(class1.priority, class3.priority);
    EXPECT_GT(class3.priority, 0);
    EXPECT_LT(class0.priority, 50);  // below the kernel's interrupt threads
    // The launcher's fallback sits with the commands; a lower one below them.
    EXPECT_EQ(ofSpawn(150), class3);
    EXPECT_LT(ofSpawn(200).priority, class3.priority);
    EXPECT_EQ(ofSpawn(200).policy, SCHED_FIFO);

    // A task gets its own place, not its creator's.
    Scheduling inner;
    Event done;
    auto* outer = new Body([&] {
        inner = ofClass(3);
        done.signal();
    });
    if (ctlCreateTask(0, 0, runBody, reinterpret_cast<CtlArg>(outer), 0, 0, 0, 0, 0, 0, 0, 0, 0) <
        0)
        delete outer;
    ASSERT_TRUE(done.waitFor());
    EXPECT_EQ(inner, class3);
}

TEST_F(Tasks, RealTimeOffRunsEveryTaskAtNormalPriority) {
    vc::Settings off;
    off.realtime = false;
    vc::useSettings(off);
    const Scheduling normal{SCHED_OTHER, 0};
    EXPECT_EQ(ofClass(0), normal);
    EXPECT_EQ(ofClass(1), normal);
    EXPECT_EQ(ofSpawn(150), normal);
    // Also when the creator itself runs at real-time priority.
    sched_param rt{};
    rt.sched_priority = 1;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &rt) == 0) {
        EXPECT_EQ(ofClass(3), normal);
        rt.sched_priority = 0;
        pthread_setschedparam(pthread_self(), SCHED_OTHER, &rt);
    }
}

TEST_F(Tasks, NamesAreUniqueAndFitTheChannelRecord) {
    std::counting_semaphore<8> release{0};
    Event started[3];
    auto body = [&](int i) {
        return [&, i] {
            started[i].signal();
            release.acquire();
        };
    };
    auto spawn = [](const char* name, Body b) {
        auto* p = new Body(std::move(b));
        int id = vx::taskSpawn(name, 150, 0, 40960, runBody, reinterpret_cast<CtlArg>(p), 0, 0, 0,
                               0, 0, 0, 0, 0, 0);
        if (id < 0) delete p;
        return id;
    };
    const std::string longName(50, 'x');
    int a = spawn("UDPPositionTask", body(0));
    int b = spawn("UDPPositionTask", body(1));
    int c = spawn(longName.c_str(), body(2));
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    ASSERT_GT(c, 0);
    for (auto& e : started) ASSERT_TRUE(e.waitFor());

    std::string nameA = vx::taskName(a), nameB = vx::taskName(b), nameC = vx::taskName(c);
    EXPECT_EQ(nameA, "UDPPositionTask");
    EXPECT_NE(nameA, nameB);
    EXPECT_LE(nameB.size(), 31u);
    EXPECT_EQ(nameC, longName.substr(0, 31));

    int k = startTask([&] { release.acquire(); });
    ASSERT_GT(k, 0);
    EXPECT_EQ(std::string(vx::taskName(k)), "tKor" + std::to_string(k));
    int s = spawn(nullptr, [&] { release.acquire(); });
    ASSERT_GT(s, 0);
    EXPECT_EQ(std::string(vx::taskName(s)), "t" + std::to_string(s));

    std::set<std::string> all{nameA,           nameB,           nameC,
                              vx::taskName(k), vx::taskName(s), vx::taskName(0)};
    EXPECT_EQ(all.size(), 6u);
    EXPECT_EQ(vx::taskName(999999), nullptr);

    release.release(5);
    for (int id : {a, b, c, k, s}) ctlDeleteTask(id);  // waits for each to end
}

TEST_F(Tasks, ATaskEndsItselfWithDeleteZeroOrExit) {
    Event unwound1, unwound2;
    std::atomic<bool> ranPast{false};
    ASSERT_GT(startTask([&] {
                  UnwindFlag flag{&unwound1};
                  ctlDeleteTask(0);
                  ranPast = true;
              }),
              0);
    ASSERT_GT(startTask([&] {
                  UnwindFlag flag{&unwound2};
                  vx::exit(0);
              }),
              0);
    ASSERT_TRUE(unwound1.waitFor());
    ASSERT_TRUE(unwound2.waitFor());
    EXPECT_FALSE(ranPast.load());
}

// A task blocked in any of these calls ends when deleted; ctlDeleteTask
// returns after the task has gone (its stack is unwound by then).
TEST_F(Tasks, DeletingATaskBlockedInDelaySemTakeMsgQReceiveOrClock) {
    vc::Settings s;
    s.clock1Us = 60 * 1000 * 1000;  // a cycle far longer than the test
    vc::useSettings(s);
    CtlSemId sem = ctlSemBCreate(0, 0);
    CtlMsgQId q = ctlMsgQCreate(1, 1, 0);
    ASSERT_NE(sem, 0);
    ASSERT_NE(q, 0);
    std::function<void()> blockers[] = {
        [] { ctlTaskDelay(1000 * 1000); },
        [&] { ctlSemTake(sem, CTL_WAIT_FOREVER); },
        [&] {
            char c;
            ctlMsgQReceive(q, &c, 1, CTL_WAIT_FOREVER);
        },
        [] { ctlClkAnnounce(1); },
    };
    for (auto& block : blockers) {
        const int id = expectDeleteEndsTaskBlockedIn(block);
        ASSERT_GT(id, 0);
        EXPECT_EQ(ctlDeleteTask(id), -1);  // gone
        EXPECT_EQ(vx::taskName(id), nullptr);
    }
    // The objects the victims waited on are untouched.
    EXPECT_EQ(ctlSemGive(sem), 0);
    EXPECT_EQ(ctlSemTake(sem, CTL_NO_WAIT), 0);
    EXPECT_EQ(ctlSemDelete(sem), 0);
    EXPECT_EQ(ctlMsgQDelete(q), 0);
}

TEST_F(Tasks, DeletionOfARunningTaskTakesEffectAtItsNextBlockingCall) {
    Event inside, go, unwound;
    std::atomic<int> progress{0};
    int id = startTask([&] {
        UnwindFlag flag{&unwound};
        inside.signal();
        go.waitFor();  // not a platform call: deletion cannot end it here
        progress = 1;
        ctlTaskDelay(0);
        progress = 2;
    });
    ASSERT_GT(id, 0);
    ASSERT_TRUE(inside.waitFor());
    std::thread deleter([&] { EXPECT_EQ(ctlDeleteTask(id), 0); });
    letItBlock();
    EXPECT_FALSE(unwound.waitFor(0ms));
    go.signal();
    deleter.join();
    EXPECT_TRUE(unwound.waitFor(0ms));
    EXPECT_EQ(progress.load(), 1);
}

TEST_F(Tasks, DeleteOfUnknownIdFailsAndHooksFailCreation) {
    EXPECT_EQ(ctlDeleteTask(-5), -1);
    EXPECT_EQ(ctlDeleteTask(1 << 30), -1);

    vc::hooks::failAfter(vc::hooks::Site::TaskCreate, 0);
    vc::hooks::failAfter(vc::hooks::Site::TaskSpawn, 0);
    std::atomic<bool> ran{false};
    Body body = [&] { ran = true; };
    EXPECT_EQ(ctlCreateTask(3, 0, runBody, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), -1);
    EXPECT_EQ(vx::taskSpawn(nullptr, 150, 0, 0, runBody, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), -1);
    EXPECT_FALSE(ran.load());
    // Armed for one call each: the next ones succeed.
    Event done;
    EXPECT_GT(startTask([&] { done.signal(); }), 0);
    EXPECT_TRUE(done.waitFor());
    EXPECT_EQ(ctlCreateTask(3, 0, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), -1);
}

TEST_F(Tasks, ClockRateAndDelayFollowTheSettings) {
    vc::Settings s;
    EXPECT_EQ(vx::sysClkRateGet(), 1000);
    s.clockRate = 100;
    vc::useSettings(s);
    EXPECT_EQ(vx::sysClkRateGet(), 100);
    // 5 ticks at 100 Hz: never shorter than 50 ms.
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(ctlTaskDelay(5), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - before, 50ms);
    EXPECT_EQ(ctlTaskDelay(0), 0);
    // The tick count follows the delay, and the calendar clock does not move it.
    const std::int64_t ticks = vx::tickGet();
    vc::hooks::stepCalendar(-86400);
    ctlTaskDelay(5);
    EXPECT_GE(vx::tickGet() - ticks, 5);
    EXPECT_LT(vx::tickGet() - ticks, 100);
    vc::hooks::reset();
}

TEST(MsToTicks, RoundsUpAtEveryClockRate) {
    EXPECT_EQ(ctlMsToTicksAt(200, 1000), 200);
    EXPECT_EQ(ctlMsToTicksAt(200, 1500), 300);  // truncated ticks per ms gave 200 ticks: 133 ms
    EXPECT_EQ(ctlMsToTicksAt(200, 500), 100);   // ... and 0 here
    EXPECT_EQ(ctlMsToTicksAt(4, 100), 1);
    EXPECT_EQ(ctlMsToTicksAt(1, 60), 1);
    EXPECT_EQ(ctlMsToTicksAt(0, 1000), 0);
    EXPECT_EQ(ctlMsToTicksAt(-5, 1000), 0);
    EXPECT_EQ(ctlMsToTicksAt(std::int64_t{1} << 40, 1000000), 0x7fffffff);
}

TEST_F(Tasks, ClockCyclesAdvanceByWholeCyclesAndRejectOtherClocks) {
    EXPECT_EQ(ctlClkAnnounce(2), -1);
    EXPECT_EQ(ctlClkAnnounce(-1), -1);
    vc::Settings s;
    s.clock0Us = 2000;
    s.clock1Us = 3000;
    vc::useSettings(s);
    for (int clock : {0, 1}) {
        std::int64_t last = vc::clocks::cycleAt(clock, vc::task::Clock::now());
        for (int i = 0; i < 5; ++i) {
            ASSERT_EQ(ctlClkAnnounce(clock), 0);
            auto now = vc::task::Clock::now();
            std::int64_t cycle = vc::clocks::cycleAt(clock, now);
            // Returns in a later cycle, never inside the cycle it was called in.
            EXPECT_GT(cycle, last);
            last = cycle;
        }
        // A caller late by one and a half cycles is not released at once for
        // the missed cycle: it waits for the start of the next one.
        std::this_thread::sleep_for(vc::clocks::period(clock) * 3 / 2);
        std::int64_t before = vc::clocks::cycleAt(clock, vc::task::Clock::now());
        ASSERT_EQ(ctlClkAnnounce(clock), 0);
        EXPECT_GT(vc::clocks::cycleAt(clock, vc::task::Clock::now()), before);
    }
}

}  // namespace
