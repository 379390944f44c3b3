// Helpers of the platform unit tests: run a lambda as a platform task and wait
// for events with a generous bound (a hang fails the test instead of blocking).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <semaphore>
#include <string>
#include <thread>
#include <utility>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "korTest.h"
#include "vc.h"

namespace platformtest {

using namespace std::chrono_literals;

inline constexpr auto kBound = 10s;  // no event in a test takes anywhere near this

using Body = std::function<void()>;

inline void runBody(CtlArg a1, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg,
                    CtlArg) {
    std::unique_ptr<Body> body(reinterpret_cast<Body*>(a1));
    (*body)();
}

// Starts body as a platform task; returns its id (or -1).
inline int startTask(Body body) {
    auto* b = new Body(std::move(body));
    int id = ctlCreateTask(3, 0, runBody, reinterpret_cast<CtlArg>(b), 0, 0, 0, 0, 0, 0, 0, 0, 0);
    if (id < 0) delete b;
    return id;
}

// A one-shot event between a task and the test.
class Event {
public:
    void signal() { sem_.release(); }
    bool waitFor(std::chrono::milliseconds bound = kBound) { return sem_.try_acquire_for(bound); }

private:
    std::binary_semaphore sem_{0};
};

// Sets a flag when destroyed: shows that a deleted task's stack was unwound.
struct UnwindFlag {
    Event* event;
    ~UnwindFlag() { event->signal(); }
};

// Lets a task reach its blocking call (the results do not depend on it).
inline void letItBlock() { std::this_thread::sleep_for(50ms); }

// Starts a task that blocks in `block`, deletes it there, and expects the
// deletion to have ended it (stack unwound) before ctlDeleteTask returned,
// without the blocking call returning. Returns the task's id.
inline int expectDeleteEndsTaskBlockedIn(const std::function<void()>& block) {
    Event unwound;
    std::atomic<bool> returned{false};
    int id = startTask([&] {
        UnwindFlag flag{&unwound};
        block();
        returned = true;
    });
    EXPECT_GT(id, 0);
    if (id <= 0) return id;
    letItBlock();
    EXPECT_EQ(ctlDeleteTask(id), 0);
    EXPECT_TRUE(unwound.waitFor(0ms)) << "ctlDeleteTask returned before the task ended";
    EXPECT_FALSE(returned.load());
    return id;
}

// The platform is tested on its own, without the core's rings.
inline const bool kWithoutCoreRings = [] {
    kortest::LeakCheck::startsCore = false;
    return true;
}();

// Default settings for every test; the base checks for ctlMalloc leaks.
class PlatformTest : public kortest::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        vc::useSettings(vc::Settings{});
    }
};

}  // namespace platformtest

namespace platformtest {

// IPv4 address record for the controller's socket calls.
inline CtlSockAddr makeAddr(const char* ip, std::uint16_t port) {
    CtlSockAddrIn in{};
    in.len = sizeof in;
    in.family = CTL_AF_INET;
    in.port = ctlHtons(port);
    in.addr = ctlInetAddr(ip);
    CtlSockAddr out;
    std::memcpy(&out, &in, sizeof out);
    return out;
}

inline CtlSockAddrIn asIn(const CtlSockAddr& addr) {
    CtlSockAddrIn in;
    std::memcpy(&in, &addr, sizeof in);
    return in;
}

// Local address and port of a socket (port in host order).
inline std::pair<std::string, int> localOf(int s) {
    CtlSockAddr addr{};
    int len = sizeof addr;
    if (ctlGetsockname(s, &addr, &len) != 0) return {"", -1};
    CtlSockAddrIn in = asIn(addr);
    char* text = ctlInetNtoa(in.addr);
    std::string result = text ? text : "";
    ctlFree(text);
    return {result, ctlNtohs(in.port)};
}

// A listening TCP socket on ip, any port.
inline int listenOn(const char* ip, int* port) {
    int s = ctlSocket(CTL_AF_INET, CTL_SOCK_STREAM, 0);
    CtlSockAddr addr = makeAddr(ip, 0);
    if (s < 0 || ctlBind(s, &addr, sizeof addr) != 0 || ctlListen(s, 5) != 0) return -1;
    *port = localOf(s).second;
    return s;
}

inline int connectTo(const char* ip, int port) {
    int s = ctlSocket(CTL_AF_INET, CTL_SOCK_STREAM, 0);
    CtlSockAddr addr = makeAddr(ip, static_cast<std::uint16_t>(port));
    if (s < 0) return -1;
    if (ctlConnect(s, &addr, sizeof addr) != 0) {
        ctlClose(s);
        return -1;
    }
    return s;
}

// Settings of a controller at `address` (a loopback address of its own).
inline vc::Settings controllerAt(const char* address) {
    vc::Settings s;
    s.address = address;
    return s;
}

}  // namespace platformtest
