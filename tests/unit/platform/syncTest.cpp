// Semaphores and message queues: deletion, stale ids, time-outs, hooks.
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platformTest.h"

using namespace platformtest;

namespace {

class Sync : public PlatformTest {};

TEST_F(Sync, SemaphoreDeletionWakesEveryWaiterAndTheirTakeFails) {
    CtlSemId sem = ctlSemBCreate(0, 0);
    ASSERT_NE(sem, 0);
    constexpr int kWaiters = 3;
    std::atomic<int> failures{0};
    Event done[kWaiters];
    for (auto& d : done)
        ASSERT_GT(startTask([&] {
                      if (ctlSemTake(sem, CTL_WAIT_FOREVER) == -1) ++failures;
                      d.signal();
                  }),
                  0);
    letItBlock();
    EXPECT_EQ(ctlSemDelete(sem), 0);
    for (auto& d : done) ASSERT_TRUE(d.waitFor());
    EXPECT_EQ(failures.load(), kWaiters);
}

TEST_F(Sync, StaleSemaphoreIdFailsAtOnceAndIdsAreNotReused) {
    CtlSemId first = ctlSemBCreate(0, 1);
    ASSERT_NE(first, 0);
    EXPECT_EQ(ctlSemDelete(first), 0);
    CtlSemId second = ctlSemBCreate(0, 1);
    ASSERT_NE(second, 0);
    EXPECT_NE(second, first);
    // A forever-take on the stale id must not wait (nor reach `second`).
    EXPECT_EQ(ctlSemTake(first, CTL_WAIT_FOREVER), -1);
    EXPECT_EQ(ctlSemGive(first), -1);
    EXPECT_EQ(ctlSemDelete(first), -1);
    EXPECT_EQ(ctlSemTake(0, CTL_NO_WAIT), -1);
    EXPECT_EQ(ctlSemTake(second, CTL_NO_WAIT), 0);  // still full: untouched
    EXPECT_EQ(ctlSemDelete(second), 0);
}

TEST_F(Sync, BinarySemaphoreStaysBinaryAndTimesOut) {
    CtlSemId sem = ctlSemBCreate(0, 1);
    ASSERT_NE(sem, 0);
    EXPECT_EQ(ctlSemTake(sem, CTL_NO_WAIT), 0);
    EXPECT_EQ(ctlSemTake(sem, CTL_NO_WAIT), -1);
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(ctlSemTake(sem, 30), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - before, 30ms);
    // Two gives make one take possible, not two.
    EXPECT_EQ(ctlSemGive(sem), 0);
    EXPECT_EQ(ctlSemGive(sem), 0);
    EXPECT_EQ(ctlSemTake(sem, CTL_NO_WAIT), 0);
    EXPECT_EQ(ctlSemTake(sem, CTL_NO_WAIT), -1);

    // A give from another task releases a waiting take.
    Event done;
    std::atomic<int> result{1};
    ASSERT_GT(startTask([&] {
                  result = ctlSemTake(sem, CTL_WAIT_FOREVER);
                  done.signal();
              }),
              0);
    letItBlock();
    EXPECT_EQ(ctlSemGive(sem), 0);
    ASSERT_TRUE(done.waitFor());
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(ctlSemDelete(sem), 0);
    EXPECT_EQ(ctlSemBCreate(0, 2), 0);
}

// The mutex has an owner: only its holder gives it back, a second take by
// the holder fails instead of deadlocking, and a waiter gets it once given.
TEST_F(Sync, MutexHasAnOwnerIsNotRecursiveAndWakesItsWaiter) {
    const CtlMutexId m = ctlMutexCreate();
    ASSERT_NE(m, 0);
    ASSERT_EQ(ctlMutexTake(m, CTL_WAIT_FOREVER), 0);
    EXPECT_EQ(ctlMutexTake(m, CTL_WAIT_FOREVER), -1);  // not recursive
    std::atomic<int> timed{1}, foreign{1}, waited{1};
    Event tried, done;
    ASSERT_GT(startTask([&] {
                  const auto before = std::chrono::steady_clock::now();
                  timed = ctlMutexTake(m, 30);
                  if (std::chrono::steady_clock::now() - before < 30ms) timed = 2;
                  foreign = ctlMutexGive(m);
                  tried.signal();
                  waited = ctlMutexTake(m, CTL_WAIT_FOREVER);
                  if (waited == 0) ctlMutexGive(m);
                  done.signal();
              }),
              0);
    ASSERT_TRUE(tried.waitFor());
    EXPECT_EQ(timed.load(), -1);
    EXPECT_EQ(foreign.load(), -1) << "given back by a task that does not hold it";
    letItBlock();
    EXPECT_EQ(ctlMutexGive(m), 0);
    ASSERT_TRUE(done.waitFor());
    EXPECT_EQ(waited.load(), 0);
    EXPECT_EQ(ctlMutexTake(m, CTL_NO_WAIT), 0);
    EXPECT_EQ(ctlMutexGive(m), 0);
    EXPECT_EQ(ctlMutexDelete(m), 0);
    EXPECT_EQ(ctlMutexTake(m, CTL_NO_WAIT), -1);
    EXPECT_EQ(ctlMutexDelete(m), -1);
    vc::hooks::failAfter(vc::hooks::Site::MutexCreate, 0);
    EXPECT_EQ(ctlMutexCreate(), 0);
}

TEST_F(Sync, MessageQueueTimeOutsAndFullQueue) {
    CtlMsgQId q = ctlMsgQCreate(1, 1, 0);
    ASSERT_NE(q, 0);
    char c = 0;
    EXPECT_EQ(ctlMsgQReceive(q, &c, 1, CTL_NO_WAIT), -1);
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(ctlMsgQReceive(q, &c, 1, 25), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - before, 25ms);

    // One pending signal stands for any number of arrivals: a second send
    // with no wait fails at once, with a wait it times out.
    EXPECT_EQ(ctlMsgQSend(q, "1", 1, CTL_NO_WAIT, 0), 0);
    EXPECT_EQ(ctlMsgQSend(q, "1", 1, CTL_NO_WAIT, 0), -1);
    EXPECT_EQ(ctlMsgQSend(q, "1", 1, 10, 0), -1);
    EXPECT_EQ(ctlMsgQSend(q, "12", 2, CTL_NO_WAIT, 0), -1);  // longer than a message

    // A blocked sender gets through once a receiver makes room.
    Event sent;
    std::atomic<int> sendResult{1};
    ASSERT_GT(startTask([&] {
                  sendResult = ctlMsgQSend(q, "2", 1, CTL_WAIT_FOREVER, 0);
                  sent.signal();
              }),
              0);
    letItBlock();
    EXPECT_EQ(ctlMsgQReceive(q, &c, 1, CTL_WAIT_FOREVER), 1);
    EXPECT_EQ(c, '1');
    ASSERT_TRUE(sent.waitFor());
    EXPECT_EQ(sendResult.load(), 0);
    EXPECT_EQ(ctlMsgQReceive(q, &c, 1, 100), 1);
    EXPECT_EQ(c, '2');
    EXPECT_EQ(ctlMsgQDelete(q), 0);
    EXPECT_EQ(ctlMsgQSend(q, "1", 1, CTL_NO_WAIT, 0), -1);
    EXPECT_EQ(ctlMsgQReceive(q, &c, 1, CTL_WAIT_FOREVER), -1);
}

TEST_F(Sync, MessageQueueOrderTruncationAndDeletionWakesReceivers) {
    CtlMsgQId q = ctlMsgQCreate(4, 8, 0);
    ASSERT_NE(q, 0);
    ASSERT_EQ(ctlMsgQSend(q, "first", 5, CTL_NO_WAIT, 0), 0);
    ASSERT_EQ(ctlMsgQSend(q, "second", 6, CTL_NO_WAIT, 0), 0);
    ASSERT_EQ(ctlMsgQSend(q, "urgent", 6, CTL_NO_WAIT, 1), 0);
    char buf[16] = {};
    EXPECT_EQ(ctlMsgQReceive(q, buf, sizeof buf, CTL_NO_WAIT), 6);
    EXPECT_EQ(std::string(buf, 6), "urgent");
    EXPECT_EQ(ctlMsgQReceive(q, buf, 3, CTL_NO_WAIT), 3);  // cut to the buffer
    EXPECT_EQ(std::string(buf, 3), "fir");
    EXPECT_EQ(ctlMsgQReceive(q, buf, sizeof buf, CTL_NO_WAIT), 6);
    EXPECT_EQ(std::string(buf, 6), "second");

    Event done;
    std::atomic<int> result{0};
    ASSERT_GT(startTask([&] {
                  char c;
                  result = ctlMsgQReceive(q, &c, 1, CTL_WAIT_FOREVER);
                  done.signal();
              }),
              0);
    letItBlock();
    EXPECT_EQ(ctlMsgQDelete(q), 0);
    ASSERT_TRUE(done.waitFor());
    EXPECT_EQ(result.load(), -1);
}

TEST_F(Sync, CreationHooksAndBadArguments) {
    vc::hooks::failAfter(vc::hooks::Site::SemCreate, 1);
    CtlSemId ok = ctlSemBCreate(0, 1);
    EXPECT_NE(ok, 0);
    EXPECT_EQ(ctlSemBCreate(0, 1), 0);
    EXPECT_EQ(ctlSemDelete(ok), 0);
    vc::hooks::failAfter(vc::hooks::Site::MsgQCreate, 0, 1, ENOMEM);
    EXPECT_EQ(ctlMsgQCreate(1, 1, 0), 0);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(ctlMsgQCreate(0, 1, 0), 0);
    EXPECT_EQ(ctlMsgQCreate(1, -1, 0), 0);
    CtlMsgQId q = ctlMsgQCreate(1, 1, 0);
    EXPECT_NE(q, 0);
    EXPECT_EQ(ctlMsgQDelete(q), 0);
}

}  // namespace
