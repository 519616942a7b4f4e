// A real tree with foreign owners, special permission bits, old times,
// hard links, links, a FIFO and a device, backed up with `grfsclient
// backup`, restored with `grfsclient restore` into a second, empty export,
// compared with the source on disk, and checked with `grfsclient verify`
// before and after one restored file is changed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "agent_process.h"
#include "client/archive_reader.h"
#include "e2e_support.h"
#include "tree_builder.h"

namespace e2e {
namespace {

bool below(const std::string& path, const std::string& dir) {
    return path == dir || path.rfind(dir + "/", 0) == 0;
}

TEST(RestoreEndToEnd, ARestoredTreeEqualsItsSourceAndVerifiesUntilChanged) {
    TempDir source("e2e-restore-src");
    TempDir target("e2e-restore-dst");
    TempDir work("e2e-restore-work");
    TreeOptions options;
    options.foreign_owners = true;
    options.special_modes = true;
    options.old_times = true;
    // Without root an unreadable file cannot be backed up at all.
    options.unreadable_file = geteuid() == 0;
    BuiltTree tree = build_tree(source.path(), options);
    for (const auto& s : tree.skipped) std::printf("note: %s\n", s.c_str());
    const auto before = snapshot(source.path());

    agent_it::AgentConfig config;
    config.extra_lines = export_line(source.path(), "TREE") + export_line(target.path(), "COPY") + "exclude_dir " +
                         tree.excluded_path() + "\n";
    agent_it::AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());

    const std::string archive_path = work.path() + "/tree.grfsarc";
    ProcessResult backup = run_grfsclient(with_session({"backup", agent_host_port(agent), "TREE", archive_path}, agent));
    ASSERT_EQ(backup.status, 0) << backup.describe();

    ProcessResult restore = run_grfsclient(with_session({"restore", archive_path, agent_host_port(agent), "COPY"}, agent));
    ASSERT_EQ(restore.status, 0) << restore.describe();

    const auto after = snapshot(target.path());

    // What the backup carried, for the access times: a file read by the
    // backup before its second name was listed carries the new access time
    // under that name.
    auto reader = grfs_client::ArchiveReader::open(archive_path);
    ASSERT_TRUE(reader.ok()) << reader.error().text;
    LoadedArchive loaded = load_archive(*reader);
    ASSERT_TRUE(loaded.ok) << loaded.error;
    std::map<std::string, DATE_TIME> carried_atime;
    std::map<uint64_t, DATE_TIME> last_atime_of_inode;  // the last name restored sets the shared inode's times
    std::map<std::string, uint64_t> inode_of;
    for (const auto& object : loaded.objects) {
        const std::string path = object_path(object.dir, object.dblk);
        carried_atime[path] = object.dblk.access_time();
        inode_of[path] = object.dblk.unix_info().ino;
        last_atime_of_inode[object.dblk.unix_info().ino] = object.dblk.access_time();
    }

    std::set<std::string> expected, got;
    for (const auto& [path, e] : before) {
        if (!(tree.has_excluded && below(path, names::kExcluded))) expected.insert(path);
    }
    for (const auto& [path, e] : after) got.insert(path);
    EXPECT_EQ(got, expected);

    for (const auto& [path, want] : before) {
        if (path.empty()) continue;  // the export's root is not restored
        auto it = after.find(path);
        if (it == after.end()) continue;
        SCOPED_TRACE("restored '" + printable(path) + "'");
        const struct stat& s = want.st;
        const struct stat& r = it->second.st;
        ASSERT_EQ(r.st_mode & S_IFMT, s.st_mode & S_IFMT);
        EXPECT_EQ(r.st_uid, s.st_uid);
        EXPECT_EQ(r.st_gid, s.st_gid);
        EXPECT_EQ(r.st_nlink, s.st_nlink);
        if (S_ISLNK(s.st_mode)) {
            // Links carry their target; they get no mode and no times.
            EXPECT_EQ(it->second.link_target, want.link_target);
            continue;
        }
        EXPECT_EQ(r.st_mode & 07777, s.st_mode & 07777) << std::oct << r.st_mode << " vs " << s.st_mode;
        EXPECT_EQ(r.st_mtime, s.st_mtime);
        const DATE_TIME restored_atime = std_date(r.st_atime);
        EXPECT_TRUE(same_date(restored_atime, last_atime_of_inode[inode_of[path]]))
            << date_text(restored_atime) << " vs " << date_text(last_atime_of_inode[inode_of[path]]);
        if (same_date(carried_atime[path], std_date(s.st_atime)) && s.st_nlink == 1) {
            EXPECT_EQ(r.st_atime, s.st_atime);
        }
        if (S_ISCHR(s.st_mode) || S_ISBLK(s.st_mode)) {
            EXPECT_EQ(r.st_rdev, s.st_rdev);
        }
        if (S_ISREG(s.st_mode)) {
            const std::string src = source.path() + "/" + path;
            int fd = open(src.c_str(), O_RDONLY);
            ASSERT_GE(fd, 0);
            std::string diff = compare_file(target.path() + "/" + path, static_cast<uint64_t>(s.st_size),
                                            [&](uint64_t offset, unsigned char* out, size_t n) {
                                                return pread(fd, out, n, static_cast<off_t>(offset)) ==
                                                       static_cast<ssize_t>(n);
                                            });
            close(fd);
            EXPECT_EQ(diff, "");
        }
    }
    // The hard-linked pair is one file again.
    ASSERT_TRUE(after.count(names::kHardA) && after.count(names::kHardB));
    EXPECT_EQ(after.at(names::kHardA).st.st_ino, after.at(names::kHardB).st.st_ino);
    if (tree.has_foreign_owners) {
        EXPECT_EQ(after.at(names::kSetuid).st.st_mode & 07777, 04755u);
        EXPECT_EQ(after.at(names::kSetuid).st.st_uid, kForeignUid);
    }

    ProcessResult same = run_grfsclient(with_session({"verify", archive_path, agent_host_port(agent), "COPY"}, agent));
    EXPECT_EQ(same.status, 0) << same.describe();
    EXPECT_NE(same.out.find("no differences"), std::string::npos) << same.describe();

    // One byte of one restored file changed, its length kept: only the
    // contents can tell, and exactly that object is named.
    {
        const std::string changed = target.path() + "/" + names::kLeaf;
        int fd = open(changed.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        unsigned char byte = 0;
        ASSERT_EQ(pread(fd, &byte, 1, 100), 1);
        byte ^= 0x5A;
        ASSERT_EQ(pwrite(fd, &byte, 1, 100), 1);
        close(fd);
    }
    ProcessResult differs = run_grfsclient(with_session({"verify", archive_path, agent_host_port(agent), "COPY"}, agent));
    EXPECT_EQ(differs.status, 1) << differs.describe();
    EXPECT_NE(differs.out.find("1 difference(s):"), std::string::npos) << differs.describe();
    EXPECT_NE(differs.out.find("  " + names::kLeaf + ": "), std::string::npos) << differs.describe();

    agent_it::AgentExit exit = agent.Stop();
    EXPECT_TRUE(exit.left.empty()) << exit.describe();
}

}  // namespace
}  // namespace e2e
