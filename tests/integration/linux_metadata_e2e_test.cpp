// Times to the nanosecond, inode flags and unix sockets through backup and
// restore (keyword linux_metadata): a tree with a file, a directory and a
// symbolic link of nanosecond times, a no-dump file, an immutable and an
// append-only file, an immutable directory with a file in it and a socket
// is backed up, restored into an empty export
// and once more over the result, and comes back equal each time, verify
// included; a flag the file system refuses is named on the console while
// the others are set, and an immutable file a restore writes into gets its
// flag back; an agent without the keyword sends nothing new,
// drops the stream and still refuses the socket.
#include <fcntl.h>
#include <ftw.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "agent_process.h"
#include "client/backup.h"
#include "client/requests.h"
#include "client/restore.h"
#include "client/verify.h"
#include "e2e_support.h"
#include "file_text.h"
#include "grfs/messages.h"
#include "hardening_support.h"
#include "tree_builder.h"

namespace {

using agent_it::AgentConfig;
using agent_it::AgentProcess;

constexpr uint16_t kReasonRestore = 0x4;
constexpr uint32_t kLxmd = 0x444D584C;
constexpr uint32_t kCompared = FS_IMMUTABLE_FL | FS_APPEND_FL | FS_NODUMP_FL | FS_NOATIME_FL;

// The inode flags of path, or -1 where they cannot be read.
long flags_of(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    int flags = 0;
    const int rc = ioctl(fd, FS_IOC_GETFLAGS, &flags);
    close(fd);
    return rc == 0 ? static_cast<long>(static_cast<uint32_t>(flags)) : -1;
}

bool set_flags(const std::string& path, uint32_t add, uint32_t remove = 0) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = static_cast<int>((static_cast<uint32_t>(flags) | add) & ~remove);
    ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    close(fd);
    return ok;
}

// Takes immutable and append-only off everything below a directory, so that
// it can be removed.
void unlock_tree(const std::string& root) {
    nftw(
        root.c_str(),
        [](const char* path, const struct stat* st, int, struct FTW*) {
            if (S_ISREG(st->st_mode) || S_ISDIR(st->st_mode)) set_flags(path, 0, FS_IMMUTABLE_FL | FS_APPEND_FL);
            return 0;
        },
        16, FTW_PHYS);
}

// A scratch directory that is unlocked before it is removed.
struct Scratch {
    e2e::TempDir dir{"agent-lxmeta"};
    ~Scratch() { unlock_tree(dir.path()); }
};

struct Expected {
    std::string path;
    timespec mtime;
    timespec atime;
    uint32_t flags;  // of kCompared
};

void set_times(const std::string& path, const timespec& atime, const timespec& mtime) {
    const timespec times[2] = {atime, mtime};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path << ": " << std::strerror(errno);
}

void make_socket(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
    close(s);
}

// The source tree; the immutable and append-only files only where they can
// be made (root on a file system with flags). Files and directories are
// no-atime, so that reading them (the backup, verify) leaves their access
// times as they are; a link's is taken before its target is read.
std::vector<Expected> build_source(const std::string& root, bool locking) {
    std::vector<Expected> out;
    e2e::write_file(root + "/data.txt", "data\n");
    EXPECT_TRUE(set_flags(root + "/data.txt", FS_NODUMP_FL | FS_NOATIME_FL));
    out.push_back({"data.txt", {1614834367, 123456789}, {1600000000, 500000001}, FS_NODUMP_FL | FS_NOATIME_FL});
    EXPECT_EQ(mkdir((root + "/dir").c_str(), 0750), 0);
    e2e::write_file(root + "/dir/inner.txt", "inner\n");
    out.push_back({"dir/inner.txt", {1000000000, 1}, {1000000001, 999999999}, FS_NOATIME_FL});
    EXPECT_EQ(symlink("data.txt", (root + "/link").c_str()), 0);
    out.push_back({"link", {1500000000, 424242424}, {1500000001, 7}, 0});
    make_socket(root + "/sock");
    if (locking) {
        e2e::write_file(root + "/locked.txt", "locked\n");
        e2e::write_file(root + "/log.txt", "log\n");
        out.push_back(
            {"locked.txt", {1234567890, 987654321}, {1234567891, 5}, FS_IMMUTABLE_FL | FS_NODUMP_FL | FS_NOATIME_FL});
        out.push_back({"log.txt", {1234567000, 111}, {1234567001, 222}, FS_APPEND_FL | FS_NOATIME_FL});
        // Its entry is made after its own close: the flag must wait.
        EXPECT_EQ(mkdir((root + "/sealed").c_str(), 0755), 0);
        e2e::write_file(root + "/sealed/kept.txt", "kept\n");
        out.push_back({"sealed/kept.txt", {1300000000, 3}, {1300000001, 4}, FS_NOATIME_FL});
        out.push_back({"sealed", {1310000000, 30}, {1310000001, 40}, FS_IMMUTABLE_FL | FS_NOATIME_FL});
    }
    // The directory last: its entries are made.
    out.push_back({"dir", {1700000000, 900000000}, {1700000001, 100}, FS_NOATIME_FL});
    for (const Expected& e : out) set_times(root + "/" + e.path, e.atime, e.mtime);
    for (const Expected& e : out) {
        if (e.flags != 0 && e.path != "data.txt") {
            EXPECT_TRUE(set_flags(root + "/" + e.path, e.flags)) << e.path;
        }
    }
    return out;
}

