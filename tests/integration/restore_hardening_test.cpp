// A hostile or broken server restoring into an export: failing creates of
// multiply linked files cannot grow the session without bound, the export
// root's own attributes cannot be set under any name, a set-user-id file is
// never root's with its set-id bits while it is restored, a file put under
// a restored name is never made root's or set-id, a second restore sets
// everything again, and a refused read of an oversized link leaves later
// link restores working.
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "../grfs/dblk_test_images.h"
#include "agent_process.h"
#include "client/link_record.h"
#include "client/peer.h"
#include "client/requests.h"
#include "e2e_support.h"
#include "grfs/messages.h"
#include "hardening_support.h"
#include "tree_builder.h"

namespace {

using agent_it::AgentProcess;

constexpr uint16_t kReasonRestore = 0x4;
constexpr uint32_t kNobody = 65534;

using e2e::failed_retcode;
using e2e::replied_retcode;

UNIX_FILE_OS_INFO FileInfo(uint32_t mode, uint32_t owner, uint64_t size, uint64_t ino = 1, uint32_t nlink = 1) {
    UNIX_FILE_OS_INFO info{};
    info.st_dev = 0x803;
    info.st_mode = mode;
    info.st_uid = owner;
    info.st_gid = owner;
    info.st_size = U64_Init(static_cast<uint32_t>(size), static_cast<uint32_t>(size >> 32));
    info.os_info_version = kOsInfoVersion;
    info.st_ino = U64_Init(static_cast<uint32_t>(ino), static_cast<uint32_t>(ino >> 32));
    info.st_nlink = nlink;
    return info;
}

grfs_client::Dblk FileBlock(const std::string& name, const UNIX_FILE_OS_INFO& info) {
    GRFS_GEN_DBLK record;
    dblk_test::make_file_dblk(record, name, info);
    record.size = info.st_size;
    return grfs_client::Dblk::from_record(record);
}

grfs_client::Dblk DirBlock(const std::string& path, uint32_t mode, uint32_t owner) {
    GRFS_GEN_DBLK record;
    dblk_test::make_dir_dblk(record, path);
    UNIX_DIR_OS_INFO info{};
    std::memcpy(&info, dblk_bytes(&record) + record.os_spec_info, sizeof info);
    info.st_mode = mode;
    info.st_uid = owner;
    info.st_gid = owner;
    std::memcpy(dblk_bytes(&record) + record.os_spec_info, &info, sizeof info);
    record.size = UINT64{};
    return grfs_client::Dblk::from_record(record);
}

struct stat Lstat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

// Root's, and carrying set-user-id or set-group-id.
bool RootWithSetId(const struct stat& st) { return st.st_uid == 0 && (st.st_mode & 06000) != 0; }

// What a sanitizer build adds to a busy session: freed memory stays in
// quarantine (256 MiB), and the shadow of what is used.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kSanitizerKiB = 512 * 1024;
#else
constexpr long kSanitizerKiB = 0;
#endif

long SessionMemoryKiB(const AgentProcess& agent, const char* key) {
    const std::vector<pid_t> sessions = agent.SessionProcesses();
    return sessions.size() == 1 ? hardening::ResidentKiB(sessions[0], key) : -1;
}

TEST(RestoreHardening, FailingHardLinkCreatesKeepTheSessionSmall) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    {
        grfs_client::Peer peer = e2e::expect_peer(agent, "DATA", kReasonRestore);
        grfs_client::Connection& c = peer.connection();
        // A name no file system takes: every create fails after the
        // block has announced a new multiply linked file.
        const std::string too_long(3800, 'n');
        constexpr long kBoundKiB = 96 * 1024 + kSanitizerKiB;  // the table's own bound is 64 MiB
        long peak = 0;
        for (uint64_t i = 1; i <= 100000; ++i) {
            const auto block = FileBlock(too_long, FileInfo(0100644, 0, 0, i, 2));
            ASSERT_NE(replied_retcode(grfs_client::create_object(c, peer.dle_id(), block)), 0);
            if (i % 10000 == 0) {
                peak = SessionMemoryKiB(agent, "VmHWM:");
                ASSERT_GT(peak, 0);
                ASSERT_LT(peak, kBoundKiB) << "after " << i << " failing creates";
            }
        }
        EXPECT_LT(SessionMemoryKiB(agent, "VmRSS:"), kBoundKiB);

        // No failed create stands for its inode: the first name that is
        // made does, and a second name becomes a link to it.
        const auto linked = FileInfo(0100644, 0, 0, 1, 2);
        ASSERT_EQ(replied_retcode(grfs_client::create_object(c, peer.dle_id(), FileBlock("first", linked))), 0);
        ASSERT_EQ(replied_retcode(grfs_client::create_object(c, peer.dle_id(), FileBlock("second", linked))), 0);
        EXPECT_EQ(Lstat(agent.export_dir() + "/first").st_ino, Lstat(agent.export_dir() + "/second").st_ino);
        peer.close();
    }
    hardening::ExpectCleanStop(agent);
}

