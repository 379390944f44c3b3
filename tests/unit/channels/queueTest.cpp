// Channel input queue: order, capacity, partial pushes and failed allocations.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctlTestHooks.h"
#include "korChQue.h"
#include "korTest.h"

namespace {

using vc::hooks::Site;

// Walks the list both ways and checks it against count.
void expectConsistent(const KORCHQUE* q) {
    int forward = 0;
    const KORCHQUE_NODE* last = nullptr;
    for (const KORCHQUE_NODE* n = q->head; n != nullptr; n = n->next) {
        EXPECT_EQ(n->prev, last);
        last = n;
        ++forward;
    }
    EXPECT_EQ(last, q->tail);
    EXPECT_EQ(forward, q->count);
    EXPECT_EQ(q->head == nullptr, q->count == 0);
    EXPECT_EQ(q->tail == nullptr, q->count == 0);
}

std::string shown(KORCHQUE* q) {
    std::vector<char> buf(KORCHQUE_CAPACITY);
    const int n = KORCHQUE_Show(q, buf.data());
    return std::string(buf.data(), static_cast<std::size_t>(n));
}

class QueueTest : public kortest::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        q_ = KORCHQUE_Create();
        ASSERT_NE(q_, nullptr);
    }
    void TearDown() override {
        vc::hooks::reset();
        EXPECT_EQ(KORCHQUE_Delete(q_), 0);
        LeakCheckedTest::TearDown();
    }
    void push(const std::string& s) {
        EXPECT_EQ(KORCHQUE_Push(q_, s.data(), static_cast<int>(s.size())), 0);
    }
    KORCHQUE* q_ = nullptr;
};

TEST_F(QueueTest, PopReturnsOldestBytesInOrderAndKeepsTheRest) {
    push("");
    EXPECT_EQ(q_->count, 0);
    push("ABCD");
    char out[8] = {};
    ASSERT_EQ(KORCHQUE_Pop(q_, out, 3), 3);
    EXPECT_EQ(std::string(out, 3), "ABC");
    ASSERT_EQ(q_->count, 1);
    EXPECT_EQ(q_->head, q_->tail);
    EXPECT_EQ(q_->head->data, 'D');
    expectConsistent(q_);

    push(std::string("x\0y", 3));  // a zero byte is data like any other
    EXPECT_EQ(KORCHQUE_Pop(q_, out, 0), 0);
    EXPECT_EQ(KORCHQUE_Pop(q_, out, -4), 0);
    ASSERT_EQ(KORCHQUE_Pop(q_, out, 100), 4);
    EXPECT_EQ(std::string(out, 4), std::string("Dx\0y", 4));
    EXPECT_EQ(q_->head, nullptr);
    EXPECT_EQ(q_->tail, nullptr);
    EXPECT_EQ(KORCHQUE_Pop(q_, out, 5), 0);
    expectConsistent(q_);
}

TEST_F(QueueTest, PushBeyondCapacityKeepsTheFirstBytesAndNeverDisplaces) {
    push(std::string(8150, 'a'));
    std::string more(100, 'b');
    more[41] = 'c';
    more[42] = 'd';
    push(more);
    ASSERT_EQ(q_->count, KORCHQUE_CAPACITY);
    const std::string all = shown(q_);
    EXPECT_EQ(all.substr(0, 8150), std::string(8150, 'a'));
    EXPECT_EQ(all.substr(8150), more.substr(0, 42));
    push("zzz");  // full: nothing more is stored
    EXPECT_EQ(q_->count, KORCHQUE_CAPACITY);
    EXPECT_EQ(q_->tail->data, 'c');
    expectConsistent(q_);
}

TEST_F(QueueTest, ShowCopiesWithoutRemovingAndLeavesBufferAloneWhenEmpty) {
    char buf[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(KORCHQUE_Show(q_, buf), 0);
    EXPECT_EQ(std::string(buf, 4), "####");
    push("hey");
    EXPECT_EQ(KORCHQUE_Show(q_, nullptr), 3);
    EXPECT_EQ(KORCHQUE_Show(q_, buf), 3);
    EXPECT_EQ(std::string(buf, 4), "hey#");
    EXPECT_EQ(q_->count, 3);
}

TEST_F(QueueTest, ClearEmptiesAndFailsCleanlyWithoutScratchMemory) {
    EXPECT_EQ(KORCHQUE_Clear(q_), 0);  // empty queue
    push("12345");
    vc::hooks::failAfter(Site::Malloc, 0);
    EXPECT_EQ(KORCHQUE_Clear(q_), -1);
    EXPECT_EQ(shown(q_), "12345");
    vc::hooks::failAfter(Site::Malloc, 0);
    EXPECT_EQ(KORCHQUE_Delete(q_), -1);  // the queue is kept
    EXPECT_EQ(shown(q_), "12345");
    EXPECT_EQ(KORCHQUE_Clear(q_), 0);
    EXPECT_EQ(q_->count, 0);
    expectConsistent(q_);
    push("after");
    EXPECT_EQ(shown(q_), "after");
}

TEST_F(QueueTest, FailedNodeAllocationKeepsWhatWasStoredConsistent) {
    push("ab");
    vc::hooks::failAfter(Site::Malloc, 3);  // the 4th node of this push fails
    push("cdefgh");
    vc::hooks::reset();
    EXPECT_EQ(shown(q_), "abcde");
    expectConsistent(q_);
    push("Z");
    EXPECT_EQ(shown(q_), "abcdeZ");
    expectConsistent(q_);
}

TEST(QueueNull, EveryOperationAcceptsAMissingQueue) {
    char buf[4];
    EXPECT_EQ(KORCHQUE_Push(nullptr, "ab", 2), 0);
    EXPECT_EQ(KORCHQUE_Pop(nullptr, buf, 4), 0);
    EXPECT_EQ(KORCHQUE_Show(nullptr, buf), 0);
    EXPECT_EQ(KORCHQUE_Clear(nullptr), 0);
    EXPECT_EQ(KORCHQUE_Delete(nullptr), 0);
    vc::hooks::failAfter(Site::Malloc, 0);
    EXPECT_EQ(KORCHQUE_Create(), nullptr);
    vc::hooks::reset();
}

}  // namespace