void expect_restored(const std::string& target, const std::vector<Expected>& expected) {
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.path);
        struct stat st {};
        ASSERT_EQ(lstat((target + "/" + e.path).c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, e.mtime.tv_sec);
        EXPECT_EQ(st.st_mtim.tv_nsec, e.mtime.tv_nsec);
        EXPECT_EQ(st.st_atim.tv_sec, e.atime.tv_sec);
        EXPECT_EQ(st.st_atim.tv_nsec, e.atime.tv_nsec);
        if (!S_ISLNK(st.st_mode)) {
            EXPECT_EQ(flags_of(target + "/" + e.path) & kCompared, static_cast<long>(e.flags));
        }
    }
    struct stat sock {};
    ASSERT_EQ(lstat((target + "/sock").c_str(), &sock), 0);
    EXPECT_TRUE(S_ISSOCK(sock.st_mode));
}

// Whether the file system below dir keeps inode flags, and whether this
// process may set immutable there.
bool flags_work(const std::string& dir, bool* locking) {
    const std::string probe = dir + "/probe";
    e2e::write_file(probe, "");
    const bool nodump = set_flags(probe, FS_NODUMP_FL);
    *locking = nodump && set_flags(probe, FS_IMMUTABLE_FL) && set_flags(probe, 0, FS_IMMUTABLE_FL);
    unlink(probe.c_str());
    return nodump;
}

grfs_client::RestoreReport restore(const AgentProcess& agent, const std::string& archive, const std::string& dle) {
    grfs_client::Peer peer = e2e::expect_peer(agent, dle, kReasonRestore);
    auto report = grfs_client::restore_archive(peer, archive);
    EXPECT_TRUE(report.ok()) << report.error().text;
    return report.ok() ? *report : grfs_client::RestoreReport{};
}

int count_lxmd(const std::string& archive) {
    auto reader = grfs_client::ArchiveReader::open(archive);
    EXPECT_TRUE(reader.ok());
    if (!reader.ok()) return -1;
    e2e::LoadedArchive loaded = e2e::load_archive(*reader);
    int n = 0;
    for (const auto& object : loaded.objects)
        for (const auto& s : object.streams) n += s.header.id == kLxmd;
    return n;
}

