// The list builders of the configuration: exported trees, servers, exclusions.
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>

#include "agent/config_file.h"
#include "agent_test_support.h"

namespace {

using agent_test::count_queue;
using agent_test::StderrCapture;
using agent_test::TempDir;

class AddDleTest : public ::testing::Test {
protected:
    void SetUp() override {
        agent_test::reset_workstation();
        data_ = tmp_.mkdir("data");
    }

    // add_dle with only path and name; returns the result and stderr.
    std::pair<int, std::string> add(const std::string& path, const std::string& name) {
        StderrCapture cap;
        int rc = add_dle(&ws_cntl, path.c_str(), name.c_str(), 0, 0, nullptr, 1, 0, 0);
        return {rc, cap.text()};
    }

    // A directory below the temporary one whose absolute path has exactly
    // length characters.
    std::string dir_of_length(size_t length) {
        std::string path = tmp_.path();
        while (path.size() < length) {
            size_t room = length - path.size() - 1;  // after the "/"
            if (room == 0) {                         // cannot end with a bare "/"
                path.pop_back();
                continue;
            }
            size_t take = room > 200 ? 100 : room;
            path += "/" + std::string(take, 'd');
        }
        std::filesystem::create_directories(path);
        return path;
    }

    TempDir tmp_;
    std::string data_;
};

TEST_F(AddDleTest, ReplacesEveryReservedCharacterAndKeepsCase) {
    auto r = add(data_, "A`~!@#$^&*(){}[]|\\:;'<>,.z");
    EXPECT_EQ(r.first, 0);
    EXPECT_EQ(r.second, "");
    auto* dle = QueueHead<DLE_RECORD>(ws_cntl.dle_list);
    ASSERT_NE(dle, nullptr);
    EXPECT_STREQ(dle->resource_name, "A________________________z");
}

TEST_F(AddDleTest, KeepsCharactersOutsideTheReservedSet) {
    EXPECT_EQ(add(data_, "Mixed-Case_%+=/?\"9").first, 0);
    EXPECT_NE(FindDrive(&ws_cntl, "Mixed-Case_%+=/?\"9"), nullptr);
}

TEST_F(AddDleTest, DuplicatesAreFoundAfterManglingAndCaseMatters) {
    EXPECT_EQ(add(data_, "my:home").first, 0);
    auto r = add(data_, "my;home");
    EXPECT_EQ(r.first, 1);
    EXPECT_EQ(r.second, "agent: Duplicate resource name: 'my_home'\n");
    EXPECT_EQ(add(data_, "MY_HOME").first, 0);
    EXPECT_EQ(count_queue(ws_cntl.dle_list), 2);
    EXPECT_EQ(FindDrive(&ws_cntl, "my:home"), nullptr);
    EXPECT_NE(FindDrive(&ws_cntl, "my_home"), nullptr);
}

TEST_F(AddDleTest, FillsEveryFieldFromItsArguments) {
    ASSERT_EQ(add_dle(&ws_cntl, data_.c_str(), "n", 1, 1, "MiXed1", 0, 1, 1), 0);
    auto* dle = QueueHead<DLE_RECORD>(ws_cntl.dle_list);
    EXPECT_EQ(dle->in_use, 1);
    EXPECT_EQ(dle->password_required, 1);
    EXPECT_EQ(dle->fs_type, 0);
    EXPECT_EQ(dle->writable, 0);
    EXPECT_EQ(dle->local_only, 0);
    EXPECT_EQ(dle->no_nfs_locking, 1);
    EXPECT_EQ(dle->no_backup_locking, 1);
    EXPECT_STREQ(dle->dle_password, "MIXED1");
    EXPECT_STREQ(dle->export_path, data_.c_str());
}

TEST_F(AddDleTest, AppendsInOrder) {
    add(data_, "one");
    add(data_, "two");
    add(data_, "three");
    auto* dle = QueueHead<DLE_RECORD>(ws_cntl.dle_list);
    EXPECT_STREQ(dle->resource_name, "one");
    EXPECT_STREQ((dle = QueueNext(dle))->resource_name, "two");
    EXPECT_STREQ((dle = QueueNext(dle))->resource_name, "three");
    EXPECT_EQ(QueueNext(dle), nullptr);
}

TEST_F(AddDleTest, MissingPathIsRefused) {
    std::string gone = tmp_ / "gone";
    auto r = add(gone, "g");
    EXPECT_EQ(r.first, 1);
    EXPECT_EQ(r.second, "agent: Unable to access exported directory: '" + gone + "': No such file or directory\n");
    EXPECT_EQ(count_queue(ws_cntl.dle_list), 0);
}

TEST_F(AddDleTest, AbsolutePathsAreKeptAsWritten) {
    std::string odd = tmp_.path() + "//./data/";
    ASSERT_EQ(add(odd, "odd").first, 0);
    EXPECT_STREQ(QueueHead<DLE_RECORD>(ws_cntl.dle_list)->export_path, odd.c_str());
}

TEST_F(AddDleTest, RelativePathsArePinnedToTheStartingDirectory) {
    char saved[PATH_MAX];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(tmp_.path().c_str()), 0);
    char here[PATH_MAX];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    const std::string cwd = here;

