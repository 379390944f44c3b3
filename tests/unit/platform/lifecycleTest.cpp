// Start and stop of the virtual controller in-process; network identity and time.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platformTest.h"

using namespace platformtest;

namespace {

class Network : public PlatformTest {};

TEST_F(Network, InterfaceAddressesAndHostNameComeFromTheSettings) {
    vc::Settings s = controllerAt("127.0.61.1");
    s.hostname = "cell-7";
    vc::useSettings(s);
    char addr[18] = {};
    EXPECT_EQ(vx::ifAddrGet("gei1", addr), 0);
    EXPECT_STREQ(addr, "127.0.61.1");
    EXPECT_EQ(vx::ifAddrGet("motetsec0", addr), -1);  // no second interface
    EXPECT_EQ(vx::ifAddrGet("eth0", addr), -1);
    s.altAddress = "127.0.61.2";
    vc::useSettings(s);
    EXPECT_EQ(vx::ifAddrGet("motetsec0", addr), 0);
    EXPECT_STREQ(addr, "127.0.61.2");
    vc::hooks::failAfter(vc::hooks::Site::IfAddr, 0);
    EXPECT_EQ(vx::ifAddrGet("gei1", addr), -1);

    char name[128];
    EXPECT_EQ(vx::gethostname(name, sizeof name), 0);
    EXPECT_STREQ(name, "cell-7");
    EXPECT_EQ(vx::gethostname(name, 6), -1);  // no room for the NUL
}

TEST_F(Network, TimeIsTheRealTimeClock) {
    std::int64_t before = std::time(nullptr);
    std::int64_t t = vx::time();
    vx::Timespec ts{};
    ASSERT_EQ(vx::clock_gettime(0, &ts), 0);
    EXPECT_GE(t, before);
    EXPECT_GE(ts.tv_sec, before);
    // time() reads a coarse clock that may still show the previous second.
    EXPECT_LE(ts.tv_sec, std::time(nullptr) + 1);
    EXPECT_GE(ts.tv_nsec, 0);
    EXPECT_LT(ts.tv_nsec, 1000000000);
    EXPECT_EQ(vx::clock_gettime(7, &ts), -1);
}

// The console is one stream: perror's line comes on standard output, in order
// with printf's.
TEST_F(Network, PerrorAppendsTheErrorTextOnTheConsole) {
    testing::internal::CaptureStdout();
    std::printf("before\n");
    errno = ECONNREFUSED;
    vx::perror("Error - ctlConnect()");
    EXPECT_EQ(errno, ECONNREFUSED);
    std::printf("after\n");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, std::string("before\nError - ctlConnect(): ") + std::strerror(ECONNREFUSED) +
                       "\nafter\n");
    // What failed comes after the error text.
    testing::internal::CaptureStdout();
    vx::perror("Error - ctlConnect()", "to 127.0.0.9:7000");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string("Error - ctlConnect(): ") +
                                                          std::strerror(ECONNREFUSED) +
                                                          " (to 127.0.0.9:7000)\n");
}

// Loopback answers; an address that is nobody's gets no answer. Needs ICMP
// sockets (root, or a permissive ping group range).
TEST_F(Network, PingGetsAnAnswerFromLoopbackOnly) {
    vc::useSettings(controllerAt("127.0.61.3"));
    int r = vx::ping("127.0.0.1", 1, 1);
    if (r != 0 && (errno == EPERM || errno == EACCES)) GTEST_SKIP() << "no ICMP socket here";
    EXPECT_EQ(r, 0);
    EXPECT_EQ(vx::ping("127.0.61.4", 2, 1), 0);
    EXPECT_EQ(vx::ping("not-an-address", 1, 1), -1);
    EXPECT_EQ(vx::ping(nullptr, 1, 1), -1);

    // A loopback address whose echo requests are dropped does not answer.
    const char* table = "inet hostcore_ping_test";
    std::string add = std::string("nft 'add table ") + table + "; add chain " + table +
                      " input { type filter hook input priority 0; }; add rule " + table +
                      " input iif \"lo\" ip daddr 127.0.61.99 icmp type echo-request drop'" +
                      " 2>/dev/null";
    if (std::system(add.c_str()) != 0) GTEST_SKIP() << "nft not usable here";
    EXPECT_EQ(vx::ping("127.0.61.99", 1, 1), -1);
    EXPECT_EQ(vx::ping("127.0.61.98", 1, 1), 0);  // others still answer
    std::system((std::string("nft delete table ") + table).c_str());
}

