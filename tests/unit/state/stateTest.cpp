// The state file behind the variable, I/O and robot calls of the platform.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "korTest.h"
#include "vcState.h"

namespace {

class State : public kortest::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        char tmpl[] = "/tmp/arvokor-state-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        settings_.statePath = dir_ + "/arvokor.state";
        settings_.bCount = 300;
        settings_.iCount = 200;
        settings_.dCount = 100;
        settings_.rCount = 100;
        settings_.sCount = 100;
        settings_.pCount = 50;
        settings_.ioCount = 20000;
        settings_.registerCount = 1000;
        open();
    }
    void TearDown() override {
        vc::closeState();
        std::system(("rm -rf " + dir_).c_str());
        LeakCheckedTest::TearDown();
    }
    void open() {
        std::string error;
        ASSERT_EQ(vc::openState(settings_, &error), 0) << error;
    }
    std::unique_ptr<vc::StateFile> client(std::string* error = nullptr) {
        return vc::StateFile::open(settings_.statePath, vc::countsFrom(settings_),
                                   vc::StateFile::Mode::Client, nullptr, error);
    }
    static int put(std::uint16_t type, std::uint16_t index, std::int32_t value) {
        CtlVarData d{type, index, value};
        return ctlPutVarData(&d, 1);
    }
    static std::int32_t get(std::uint16_t type, std::uint16_t index) {
        CtlVarInfo info{type, index};
        std::int32_t v = -12345;
        EXPECT_EQ(ctlGetVarData(&info, &v, 1), 0) << "type " << type << " index " << index;
        return v;
    }
    std::string dir_;
    vc::Settings settings_;
};

TEST_F(State, NumericVariablesKeepTheirWidth) {
    EXPECT_EQ(put(CTL_VAR_B, 7, 0x1ff), 0);
    EXPECT_EQ(get(CTL_VAR_B, 7), 0xff);  // low 8 bits
    EXPECT_EQ(put(CTL_VAR_I, 7, 0x18000), 0);
    EXPECT_EQ(get(CTL_VAR_I, 7), -32768);  // low 16 bits, signed
    EXPECT_EQ(put(CTL_VAR_D, 7, -70000), 0);
    EXPECT_EQ(get(CTL_VAR_D, 7), -70000);
    float f = -1.25f;
    std::int32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    EXPECT_EQ(put(CTL_VAR_R, 7, bits), 0);
    EXPECT_EQ(get(CTL_VAR_R, 7), bits);
    // The kinds are separate: B7 was not touched by the others.
    EXPECT_EQ(get(CTL_VAR_B, 7), 0xff);

    // Several kinds in one call, in request order.
    CtlVarInfo info[3] = {{CTL_VAR_D, 7}, {CTL_VAR_B, 7}, {CTL_VAR_I, 7}};
    std::int32_t out[3] = {};
    ASSERT_EQ(ctlGetVarData(info, out, 3), 0);
    EXPECT_EQ(out[0], -70000);
    EXPECT_EQ(out[1], 0xff);
    EXPECT_EQ(out[2], -32768);
}

TEST_F(State, AnInvalidElementFailsTheWholeCallAndWritesNothing) {
    // Last valid index, then one past it.
    CtlVarData ok[2] = {{CTL_VAR_B, 0, 1}, {CTL_VAR_B, 299, 2}};
    EXPECT_EQ(ctlPutVarData(ok, 2), 0);
    CtlVarData bad[2] = {{CTL_VAR_B, 0, 9}, {CTL_VAR_B, 300, 9}};
    EXPECT_EQ(ctlPutVarData(bad, 2), -1);
    EXPECT_EQ(get(CTL_VAR_B, 0), 1);

    CtlVarData unknownType[2] = {{CTL_VAR_I, 1, 5}, {CTL_VAR_P, 1, 5}};
    EXPECT_EQ(ctlPutVarData(unknownType, 2), -1);
    EXPECT_EQ(get(CTL_VAR_I, 1), 0);
    CtlVarData textByValue{CTL_VAR_S, 1, 5};  // texts are not written this way
    EXPECT_EQ(ctlPutVarData(&textByValue, 1), -1);

    CtlVarInfo reads[2] = {{CTL_VAR_I, 0}, {CTL_VAR_I, 200}};
    std::int32_t out[2] = {77, 77};
    EXPECT_EQ(ctlGetVarData(reads, out, 2), -1);
    EXPECT_EQ(out[0], 77);  // nothing read
    CtlVarInfo weird{99, 0};
    EXPECT_EQ(ctlGetVarData(&weird, out, 1), -1);
    EXPECT_EQ(ctlGetVarData(nullptr, out, 1), -1);
    EXPECT_EQ(ctlGetVarData(reads, out, 0), 0);  // an empty request is fine
}

