// Start parameters and the command handshake, with ArvoKOR running on a
// virtual controller and the test playing the robot job.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "korApp.h"
#include "korObserve.h"
#include "korObserveInternal.h"
#include "korRing.h"
#include "vcFixture.h"

namespace {

using vc::hooks::failAfter;
using vc::hooks::failVar;
using vc::hooks::Site;

using kortest::occurrences;

class StartParameters : public VirtualControllerTest {
protected:
    // Writes S092 as the two halves the platform keeps; returns the reader's result.
    int read(const char* first, const char* second = "") {
        const CtlVarInfo ref{CTL_VAR_S_INFO, 92};
        CtlSVarInfoData data{};
        std::strncpy(data.half[0], first, 16);
        std::strncpy(data.half[1], second, 16);
        EXPECT_EQ(ctlPutSVarInfo(&ref, &data, 1), 0);
        return kor_readParameters(&base, &slots);
    }
    int base = 0, slots = 0;
};

TEST_F(StartParameters, Cases) {
    const struct {
        const char *first, *second;
        int result, base, slots;
    } cases[] = {{"100:4", "", 0, 100, 4},
                 {"200:12", "", 0, 200, 8},
                 {"200:0", "", 0, 200, 1},
                 {"200:-3", "", 0, 200, 1},
                 {"abc:3", "", 0, 0, 3},
                 {"::7::2:", "", 0, 7, 2},
                 {"0000000000000100", ":6", 0, 100, 6},  // the halves are joined
                 {"100", "", -4, -1, -1},
                 {"100:4:1", "", -4, -1, -1},
                 {"", "", -2, -1, -1}};
    for (const auto& c : cases) {
        EXPECT_EQ(read(c.first, c.second), c.result) << c.first;
        if (c.result == 0) {
            EXPECT_EQ((std::array{base, slots}), (std::array{c.base, c.slots})) << c.first;
        }
    }
    failVar(false, CTL_VAR_S_INFO, 92, 92);
    EXPECT_EQ(read("100:4"), -1);
}

// 4 ms at any clock rate, rounded up to whole ticks and never 0.
TEST(PollDelay, FourMillisecondsAtAnyClockRate) {
    for (const auto [rate, ticks] :
         {std::array{1000, 4}, std::array{1500, 6}, std::array{500, 2}, std::array{100, 1}}) {
        vc::Settings s;
        s.clockRate = rate;
        vc::useSettings(s);
        EXPECT_EQ(korPollDelayTicks(), ticks) << rate << " Hz";
    }
    vc::useSettings(vc::Settings{});
}

// S092 is empty in a new state file, so the launcher polls base 100, 4 slots.
class Handshake : public VirtualControllerTest {
protected:
    // The launcher clears the command area once it runs; wait for that, so it
    // cannot wipe a command of the test. An undefined command answers 240 as
    // soon as the launcher polls.
    void SetUp() override {
        VirtualControllerTest::SetUp();
        setI(103, 999);
        ASSERT_TRUE(waitFor([&] {
            setB(100, 10);
            return waitFor([&] { return b(999) == 240; }, 20);
        }));
        ASSERT_TRUE(taken(0));
    }
    void issue(int slot, int id, std::array<int, 10> p) {  // parameters first, as a job does
        for (int j = 0; j < 10; ++j) setI(100 + 10 * slot + j, p[j]);
        setB(100 + slot, id);
    }
    bool taken(int slot) {
        return waitFor([&] { return b(100 + slot) == 0; });
    }
    bool resultIs(int var, int value) {
        return waitFor([&] { return b(var) == value; });
    }
};

TEST_F(Handshake, ParametersReachTheCommandInOrder) {
    issue(1, 8, {0, 400, 0, 301, 0, 0, 0, 0, 1, 0});  // INFO 1: version text into B p1..
    ASSERT_TRUE(taken(1));
    ASSERT_TRUE(resultIs(301, 4));
    EXPECT_EQ(b(400), '1');
}

TEST_F(Handshake, AllSlotsOfOnePassAndUndefinedNumbers) {
    const int ids[] = {10, 19, 39, 199};
    for (int k = 0; k < 4; ++k) setI(100 + 10 * k + 3, 310 + k);
    {
        vc::StateFile::Access a(*job);  // the four IDs appear in the same pass
        for (int k = 0; k < 4; ++k) a->b[100 + k] = std::uint8_t(ids[k]);
    }
    for (int k = 0; k < 4; ++k) EXPECT_TRUE(taken(k) && resultIs(310 + k, 240)) << ids[k];
}

TEST_F(Handshake, FailedReadsAndWritesOfTheCommandArea) {
    testing::internal::CaptureStdout();
    // Parameters unreadable: the command is dropped without a result.
    setB(302, 7);
    failVar(false, CTL_VAR_I, 120, 129);
    issue(2, 8, {0, 0, 0, 302, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(taken(2));
    // Command ID not reset: the same command starts again in the next pass.
    failVar(true, CTL_VAR_B, 103, 103);
    issue(3, 8, {0, 0, 0, 303, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(taken(3) && resultIs(303, 255));
    ctlTaskDelay(100);
    EXPECT_EQ(b(302), 7);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(occurrences(out, "Error - Reading command parameters I\r\n"), 1);
    EXPECT_EQ(occurrences(out, "Ret:302"), 0);
    EXPECT_EQ(occurrences(out, "Error - Resetting CommandID\r\n"), 1);
    EXPECT_EQ(occurrences(out, "Info - ArvoKOR command, Param:0 Ret:303\r\n"), 2);
}

TEST_F(Handshake, TaskCreationFallsBackThenReports254) {
    testing::internal::CaptureStdout();
    failAfter(Site::TaskCreate, 0, 1);
    issue(0, 8, {0, 0, 0, 300, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(taken(0) && resultIs(300, 255));  // started the second way

    failAfter(Site::TaskCreate, 0, 1);
    failAfter(Site::TaskSpawn, 0, 1);
    issue(0, 8, {0, 0, 0, 300, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(taken(0) && resultIs(300, 254));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(occurrences(out, "Error creating default KOR Task. Trying VXWorks thread\r\n"), 2);
    EXPECT_EQ(occurrences(out, "Error - taskSpawn()"), 1);
}

// The console lines after sequence `since` as the admin reply gives them.
std::string consoleAfter(std::uint64_t since) {
    static char body[65536];
    return std::string(body, static_cast<std::size_t>(kor_consoleText(since, body, sizeof body)));
}

std::uint64_t consoleNext() {
    char head[64];
    kor_consoleText(~0ull - 1, head, sizeof head);  // the header alone: "C <next> ..."
    return std::strtoull(head + 2, nullptr, 10);
}

// A line repeated slowly is shown every time; a flood shows three, then its
// count follows within a second without another line, and an unfinished line
// of the flood is shown once it has waited.
class Observe : public VirtualControllerTest {};

TEST_F(Observe, ConsoleFoldsOnlyAFloodAndCountsItFromATimer) {
    testing::internal::CaptureStdout();
    std::printf("start\r\n");  // ends what earlier tests left
    const std::uint64_t first = consoleNext();
    for (int i = 0; i < 3; ++i) {
        std::printf("Received 5 bytes\r\n");
        ctlTaskDelay(ctlMsToTicks(400));  // four take longer than a second
    }
    std::printf("Received 5 bytes\r\n");
    // printf passes a "...\r\n" literal as two writes; the flood still folds.
    for (int i = 0; i < 6; ++i) std::printf("%s\r\n", "Waiting");
    const std::int64_t wrote = korobs::nowMs();
    std::string out;
    while (occurrences(out, "last message repeated") == 0 && korobs::nowMs() - wrote < 5000) {
        ctlTaskDelay(ctlMsToTicks(20));
        out = consoleAfter(first);
    }
    const std::int64_t waited = korobs::nowMs() - wrote;
    std::printf("Test ! 700");  // a prompt: shown at once, no flood
    const std::string shown = testing::internal::GetCapturedStdout();
    EXPECT_LT(waited, 1500) << out;
    EXPECT_EQ(occurrences(shown, "Received 5 bytes\r\n"), 4) << shown;
    EXPECT_EQ(occurrences(shown, "Waiting\r\n"), 3) << shown;
    EXPECT_NE(shown.find("Waiting\r\nlast message repeated 3 times\r\n"), std::string::npos)
        << shown;
    EXPECT_TRUE(shown.ends_with("Test ! 700")) << shown;
    EXPECT_NE(out.find(" 3 last message repeated 3 times\n"), std::string::npos) << out;
}

// A command's lines reach its journal entry from its own task only: a line
// of another task printed in the middle of the command's own unfinished line
// stays out of it, and the command's line stays whole.
TEST_F(Observe, JournalKeepsOnlyTheCommandTasksOwnText) {
    testing::internal::CaptureStdout();
    const std::int32_t p[KOR_JOURNAL_PARAMS] = {};
    const int ticket = kor_commandBegin(2, 77, p);
    ASSERT_GT(ticket, 0);
    CtlSemId half = ctlSemBCreate(0, 0), other = ctlSemBCreate(0, 0);
    std::thread command([&] {
        kor_commandAttach(ticket);
        std::printf("Received ");
        ctlSemGive(half);
        ctlSemTake(other, CTL_WAIT_FOREVER);
        std::printf("7 bytes\r\n");
        kor_commandResult(3);
    });
    ctlSemTake(half, CTL_WAIT_FOREVER);
    std::printf("Info - another task's line\r\n");
    ctlSemGive(other);
    command.join();
    ctlSemDelete(half);
    ctlSemDelete(other);
    testing::internal::GetCapturedStdout();
    char body[8192];
    const std::string journal(body,
                              static_cast<std::size_t>(kor_journalText(0, body, sizeof body)));
    const std::size_t entry = journal.rfind(" 2 77 3 ");
    ASSERT_NE(entry, std::string::npos) << journal;
    const std::string text = journal.substr(journal.find('\n', entry) + 1);
    EXPECT_TRUE(text.starts_with("L Received 7 bytes\n")) << text;
    EXPECT_EQ(occurrences(text, "another task"), 0) << text;
}

// Writers that land on the same slots at once never hand a reader a mixed
// record: every record read is one writer's whole, and each writer's records
// come in the order of their sequence numbers. A capacity of 1 is refused.
TEST(Ring, ConcurrentWritersNeverTearARecord) {
    struct Record {
        std::uint64_t words[6];
    };
    KorRing<Record> tooSmall;
    EXPECT_FALSE(tooSmall.allocate(1));
    static KorRing<Record> ring;  // its memory stays reachable, as the program's rings
    ASSERT_TRUE(ring.allocate(4));
    kortest::LeakCheck::start();  // the ring's block lives as long as the process
    constexpr int kWriters = 4, kReaders = 2, kRecords = 20000;
    std::atomic<int> writing{kWriters};
    std::atomic<long> checked{0}, torn{0}, disorder{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w)
        threads.emplace_back([&, w] {
            for (std::uint64_t c = 1; c <= kRecords; ++c) {
                Record r;
                for (auto& word : r.words) word = (std::uint64_t(w) << 32) | c;
                ring.publish(r);
            }
            writing.fetch_sub(1);
        });
    for (int k = 0; k < kReaders; ++k)
        threads.emplace_back([&] {
            std::uint64_t last[kWriters] = {};
            std::uint64_t since = 0;
            for (bool done = false; !done;) {
                done = writing.load() == 0;  // one more walk after the last write
                ring.walk(
                    since, ring.next(), [] { return true; },
                    [&](std::uint64_t seq, const Record& r) {
                        since = seq;
                        for (const auto word : r.words)
                            if (word != r.words[0]) ++torn;
                        const auto w = r.words[0] >> 32;
                        const auto c = r.words[0] & 0xffffffffu;
                        if (w >= kWriters || c <= last[w]) ++disorder;
                        else last[w] = c;
                        ++checked;
                    });
                if (since + 1 < ring.oldest()) since = ring.oldest() - 1;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(disorder.load(), 0);
    EXPECT_GT(checked.load(), 0);
}

TEST(Ring, AReaderThatFellBehindFindsTheOldestRecordsGone) {
    struct Record {
        std::uint64_t value;
    };
    static KorRing<Record> ring;  // its memory stays reachable, as the program's rings
    ASSERT_TRUE(ring.allocate(4));
    kortest::LeakCheck::start();  // the ring's block lives as long as the process
    for (std::uint64_t v = 1; v <= 6; ++v) EXPECT_EQ(ring.publish(Record{v * 10}), v);
    Record r{};
    EXPECT_FALSE(ring.read(2, &r));  // overwritten by 6
    EXPECT_TRUE(ring.settled(2));    // gone for good: a reader moves past it
    EXPECT_EQ(ring.oldest(), 3u);
    ASSERT_TRUE(ring.read(3, &r));
    EXPECT_EQ(r.value, 30u);
    EXPECT_FALSE(ring.read(7, &r));  // not written yet
    EXPECT_FALSE(ring.settled(7));   // a reader waits for it
}

}  // namespace