    EXPECT_EQ(add("data", "a").first, 0);
    EXPECT_EQ(add("./data", "b").first, 0);
    EXPECT_EQ(add(".", "c").first, 0);
    EXPECT_EQ(add("./", "d").first, 0);
    auto missing = add("nope", "e");
    ASSERT_EQ(chdir(saved), 0);

    EXPECT_STREQ(FindDrive(&ws_cntl, "a")->export_path, (cwd + "/data").c_str());
    EXPECT_STREQ(FindDrive(&ws_cntl, "b")->export_path, (cwd + "/data").c_str());
    EXPECT_STREQ(FindDrive(&ws_cntl, "c")->export_path, cwd.c_str());
    EXPECT_STREQ(FindDrive(&ws_cntl, "d")->export_path, cwd.c_str());
    EXPECT_EQ(missing.first, 1);
    // Reported as written, though looked up from the start-up directory.
    EXPECT_EQ(missing.second, "agent: Unable to access exported directory: 'nope': No such file or directory\n");
}

TEST_F(AddDleTest, ExportPathLimitIsThatOfTheSystem) {
    std::string at_limit = dir_of_length(4095);
    ASSERT_EQ(at_limit.size(), 4095u);
    EXPECT_EQ(add(at_limit, "fits").first, 0);
    EXPECT_STREQ(FindDrive(&ws_cntl, "fits")->export_path, at_limit.c_str());

    std::string over = at_limit + "d";
    auto r = add(over, "over");
    EXPECT_EQ(r.first, 1);
    EXPECT_EQ(r.second, "agent: Value of 'export path' is longer than 4095 characters: '" + over + "'\n");
}

TEST_F(AddDleTest, ResourceNameAndPasswordLimitsAre127Characters) {
    std::string n127(127, 'n');
    EXPECT_EQ(add(data_, n127).first, 0);
    EXPECT_NE(FindDrive(&ws_cntl, n127.c_str()), nullptr);
    auto r = add(data_, n127 + "x");
    EXPECT_EQ(r.first, 1);
    EXPECT_EQ(r.second, "agent: Value of 'export name' is longer than 127 characters: '" + n127 + "x'\n");

    std::string p127(127, 'p');
    EXPECT_EQ(add_dle(&ws_cntl, data_.c_str(), "p1", 0, 1, p127.c_str(), 1, 0, 0), 0);
    EXPECT_EQ(std::string(FindDrive(&ws_cntl, "p1")->dle_password), std::string(127, 'P'));
    StderrCapture cap;
    EXPECT_EQ(add_dle(&ws_cntl, data_.c_str(), "p2", 0, 1, (p127 + "q").c_str(), 1, 0, 0), 1);
    EXPECT_EQ(cap.text(), "agent: Value of 'export password' is longer than 127 characters\n");
    EXPECT_EQ(FindDrive(&ws_cntl, "p2"), nullptr);
}

TEST_F(AddDleTest, ExportLineLimitsReachTheFileResult) {
    std::string text = "export " + data_ + " as " + std::string(128, 'r') + "\ntell s\n";
    std::string path = tmp_.write("agent.cfg", text);
    StderrCapture cap;
    EXPECT_EQ(read_config_file(&ws_cntl, path.c_str()), 0);
    std::string err = cap.text();
    EXPECT_NE(err.find("Value of 'export name' is longer than 127 characters"), std::string::npos);
    EXPECT_NE(err.find("agent: No directories exported.\n"), std::string::npos);
    EXPECT_NE(err.find("agent: Invalid configuration file.\n"), std::string::npos);
}

TEST(ServerList, AppendsOwnCopiesInOrder) {
    agent_test::reset_workstation();
    char name[] = "alpha";
    EXPECT_EQ(add_to_export_list(&ws_cntl, name), 0);
    name[0] = 'X';
    EXPECT_EQ(add_to_export_list(&ws_cntl, "beta"), 0);
    ASSERT_EQ(count_queue(ws_cntl.tell_list), 2);
    EXPECT_EQ(ws_cntl.tell_list.count, 2);
    auto* t = QueueHead<TELL_ENTRY>(ws_cntl.tell_list);
    EXPECT_STREQ(t->name, "alpha");
    EXPECT_STREQ(QueueNext(t)->name, "beta");
}

TEST(ExcludeList, PutsOwnCopiesAtTheFront) {
    agent_test::reset_workstation();
    char name[] = "/first";
    add_to_exclude_list(&ws_cntl, EXCLUDE_FILE, name);
    name[1] = 'X';
    add_to_exclude_list(&ws_cntl, EXCLUDE_DIR, "/second");
    EXCLUDE_ENTRY* e = ws_cntl.exclude_list;
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->name, "/second");
    EXPECT_EQ(e->kind, EXCLUDE_DIR);
    ASSERT_NE(e->next, nullptr);
    EXPECT_STREQ(e->next->name, "/first");
    EXPECT_EQ(e->next->kind, EXCLUDE_FILE);
    EXPECT_EQ(e->next->next, nullptr);
}

}  // namespace