TEST_F(State, BlocksMayWrapFromTheLastIndexToTheFirst) {
    vc::closeState();
    settings_.bCount = 65536;
    open();
    CtlVarData d[2] = {{CTL_VAR_B, 65535, 11}, {CTL_VAR_B, 0, 12}};
    ASSERT_EQ(ctlPutVarData(d, 2), 0);
    EXPECT_EQ(get(CTL_VAR_B, 65535), 11);
    EXPECT_EQ(get(CTL_VAR_B, 0), 12);
}

TEST_F(State, StringVariablesInHalvesAndAsText) {
    const char* text = "0123456789abcdefGHIJKLMNOPQRSTUV";  // 32 characters
    CtlSVarInfoData in{};
    std::memcpy(in.half[0], text, 16);
    std::memcpy(in.half[1], text + 16, 16);
    CtlVarInfo ref{CTL_VAR_S_INFO, 92};
    ASSERT_EQ(ctlPutSVarInfo(&ref, &in, 1), 0);

    CtlSVarInfoData out;
    std::memset(&out, 'x', sizeof out);
    ASSERT_EQ(ctlGetSVarInfo(&ref, &out, 1), 0);
    EXPECT_STREQ(out.half[0], "0123456789abcdef");
    EXPECT_STREQ(out.half[1], "GHIJKLMNOPQRSTUV");
    EXPECT_EQ(out.half[1][19], 0);  // padding is zero

    // Read as one text: the caller's 33 bytes at the slot of the S reference.
    std::int32_t slots[1 + 9] = {};
    CtlVarInfo refs[2] = {{CTL_VAR_B, 0}, {CTL_VAR_S, 92}};
    ASSERT_EQ(ctlGetVarData(refs, slots, 2), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(slots + 1), text);
    // An S reference that is not the last one would overwrite later slots.
    CtlVarInfo sFirst[2] = {{CTL_VAR_S, 92}, {CTL_VAR_B, 0}};
    EXPECT_EQ(ctlGetVarData(sFirst, slots, 2), -1);

    // A short first half and a second half join up; each half gives at most
    // 16 characters.
    CtlSVarInfoData joined{};
    std::strcpy(joined.half[0], "100");
    std::strcpy(joined.half[1], ":4");
    ASSERT_EQ(ctlPutSVarInfo(&ref, &joined, 1), 0);
    ASSERT_EQ(ctlGetSVarInfo(&ref, &out, 1), 0);
    EXPECT_STREQ(out.half[0], "100:4");
    EXPECT_STREQ(out.half[1], "");
    CtlSVarInfoData overlong{};
    std::memset(overlong.half[0], 'a', 19);
    ASSERT_EQ(ctlPutSVarInfo(&ref, &overlong, 1), 0);
    ASSERT_EQ(ctlGetSVarInfo(&ref, &out, 1), 0);
    EXPECT_EQ(std::strlen(out.half[0]), 16u);

    CtlVarInfo wrongType{CTL_VAR_S, 92};
    EXPECT_EQ(ctlGetSVarInfo(&wrongType, &out, 1), -1);
    CtlVarInfo beyond{CTL_VAR_S_INFO, 100};
    EXPECT_EQ(ctlPutSVarInfo(&beyond, &in, 1), -1);
}

TEST_F(State, PositionVariablesHoldEightWords) {
    auto other = client();
    ASSERT_TRUE(other);
    {
        vc::StateFile::Access a(*other);
        for (int w = 0; w < CTL_POSVAR_WORDS; ++w) a->p[49].word[w] = (w + 1) * -1000;
    }
    CtlVarInfo refs[2] = {{CTL_VAR_P, 0}, {CTL_VAR_P, 49}};
    CtlPosVarData out[2];
    ASSERT_EQ(ctlGetPosVarData(refs, out, 2), 0);
    EXPECT_EQ(out[0].word[0], 0);
    for (int w = 0; w < CTL_POSVAR_WORDS; ++w) EXPECT_EQ(out[1].word[w], (w + 1) * -1000);
    CtlVarInfo beyond{CTL_VAR_P, 50};
    EXPECT_EQ(ctlGetPosVarData(&beyond, out, 1), -1);
    CtlVarInfo wrongType{CTL_VAR_B, 1};
    EXPECT_EQ(ctlGetPosVarData(&wrongType, out, 1), -1);
}

