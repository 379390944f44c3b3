// Configuration files: reading, writing, file names, text helpers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "korTest.h"
#include "rconfig.h"
#include "rconfigText.h"

namespace fs = std::filesystem;

namespace {

// A temporary directory per test, removed afterwards; also checks that the
// test released every text it was handed.
class RconfigTest : public kortest::LeakCheckedTest {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("rconfig-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
               "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
        LeakCheckedTest::SetUp();
    }
    void TearDown() override {
        fs::remove_all(dir);
        LeakCheckedTest::TearDown();
    }
    std::string file(const std::string& name, const std::string& content) {
        const fs::path p = dir / name;
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }
    static std::string slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Takes ownership of a returned text.
    static std::string take(char* text) {
        std::string s = text ? text : "<null>";
        ctlFree(text);
        return s;
    }

    fs::path dir;
};

struct Values {
    char* v[4] = {};
    ~Values() {
        for (char* p : v) ctlFree(p);
    }
};

const char* const KEYS[] = {"ip", "port", "name", nullptr};

TEST_F(RconfigTest, ReadsSettingsAndSkipsCommentsBlankAndMalformedLines) {
    const std::string path = file("a.conf",
                                  "# only a comment\n"
                                  "\n"
                                  "no equals sign here\n"
                                  " \t ip \t=  \t10 \t # the device\n"
                                  "unknown = 7\n"
                                  "IP = 99\n"  // keys are case sensitive
                                  "name = a=b=c\n"
                                  "port=#no value after comment cut\n");
    Values values;
    EXPECT_EQ(read_config_file(path.c_str(), KEYS, values.v), 3);
    EXPECT_STREQ(values.v[0], "10");
    EXPECT_STREQ(values.v[1], "");
    EXPECT_STREQ(values.v[2], "a=b=c");
}

TEST_F(RconfigTest, LaterLineWinsAndReleasesTheEarlierValue) {
    const std::string path = file("b.conf", "port = 1\nport = 2\nport = 3\n");
    Values values;
    // A caller's own entry (here a literal) is replaced but never released.
    static char preset[] = "preset";
    values.v[2] = preset;
    const std::string path2 = file("c.conf", "name = new\n");
    EXPECT_EQ(read_config_file(path.c_str(), KEYS, values.v), 3);  // each line counts
    EXPECT_STREQ(values.v[1], "3");
    EXPECT_EQ(read_config_file(path2.c_str(), KEYS, values.v), 1);
    EXPECT_STREQ(values.v[2], "new");
    // The leak check in TearDown proves the earlier "1" and "2" were released.
}

TEST_F(RconfigTest, CarriageReturnIsKeptAndLongLinesContinue) {
    std::string longValue(1500, 'x');
    const std::string path = file("d.conf", "ip = 10\r\nname = " + longValue + "\n");
    Values values;
    EXPECT_EQ(read_config_file(path.c_str(), KEYS, values.v), 1 + 1);
    EXPECT_STREQ(values.v[0], "10\r");
    // The first 1023 characters make one line; the rest has no '=' and is skipped.
    EXPECT_EQ(std::string(values.v[2]), std::string(1023 - 7, 'x'));
}

TEST_F(RconfigTest, MissingFileAndOutOfMemory) {
    Values values;
    EXPECT_EQ(read_config_file((dir / "none.conf").c_str(), KEYS, values.v), -1);

    const std::string path = file("e.conf", "ip = 1\nport = 2\n");
    vc::hooks::failAfter(vc::hooks::Site::Malloc, 1);  // the copy of "1" fails
    EXPECT_EQ(read_config_file(path.c_str(), KEYS, values.v), 1);
    EXPECT_EQ(values.v[0], nullptr);
    EXPECT_STREQ(values.v[1], "2");
}

// The settings loader names the line of a bad key from what the visitor sees.
TEST_F(RconfigTest, VisitorSeesNumberedLinesAndStopsWhenAsked) {
    const std::string path = file("v.conf", "a = 1 # c\n" + std::string(1030, 'x') +
                                                "\n  words # c\nb = 2\nc = 3\n");
    std::vector<std::string> seen;
    auto visit = [](const ConfigLine& line, void* context) {
        auto* out = static_cast<std::vector<std::string>*>(context);
        out->push_back(std::to_string(line.number) + ":" +
                       (line.key ? std::string(line.key) + "=" + line.value
                                 : "[" + std::string(line.text) + "]"));
        return !(line.key && std::string(line.key) == "b");
    };
    EXPECT_EQ(visit_config_file(path.c_str(), visit, &seen), 5);
    const std::vector<std::string> expected = {"1:a=1", "2:[" + std::string(1023, 'x') + "]",
                                               "3:[xxxxxxx]", "4:[words]", "5:b=2"};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(visit_config_file((dir / "none.conf").c_str(), visit, &seen), -1);
}

TEST_F(RconfigTest, WriteSkipsNullValuesInKeyOrderAndReadsBack) {
    const std::string path = (dir / "w.conf").string();
    char name[] = "robot 1";
    char ip[] = "10.0.0.1";
    char* values[] = {ip, nullptr, name};
    EXPECT_EQ(write_config_file(path.c_str(), KEYS, values, "# saved settings"), nullptr);
    EXPECT_EQ(slurp(path), "# saved settings\nip = 10.0.0.1\nname = robot 1\n");

    Values back;
    EXPECT_EQ(read_config_file(path.c_str(), KEYS, back.v), 2);
    EXPECT_STREQ(back.v[0], "10.0.0.1");
    EXPECT_EQ(back.v[1], nullptr);
    EXPECT_STREQ(back.v[2], "robot 1");
}

TEST_F(RconfigTest, WriteFailuresAreReported) {
    char* values[] = {nullptr, nullptr, nullptr};
    const std::string missing = (dir / "no" / "such" / "x.conf").string();
    EXPECT_EQ(take(write_config_file(missing.c_str(), KEYS, values, nullptr)),
              "could not open file " + missing + ".");
    if (fs::exists("/dev/full")) {
        char v[] = "1";
        char* full[] = {v, v, v};
        EXPECT_EQ(take(write_config_file("/dev/full", KEYS, full, nullptr)),
                  "could not write file /dev/full.");
    }
}

TEST_F(RconfigTest, ConfFilenames) {
    EXPECT_EQ(take(make_conf_filename("x.conf", "d.conf", "/cfg/")), "/cfg/x.conf");
    EXPECT_EQ(take(make_conf_filename("x.conf", "d.conf", "/cfg")), "/cfg/x.conf");
    EXPECT_EQ(take(make_conf_filename("/etc/x.conf", "d.conf", "/cfg/")), "/etc/x.conf");
    EXPECT_EQ(take(make_conf_filename(nullptr, "d.conf", "/cfg")), "/cfg/d.conf");
    EXPECT_EQ(take(make_conf_filename("x.conf", "d.conf", nullptr)), "x.conf");
    EXPECT_EQ(make_conf_filename(nullptr, nullptr, "/cfg"), nullptr);
}

// HOME is process-wide: these tests set it and put it back.
class HomeTest : public RconfigTest {
protected:
    void SetUp() override {
        RconfigTest::SetUp();
        if (const char* h = std::getenv("HOME")) saved = h, hadHome = true;
    }
    void TearDown() override {
        if (hadHome) setenv("HOME", saved.c_str(), 1);
        else unsetenv("HOME");
        RconfigTest::TearDown();
    }
    std::string saved;
    bool hadHome = false;
};

TEST_F(HomeTest, TildeExpansion) {
    setenv("HOME", "/home/robot", 1);
    EXPECT_EQ(take(expand_tilde("~/x")), "/home/robot/x");
    EXPECT_EQ(take(expand_tilde("~x")), "/home/robotx");
    EXPECT_EQ(take(expand_tilde("a/~/x")), "a/~/x");
    EXPECT_EQ(expand_tilde(nullptr), nullptr);
    EXPECT_EQ(take(make_conf_filename("~/k.conf", "d", "/cfg")), "/home/robot/k.conf");
    EXPECT_EQ(take(make_conf_filename("k.conf", "d", "~/cfg/")), "/home/robot/cfg/k.conf");

    // Without HOME the path stays as written; an empty HOME is a home
    // directory like any other: the path without its '~'.
    unsetenv("HOME");
    EXPECT_EQ(take(expand_tilde("~/x")), "~/x");
    setenv("HOME", "", 1);
    EXPECT_EQ(take(expand_tilde("~/x")), "/x");
    EXPECT_EQ(take(expand_tilde("~x")), "x");
}

TEST(RconfigText, TrimBlanks) {
    char a[] = " \t key \t\n";
    trim_blanks(a);
    EXPECT_STREQ(a, "key");
    char b[] = "value\r\n";
    trim_blanks(b);
    EXPECT_STREQ(b, "value\r");
    char c[] = " \t ";
    trim_blanks(c);
    EXPECT_STREQ(c, "");
}

TEST(RconfigText, MakeMessage) {
    char* m = rconfig_make_message("unknown option ", "speed", nullptr);
    EXPECT_STREQ(m, "unknown option speed");
    ctlFree(m);
    m = rconfig_make_message("a", nullptr, "c");
    EXPECT_STREQ(m, "ac");
    ctlFree(m);
    EXPECT_STREQ(illegal_format_msg, "line without '='.\n");
}

}  // namespace