TEST(RestoreHardening, TheExportRootIsNeverChangedBySetInformation) {
    if (geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    const std::string root = agent.export_dir();
    ASSERT_EQ(chmod(root.c_str(), 0755), 0);
    const struct stat before = Lstat(root);
    {
        grfs_client::Peer peer = e2e::expect_peer(agent, "DATA", kReasonRestore);
        grfs_client::Connection& c = peer.connection();
        const DLE_HANDLE dle = peer.dle_id();
        const auto file_info = FileInfo(0106777, kNobody, 0);
        const int16_t file_root = replied_retcode(grfs_client::set_object_info(c, dle, FileBlock("/", file_info)));
        const int16_t dir_root = replied_retcode(grfs_client::set_object_info(c, dle, DirBlock("/", 042777, kNobody)));
        for (const char* name : {".", "./", "./.", "/.", ".//.", "sub/..", "./sub/.."}) {
            SCOPED_TRACE(name);
            const int16_t as_file = replied_retcode(grfs_client::set_object_info(c, dle, FileBlock(name, file_info)));
            const int16_t as_dir = replied_retcode(grfs_client::set_object_info(c, dle, DirBlock(name, 042777, kNobody)));
            if (std::strstr(name, "..") == nullptr) {
                EXPECT_EQ(as_file, file_root);
                EXPECT_EQ(as_dir, dir_root);
            }
        }
        // File blocks whose current directory leads back to the root.
        ASSERT_TRUE(peer.change_dir("sub").ok());
        (void)replied_retcode(grfs_client::set_object_info(c, dle, FileBlock("..", file_info)));
        if (peer.change_dir(".").ok()) {
            for (const char* name : {"", "."}) {
                SCOPED_TRACE(std::string("in '.': ") + name);
                (void)replied_retcode(grfs_client::set_object_info(c, dle, FileBlock(name, file_info)));
            }
        }
        peer.close();
    }
    const struct stat after = Lstat(root);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    hardening::ExpectCleanStop(agent);
}

// Watches a directory for every change of its entries and records each
// entry it finds root's with set-id bits. It can miss a state that lasts
// too short a time, but never reports one that did not exist.
class SetIdWatch {
public:
    explicit SetIdWatch(const std::string& dir) : dir_(dir) {
        fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        EXPECT_GE(fd_, 0);
        EXPECT_GE(inotify_add_watch(fd_, dir.c_str(), IN_ATTRIB | IN_CREATE | IN_MODIFY | IN_MOVED_TO | IN_CLOSE_WRITE), 0);
        thread_ = std::thread([this] { run(); });
    }
    ~SetIdWatch() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    std::vector<std::string> seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

private:
    void run() {
        alignas(inotify_event) char buffer[8192];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            ssize_t n = read(fd_, buffer, sizeof buffer);
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
                if (e->len == 0) continue;
                struct stat st {};
                const std::string path = dir_ + "/" + e->name;
                if (lstat(path.c_str(), &st) == 0 && RootWithSetId(st)) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    char mode[16];
                    std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(st.st_mode & 07777));
                    seen_.push_back(std::string(e->name) + " " + mode);
                }
            }
        }
    }

    std::string dir_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> seen_;
};