TEST_F(State, IoSignalsAndRegistersAreSixteenBitsAtTheirOwnAddresses) {
    CtlIoData w[3] = {{10016, 0x12345}, {CTL_REGISTER_BASE + 5, 0xffff}, {19999, 3}};
    ASSERT_EQ(ctlWriteIO(w, 3), 0);
    CtlIoInfo r[3] = {{10016}, {CTL_REGISTER_BASE + 5}, {19999}};
    std::uint16_t v[3] = {};
    ASSERT_EQ(ctlReadIO(r, v, 3), 0);
    EXPECT_EQ(v[0], 0x2345);
    EXPECT_EQ(v[1], 0xffff);
    EXPECT_EQ(v[2], 3);

    // Register 5 and signal 5 are different things.
    CtlIoInfo five{5};
    ASSERT_EQ(ctlReadIO(&five, v, 1), 0);
    EXPECT_EQ(v[0], 0);

    // Beyond the signals, between signals and registers, beyond the registers.
    for (std::uint32_t address : {20000u, 500000u, CTL_REGISTER_BASE + 1000}) {
        CtlIoData bad[2] = {{10016, 1}, {address, 1}};
        EXPECT_EQ(ctlWriteIO(bad, 2), -1) << address;
        CtlIoInfo badRead{address};
        EXPECT_EQ(ctlReadIO(&badRead, v, 1), -1) << address;
    }
    ASSERT_EQ(ctlReadIO(r, v, 1), 0);
    EXPECT_EQ(v[0], 0x2345);  // the failed writes wrote nothing
}

TEST_F(State, HooksFailChosenCallsAndElements) {
    vc::hooks::failAfter(vc::hooks::Site::VarRead, 1);
    CtlVarInfo ref{CTL_VAR_B, 3};
    std::int32_t v;
    EXPECT_EQ(ctlGetVarData(&ref, &v, 1), 0);
    EXPECT_EQ(ctlGetVarData(&ref, &v, 1), -1);
    EXPECT_EQ(ctlGetVarData(&ref, &v, 1), 0);

    // One failing element of a block: nothing of the block is written.
    vc::hooks::failVar(true, CTL_VAR_B, 101, 101);
    CtlVarData block[3] = {{CTL_VAR_B, 100, 1}, {CTL_VAR_B, 101, 1}, {CTL_VAR_B, 102, 1}};
    EXPECT_EQ(ctlPutVarData(block, 3), -1);
    EXPECT_EQ(get(CTL_VAR_B, 100), 0);
    EXPECT_EQ(ctlPutVarData(block, 3), 0);  // armed once only
    EXPECT_EQ(get(CTL_VAR_B, 102), 1);

    vc::hooks::failVar(false, CTL_VAR_S_INFO, 92, 92, -1);
    CtlVarInfo s{CTL_VAR_S_INFO, 92};
    CtlSVarInfoData data;
    EXPECT_EQ(ctlGetSVarInfo(&s, &data, 1), -1);
    EXPECT_EQ(ctlGetSVarInfo(&s, &data, 1), -1);

    vc::hooks::failAfter(vc::hooks::Site::IoWrite, 0);
    CtlIoData io{1, 1};
    EXPECT_EQ(ctlWriteIO(&io, 1), -1);
    vc::hooks::failAfter(vc::hooks::Site::CartPos, 0);
    CtlCartPos pos;
    EXPECT_EQ(ctlGetCartPosEx(0, 0, 0, &pos), -1);
    vc::hooks::failAfter(vc::hooks::Site::ServoSpeed, 0);
    std::int32_t speeds[CTL_SERVO_AXES];
    EXPECT_EQ(ctlGetServoSpeed(0, speeds), -1);
}

TEST_F(State, ValuesSurviveARestart) {
    ASSERT_EQ(put(CTL_VAR_D, 99, 123456), 0);
    CtlIoData io{CTL_REGISTER_BASE + 999, 42};
    ASSERT_EQ(ctlWriteIO(&io, 1), 0);
    vc::closeState();
    CtlVarInfo ref{CTL_VAR_D, 99};
    std::int32_t v;
    EXPECT_EQ(ctlGetVarData(&ref, &v, 1), -1);  // no state open
    open();
    EXPECT_EQ(get(CTL_VAR_D, 99), 123456);
    std::uint16_t r;
    CtlIoInfo info{CTL_REGISTER_BASE + 999};
    ASSERT_EQ(ctlReadIO(&info, &r, 1), 0);
    EXPECT_EQ(r, 42);
}

