// Option parsing in process; the binary's exit codes are checked separately.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "agent/startup.h"
#include "agent_test_support.h"

namespace {

using agent_test::StderrCapture;

class CommandLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        agent_test::reset_workstation();
        config_file = nullptr;
    }
    void TearDown() override { agent_test::reset_workstation(); }

    int parse(std::initializer_list<const char*> args) {
        storage_.assign(args.begin(), args.end());
        storage_.insert(storage_.begin(), "agent");
        std::vector<char*> argv;
        for (auto& s : storage_) argv.push_back(s.data());
        argv.push_back(nullptr);
        StderrCapture cap;
        int rc = parse_command_line(static_cast<int>(storage_.size()), argv.data());
        err_ = cap.text();
        return rc;
    }

    std::string usage() const {
        return "agent: Usage agent\n[-c config file] [-d [mask]] [-nd] [-t] [-V] [-h]\n"
               "\t[-d [mask]] -- turns on debug messages; mask: the sum of 1 sessions, 2 configuration\n"
               "\t\tand files, 4 directories, 8 object data, 16 requests and replies (default: all)\n"
               "\t[-nd] -- turns on network debug messages\n\t[-t] -- checks the configuration file and exits\n"
               "\t[-V | --version] -- prints the version and exits\n\t[-h | --help] -- prints this text and exits\n";
    }

    std::vector<std::string> storage_;
    std::string err_;
};

TEST_F(CommandLineTest, NoOptionsLeaveTheDefaults) {
    EXPECT_EQ(parse({}), 0);
    EXPECT_EQ(config_file, nullptr);
    EXPECT_EQ(grfs_debug, 0);
    EXPECT_EQ(nrl_debug_flag, 0u);
    EXPECT_EQ(err_, "");
}

TEST_F(CommandLineTest, ConfigFileTakesTheNextArgumentAndTheLastWins) {
    EXPECT_EQ(parse({"-c", "a.cfg", "-c", "-d"}), 0);
    EXPECT_STREQ(config_file, "-d");
    EXPECT_EQ(grfs_debug, 0);
}

TEST_F(CommandLineTest, ConfigFileAsLastArgumentIsAUsageError) {
    EXPECT_EQ(parse({"-d", "3", "-c"}), 1);
    EXPECT_EQ(err_, "agent: Option -c needs a configuration file name\n" + usage());
}

TEST_F(CommandLineTest, DebugMaskForms) {
    EXPECT_EQ(parse({"-d"}), 0);
    EXPECT_EQ(grfs_debug, 0xFFFF);

    EXPECT_EQ(parse({"-d", "5"}), 0);
    EXPECT_EQ(grfs_debug, 5);

    // "%d" reading: digits then anything; a mask is 16 bits wide.
    EXPECT_EQ(parse({"-d", "18junk"}), 0);
    EXPECT_EQ(grfs_debug, 18);
    EXPECT_EQ(parse({"-d", "-1"}), 0);
    EXPECT_EQ(grfs_debug, 0xFFFF);
    EXPECT_EQ(parse({"-d", "65537"}), 0);
    EXPECT_EQ(grfs_debug, 1);

    // The last one wins.
    EXPECT_EQ(parse({"-d", "-d", "2"}), 0);
    EXPECT_EQ(grfs_debug, 2);
    EXPECT_EQ(parse({"-d", "2", "-d"}), 0);
    EXPECT_EQ(grfs_debug, 0xFFFF);
}

TEST_F(CommandLineTest, DebugFollowedByAnOptionLeavesItToBeRead) {
    EXPECT_EQ(parse({"-d", "-nd", "-c", "x"}), 0);
    EXPECT_EQ(grfs_debug, 0xFFFF);
    EXPECT_EQ(nrl_debug_flag, 1u);
    EXPECT_STREQ(config_file, "x");
}

TEST_F(CommandLineTest, DebugFollowedByAWordRejectsTheWord) {
    EXPECT_EQ(parse({"-d", "verbose"}), 1);
    EXPECT_EQ(grfs_debug, 0xFFFF);
    EXPECT_EQ(err_, "agent: Unknown option verbose\n" + usage());
}

TEST_F(CommandLineTest, UnknownOptionsAreRejected) {
    for (const char* bad : {"-x", "-C", "--helpme", "-v", "config.cfg", "-dd", ""}) {
        EXPECT_EQ(parse({"-nd", bad, "-d"}), 1) << bad;
        EXPECT_EQ(err_, std::string("agent: Unknown option ") + bad + "\n" + usage()) << bad;
        // Scanning stops at the fault.
        EXPECT_EQ(grfs_debug, 0) << bad;
    }
}

}  // namespace
