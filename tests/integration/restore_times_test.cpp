// Times and special nodes through a restore: the last second of 1969,
// times before 1970, around 2038 and in 2100 come back exactly, symbolic
// links get their own times (also when their information comes before the
// close that makes them), a FIFO that cannot be opened is no error in the
// session's end line, and a second restore over a restored tree replaces
// its FIFOs and device nodes.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "../grfs/dblk_test_images.h"
#include "agent_process.h"
#include "client/link_record.h"
#include "client/peer.h"
#include "client/requests.h"
#include "e2e_support.h"
#include "grfs/dates.h"
#include "grfs/messages.h"
#include "hardening_support.h"
#include "tree_builder.h"

namespace {

using agent_it::AgentProcess;

constexpr uint16_t kReasonRestore = 0x4;
constexpr uint32_t kNobody = 65534;

struct stat Lstat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

void SetTimes(const std::string& path, time_t atime, time_t mtime) {
    const timespec times[2] = {{atime, 0}, {mtime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path << ": " << strerror(errno);
}

// Every session end line the agent wrote, and whether each counted no error.
void ExpectNoErrorsCounted(const std::string& console) {
    const std::regex end_line("session end [^\n]* errors=([0-9]+) end=");
    size_t lines = 0;
    for (auto it = std::sregex_iterator(console.begin(), console.end(), end_line); it != std::sregex_iterator(); ++it) {
        ++lines;
        EXPECT_EQ((*it)[1].str(), "0") << it->str();
    }
    EXPECT_GT(lines, 0u) << console;
}

TEST(RestoreTimes, EdgeTimesOfEveryKindOfObjectComeBackExactly) {
    e2e::TempDir source("times-src");
    e2e::TempDir target("times-dst");
    e2e::TempDir work("times-work");
    const std::string src = source.path();
    struct Case {
        std::string name;
        time_t atime;
        time_t mtime;
    };
    // -1 is the last second of 1969; 2^31 - 1 and 2^31 bracket 2038.
    const std::vector<Case> cases = {
        {"minus one", -1, -1},
        {"before 1970", -315619200, -86400 * 365},
        {"end of 2^31", 2147483647, 2147483647},
        {"after 2038", 2147483648LL, 2147483649LL},
        {"in 2100", 4102444800LL, 4102444801LL},
        {"dir minus one", -1, -1},
        {"link minus one", 2147483648LL, -1},
        {"link 2100", -315619200, 4102444800LL},
        {"fifo", -1, 4102444800LL},
    };
    for (const Case& c : cases) {
        const std::string path = src + "/" + c.name;
        if (c.name.rfind("dir", 0) == 0) {
            ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
        } else if (c.name.rfind("link", 0) == 0) {
            ASSERT_EQ(symlink("minus one", path.c_str()), 0);
        } else if (c.name == "fifo") {
            ASSERT_EQ(mkfifo(path.c_str(), 0640), 0);
        } else {
            e2e::write_pattern_file(path, 100, 7);
        }
        SetTimes(path, c.atime, c.mtime);
    }

    agent_it::AgentConfig config;
    config.extra_lines = e2e::export_line(src, "TREE") + e2e::export_line(target.path(), "COPY");
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    const std::string archive = work.path() + "/times.grfsarc";
    const e2e::ProcessResult backup =
        e2e::run_grfsclient(e2e::with_session({"backup", e2e::agent_host_port(agent), "TREE", archive}, agent));
    ASSERT_EQ(backup.status, 0) << backup.describe();
    const e2e::ProcessResult restore =
        e2e::run_grfsclient(e2e::with_session({"restore", archive, e2e::agent_host_port(agent), "COPY"}, agent));
    ASSERT_EQ(restore.status, 0) << restore.describe();

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const struct stat r = Lstat(target.path() + "/" + c.name);
        EXPECT_EQ(r.st_mtime, c.mtime);
        EXPECT_EQ(r.st_atime, c.atime);
    }
    hardening::ExpectCleanStop(agent);
    // The FIFO's open was answered 1 at backup and at restore: an answer, not an error.
    ExpectNoErrorsCounted(agent.Stderr());
}

UNIX_FILE_OS_INFO LinkInfo(uint32_t owner, uint64_t size) {
    UNIX_FILE_OS_INFO info{};
    info.st_dev = 0x803;
    info.st_mode = 0120777;
    info.st_uid = owner;
    info.st_gid = owner;
    info.st_size = U64_Init(static_cast<uint32_t>(size), static_cast<uint32_t>(size >> 32));
    info.os_info_version = kOsInfoVersion;
    info.st_ino = U64_Init(1, 0);
    info.st_nlink = 1;
    return info;
}

TEST(RestoreTimes, ALinkGetsItsOwnerAndTimesWhetherItsInformationComesBeforeOrAfterItsClose) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    const std::string ex = agent.export_dir();
    const bool root = geteuid() == 0;
    const uint32_t owner = root ? kNobody : geteuid();
    constexpr time_t kAtime = -1;
    constexpr time_t kMtime = 4102444800LL;
    {
        grfs_client::Peer peer = e2e::expect_peer(agent, "DATA", kReasonRestore);
        grfs_client::Connection& c = peer.connection();
        const DLE_HANDLE dle = peer.dle_id();
        // The second round restores the links over those of the first.
        for (int step = 0; step < 4; ++step) {
            const int round = step / 2;
            const bool before_close = step % 2 == 0;
            const std::string name = before_close ? "informed before close" : "informed after close";
            SCOPED_TRACE(name + (round == 0 ? "" : ", over the link restored before"));
            const std::string target = "target of " + name;
            const std::vector<unsigned char> record = grfs_client::make_link_record(name, target);
            const uint32_t length = static_cast<uint32_t>(record.size());

            GRFS_GEN_DBLK image;
            dblk_test::make_file_dblk(image, name, LinkInfo(owner, target.size()));
            image.size = U64_Init(static_cast<uint32_t>(target.size()), 0);
            ConvertToStdDate(&image.access_time, kAtime);
            ConvertToStdDate(&image.modified_time, kMtime);
            const auto link = grfs_client::Dblk::from_record(image);

            ASSERT_EQ(e2e::replied_retcode(grfs_client::create_object(c, dle, link)), 0);
            auto opened = grfs_client::open_object(c, dle, link, GRFS_OPEN_WRITE);
            ASSERT_TRUE(opened.ok()) << opened.error().text;
            GRFS_STREAM_INFO ea{};
            ea.id = grfs_client::kStreamUnixEa;
            ea.size = U64_Init(length, 0);
            auto written = grfs_client::write_piece(c, opened->obj_id, 0, ea, record);
            ASSERT_TRUE(written.ok()) << written.error().text;
            if (before_close) {
                EXPECT_EQ(e2e::replied_retcode(grfs_client::set_object_info(c, dle, link)), 0);
            }
            EXPECT_TRUE(grfs_client::close_object(c, opened->obj_id).ok());
            if (!before_close) {
                EXPECT_EQ(e2e::replied_retcode(grfs_client::set_object_info(c, dle, link)), 0);
            }

            const struct stat st = Lstat(ex + "/" + name);
            ASSERT_TRUE(S_ISLNK(st.st_mode));
            EXPECT_EQ(st.st_atime, kAtime);
            EXPECT_EQ(st.st_mtime, kMtime);
            EXPECT_EQ(st.st_uid, owner);
            EXPECT_EQ(st.st_gid, owner);
        }
        peer.close();
    }
    hardening::ExpectCleanStop(agent);
}

TEST(RestoreTimes, ASecondRestoreOverARestoredTreeReplacesItsFifosAndDeviceNodes) {
    if (geteuid() != 0) GTEST_SKIP() << "device nodes can be made by root only";
    e2e::TempDir source("nodes-src");
    e2e::TempDir target("nodes-dst");
    e2e::TempDir work("nodes-work");
    const std::string src = source.path();
    ASSERT_EQ(mkfifo((src + "/fifo").c_str(), 0640), 0);
    ASSERT_EQ(mknod((src + "/char device").c_str(), S_IFCHR | 0620, makedev(1, 3)), 0);
    ASSERT_EQ(mknod((src + "/block device").c_str(), S_IFBLK | 0600, makedev(7, 200)), 0);
    for (const char* name : {"fifo", "char device", "block device"}) SetTimes(src + "/" + name, 1000000000, 1000000001);
    const auto want = e2e::snapshot(src);

    agent_it::AgentConfig config;
    config.extra_lines = e2e::export_line(src, "TREE") + e2e::export_line(target.path(), "COPY");
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    const std::string archive = work.path() + "/nodes.grfsarc";
    const e2e::ProcessResult backup =
        e2e::run_grfsclient(e2e::with_session({"backup", e2e::agent_host_port(agent), "TREE", archive}, agent));
    ASSERT_EQ(backup.status, 0) << backup.describe();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "into the empty export" : "over the restored tree");
        // What stands there after the first round is replaced, not kept:
        // a node planted under a restored name gives way too.
        if (round == 1) {
            ASSERT_EQ(unlink((target.path() + "/fifo").c_str()), 0);
            ASSERT_EQ(mknod((target.path() + "/fifo").c_str(), S_IFCHR | 0666, makedev(1, 5)), 0);
        }
        const e2e::ProcessResult restore =
            e2e::run_grfsclient(e2e::with_session({"restore", archive, e2e::agent_host_port(agent), "COPY"}, agent));
        EXPECT_EQ(restore.status, 0) << restore.describe();
        const auto got = e2e::snapshot(target.path());
        for (const auto& [path, entry] : want) {
            if (path.empty()) continue;  // the export's root is not restored
            SCOPED_TRACE(path);
            auto it = got.find(path);
            ASSERT_NE(it, got.end());
            const struct stat& w = entry.st;
            const struct stat& r = it->second.st;
            EXPECT_EQ(r.st_mode, w.st_mode) << std::oct << r.st_mode;
            EXPECT_EQ(r.st_rdev, w.st_rdev);
            EXPECT_EQ(r.st_uid, w.st_uid);
            EXPECT_EQ(r.st_mtime, w.st_mtime);
        }
    }
    hardening::ExpectCleanStop(agent);
}

}  // namespace
