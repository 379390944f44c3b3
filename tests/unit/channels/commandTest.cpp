// Channel commands run as command tasks run them, inside a virtual controller
// with a variable store: open/close cycles of every channel kind that must
// leave no descriptor, task or pipe device behind, and many command tasks
// working on one channel at once.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "channelSupport.h"
#include "funclib.h"
#include "korCommands.h"
#include "korTransport.h"
#include "peers.h"
#include "vc.h"

namespace {

using namespace chantest;

constexpr int kCycles = 1000;
constexpr int kUnset = 0;  // result variables are preset to this; no command writes it

enum Command {
    TCPCONNECT = 1,
    SENDDATA = 2,
    TCPLISTEN = 3,
    CLOSEHANDLE = 4,
    READDATA = 5,
    RS232OPEN = 7,
    TCPISACCEPTED = 11,
    UDPBIND = 12,
    POSSTREAMCONFIG = 22,
    POSSTREAMSTART = 23,
    POSSTREAMSTOP = 24,
    SPEEDOUTSTART = 26,
    SPEEDOUTSTOP = 27,
};

int bVar(int index) {
    std::int32_t v = -1;
    GetBVar(static_cast<std::uint16_t>(index), &v);
    return v;
}

// Parameters of one command; p3 is its result variable.
struct Params {
    int p[9] = {};
    Params& set(int i, int v) {
        p[i] = v;
        return *this;
    }
    Params& address(const char* dotted) {
        int a = 0, b = 0, c = 0, d = 0;
        std::sscanf(dotted, "%d.%d.%d.%d", &a, &b, &c, &d);
        return set(4, a).set(5, b).set(6, c).set(7, d);
    }
};

KorCommand command(int id, const Params& params) {
    KorCommand cmd{id, {}};
    for (int i = 0; i < 9; ++i) cmd.p[i] = params.p[i];
    return cmd;
}

// Runs a command in the calling task and returns what it wrote into p3.
int run(int id, Params params, int resultVar) {
    params.set(3, resultVar);
    SetBVar(static_cast<std::uint16_t>(resultVar), kUnset);
    korRunCommand(command(id, params));
    return bVar(resultVar);
}

// A command that opens a channel, run in a task of its own that stays to
// serve the channel until it is closed.
class OpeningCommand {
public:
    OpeningCommand(int id, Params params, int resultVar) : resultVar_(resultVar) {
        params.set(3, resultVar);
        SetBVar(static_cast<std::uint16_t>(resultVar), kUnset);
        const KorCommand cmd = command(id, params);
        task_ = std::make_unique<PlatformTask>([cmd] { korRunCommand(cmd); });
    }
    // The handle or error code the command wrote.
    int result() const {
        waitFor([this] { return bVar(resultVar_) != kUnset; });
        return bVar(resultVar_);
    }
    bool ended(std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) const {
        return task_->waitDone(limit);
    }

private:
    int resultVar_;
    std::unique_ptr<PlatformTask> task_;
};

std::string pipeNameOf(int handle) {
    KorTableLock lock(&korHandleTable);
    return record(handle).pipeName;
}

// What a process holds for its channels, counted from the outside.
struct Resources {
    int descriptors = entriesIn("/proc/self/fd");
    int threads = entriesIn("/proc/self/task");
};

class ChannelCommandTest : public kortest::LeakCheckedTest {
protected:
    void SetUp() override {
        vc::hooks::reset();
        char tmpl[] = "/tmp/kor-chancmd-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::filesystem::create_directories(dir_ + "/jobs");
        settings_.statePath = dir_ + "/test.state";
        settings_.jobsDir = dir_ + "/jobs";
        settings_.ftpServer = "off";
        configure(settings_);
        // No launcher and no admin server: the test is the command launcher.
        ASSERT_EQ(vc::startWith(settings_, [] {}), 0);
        started_ = true;
        KORHDLTBL_Init(&korHandleTable);
        LeakCheckedTest::SetUp();
    }
    void TearDown() override {
        KORHDLTBL_RequestCloseAll(&korHandleTable);
        for (int h = 1; h < KORHDLTBL_SIZE; ++h) {
            EXPECT_TRUE(waitFor([h] { return !inUse(h); })) << "channel " << h << " never released";
        }
        if (started_) vc::stop();
        ptys_.reset();
        std::filesystem::remove_all(dir_);
        LeakCheckedTest::TearDown();
    }
    virtual void configure(vc::Settings&) {}