TEST(LinuxMetadataEndToEnd, TimesFlagsAndSocketsSurviveARestoreAndASecondOneOverIt) {
    Scratch scratch;
    bool locking = false;
    if (!flags_work(scratch.dir.path(), &locking)) GTEST_SKIP() << "the file system here keeps no inode flags";
    const std::string source = scratch.dir.path() + "/src";
    const std::string target = scratch.dir.path() + "/dst";
    const std::string plain = scratch.dir.path() + "/without";
    for (const auto& d : {source, target, plain}) ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    const std::vector<Expected> expected = build_source(source, locking);
    const std::string archive = scratch.dir.path() + "/tree.grfsarc";

    AgentConfig config;
    config.extra_lines = e2e::export_line(source, "SRC") + e2e::export_line(target, "DST") + "linux_metadata\n";
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    {
        grfs_client::Peer peer = e2e::expect_peer(agent, "SRC");
        auto backup = grfs_client::backup_export(peer, archive);
        ASSERT_TRUE(backup.ok()) << backup.error().text;
        EXPECT_TRUE(backup->ok());
    }
    // The root, data.txt, dir, dir/inner.txt, link, and the locked files.
    EXPECT_EQ(count_lxmd(archive), locking ? 9 : 5);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "into the empty export" : "over the restored tree");
        grfs_client::RestoreReport report = restore(agent, archive, "DST");
        EXPECT_TRUE(report.ok()) << (report.failures.empty() ? "" : report.failures[0].path + ": " +
                                                                        report.failures[0].reason);
        expect_restored(target, expected);
        if (locking) {
            EXPECT_EQ(e2e::read_file(target + "/locked.txt"), "locked\n");
            EXPECT_EQ(e2e::read_file(target + "/log.txt"), "log\n");
            EXPECT_EQ(e2e::read_file(target + "/sealed/kept.txt"), "kept\n");
        }
        grfs_client::Peer peer = e2e::expect_peer(agent, "DST");
        auto verified = grfs_client::verify_archive(peer, archive);
        ASSERT_TRUE(verified.ok()) << verified.error().text;
        EXPECT_TRUE(verified->ok()) << verified->differences[0].path << ": " << verified->differences[0].reason;
    }
    // Verify names a changed time to the nanosecond and a changed flag (the
    // link's access time, moved by verify's reading of its target, is set
    // back by one more restore first).
    EXPECT_TRUE(restore(agent, archive, "DST").ok());
    set_times(target + "/data.txt", {1600000000, 500000001}, {1614834367, 123456780});
    ASSERT_TRUE(set_flags(target + "/data.txt", 0, FS_NODUMP_FL));
    {
        grfs_client::Peer peer = e2e::expect_peer(agent, "DST");
        auto verified = grfs_client::verify_archive(peer, archive);
        ASSERT_TRUE(verified.ok()) << verified.error().text;
        ASSERT_EQ(verified->differences.size(), 1u);
        EXPECT_EQ(verified->differences[0].path, "data.txt");
        EXPECT_NE(verified->differences[0].reason.find(
                      "modification time is 1614834367.123456780 s UTC, the archive has 1614834367.123456789 s"),
                  std::string::npos)
            << verified->differences[0].reason;
        EXPECT_NE(verified->differences[0].reason.find("inode flags no-dump are missing"), std::string::npos)
            << verified->differences[0].reason;
    }
    EXPECT_EQ(agent.Stderr().find("not set"), std::string::npos) << agent.Stderr();
    hardening::ExpectCleanStop(agent);

    // Without the keyword: no new stream, the stream is dropped, and a
    // socket is refused as before.
    AgentConfig without;
    without.extra_lines = e2e::export_line(source, "SRC") + e2e::export_line(plain, "PLAIN");
    without.args = {"-d", "8"};
    AgentProcess old_agent(without);
    ASSERT_TRUE(old_agent.Start());
    {
        grfs_client::Peer peer = e2e::expect_peer(old_agent, "SRC");
        const std::string old_archive = scratch.dir.path() + "/old.grfsarc";
        auto backup = grfs_client::backup_export(peer, old_archive);
        ASSERT_TRUE(backup.ok()) << backup.error().text;
        EXPECT_EQ(count_lxmd(old_archive), 0);
    }
    grfs_client::RestoreReport report = restore(old_agent, archive, "PLAIN");
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_EQ(report.failures[0].path, "sock");
    EXPECT_NE(report.failures[0].reason.find("-507"), std::string::npos) << report.failures[0].reason;
    EXPECT_EQ(e2e::read_file(plain + "/data.txt"), "data\n");
    EXPECT_EQ(flags_of(plain + "/data.txt") & kCompared, 0);
    EXPECT_TRUE(old_agent.WaitForStderr("Unix_WriteFile: unknown stream, type = 1145919564", 5000));
    hardening::ExpectCleanStop(old_agent);
}

// stream as the LXMD stream of a new empty file, announced with its size;
// the write's retcode.
int16_t write_lxmd(grfs_client::Peer& peer, const grfs_client::Dblk& file, const std::vector<unsigned char>& stream) {
    grfs_client::Connection& c = peer.connection();
    EXPECT_EQ(e2e::replied_retcode(grfs_client::create_object(c, peer.dle_id(), file)), 0);
    auto opened = grfs_client::open_object(c, peer.dle_id(), file, GRFS_OPEN_WRITE);
    EXPECT_TRUE(opened.ok());
    if (!opened.ok()) return 1;
    GRFS_STREAM_INFO header{};
    header.id = kLxmd;
    header.size = U64_Init(static_cast<uint32_t>(stream.size()), 0);
    auto w = grfs_client::write_piece(c, opened->obj_id, 0, header, stream);
    EXPECT_TRUE(grfs_client::close_object(c, opened->obj_id).ok());
    return e2e::failed_retcode(w);
}

