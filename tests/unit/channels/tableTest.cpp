// Channel table: allocation order, release, lookups and close requests.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "channelSupport.h"
#include "korApp.h"
#include "korHandleTable.h"

namespace {

using namespace chantest;
using kortest::occurrences;
using vc::hooks::Site;

int allocate(int type = KORHDLTYPE_TCPCLIENT, int socket = -1) {
    return KORHDLTBL_GetHandle(&korHandleTable, type, socket);
}
void release(int handle) { KORHDLTBL_CloseHandle(&korHandleTable, handle); }
void setTransport(int handle, const KorTransport& transport) {
    ASSERT_EQ(KORHDLTBL_SetTransport(&korHandleTable, handle, transport), 0);
}

std::string activeList(int bufSize) {
    std::vector<char> buf(static_cast<std::size_t>(bufSize), '#');
    KORHDLTBL_GetNumberOfActiveHandles(&korHandleTable, buf.data(), bufSize);
    return buf.data();
}

class TableTest : public ChannelTest {};

TEST_F(TableTest, HandsOutNineteenDownToOneAndThenRefuses) {
    for (int expected = 19; expected >= 1; --expected) {
        const int h = allocate(KORHDLTYPE_UDP, 100 + expected);
        ASSERT_EQ(h, expected);
        const KORHANDLE& r = record(h);
        EXPECT_EQ(r.inUse, 1);
        EXPECT_EQ(r.type, KORHDLTYPE_UDP);
        EXPECT_EQ(r.socket, 100 + expected);
        EXPECT_NE(r.inputQueue, nullptr);
        EXPECT_NE(r.msgQ, 0);
        EXPECT_EQ(r.taskId, ctlTaskIdSelf());
    }
    EXPECT_EQ(allocate(), -1);
    EXPECT_EQ(record(0).inUse, 0);  // handle 0 is never handed out
    // The sockets are not real: keep the release from closing them.
    for (int h = 1; h <= 19; ++h) setTransport(h, {KORHDLTYPE_UDP, -1});
    releaseAll();
}

TEST_F(TableTest, TheMostRecentlyAllocatedRecordIsNotReusedAtOnce) {
    for (int h = 19; h >= 2; --h) ASSERT_EQ(allocate(), h);
    ASSERT_EQ(allocate(), 1);
    release(1);
    EXPECT_EQ(allocate(), -1);  // 1 is free but is lastHandle
    release(19);
    EXPECT_EQ(allocate(), 19);
    releaseAll();

    KORHDLTBL_Init(&korHandleTable);
    ASSERT_EQ(allocate(), 19);
    release(19);
    EXPECT_EQ(allocate(), 18);
    releaseAll();
}

// A command that looked a channel up must not act on the channel that got the
// same handle after a release: its bytes belong to another peer.
TEST_F(TableTest, AChannelLookedUpBeforeItsHandleWasReusedIsNotFoundAgain) {
    for (int h = 19; h >= 1; --h) ASSERT_EQ(allocate(), h);
    KorChannelId old;
    {
        KorTableLock lock(&korHandleTable);
        old = lock.idOf(5);
    }
    release(5);
    ASSERT_EQ(allocate(), 5);  // the only free record
    ASSERT_EQ(KORHDLTBL_PushInput(&korHandleTable, 5, "new", 3), 0);
    char buf[8] = {};
    EXPECT_EQ(KORHDLTBL_PopInput(&korHandleTable, old, buf, sizeof buf), -1);
    {
        const KorChannelGuard channel(&korHandleTable, 5);
        ASSERT_TRUE(channel.open());
        EXPECT_NE(channel.id().generation, old.generation);
        EXPECT_EQ(KORHDLTBL_PopInput(&korHandleTable, channel.id(), buf, sizeof buf), 3);
    }
    EXPECT_FALSE(KorChannelGuard(&korHandleTable, 20).open());
    releaseAll();
}

TEST_F(TableTest, ReleaseFreesTheRecordAndEverythingItOwns) {
    const int h = allocate(KORHDLTYPE_UDP);
    ASSERT_GT(h, 0);
    ASSERT_EQ(KORHDLTBL_PushInput(&korHandleTable, h, "abc", 3), 0);
    setTransport(h, {KORHDLTYPE_UDP, -1, "127.0.0.1", 4000});
    const CtlMsgQId q = record(h).msgQ;
    const CtlSemId sem = record(h).handleSem;
    ASSERT_EQ(KORHDLTBL_CloseHandle(&korHandleTable, h), 0);
    // A late fill-in leaves the free record alone.
    EXPECT_EQ(KORHDLTBL_SetTransport(&korHandleTable, h, {KORHDLTYPE_UDP, 7, "127.0.0.1", 1}), -1);
    const KORHANDLE& r = record(h);
    EXPECT_EQ(r.inUse, 0);
    EXPECT_EQ(r.type, -1);
    EXPECT_EQ(r.socket, -1);
    EXPECT_EQ(r.inputQueue, nullptr);
    EXPECT_EQ(r.msgQ, 0);
    EXPECT_EQ(r.pipeFd, -1);
    EXPECT_EQ(r.port, -1);
    EXPECT_STREQ(r.ipAddress, "");
    EXPECT_STREQ(r.pipeName, "");
    EXPECT_EQ(ctlMsgQSend(q, "1", 1, CTL_NO_WAIT, 0), -1);
    EXPECT_EQ(ctlSemTake(sem, CTL_NO_WAIT), -1);
    // A free or out-of-range handle is left alone.
    EXPECT_EQ(KORHDLTBL_CloseHandle(&korHandleTable, h), 0);
    EXPECT_EQ(KORHDLTBL_CloseHandle(&korHandleTable, 20), -1);
    EXPECT_EQ(KORHDLTBL_CloseHandle(&korHandleTable, -1), -1);
}

TEST_F(TableTest, ActiveHandleListAndItsBufferLimits) {
    EXPECT_EQ(activeList(100), "");
    for (int h = 19; h >= 1; --h) ASSERT_EQ(allocate(), h);
    for (int h = 1; h <= 19; ++h) {
        if (h != 3 && h != 17) release(h);
    }
    EXPECT_EQ(activeList(100), "3,17");
    EXPECT_EQ(activeList(5), "3,");  // 17 needs a length below 4
    EXPECT_EQ(activeList(4), "3,");
    EXPECT_EQ(activeList(3), "3");
    EXPECT_EQ(activeList(2), "");
    EXPECT_EQ(activeList(1), "");
    EXPECT_EQ(activeList(6), "3,17");
    releaseAll();
}

TEST_F(TableTest, ActiveHandleChecksRangeBeforeTakingTheTable) {
    const int h = allocate();
    EXPECT_EQ(KORHDLTBL_GetActiveHandle(&korHandleTable, h), 0);
    EXPECT_EQ(KORHDLTBL_GetActiveHandle(&korHandleTable, h - 1), -1);
    EXPECT_EQ(KORHDLTBL_GetActiveHandle(&korHandleTable, 0), -1);
    // With the table locked, out-of-range handles still answer at once.
    ASSERT_EQ(ctlMutexTake(KORHDLTBL_TableSem(&korHandleTable), CTL_WAIT_FOREVER), 0);
    EXPECT_EQ(KORHDLTBL_GetActiveHandle(&korHandleTable, 20), -1);
    EXPECT_EQ(KORHDLTBL_GetActiveHandle(&korHandleTable, -1), -1);
    EXPECT_EQ(KORHDLTBL_RequestClose(&korHandleTable, 20), -1);
    EXPECT_EQ(KORHDLTBL_RequestClose(&korHandleTable, -5), -1);
    ctlMutexGive(KORHDLTBL_TableSem(&korHandleTable));
    EXPECT_EQ(KORHDLTBL_RequestClose(&korHandleTable, h - 1), -1);  // free
    releaseAll();
}

TEST_F(TableTest, ListenerLookupFindsTheHighestLiveChannelOfThatPeer) {
    const int listener = allocate(KORHDLTYPE_TCPSERVER);
    const int a = allocate(KORHDLTYPE_TCPACCEPTED);
    const int b = allocate(KORHDLTYPE_TCPACCEPTED);
    const int c = allocate(KORHDLTYPE_TCPACCEPTED);
    setTransport(a, {KORHDLTYPE_TCPACCEPTED, -1, "127.0.0.2", -1, listener});
    setTransport(b, {KORHDLTYPE_TCPACCEPTED, -1, "127.0.0.2", -1, listener});
    setTransport(c, {KORHDLTYPE_TCPACCEPTED, -1, "127.0.0.3", -1, listener});
    EXPECT_EQ(KORHDLTBL_GetHandleFromListenHandleByIP(&korHandleTable, listener, "127.0.0.2"),
              std::max(a, b));
    EXPECT_EQ(KORHDLTBL_GetHandleFromListenHandleByIP(&korHandleTable, listener, "127.0.0.3"), c);
    EXPECT_EQ(KORHDLTBL_GetHandleFromListenHandleByIP(&korHandleTable, listener, "127.0.0.30"), -1);
    EXPECT_EQ(KORHDLTBL_GetHandleFromListenHandleByIP(&korHandleTable, c, "127.0.0.3"), -1);
    release(std::max(a, b));
    EXPECT_EQ(KORHDLTBL_GetHandleFromListenHandleByIP(&korHandleTable, listener, "127.0.0.2"),
              std::min(a, b));
    // Free records (listenHandle -1, address "") never match.
    EXPECT_EQ(KORHDLTBL_GetHandleFromListenHandleByIP(&korHandleTable, -1, ""), -1);
    releaseAll();
}

TEST_F(TableTest, AddressTextIsCutToTheField) {
    const int h = allocate(KORHDLTYPE_UDP);
    setTransport(h, {KORHDLTYPE_UDP, -1, "1000.1000.1000.1000"});
    EXPECT_STREQ(record(h).ipAddress, "1000.1000.1000.");
    setTransport(h, {KORHDLTYPE_UDP, -1, "255.255.255.255"});
    EXPECT_STREQ(record(h).ipAddress, "255.255.255.255");
    releaseAll();
}

TEST_F(TableTest, ChannelWithoutPipeIsAllocatedAndReleasedCleanly) {
    vc::hooks::failAfter(Site::PipeCreate, 0);
    testing::internal::CaptureStdout();
    const int h = allocate();
    ASSERT_GT(h, 0);
    EXPECT_EQ(record(h).pipeFd, -1);
    EXPECT_STREQ(record(h).pipeName, "");
    release(h);
    const std::string err = testing::internal::GetCapturedStdout();
    EXPECT_NE(err.find("Error - pipeDevCreate()"), std::string::npos) << err;
    EXPECT_NE(err.find("Error - Closing pipe"), std::string::npos) << err;
    EXPECT_FALSE(inUse(h));
}

TEST_F(TableTest, SecondChannelOfOneTaskHasNoPipeAndItsReleaseKeepsTheFirstPipe) {
    const int first = allocate();
    testing::internal::CaptureStdout();
    const int second = allocate();
    testing::internal::GetCapturedStdout();
    ASSERT_NE(record(first).pipeFd, -1);
    EXPECT_EQ(record(second).pipeFd, -1);
    EXPECT_STREQ(record(second).pipeName, "");
    testing::internal::CaptureStdout();
    release(second);
    testing::internal::GetCapturedStdout();
    // The first channel's pipe still carries a close byte.
    const char x = 'x';
    EXPECT_EQ(vx::write(record(first).pipeFd, &x, 1), 1);
    char got = 0;
    EXPECT_EQ(vx::read(record(first).pipeFd, &got, 1), 1);
    EXPECT_EQ(got, 'x');
    releaseAll();
}

TEST_F(TableTest, CloseRequestSignalsThePipeOnceAndLaterTakersWaitForTheRelease) {
    const int h = allocate();
    ASSERT_NE(record(h).pipeFd, -1);
    EXPECT_EQ(KORHDLTBL_RequestClose(&korHandleTable, h), 0);
    // A second request finds the byte pending: it must neither block on the
    // pipe nor return before the channel is released.
    std::atomic<int> second{-100};
    PlatformTask requester([&] { second = KORHDLTBL_RequestClose(&korHandleTable, h); });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(second.load(), -100);
    char got = 0;
    EXPECT_EQ(vx::read(record(h).pipeFd, &got, 1), 1);
    EXPECT_EQ(got, KORHDLTBL_CLOSE_BYTE);
    release(h);
    EXPECT_TRUE(requester.waitDone());
    EXPECT_EQ(second.load(), 0);

    // A wake-up that fails deletes the pipe device (which wakes the task as
    // well, and is said once); a request repeated before the release has
    // nothing left to wake and says nothing.
    const int g = allocate();
    testing::internal::CaptureStdout();
    vc::hooks::failAfter(Site::PipeWrite, 0);
    EXPECT_EQ(KORHDLTBL_RequestClose(&korHandleTable, g), 0);
    PlatformTask again([&] { second = KORHDLTBL_RequestClose(&korHandleTable, g); });
    std::this_thread::sleep_for(50ms);
    release(g);
    EXPECT_TRUE(again.waitDone());
    EXPECT_EQ(second.load(), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(occurrences(out, "Error - waking the channel's task"), 1) << out;
}

TEST_F(TableTest, CloseAllSignalsEveryChannelInUse) {
    std::vector<std::unique_ptr<OwnedChannel>> owners;
    for (int i = 0; i < 3; ++i) {
        owners.push_back(std::make_unique<OwnedChannel>(KORHDLTYPE_TCPCLIENT, -1, [](int handle) {
            // Waits for the close byte as a receive loop does.
            char b = 0;
            return vx::read(record(handle).pipeFd, &b, 1) == 1 && b == 'x' ? 0 : -1;
        }));
    }
    for (auto& o : owners) ASSERT_GT(o->handle(), 0);
    EXPECT_EQ(KORHDLTBL_RequestCloseAll(&korHandleTable), 3);
    for (auto& o : owners) {
        EXPECT_TRUE(o->released());
        EXPECT_EQ(o->result(), 0);
    }
    EXPECT_EQ(KORHDLTBL_RequestCloseAll(&korHandleTable), 0);
}

// A failed take of the table's lock holds nothing: nothing is read or
// changed unlocked, the holder's lock is not given away on its behalf, and
// every operation says so instead of calling the channel free or done.
TEST_F(TableTest, AFailedTakeOfTheTableLockHoldsNothingAndGivesNothingBack) {
    const int h = allocate();
    ASSERT_EQ(h, 19);
    KorChannelId id;
    {
        KorTableLock holder(&korHandleTable);
        id = holder.idOf(h);
        vc::hooks::failAfter(Site::MutexTake, 0);
        testing::internal::CaptureStdout();
        {
            const KorTableLock failed(&korHandleTable);
            EXPECT_FALSE(failed.held());
            EXPECT_EQ(failed.find(h), nullptr);
        }
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error - channel table: no lock\r\n");
        EXPECT_NE(ctlMutexTake(KORHDLTBL_TableSem(&korHandleTable), CTL_NO_WAIT), 0)
            << "the lock was given away";
    }
    char buf[8];
    const std::pair<const char*, std::function<int()>> operations[] = {
        {"active", [&] { return KORHDLTBL_GetActiveHandle(&korHandleTable, h); }},
        {"list",
         [&] { return KORHDLTBL_GetNumberOfActiveHandles(&korHandleTable, buf, sizeof buf); }},
        {"listener",
         [&] { return KORHDLTBL_GetHandleFromListenHandleByIP(&korHandleTable, h, ""); }},
        {"close request", [&] { return KORHDLTBL_RequestClose(&korHandleTable, h); }},
        {"close all", [&] { return KORHDLTBL_RequestCloseAll(&korHandleTable); }},
        {"push", [&] { return KORHDLTBL_PushInput(&korHandleTable, h, "x", 1); }},
        {"pop", [&] { return KORHDLTBL_PopInput(&korHandleTable, id, buf, sizeof buf); }},
        {"clear", [&] { return KORHDLTBL_ClearInput(&korHandleTable, h) == 1 ? -2 : 0; }},
        {"transport",
         [&] {
             return KORHDLTBL_SetTransport(&korHandleTable, h, {KORHDLTYPE_UDP, 7});
         }},
        {"drop", [&] { return KORHDLTBL_DropPeeked(&korHandleTable, id, KorPeek{1}) ? 0 : -2; }},
        {"allocate", [&] { return allocate() == -1 ? -2 : 0; }},  // its parts given back
    };
    testing::internal::CaptureStdout();
    for (const auto& [name, operation] : operations) {
        vc::hooks::failAfter(Site::MutexTake, 0);
        EXPECT_EQ(operation(), KORHDLTBL_NO_LOCK) << name;
    }
    testing::internal::GetCapturedStdout();
    {
        const KorChannelGuard channel(&korHandleTable, h);
        EXPECT_TRUE(channel.open());
        EXPECT_FALSE(channel.noTable());
    }
    vc::hooks::failAfter(Site::MutexTake, 0);
    EXPECT_TRUE(KorChannelGuard(&korHandleTable, h).noTable());
    EXPECT_EQ(record(h).closeRequested, 0);
    EXPECT_EQ(record(h).inputQueue->count, 0);
    EXPECT_EQ(record(h).type, KORHDLTYPE_TCPCLIENT);
    // The owner's release tries again rather than leave the channel taken.
    vc::hooks::failAfter(Site::MutexTake, 0, 3);
    testing::internal::CaptureStdout();
    EXPECT_EQ(KORHDLTBL_CloseHandle(&korHandleTable, h), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(inUse(h));
}

// Without the table's lock every channel command would run unlocked: nothing
// is started.
TEST_F(TableTest, NothingStartsWithoutTheTableLock) {
    vc::hooks::failAfter(Site::MutexCreate, 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(KORHDLTBL_Init(&korHandleTable), -1);
    EXPECT_EQ(
        testing::internal::GetCapturedStdout().rfind("Error - channel table: ctlMutexCreate()", 0),
        0u);

    vc::hooks::failAfter(Site::MutexCreate, 0);
    testing::internal::CaptureStdout();
    const PlatformTask launcher([] { korLauncher(0, 0, 0, 0, 0, 0, 0, 0, 0, 0); });
    EXPECT_TRUE(launcher.waitDone()) << "the launcher went on";
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_NE(console.find("Error - ArvoKOR not started: the channel table has no lock"),
              std::string::npos);
    EXPECT_EQ(console.find("started successfully"), std::string::npos);
    ASSERT_EQ(KORHDLTBL_Init(&korHandleTable), 0);
}

}  // namespace