    // A pty pair from socat: "\COM1" is one end, the returned path the other.
    std::string ptyPair(vc::Settings& s) {
        ptys_ = std::make_unique<kortest::PtyPair>(dir_ + "/ttyA", dir_ + "/ttyB");
        s.com1 = ptys_->a();
        return ptys_->b();
    }

    // Closes the channel with CLOSEHANDLE and waits until it is released.
    void closeChannel(int handle, int resultVar = 301) {
        ASSERT_EQ(run(CLOSEHANDLE, Params().set(8, handle), resultVar), 255);
        ASSERT_TRUE(waitFor([handle] { return !inUse(handle); }));
    }

    // Opens and closes a channel kCycles times (whileOpen runs with each
    // handle): afterwards the process holds as many descriptors and threads
    // as before, and every pipe device made for a channel is gone again.
    void openCloseCycles(
        int id, const Params& params, const std::function<void()>& whileOpen = [] {}) {
        std::vector<std::string> pipes;
        auto cycle = [&] {
            OpeningCommand open(id, params, 300);
            const int h = open.result();
            ASSERT_TRUE(h >= 1 && h <= 19) << h;
            whileOpen();
            pipes.push_back(pipeNameOf(h));
            closeChannel(h);
            ASSERT_TRUE(open.ended());  // the next cycle reuses the port
        };
        const Resources before = afterFirst(cycle);
        for (int i = 0; i < kCycles && !HasFatalFailure(); ++i) cycle();
        expectNothingLeft(before, pipes);
    }

    // Runs the first cycle, which sets up what the platform keeps for good,
    // and counts once its task has gone and the descriptors have settled (an
    // ended task's records are reclaimed a moment after its thread).
    template <class Cycle>
    static Resources afterFirst(Cycle& cycle) {
        const int threads = Resources().threads;
        cycle();
        waitFor([threads] { return Resources().threads <= threads; });
        Resources last;
        auto steadySince = std::chrono::steady_clock::now();
        waitFor([&] {
            const Resources now;
            if (now.descriptors != last.descriptors) {
                last = now;
                steadySince = std::chrono::steady_clock::now();
            }
            return std::chrono::steady_clock::now() - steadySince > 200ms;
        });
        return last;
    }

    void expectNothingLeft(const Resources& before, const std::vector<std::string>& pipes) {
        EXPECT_TRUE(waitFor([&] { return Resources().threads <= before.threads; }))
            << Resources().threads << " threads, " << before.threads << " before";
        waitFor([&] { return Resources().descriptors <= before.descriptors; });
        EXPECT_EQ(Resources().descriptors, before.descriptors);
        int left = 0;
        for (const std::string& name : pipes) {
            ASSERT_FALSE(name.empty()) << "a channel without a wake-up pipe";
            const int fd = vx::open(name.c_str(), vx::O_RDWR_, 0);
            if (fd != -1) {
                ++left;
                vx::close(fd);
            }
        }
        EXPECT_EQ(left, 0) << "pipe devices left behind";
    }

