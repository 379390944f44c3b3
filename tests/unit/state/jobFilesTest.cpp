// The controller's job file list over the job directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "korTest.h"
#include "vc.h"

namespace {

class JobFiles : public kortest::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        char tmpl[] = "/tmp/arvokor-jobs-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        vc::Settings s;
        s.jobsDir = dir_;
        vc::useSettings(s);
    }
    void TearDown() override {
        vc::useSettings(vc::Settings{});
        std::system(("rm -rf " + dir_).c_str());
        LeakCheckedTest::TearDown();
    }
    void touch(const std::string& name) { std::ofstream(dir_ + "/" + name) << "/JOB\n"; }
    std::string name(int index, int size = 64) {
        char buf[64] = {};
        if (ctlGetFileName(index, buf, size) != 0) return "<fail>";
        return buf;
    }
    std::string dir_;
};

TEST_F(JobFiles, ListsJobFilesSortedByNameAsOfTheLastRefresh) {
    touch("WELD.JBI");
    touch("A-TEST.JBI");
    touch("lower.jbi");
    touch("notes.txt");
    touch("JBI");
    mkdir((dir_ + "/SUB.JBI").c_str(), 0755);  // a directory is no job file
    EXPECT_EQ(ctlGetFileCount(), 0);
    ASSERT_EQ(ctlRefreshFileList(1), 0);
    ASSERT_EQ(ctlGetFileCount(), 3);
    EXPECT_EQ(name(0), "A-TEST.JBI");
    EXPECT_EQ(name(1), "WELD.JBI");
    EXPECT_EQ(name(2), "lower.jbi");
    EXPECT_EQ(name(3), "<fail>");
    EXPECT_EQ(name(-1), "<fail>");

    // Files that come later appear with the next refresh only.
    touch("B.JBI");
    EXPECT_EQ(ctlGetFileCount(), 3);
    ASSERT_EQ(ctlRefreshFileList(1), 0);
    EXPECT_EQ(ctlGetFileCount(), 4);
    EXPECT_EQ(name(1), "B.JBI");
}

TEST_F(JobFiles, ShortBuffersOtherKindsAndFailures) {
    touch("LONGNAME.JBI");
    ASSERT_EQ(ctlRefreshFileList(1), 0);
    EXPECT_EQ(name(0, 13), "LONGNAME.JBI");  // exactly the name and its NUL
    EXPECT_EQ(name(0, 12), "<fail>");        // a cut name would name another file
    EXPECT_EQ(ctlRefreshFileList(2), -1);

    vc::hooks::failAfter(vc::hooks::Site::FileList, 0);
    EXPECT_EQ(ctlRefreshFileList(1), -1);
    EXPECT_EQ(ctlGetFileCount(), 1);  // the last list stands

    vc::Settings s;
    s.jobsDir = dir_ + "/missing";
    vc::useSettings(s);
    EXPECT_EQ(ctlRefreshFileList(1), -1);
}

}  // namespace