TEST(RestoreHardening, ASetIdObjectIsNeverRootsWithItsBitsWhileRestored) {
    if (geteuid() != 0) GTEST_SKIP() << "restoring owners needs root";
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    const std::string ex = agent.export_dir();
    const std::vector<unsigned char> program(3 * 1000, 'p');
    const std::span<const unsigned char> half(program.data(), program.size() / 2);
    const std::span<const unsigned char> rest(program.data() + half.size(), program.size() - half.size());
    GRFS_STREAM_INFO data{};
    data.id = grfs_client::kStreamStandard;
    data.size = U64_Init(static_cast<uint32_t>(program.size()), 0);
    const auto suid = FileInfo(0104755, kNobody, program.size());

    auto safe = [&](const std::string& name, const char* step) {
        const struct stat st = Lstat(ex + "/" + name);
        EXPECT_FALSE(RootWithSetId(st)) << name << " " << step << ": uid " << st.st_uid << " mode " << std::oct
                                        << (st.st_mode & 07777);
    };
    SetIdWatch watch(ex);
    {
        grfs_client::Peer peer = e2e::expect_peer(agent, "DATA", kReasonRestore);
        grfs_client::Connection& c = peer.connection();
        const DLE_HANDLE dle = peer.dle_id();

        // A whole restore: safe after every request, and at the end the
        // mode and owner of the block.
        const auto whole = FileBlock("whole", suid);
        ASSERT_EQ(replied_retcode(grfs_client::create_object(c, dle, whole)), 0);
        safe("whole", "created");
        auto opened = grfs_client::open_object(c, dle, whole, GRFS_OPEN_WRITE);
        ASSERT_TRUE(opened.ok()) << opened.error().text;
        safe("whole", "opened");
        ASSERT_TRUE(grfs_client::write_piece(c, opened->obj_id, 0, data, half).ok());
        safe("whole", "half written");
        ASSERT_TRUE(grfs_client::write_piece(c, opened->obj_id, half.size(), GRFS_STREAM_INFO{}, rest).ok());
        safe("whole", "written");
        EXPECT_EQ(replied_retcode(grfs_client::set_object_info(c, dle, whole)), 0);
        EXPECT_TRUE(grfs_client::close_object(c, opened->obj_id).ok());
        struct stat st = Lstat(ex + "/whole");
        EXPECT_EQ(st.st_mode & 07777, 04755u);
        EXPECT_EQ(st.st_uid, kNobody);
        EXPECT_EQ(st.st_size, static_cast<off_t>(program.size()));

        // Renamed by the directory's owner while it is written: set
        // information finds no object, and the renamed file has no set-id bits.
        const auto moved = FileBlock("moved", suid);
        ASSERT_EQ(replied_retcode(grfs_client::create_object(c, dle, moved)), 0);
        opened = grfs_client::open_object(c, dle, moved, GRFS_OPEN_WRITE);
        ASSERT_TRUE(opened.ok()) << opened.error().text;
        ASSERT_TRUE(grfs_client::write_piece(c, opened->obj_id, 0, data, half).ok());
        ASSERT_EQ(rename((ex + "/moved").c_str(), (ex + "/moved.away").c_str()), 0);
        ASSERT_TRUE(grfs_client::write_piece(c, opened->obj_id, half.size(), GRFS_STREAM_INFO{}, rest).ok());
        safe("moved.away", "renamed and written");
        EXPECT_EQ(replied_retcode(grfs_client::set_object_info(c, dle, moved)), GRFS_RC_NO_SUCH_FILE);
        safe("moved.away", "after set information");
        EXPECT_TRUE(grfs_client::close_object(c, opened->obj_id).ok());
        safe("moved.away", "closed");

        // A set-group-id node and directory.
        const struct {
            const char* name;
            grfs_client::Dblk block;
            mode_t mode;
        } set_gid[] = {{"fifo", FileBlock("fifo", FileInfo(012640, kNobody, 0)), 02640u},
                       {"sgid", DirBlock("sgid", 042775, kNobody), 02775u}};
        for (const auto& [name, block, mode] : set_gid) {
            ASSERT_EQ(replied_retcode(grfs_client::create_object(c, dle, block)), 0);
            safe(name, "created");
            EXPECT_EQ(replied_retcode(grfs_client::set_object_info(c, dle, block)), 0);
            st = Lstat(ex + "/" + name);
            EXPECT_EQ(st.st_mode & 07777, mode);
            EXPECT_EQ(st.st_uid, kNobody);
        }

        // The session ends between the writes and set information.
        const auto early = FileBlock("early", suid);
        ASSERT_EQ(replied_retcode(grfs_client::create_object(c, dle, early)), 0);
        opened = grfs_client::open_object(c, dle, early, GRFS_OPEN_WRITE);
        ASSERT_TRUE(opened.ok()) << opened.error().text;
        ASSERT_TRUE(grfs_client::write_piece(c, opened->obj_id, 0, data, program).ok());
        safe("early", "written");
    }
    ASSERT_TRUE(agent_it::WaitUntil([&] { return agent.SessionProcesses().empty(); }, 10000));
    safe("early", "left behind");
    EXPECT_EQ(watch.seen(), std::vector<std::string>{});
    hardening::ExpectCleanStop(agent);
}

