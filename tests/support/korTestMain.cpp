// The main of every unit test program: GoogleTest with the leak check around
// each test, fixtures or not.
#include <gtest/gtest.h>

#include "korTest.h"

namespace {

class LeakCheckListener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { kortest::LeakCheck::start(); }
    // Called before the printers' OnTestEnd (it is appended after them), so
    // a leak is reported as a failure of this test.
    void OnTestEnd(const ::testing::TestInfo&) override { kortest::LeakCheck::end(); }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new LeakCheckListener);
    return RUN_ALL_TESTS();
}