class Lifecycle : public PlatformTest {};

// Stands in for the program's entry point: records its task and ends that
// task as the real one does.
std::atomic<int> rootTask{0};
void fakeRoot() {
    rootTask = ctlTaskIdSelf();
    vx::exit(0);
}

void delayForever(CtlArg ran, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg,
                  CtlArg) {
    reinterpret_cast<std::atomic<bool>*>(ran)->store(true);
    for (;;) ctlTaskDelay(4);
}

TEST_F(Lifecycle, StartRunsTheEntryPointInATaskAndStopEndsTheTasks) {
    vc::Settings s = controllerAt("127.0.61.5");
    s.ftpServer = "off";
    s.statePath = ::testing::TempDir() + "/lifecycle.state";
    s.address = "no-address";
    EXPECT_EQ(vc::startWith(s, fakeRoot), -1);  // refused, nothing started
    EXPECT_EQ(rootTask.load(), 0);
    s.address = "127.0.61.5";
    std::string statePath = s.statePath;
    s.statePath = "/nonexistent-dir/x.state";
    EXPECT_EQ(vc::startWith(s, fakeRoot), -1);  // no state file: refused
    EXPECT_EQ(rootTask.load(), 0);
    s.statePath = statePath;
    ASSERT_EQ(vc::startWith(s, fakeRoot), 0);
    EXPECT_EQ(vc::settings().address, "127.0.61.5");
    EXPECT_EQ(vc::startWith(s, fakeRoot), -1);  // already running

    // Tasks the controller's program left running end with stop.
    Event unwound;
    ASSERT_GT(startTask([&] {
                  UnwindFlag flag{&unwound};
                  for (;;) ctlTaskDelay(4);
              }),
              0);
    vc::stop();
    EXPECT_TRUE(unwound.waitFor(0ms));
    EXPECT_GT(rootTask.load(), 0);
    EXPECT_NE(rootTask.load(), ctlTaskIdSelf());

    // Nor does a task that one of them starts while the stop ends them.
    ASSERT_EQ(vc::startWith(s, fakeRoot), 0);
    Event starting, go;
    std::atomic<bool> grandchildRan{false};
    ASSERT_GT(startTask([&] {
                  starting.signal();
                  go.waitFor();  // not a platform call: the stop cannot end it here
                  ctlCreateTask(3, 0, delayForever, reinterpret_cast<CtlArg>(&grandchildRan), 0, 0,
                                0, 0, 0, 0, 0, 0, 0);
              }),
              0);
    ASSERT_TRUE(starting.waitFor());
    std::thread stopper([] { vc::stop(); });
    letItBlock();
    go.signal();
    stopper.join();
    EXPECT_FALSE(kortest::waitFor([&] { return grandchildRan.load(); }, 200ms))
        << "a task outlived the stop";
    ASSERT_EQ(vc::startWith(s, fakeRoot), 0);  // and it can start again
    vc::stop();
    std::remove(statePath.c_str());
}

// A program that ends without a stop (a test, an error path) has its tasks
// ended before the objects they use (the state file, the hooks) are destroyed.
TEST_F(Lifecycle, TasksStillRunningAtExitEndBeforeTheProgramsObjectsGo) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            startTask([] {
                struct Said {
                    ~Said() { std::fputs("task ended\n", stderr); }
                } said;
                for (;;) ctlTaskDelay(4);
            });
            std::exit(0);
        },
        testing::ExitedWithCode(0), "task ended");
}

}  // namespace