// A local user who may write the directory puts a file of their own under
// a name being restored, by rename: after the data and between the create
// and the WRITE open. Their file never becomes root's, never gets set-id
// bits and never receives the restore's data; set information answers as
// for a missing object and says so. Nor does set information on a name the
// session did not create add set-id bits.
TEST(RestoreHardening, AFilePutUnderARestoredNameNeverBecomesRootsOrSetId) {
    if (geteuid() != 0) GTEST_SKIP() << "restoring owners needs root";
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    const std::string ex = agent.export_dir();
    const std::vector<unsigned char> program(16000, 'p');
    GRFS_STREAM_INFO data{};
    data.id = grfs_client::kStreamStandard;
    data.size = U64_Init(static_cast<uint32_t>(program.size()), 0);
    const auto suid_root = FileInfo(0104755, 0, program.size());
    const std::string theirs = "#!/bin/sh\nid\n";
    auto plant = [&](const std::string& name) {
        const std::string mine = ex + "/.mine";
        e2e::write_file(mine, theirs);
        ASSERT_EQ(chown(mine.c_str(), kNobody, kNobody), 0);
        ASSERT_EQ(chmod(mine.c_str(), 0755), 0);
        ASSERT_EQ(rename(mine.c_str(), (ex + "/" + name).c_str()), 0);
    };
    auto untouched = [&](const std::string& name) {
        const struct stat st = Lstat(ex + "/" + name);
        EXPECT_EQ(st.st_uid, kNobody) << name;
        EXPECT_EQ(st.st_mode & 07777, 0755u) << name;
        EXPECT_TRUE(e2e::read_file(ex + "/" + name) == theirs) << name << " has other contents";
    };
    {
        grfs_client::Peer peer = e2e::expect_peer(agent, "DATA", kReasonRestore);
        grfs_client::Connection& c = peer.connection();
        const DLE_HANDLE dle = peer.dle_id();

        const auto after_data = FileBlock("after-data", suid_root);
        ASSERT_EQ(replied_retcode(grfs_client::create_object(c, dle, after_data)), 0);
        auto opened = grfs_client::open_object(c, dle, after_data, GRFS_OPEN_WRITE);
        ASSERT_TRUE(opened.ok()) << opened.error().text;
        ASSERT_TRUE(grfs_client::write_piece(c, opened->obj_id, 0, data, program).ok());
        plant("after-data");
        EXPECT_EQ(replied_retcode(grfs_client::set_object_info(c, dle, after_data)), GRFS_RC_NO_SUCH_FILE);
        EXPECT_TRUE(grfs_client::close_object(c, opened->obj_id).ok());
        untouched("after-data");

        // The open lands on the file the create made, or is refused.
        const auto before_open = FileBlock("before-open", suid_root);
        ASSERT_EQ(replied_retcode(grfs_client::create_object(c, dle, before_open)), 0);
        plant("before-open");
        opened = grfs_client::open_object(c, dle, before_open, GRFS_OPEN_WRITE);
        if (opened.ok()) {
            ASSERT_TRUE(grfs_client::write_piece(c, opened->obj_id, 0, data, program).ok());
            EXPECT_EQ(replied_retcode(grfs_client::set_object_info(c, dle, before_open)), GRFS_RC_NO_SUCH_FILE);
            EXPECT_TRUE(grfs_client::close_object(c, opened->obj_id).ok());
        }
        EXPECT_EQ(replied_retcode(grfs_client::set_object_info(c, dle, before_open)), GRFS_RC_NO_SUCH_FILE);
        untouched("before-open");

        // The same after many more creates, when the agent no longer holds
        // the file it made: the open is refused.
        const auto early = FileBlock("early", suid_root);
        ASSERT_EQ(replied_retcode(grfs_client::create_object(c, dle, early)), 0);
        for (int i = 0; i < 100; ++i) {
            const std::string name = "later" + std::to_string(i);
            ASSERT_EQ(replied_retcode(grfs_client::create_object(c, dle, FileBlock(name, FileInfo(0100644, 0, 0)))), 0);
        }
        plant("early");
        EXPECT_EQ(failed_retcode(grfs_client::open_object(c, dle, early, GRFS_OPEN_WRITE)), GRFS_RC_NO_SUCH_FILE);
        EXPECT_EQ(replied_retcode(grfs_client::set_object_info(c, dle, early)), GRFS_RC_NO_SUCH_FILE);
        untouched("early");

        // An existing file the session did not create: its owner and mode
        // as before, without the set-id bits.
        e2e::write_file(ex + "/existing", "x");
        ASSERT_EQ(chown((ex + "/existing").c_str(), kNobody, kNobody), 0);
        ASSERT_EQ(chmod((ex + "/existing").c_str(), 0644), 0);
        const auto existing = FileBlock("existing", FileInfo(0104755, 0, 1));
        EXPECT_EQ(replied_retcode(grfs_client::set_object_info(c, dle, existing)), 0);
        const struct stat st = Lstat(ex + "/existing");
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
        peer.close();
    }
    EXPECT_TRUE(agent.WaitForStderr("Restore of " + ex + "/after-data: information not set: the name no longer leads "
                                    "to the object this restore made.", 5000));
    EXPECT_TRUE(agent.WaitForStderr("Restore of " + ex + "/before-open: information not set", 5000));
    EXPECT_TRUE(agent.WaitForStderr("Restore of " + ex + "/early: not written: the name no longer leads to the "
                                    "object this restore made.", 5000));
    EXPECT_TRUE(agent.WaitForStderr("Restore of " + ex + "/existing: set-user-id and set-group-id bits not set: the "
                                    "object was not made by this restore.", 5000));
    hardening::ExpectCleanStop(agent);
}

