#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "agent/init_workstation.h"
#include "agent_test_support.h"
#include "grfs/message_trace.h"
#include "mount/pseudo_fs.h"

namespace {

using agent_test::StderrCapture;
using agent_test::TempDir;

class InitWorkstationTest : public ::testing::Test {
protected:
    void SetUp() override {
        agent_test::reset_workstation();
        std::memset(&ws_cntl, 0, sizeof ws_cntl);  // as main_v leaves it
        data_ = tmp_.mkdir("data");
    }
    void TearDown() override {
        set_message_log_file(nullptr);
        if (ws_cntl.log_file != nullptr) std::fclose(ws_cntl.log_file);
        ws_cntl.log_file = nullptr;
    }
    int init(const std::string& extra) {
        path_ = tmp_.write("agent.cfg", "export " + data_ + " as data\ntell 127.0.0.1\n" + extra);
        StderrCapture cap;
        int rc = init_ws_structures(&ws_cntl, path_.c_str());
        err_ = cap.text();
        return rc;
    }
    std::string using_line() const { return "agent: Using configuration file: " + path_ + "\n"; }

    TempDir tmp_;
    std::string data_;
    std::string path_;
    std::string err_;
};

TEST_F(InitWorkstationTest, FillsTheRecordAndFixesTheLimits) {
    ASSERT_EQ(init("name ws1\n"), 0);
    EXPECT_EQ(err_, using_line());
    struct stat root;
    ASSERT_EQ(stat("/", &root), 0);
    EXPECT_EQ(gb_root_dev_id, root.st_dev);
    EXPECT_EQ(ws_cntl.listener_pid, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(ws_cntl.config_ok, 1);
    EXPECT_EQ(ws_cntl.use_xdr, 1);
    EXPECT_EQ(ws_cntl.running, 1);
    EXPECT_EQ(ws_cntl.processingAcl, 0);
    EXPECT_STREQ(ws_cntl.workstation_name, "WS1");
    EXPECT_EQ(ws_cntl.hard_link_list.head, nullptr);
    EXPECT_EQ(ws_cntl.hard_link_list.next_seq, 1);
    EXPECT_EQ(gb_grfs_config.max_sessions, 4);
    EXPECT_EQ(gb_grfs_config.object_buffer_size, 31744u);
    EXPECT_EQ(gb_grfs_config.tell_list.head, ws_cntl.tell_list.head);
    EXPECT_EQ(gb_grfs_config.tell_list.count, 1);
}

TEST_F(InitWorkstationTest, InvalidConfigurationFails) {
    path_ = tmp_.write("agent.cfg", "tell x\n");
    StderrCapture cap;
    EXPECT_EQ(init_ws_structures(&ws_cntl, path_.c_str()), 1);
    EXPECT_EQ(cap.text(), using_line() + "agent: No directories exported.\nagent: Invalid configuration file.\n");
    EXPECT_EQ(ws_cntl.config_ok, 0);
    EXPECT_EQ(ws_cntl.running, 0);
    EXPECT_EQ(ws_cntl.log_file, nullptr);
}

TEST_F(InitWorkstationTest, WorkstationNameDefaultsToTheHostName) {
    ASSERT_EQ(init(""), 0);
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    EXPECT_EQ(std::string(ws_cntl.workstation_name), std::string(host).substr(0, 35));
}

TEST_F(InitWorkstationTest, WithoutLogFileDumpsGoToDevNullSilently) {
    ASSERT_EQ(init(""), 0);
    EXPECT_EQ(err_, using_line());
    EXPECT_STREQ(ws_cntl.log_file_name, "/dev/null");
    ASSERT_NE(ws_cntl.log_file, nullptr);
    EXPECT_EQ(dbg_file, ws_cntl.log_file);  // the message dumps go there
}

TEST_F(InitWorkstationTest, LogFileIsAppendedToAndAnnouncesItself) {
    std::string log = tmp_.write("agent.log", "an earlier run\n");
    ASSERT_EQ(init("logfile " + log + "\n"), 0);
    EXPECT_EQ(err_, using_line());
    EXPECT_EQ(ws_cntl.log_file_name, log);
    ASSERT_NE(ws_cntl.log_file, nullptr);
    EXPECT_EQ(dbg_file, ws_cntl.log_file);  // the message dumps go there
    char expected[64];
    std::snprintf(expected, sizeof expected, "log_file %lx is open\n",
                  static_cast<unsigned long>(reinterpret_cast<uintptr_t>(ws_cntl.log_file)));
    // Unbuffered: the line is in the file without a flush.
    EXPECT_EQ(agent_test::read_file(log), std::string("an earlier run\n") + expected);
    std::fputs("more\n", ws_cntl.log_file);
    EXPECT_EQ(agent_test::read_file(log), std::string("an earlier run\n") + expected + "more\n");
}

TEST_F(InitWorkstationTest, UnopenableLogFileFallsBackSilently) {
    ASSERT_EQ(init("logfile " + tmp_.path() + "/no/such/dir/agent.log\n"), 0);
    EXPECT_EQ(err_, using_line());
    EXPECT_STREQ(ws_cntl.log_file_name, "/dev/null");
    EXPECT_NE(ws_cntl.log_file, nullptr);
}

TEST_F(InitWorkstationTest, BuiltInExclusionsStandBeforeThoseOfTheFile) {
    ASSERT_EQ(init("exclude_file /x/f\nexclude_dir /x/d\n"), 0);
    // Added in mount-table order at the front, so the chain holds them last
    // first, followed by the file's entries newest first.
    std::vector<std::string> expected = pseudo_fs_mount_points();
    std::reverse(expected.begin(), expected.end());
    expected.push_back("/x/d");
    expected.push_back("/x/f");
    std::vector<std::string> chain;
    for (EXCLUDE_ENTRY* e = ws_cntl.exclude_list; e != nullptr; e = e->next) {
        chain.push_back(e->name);
        EXPECT_EQ(e->kind, chain.size() == expected.size() ? EXCLUDE_FILE : EXCLUDE_DIR) << e->name;
    }
    EXPECT_EQ(chain, expected);
}

TEST(BuiltinExclusions, IncludeProcWhenMounted) {
    std::vector<std::string> points = pseudo_fs_mount_points();
    if (std::find(points.begin(), points.end(), "/proc") == points.end()) GTEST_SKIP() << "no /proc mount";
    agent_test::reset_workstation();
    add_builtin_exclusions(&ws_cntl);
    bool found = false;
    for (EXCLUDE_ENTRY* e = ws_cntl.exclude_list; e != nullptr; e = e->next) {
        if (std::string(e->name) == "/proc") found = e->kind == EXCLUDE_DIR;
    }
    EXPECT_TRUE(found);
}

}  // namespace