std::vector<unsigned char> lxmd(uint16_t version, int64_t mtime, uint32_t mtime_ns, uint32_t flags) {
    std::vector<unsigned char> b(32);
    auto put = [&](size_t at, uint64_t v, int n) {
        for (int i = 0; i < n; ++i) b[at + static_cast<size_t>(i)] = static_cast<unsigned char>(v >> (8 * i));
    };
    put(0, version, 2);
    put(2, 1, 2);
    put(4, static_cast<uint64_t>(mtime), 8);
    put(12, mtime_ns, 4);
    put(16, static_cast<uint64_t>(mtime), 8);
    put(24, mtime_ns, 4);
    put(28, flags, 4);
    return b;
}

TEST(LinuxMetadataEndToEnd, AMalformedStreamSetsNothingAndARefusedFlagIsNamedWhileTheOthersAreSet) {
    Scratch scratch;
    bool locking = false;
    if (!flags_work(scratch.dir.path(), &locking)) GTEST_SKIP() << "the file system here keeps no inode flags";
    AgentConfig config;
    config.extra_lines = e2e::export_line(scratch.dir.path(), "SCRATCH") + "linux_metadata\n";
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    e2e::write_file(scratch.dir.path() + "/model.txt", "");
    {
        grfs_client::Peer peer = e2e::expect_peer(agent, "SCRATCH", kReasonRestore);
        auto model = e2e::find_listed(peer, "", "model.txt");
        ASSERT_TRUE(model);
        EXPECT_EQ(write_lxmd(peer, *model, lxmd(2, 1000, 5, FS_NODUMP_FL)), GRFS_RC_INVALID_REQUEST);
        EXPECT_EQ(write_lxmd(peer, *model, lxmd(1, 1000, 1000000000, FS_NODUMP_FL)), GRFS_RC_INVALID_REQUEST);
        struct stat st {};
        ASSERT_EQ(lstat((scratch.dir.path() + "/model.txt").c_str(), &st), 0);
        EXPECT_NE(st.st_mtim.tv_sec, 1000);
        // No copy-on-write is a flag ext4 refuses; no-dump is still set.
        EXPECT_EQ(write_lxmd(peer, *model, lxmd(1, 1000, 5, FS_NODUMP_FL | FS_NOCOW_FL)), 0);
        ASSERT_EQ(lstat((scratch.dir.path() + "/model.txt").c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, 1000);
        EXPECT_EQ(st.st_mtim.tv_nsec, 5);

        // An immutable file found under the name, opened for writing without
        // a create: its flag is taken away for the write and set again.
        if (locking) {
            const std::string found = scratch.dir.path() + "/found.txt";
            e2e::write_file(found, "old\n");
            ASSERT_TRUE(set_flags(found, FS_IMMUTABLE_FL));
            auto listed = e2e::find_listed(peer, "", "found.txt");
            ASSERT_TRUE(listed);
            grfs_client::Connection& c = peer.connection();
            auto opened = grfs_client::open_object(c, peer.dle_id(), *listed, GRFS_OPEN_WRITE);
            ASSERT_TRUE(opened.ok()) << opened.error().text;
            GRFS_STREAM_INFO stan{};
            stan.id = 0x4E415453;
            stan.size = U64_Init(4, 0);
            const std::string data = "new\n";
            auto d = grfs_client::write_piece(
                c, opened->obj_id, 0, stan,
                std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(data.data()), data.size()));
            EXPECT_TRUE(d.ok());
            GRFS_STREAM_INFO header{};
            header.id = kLxmd;
            header.size = U64_Init(32, 0);
            EXPECT_TRUE(grfs_client::write_piece(c, opened->obj_id, 0, header, lxmd(1, 2000, 6, FS_IMMUTABLE_FL)).ok());
            EXPECT_TRUE(grfs_client::close_object(c, opened->obj_id).ok());
        }
    }
    if (locking) {
        EXPECT_EQ(e2e::read_file(scratch.dir.path() + "/found.txt"), "new\n");
        EXPECT_EQ(flags_of(scratch.dir.path() + "/found.txt") & kCompared, FS_IMMUTABLE_FL);
    }
    // Set when the DLE is detached.
    EXPECT_EQ(flags_of(scratch.dir.path() + "/model.txt") & FS_NODUMP_FL, FS_NODUMP_FL);
    if ((flags_of(scratch.dir.path() + "/model.txt") & FS_NOCOW_FL) == 0) {
        EXPECT_TRUE(agent.WaitForStderr("model.txt: inode flags no-cow not set: ", 5000)) << agent.Stderr();
    }
    hardening::ExpectCleanStop(agent);
}

}  // namespace