TEST_F(State, ASecondMappingSeesChangesLive) {
    auto other = client();
    ASSERT_TRUE(other);
    EXPECT_EQ(other->counts(), vc::countsFrom(settings_));
    ASSERT_EQ(put(CTL_VAR_B, 150, 9), 0);
    {
        vc::StateFile::Access a(*other);
        ASSERT_TRUE(a.ok());
        EXPECT_EQ(a->b[150], 9);
        a->i[150] = -5;
        a->robot->pos[7].value[2] = 300000;
        a->robot->pos[7].figure = 4;
        a->robot->servo[39][7] = -70000;
    }
    EXPECT_EQ(get(CTL_VAR_I, 150), -5);
    CtlCartPos pos;
    ASSERT_EQ(ctlGetCartPosEx(7, 1, 3, &pos), 0);
    EXPECT_EQ(pos.value[2], 300000);
    EXPECT_EQ(pos.figure, 4);
    EXPECT_EQ(pos.toolNo, 3);
    std::int32_t speeds[CTL_SERVO_AXES];
    ASSERT_EQ(ctlGetServoSpeed(39, speeds), 0);
    EXPECT_EQ(speeds[7], -70000);
    EXPECT_EQ(ctlGetCartPosEx(8, 0, 0, &pos), -1);
    EXPECT_EQ(ctlGetServoSpeed(40, speeds), -1);
}

TEST_F(State, OtherCountsKeepWhatFits) {
    ASSERT_EQ(put(CTL_VAR_B, 10, 1), 0);
    ASSERT_EQ(put(CTL_VAR_B, 250, 2), 0);
    auto old = client();
    ASSERT_TRUE(old);
    vc::closeState();

    // A client adopts the file's counts, whatever its own settings say.
    vc::Settings bigger = settings_;
    bigger.bCount = 1000;
    std::string error;
    auto adopting = vc::StateFile::open(settings_.statePath, vc::countsFrom(bigger),
                                        vc::StateFile::Mode::Client, nullptr, &error);
    ASSERT_TRUE(adopting) << error;
    EXPECT_EQ(adopting->counts().b, 300u);
    adopting.reset();

    settings_.bCount = 200;
    settings_.pCount = 60;
    std::string notice;
    auto rebuilt = vc::StateFile::open(settings_.statePath, vc::countsFrom(settings_),
                                       vc::StateFile::Mode::Owner, &notice, &error);
    ASSERT_TRUE(rebuilt) << error;
    EXPECT_NE(notice.find("b_count 300 -> 200"), std::string::npos) << notice;
    EXPECT_NE(notice.find("p_count 50 -> 60"), std::string::npos) << notice;
    EXPECT_EQ(rebuilt->counts().b, 200u);
    {
        vc::StateFile::Access a(*rebuilt);
        EXPECT_EQ(a->b[10], 1);
    }
    // The old mapping refuses further use instead of writing into a file
    // that is gone.
    vc::StateFile::Access stale(*old);
    EXPECT_FALSE(stale.ok());
}

TEST_F(State, ForeignAndDamagedFilesAreRefused) {
    std::string path = dir_ + "/foreign";
    {
        std::ofstream f(path);
        f << "this is somebody's notes file\n";
    }
    std::string error;
    auto f = vc::StateFile::open(path, vc::countsFrom(settings_), vc::StateFile::Mode::Owner,
                                 nullptr, &error);
    EXPECT_FALSE(f);
    EXPECT_NE(error.find("not a state file"), std::string::npos) << error;
    std::ifstream check(path);
    std::string line;
    std::getline(check, line);
    EXPECT_EQ(line, "this is somebody's notes file");  // left alone

    // A client never makes a state file: neither a missing one nor one left
    // empty by an interrupted creation.
    const std::string missing = dir_ + "/missing.state";
    EXPECT_FALSE(vc::StateFile::open(missing, vc::countsFrom(settings_),
                                     vc::StateFile::Mode::Client, nullptr, &error));
    EXPECT_EQ(error, "no controller state at " + missing + " (arvokor makes it when it starts)");
    EXPECT_NE(access(missing.c_str(), F_OK), 0);
    std::ofstream{missing};
    EXPECT_FALSE(vc::StateFile::open(missing, vc::countsFrom(settings_),
                                     vc::StateFile::Mode::Client, nullptr, &error));
    EXPECT_NE(error.find("no controller state at"), std::string::npos) << error;

    // A state file cut short.
    vc::closeState();
    ASSERT_EQ(truncate(settings_.statePath.c_str(), 5000), 0);
    EXPECT_EQ(vc::openState(settings_, &error), -1);
    EXPECT_NE(error.find("damaged"), std::string::npos) << error;
}

TEST_F(State, AHolderThatDiesDoesNotWedgeTheLock) {
    auto other = client();
    ASSERT_TRUE(other);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto* held = new vc::StateFile::Access(*other);  // never released
        (void)held;
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(put(CTL_VAR_B, 1, 5), 0);  // would block for ever without recovery
    EXPECT_EQ(get(CTL_VAR_B, 1), 5);
}

}  // namespace
