// A virtual controller running ArvoKOR for one test: its own state file and
// loopback address, no FTP server. The test plays the robot job through the
// state file, as korjob does, so armed failures hit only the controller side.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "ctlTestHooks.h"
#include "korTest.h"
#include "vc.h"
#include "vcState.h"

class VirtualControllerTest : public kortest::LeakCheckedTest {
protected:
    virtual void configure(vc::Settings&) {}

    void SetUp() override {
        LeakCheckedTest::SetUp();
        settings = kortest::ownController("kor-frame", 100, &dir);
        configure(settings);
        ASSERT_EQ(vc::start(settings), 0);
        started = true;
        std::string error;
        job = vc::StateFile::open(settings.statePath, vc::countsFrom(settings),
                                  vc::StateFile::Mode::Client, nullptr, &error);
        ASSERT_TRUE(job) << error;
    }

    void TearDown() override {
        vc::hooks::reset();
        job.reset();
        if (started) vc::stop();
        std::filesystem::remove_all(dir);
        LeakCheckedTest::TearDown();
    }

    // The job's side.
    void setB(int index, int value) { vc::StateFile::Access(*job)->b[index] = std::uint8_t(value); }
    int b(int index) { return vc::StateFile::Access(*job)->b[index]; }
    void setI(int index, int value) { vc::StateFile::Access(*job)->i[index] = std::int16_t(value); }
    void setP(int index, std::int32_t word0) {
        vc::StateFile::Access a(*job);
        a->p[index] = CtlPosVarData{};
        a->p[index].word[0] = word0;
    }

    template <class Pred>
    static bool waitFor(Pred pred, int ms = 3000) {
        return kortest::waitFor(pred, std::chrono::milliseconds(ms));
    }

    vc::Settings settings;
    std::filesystem::path dir;
    std::unique_ptr<vc::StateFile> job;
    bool started = false;
};