    vc::Settings settings_;
    std::string dir_;
    bool started_ = false;
    std::unique_ptr<kortest::PtyPair> ptys_;
};

TEST_F(ChannelCommandTest, TcpClientCyclesLeaveNothingBehind) {
    int port = 0;
    Fd listener(listenOn("127.0.0.1", &port));
    openCloseCycles(TCPCONNECT, Params().address("127.0.0.1").set(0, port),
                    [&] { Fd peer(::accept(listener.get(), nullptr, nullptr)); });
}

TEST_F(ChannelCommandTest, ListeningCyclesLeaveNothingBehind) {
    openCloseCycles(TCPLISTEN, Params().set(0, unusedPort("127.0.0.1")));
}

TEST_F(ChannelCommandTest, UdpCyclesLeaveNothingBehind) {
    openCloseCycles(UDPBIND,
                    Params().address("127.0.0.1").set(0, 9).set(1, unusedPort("127.0.0.1")));
}

class SerialCommandTest : public ChannelCommandTest {
protected:
    void configure(vc::Settings& s) override { line_ = ptyPair(s); }
    std::string line_;
};

TEST_F(SerialCommandTest, SerialCyclesLeaveNothingBehind) {
    ASSERT_FALSE(line_.empty()) << "socat made no ptys";
    Fd line(::open(line_.c_str(), O_RDWR | O_NOCTTY));
    ASSERT_NE(line.get(), -1);
    openCloseCycles(RS232OPEN, Params().set(0, 1).set(4, 11520).set(5, 8).set(6, 0).set(7, 1));
}

// With every channel taken, each opening command refuses and closes the
// transport it opened: the peer sees the close, ports can be used again.
TEST_F(SerialCommandTest, TransportsOpenedWhileTheTableIsFullAreClosedAgain) {
    ASSERT_FALSE(line_.empty()) << "socat made no ptys";
    std::vector<int> fillers;
    testing::internal::CaptureStdout();  // one task: only the first filler gets a pipe
    for (int h; (h = KORHDLTBL_GetHandle(&korHandleTable, KORHDLTYPE_NONE, -1)) != -1;) {
        fillers.push_back(h);
    }
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(fillers.size(), 19u);

    int port = 0;
    Fd listener(listenOn("127.0.0.1", &port));
    testing::internal::CaptureStdout();
    OpeningCommand connect(TCPCONNECT, Params().address("127.0.0.1").set(0, port), 300);
    EXPECT_EQ(connect.result(), 251);
    Fd peer(::accept(listener.get(), nullptr, nullptr));
    bool closed = false;
    readFor(peer.get(), 5000, 1, &closed);
    EXPECT_TRUE(closed);

    const int listenPort = unusedPort("127.0.0.1");
    OpeningCommand listen(TCPLISTEN, Params().set(0, listenPort), 303);
    EXPECT_EQ(listen.result(), 254);
    const int udpPort = unusedPort("127.0.0.1");
    OpeningCommand udp(UDPBIND, Params().address("127.0.0.1").set(0, 9).set(1, udpPort), 304);
    EXPECT_EQ(udp.result(), 251);
    OpeningCommand serial(RS232OPEN, Params().set(0, 1), 305);
    EXPECT_EQ(serial.result(), 251);
    for (const OpeningCommand* c : {&connect, &listen, &udp, &serial}) EXPECT_TRUE(c->ended());
    const std::string out = testing::internal::GetCapturedStdout();
    for (const char* text :
         {"Error - TCPCONNECT: no free handle\r\n", "Error - no free handle available\r\n",
          "Error - UDPBIND: no free handle\r\n", "Error - RS232OPEN: no free handle\r\n"}) {
        EXPECT_NE(out.find(text), std::string::npos) << text;
    }

    int s = -1;
    EXPECT_EQ(kor_startTCPListen(static_cast<unsigned>(listenPort), &s), 0);
    ctlClose(s);
    EXPECT_EQ(kor_startUDPBind(udpPort, &s), 0);
    ctlClose(s);
    const int rs = ctlRsOpen("\\COM1");
    EXPECT_GE(rs, 0);
    ctlRsClose(rs);
    testing::internal::CaptureStdout();
    for (int h : fillers) KORHDLTBL_CloseHandle(&korHandleTable, h);
    testing::internal::GetCapturedStdout();
}

TEST_F(ChannelCommandTest, AcceptedConnectionCyclesLeaveNothingBehind) {
    const int port = unusedPort("127.0.0.1");
    OpeningCommand listen(TCPLISTEN, Params().set(0, port), 300);
    const int listener = listen.result();
    ASSERT_TRUE(listener >= 1 && listener <= 19) << listener;
    const Params lookup = Params().address("127.0.0.7").set(8, listener);
    std::vector<std::string> pipes;
    auto cycle = [&] {
        Fd client(connectFrom("127.0.0.7", "127.0.0.1", port));
        ASSERT_NE(client.get(), -1);
        int h = 249;
        ASSERT_TRUE(waitFor([&] { return (h = run(TCPISACCEPTED, lookup, 302)) != 249; }));
        ASSERT_TRUE(h >= 1 && h <= 19) << h;
        pipes.push_back(pipeNameOf(h));
        closeChannel(h);
        bool closed = false;
        readFor(client.get(), 5000, 1, &closed);
        ASSERT_TRUE(closed);
    };
    const Resources before = afterFirst(cycle);
    for (int i = 0; i < kCycles && !HasFatalFailure(); ++i) cycle();
    expectNothingLeft(before, pipes);
    closeChannel(listener);
    EXPECT_TRUE(listen.ended());
}

// Readers, senders and look-ups as separate command tasks on one TCP channel,
// then a CLOSEHANDLE while they are still at it.
TEST_F(ChannelCommandTest, ManyCommandTasksOnOneChannelAtOnce) {
    int port = 0;
    Fd listener(listenOn("127.0.0.1", &port));
    OpeningCommand open(TCPCONNECT, Params().address("127.0.0.1").set(0, port), 300);
    const int h = open.result();
    ASSERT_TRUE(h >= 1 && h <= 19) << h;
    Fd peer(::accept(listener.get(), nullptr, nullptr));

    // The peer sends a counter 0..250 repeated: whatever each READDATA gets
    // must be one unbroken run of it, and all reads together every byte. The
    // peer keeps less than half a queue unread, so nothing is dropped.
    constexpr int kBytes = 40000;
    std::atomic<int> read{0};
    std::thread feeder([&] {
        std::string chunk;
        for (int i = 0; i < kBytes; ++i) {
            chunk.push_back(static_cast<char>(i % 251));
            if (chunk.size() == 400 || i == kBytes - 1) {
                waitFor([&] { return i + 1 - read.load() < KORCHQUE_CAPACITY / 2; }, 20s);
                sendAll(peer.get(), chunk);
                chunk.clear();
            }
        }
    });

    const std::int32_t ping[4] = {'p', 'i', 'n', 'g'};
    ASSERT_EQ(SetMultiBVar(100, ping, 4), 0);
    std::atomic<bool> drained{false};
    std::atomic<int> broken{0}, sent{0}, odd{0};
    std::vector<int> lastResult(7, -1);
    std::vector<std::unique_ptr<PlatformTask>> tasks;
    for (int r = 0; r < 4; ++r) {
        tasks.push_back(std::make_unique<PlatformTask>([&, r] {
            const int first = 400 + 130 * r, resultVar = 310 + r;
            for (;;) {
                const int n = run(READDATA, Params().set(1, first).set(2, 128).set(8, h),
                                  resultVar);
                lastResult[static_cast<std::size_t>(r)] = n;
                if (n == 252) return;
                if (n == 253) {
                    ctlTaskDelay(1);
                    continue;
                }
                if (n < 1 || n > 128) {
                    ++odd;
                    return;
                }
                std::int32_t got[128];
                GetMultiBVar(static_cast<std::uint16_t>(first), got, n);
                for (int i = 1; i < n; ++i) {
                    if (got[i] != (got[i - 1] + 1) % 251) ++broken;
                }
                read += n;
            }
        }));
    }
    for (int w = 0; w < 2; ++w) {
        tasks.push_back(std::make_unique<PlatformTask>([&, w] {
            for (;;) {
                const int n = run(SENDDATA, Params().set(1, 100).set(2, 4).set(8, h), 320 + w);
                lastResult[static_cast<std::size_t>(4 + w)] = n;
                if (n == 252) return;
                // A send under way when the close came is cut short by it.
                if (n == 254 && drained) return;
                if (n != 4) {
                    ++odd;
                    return;
                }
                sent += 4;
                ctlTaskDelay(drained ? 5 : 1);  // the peer reads only at the end
            }
        }));
    }
    tasks.push_back(std::make_unique<PlatformTask>([&] {
        // Not a listening channel: never an accepted connection.
        const Params lookup = Params().address("127.0.0.1").set(8, h);
        for (;;) {
            const int n = run(TCPISACCEPTED, lookup, 330);
            lastResult[6] = n;
            if (n == 252) return;
            if (n != 249) {
                ++odd;
                return;
            }
            ctlTaskDelay(1);
        }
    }));

    feeder.join();
    EXPECT_TRUE(waitFor([&] { return read.load() == kBytes; }, 20s)) << read.load();
    drained = true;
    EXPECT_EQ(run(CLOSEHANDLE, Params().set(8, h), 301), 255);
    EXPECT_TRUE(open.ended());
    for (auto& t : tasks) EXPECT_TRUE(t->waitDone());
    EXPECT_EQ(odd.load(), 0);
    EXPECT_EQ(broken.load(), 0);
    EXPECT_EQ(read.load(), kBytes);
    // Each task saw the channel go: a sender either at its next send or in one cut short.
    for (std::size_t k = 0; k < lastResult.size(); ++k)
        EXPECT_TRUE(lastResult[k] == 252 || (k >= 4 && k <= 5 && lastResult[k] == 254))
            << k << ": " << lastResult[k];
    EXPECT_GT(sent.load(), 0);
    EXPECT_EQ(readFor(peer.get(), 1000).size(), static_cast<std::size_t>(sent.load()));
}

// The stream commands of several slots at once: every start and stop sees
// settings and task ids whole (no task deleted or socket closed twice), and
// the last stops leave no task or socket behind.
TEST_F(ChannelCommandTest, StreamCommandsFromSeveralSlotsAtOnce) {
    // What this task keeps for good once it has issued a command is counted in.
    EXPECT_EQ(run(POSSTREAMSTOP, Params(), 301), 1);
    const Resources before;
    const Params stream = Params().address("127.0.0.1").set(0, 9);  // nobody listens there
    const Params config = Params().set(4, 0).set(5, 0).set(6, 0);
    std::atomic<int> odd{0};
    std::vector<std::unique_ptr<PlatformTask>> slots;
    for (int k = 0; k < 4; ++k) {
        slots.push_back(std::make_unique<PlatformTask>([&, k] {
            const int resultVar = 310 + k;
            for (int i = 0; i < 40; ++i) {
                const int results[] = {run(POSSTREAMCONFIG, config, resultVar),
                                       run(POSSTREAMSTART, stream, resultVar),
                                       run(SPEEDOUTSTART, Params().set(5, 480 + 20 * k), resultVar),
                                       run(k % 2 ? POSSTREAMSTOP : SPEEDOUTSTOP, Params(),
                                           resultVar)};
                for (int r : results) odd += r == 1 ? 0 : 1;
            }
        }));
    }
    for (auto& slot : slots) EXPECT_TRUE(slot->waitDone(60s));
    EXPECT_EQ(odd.load(), 0);
    EXPECT_EQ(run(POSSTREAMSTOP, Params(), 301), 1);
    EXPECT_EQ(run(SPEEDOUTSTOP, Params(), 301), 1);
    EXPECT_TRUE(waitFor([&] { return Resources().threads <= before.threads; }))
        << Resources().threads << " threads, " << before.threads << " before";
    EXPECT_TRUE(waitFor([&] { return Resources().descriptors <= before.descriptors; }))
        << Resources().descriptors << " descriptors, " << before.descriptors << " before";
}

// Mode 1 streams what one read of the I/O signal and the registers gives: an
// address that cannot be read is refused rather than streamed as zeros.
TEST_F(ChannelCommandTest, RegisterStreamRefusesAnUnreadableIoAddress) {
    const Params unreadable = Params().set(4, 0).set(5, 0).set(6, 0).set(7, 99999999);
    EXPECT_EQ(run(POSSTREAMCONFIG, Params(unreadable).set(1, 1), 301), 254);
    EXPECT_EQ(run(POSSTREAMSTART, Params().address("127.0.0.1").set(0, 9), 301), 254)
        << "a refused configuration leaves streaming unconfigured";
    EXPECT_EQ(run(POSSTREAMCONFIG, Params(unreadable).set(1, 1).set(7, 10), 301), 1);
    // Mode 0 sends 0 for an I/O signal it cannot read, as documented.
    EXPECT_EQ(run(POSSTREAMCONFIG, unreadable, 301), 1);
}

}  // namespace