// A restore over the tree it restored before gives every object its mode,
// owner and set-id bits again.
TEST(RestoreHardening, ASecondRestoreOverTheTreeSetsEveryModeOwnerAndSetIdBitAgain) {
    if (geteuid() != 0) GTEST_SKIP() << "foreign owners need root";
    e2e::TempDir source("restore-again-src");
    e2e::TempDir target("restore-again-dst");
    e2e::TempDir work("restore-again-work");
    e2e::TreeOptions options;
    options.large_file = false;
    options.excluded_dir = false;
    options.unreadable_file = false;
    options.foreign_owners = true;
    options.special_modes = true;
    e2e::build_tree(source.path(), options);
    const auto want = e2e::snapshot(source.path());

    agent_it::AgentConfig config;
    config.extra_lines = e2e::export_line(source.path(), "TREE") + e2e::export_line(target.path(), "COPY");
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    const std::string archive = work.path() + "/tree.grfsarc";
    const e2e::ProcessResult backup =
        e2e::run_grfsclient(e2e::with_session({"backup", e2e::agent_host_port(agent), "TREE", archive}, agent));
    ASSERT_EQ(backup.status, 0) << backup.describe();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "into the empty export" : "over the restored tree");
        const e2e::ProcessResult restore =
            e2e::run_grfsclient(e2e::with_session({"restore", archive, e2e::agent_host_port(agent), "COPY"}, agent));
        if (round == 0) {
            EXPECT_EQ(restore.status, 0) << restore.describe();
        }
        const auto got = e2e::snapshot(target.path());
        for (const auto& [path, entry] : want) {
            if (path.empty()) continue;  // the export's root is not restored
            SCOPED_TRACE(e2e::printable(path));
            auto it = got.find(path);
            ASSERT_NE(it, got.end());
            const struct stat& w = entry.st;
            const struct stat& r = it->second.st;
            EXPECT_EQ(r.st_uid, w.st_uid);
            EXPECT_EQ(r.st_gid, w.st_gid);
            if (!S_ISLNK(w.st_mode)) {
                EXPECT_EQ(r.st_mode & 07777, w.st_mode & 07777) << std::oct << r.st_mode;
            }
        }
    }
    EXPECT_EQ(agent.Stderr().find("not set"), std::string::npos) << agent.Stderr();
    hardening::ExpectCleanStop(agent);
}

