// Pipe devices: names, the one-message wake-up pipe, blocking reads.
#include <atomic>
#include <cerrno>

#include "platformTest.h"

using namespace platformtest;

namespace {

class Pipes : public PlatformTest {};

TEST_F(Pipes, DuplicateNameFailsAndTheNameIsFreeAgainAfterDelete) {
    ASSERT_EQ(vx::pipeDevCreate("/pipe/tDup", 1, 1), 0);
    EXPECT_EQ(vx::pipeDevCreate("/pipe/tDup", 1, 1), -1);
    EXPECT_EQ(errno, EEXIST);
    int fd = vx::open("/pipe/tDup", vx::O_RDWR_, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(vx::pipeDevDelete("/pipe/tDup", false), -1);  // still open
    EXPECT_EQ(vx::close(fd), 0);
    EXPECT_EQ(vx::close(fd), -1);
    EXPECT_EQ(vx::pipeDevDelete("/pipe/tDup", false), 0);
    EXPECT_EQ(vx::pipeDevDelete("/pipe/tDup", true), -1);
    EXPECT_EQ(vx::open("/pipe/tDup", vx::O_RDWR_, 0), -1);
    EXPECT_EQ(vx::pipeDevCreate("/pipe/tDup", 1, 1), 0);
    EXPECT_EQ(vx::pipeDevDelete("/pipe/tDup", true), 0);
}

TEST_F(Pipes, WriteToAFullPipeFailsAtOnceAndReadTakesOneMessage) {
    ASSERT_EQ(vx::pipeDevCreate("/pipe/tFull", 1, 1), 0);
    int fd = vx::open("/pipe/tFull", vx::O_RDWR_, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(vx::write(fd, "x", 1), 1);
    // The close request must never block: a pending byte makes it fail.
    EXPECT_EQ(vx::write(fd, "x", 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(vx::write(fd, "xy", 2), -1);  // longer than a message
    char c = 0;
    EXPECT_EQ(vx::read(fd, &c, 1), 1);
    EXPECT_EQ(c, 'x');
    EXPECT_EQ(vx::write(fd, "z", 1), 1);
    EXPECT_EQ(vx::close(fd), 0);
    EXPECT_EQ(vx::pipeDevDelete("/pipe/tFull", true), 0);

    // Larger pipes keep messages apart and in order; a short read cuts one.
    ASSERT_EQ(vx::pipeDevCreate("/pipe/tBig", 3, 8), 0);
    fd = vx::open("/pipe/tBig", vx::O_RDWR_, 0);
    EXPECT_EQ(vx::write(fd, "abc", 3), 3);
    EXPECT_EQ(vx::write(fd, "defgh", 5), 5);
    char buf[8];
    EXPECT_EQ(vx::read(fd, buf, 2), 2);
    EXPECT_EQ(std::string(buf, 2), "ab");
    EXPECT_EQ(vx::read(fd, buf, sizeof buf), 5);
    EXPECT_EQ(std::string(buf, 5), "defgh");
    EXPECT_EQ(vx::close(fd), 0);
    EXPECT_EQ(vx::pipeDevDelete("/pipe/tBig", true), 0);
}

TEST_F(Pipes, ReadWaitsForAMessageAndForcedDeleteWakesIt) {
    ASSERT_EQ(vx::pipeDevCreate("/pipe/tWait", 1, 1), 0);
    int reader = vx::open("/pipe/tWait", vx::O_RDWR_, 0);
    int writer = vx::open("/pipe/tWait", vx::O_RDWR_, 0);
    ASSERT_GE(reader, 0);
    ASSERT_GE(writer, 0);
    std::atomic<int> got{-5};
    char c = 0;
    Event done;
    ASSERT_GT(startTask([&] {
                  got = vx::read(reader, &c, 1);
                  done.signal();
              }),
              0);
    letItBlock();
    EXPECT_FALSE(done.waitFor(0ms));
    EXPECT_EQ(vx::write(writer, "x", 1), 1);
    ASSERT_TRUE(done.waitFor());
    EXPECT_EQ(got.load(), 1);
    EXPECT_EQ(c, 'x');

    ASSERT_GT(startTask([&] {
                  got = vx::read(reader, &c, 1);
                  done.signal();
              }),
              0);
    letItBlock();
    EXPECT_EQ(vx::pipeDevDelete("/pipe/tWait", true), 0);
    ASSERT_TRUE(done.waitFor());
    EXPECT_EQ(got.load(), -1);
    EXPECT_EQ(vx::close(reader), 0);
    EXPECT_EQ(vx::close(writer), 0);
}

TEST_F(Pipes, DeletingATaskBlockedInPipeRead) {
    ASSERT_EQ(vx::pipeDevCreate("/pipe/tDel", 1, 1), 0);
    int fd = vx::open("/pipe/tDel", vx::O_RDWR_, 0);
    expectDeleteEndsTaskBlockedIn([&] {
        char c;
        vx::read(fd, &c, 1);
    });
    // The pipe still works for others.
    EXPECT_EQ(vx::write(fd, "x", 1), 1);
    EXPECT_EQ(vx::close(fd), 0);
    EXPECT_EQ(vx::pipeDevDelete("/pipe/tDel", true), 0);
}

TEST_F(Pipes, HookFailuresAndBadArguments) {
    vc::hooks::failAfter(vc::hooks::Site::PipeCreate, 0);
    EXPECT_EQ(vx::pipeDevCreate("/pipe/tHook", 1, 1), -1);
    ASSERT_EQ(vx::pipeDevCreate("/pipe/tHook", 1, 1), 0);
    vc::hooks::failAfter(vc::hooks::Site::PipeOpen, 0);
    EXPECT_EQ(vx::open("/pipe/tHook", vx::O_RDWR_, 0), -1);
    int fd = vx::open("/pipe/tHook", vx::O_RDWR_, 0);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(vx::close(fd), 0);
    EXPECT_EQ(vx::pipeDevDelete("/pipe/tHook", true), 0);
    EXPECT_EQ(vx::pipeDevCreate("", 1, 1), -1);
    EXPECT_EQ(vx::pipeDevCreate("/pipe/tBad", 0, 1), -1);
    EXPECT_EQ(vx::pipeDevCreate("/pipe/tBad", 1, 0), -1);
}

}  // namespace
