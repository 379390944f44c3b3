// Helpers of the channel tests: platform tasks run from a test and a fresh
// channel table per test.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "korHandleTable.h"
#include "korTest.h"

namespace chantest {

using namespace std::chrono_literals;

// Entries of a directory, such as /proc/self/fd (descriptors held) or
// /proc/self/task (threads running).
inline int entriesIn(const char* dir) {
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n;
}

using kortest::waitFor;

// Runs fn in a platform task (its own name, so its channel gets its own pipe).
class PlatformTask {
public:
    explicit PlatformTask(std::function<void()> fn) : state_(std::make_shared<State>()) {
        state_->fn = std::move(fn);
        auto* keep = new std::shared_ptr<State>(state_);
        if (ctlCreateTask(1, 0, entry, reinterpret_cast<CtlArg>(keep), 0, 0, 0, 0, 0, 0, 0, 0, 0) ==
            -1) {
            delete keep;
            state_->done = true;
        }
    }
    bool done() const { return state_->done.load(); }
    bool waitDone(std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) const {
        return waitFor([this] { return done(); }, limit);
    }

private:
    struct State {
        std::function<void()> fn;
        std::atomic<bool> done{false};
    };
    static void entry(CtlArg a, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg,
                      CtlArg) {
        std::unique_ptr<std::shared_ptr<State>> keep(reinterpret_cast<std::shared_ptr<State>*>(a));
        (*keep)->fn();
        (*keep)->done = true;
    }
    std::shared_ptr<State> state_;
};

// A channel owned by a platform task, as the opening commands own theirs:
// allocates, lets the test fill in the record, runs body(handle) and releases.
class OwnedChannel {
public:
    OwnedChannel(int type, int socket, std::function<int(int)> body)
        : handle_(std::make_shared<std::atomic<int>>(-100)),
          result_(std::make_shared<std::atomic<int>>(-100)),
          task_([h = handle_, r = result_, type, socket, body] {
              const int handle = KORHDLTBL_GetHandle(&korHandleTable, type, socket);
              h->store(handle);
              if (handle == -1) return;
              r->store(body(handle));
              KORHDLTBL_CloseHandle(&korHandleTable, handle);
          }) {}
    // The handle once allocated (-1 when the table was full).
    int handle() const {
        waitFor([this] { return handle_->load() != -100; });
        return handle_->load();
    }
    int result() const { return result_->load(); }
    bool released(std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) const {
        return task_.waitDone(limit);
    }

private:
    std::shared_ptr<std::atomic<int>> handle_;
    std::shared_ptr<std::atomic<int>> result_;
    PlatformTask task_;
};

inline const KORHANDLE& record(int handle) { return KORHDLTBL_Record(&korHandleTable, handle); }

inline bool inUse(int handle) { return KORHDLTBL_GetActiveHandle(&korHandleTable, handle) == 0; }

// Every test starts with a fresh table and must leave no channel and no
// queue memory behind.
class ChannelTest : public kortest::LeakCheckedTest {
protected:
    void SetUp() override {
        vc::hooks::reset();
        KORHDLTBL_Init(&korHandleTable);
        LeakCheckedTest::SetUp();
    }
    void TearDown() override {
        vc::hooks::reset();
        for (int h = 1; h < KORHDLTBL_SIZE; ++h) {
            EXPECT_FALSE(inUse(h)) << "channel " << h << " left open";
        }
        LeakCheckedTest::TearDown();
    }
    void releaseAll() {
        for (int h = 1; h < KORHDLTBL_SIZE; ++h) {
            if (inUse(h)) KORHDLTBL_CloseHandle(&korHandleTable, h);
        }
    }
};

}  // namespace chantest