TEST(RestoreHardening, LinksAreRestoredAfterARefusedOversizedLinkRead) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    const std::string ex = agent.export_dir();
    ASSERT_EQ(symlink("hello.txt", (ex + "/huge").c_str()), 0);
    {
        grfs_client::Peer peer = e2e::expect_peer(agent, "DATA", kReasonRestore);
        grfs_client::Connection& c = peer.connection();
        const DLE_HANDLE dle = peer.dle_id();
        // The block claims a link target of 2^40 bytes: no buffer for it.
        const auto huge = FileBlock("huge", FileInfo(0120777, 0, uint64_t{1} << 40));
        EXPECT_NE(failed_retcode(grfs_client::open_object(c, dle, huge, GRFS_OPEN_READ)), 0);

        for (const std::string name : {"one", "two"}) {
            const std::string target = "target-of-" + name;
            const std::vector<unsigned char> record = grfs_client::make_link_record(name, target);
            const uint32_t length = static_cast<uint32_t>(record.size());

            const auto link = FileBlock(name, FileInfo(0120777, 0, target.size()));
            ASSERT_EQ(replied_retcode(grfs_client::create_object(c, dle, link)), 0);
            auto opened = grfs_client::open_object(c, dle, link, GRFS_OPEN_WRITE);
            ASSERT_TRUE(opened.ok()) << opened.error().text;
            GRFS_STREAM_INFO ea{};
            ea.id = grfs_client::kStreamUnixEa;
            ea.size = U64_Init(length, 0);
            auto written = grfs_client::write_piece(c, opened->obj_id, 0, ea, record);
            ASSERT_TRUE(written.ok()) << name << ": " << written.error().text;
            EXPECT_EQ(written->consumed, length);
            EXPECT_TRUE(grfs_client::close_object(c, opened->obj_id).ok());
            char got[256] = {};
            EXPECT_EQ(readlink((ex + "/" + name).c_str(), got, sizeof got - 1), static_cast<ssize_t>(target.size()))
                << name;
            EXPECT_EQ(std::string(got), target);
        }
        peer.close();
    }
    hardening::ExpectCleanStop(agent);
}

}  // namespace
