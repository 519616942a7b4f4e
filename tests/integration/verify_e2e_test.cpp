// GRFS_VERIFY_OBJ_INFO on the agent's own blocks: every object of a walked
// tree verifies unchanged (0) with the DBLK exactly as the agent listed it,
// and a changed length or changed read permissions are found (-494) for
// that object alone. `grfsclient verify` on a restored copy names each
// changed attribute, and nothing on a faithful copy.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <map>

#include "agent_process.h"
#include "client/requests.h"
#include "e2e_support.h"
#include "tree_builder.h"

namespace e2e {
namespace {

struct Walked {
    std::string dir;
    grfs_client::Dblk dblk;
};

std::map<std::string, int16_t> verify_all(grfs_client::Peer& peer, const std::vector<Walked>& objects) {
    std::map<std::string, int16_t> out;
    for (const auto& w : objects) {
        const std::string path = object_path(w.dir, w.dblk);
        if (!w.dblk.is_directory()) {
            auto s = peer.change_dir(w.dir);
            if (!s.ok()) {
                ADD_FAILURE() << "change to '" << printable(w.dir) << "': " << s.text;
                continue;
            }
        }
        auto rc = grfs_client::verify_object_info(peer.connection(), peer.dle_id(), w.dblk);
        if (!rc.ok()) {
            ADD_FAILURE() << "verify of '" << printable(path) << "': " << rc.error().text;
            continue;
        }
        out[path] = *rc;
    }
    return out;
}

TEST(VerifyEndToEnd, TheAgentsOwnBlocksVerifyUntilSizeOrReadPermissionChange) {
    TempDir source("e2e-verify-src");
    TreeOptions options;
    options.large_file = false;
    options.special_modes = true;
    BuiltTree tree = build_tree(source.path(), options);

    agent_it::AgentConfig config;
    config.extra_lines = export_line(source.path(), "TREE") + "exclude_dir " + tree.excluded_path() + "\n";
    agent_it::AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());

    auto peer = connect_peer(agent, "TREE");
    ASSERT_TRUE(peer.ok()) << peer.error().text;
    std::vector<Walked> objects;
    grfs_client::WalkOptions walk;
    walk.include_start = true;
    auto s = peer->walk("", walk, [&](const grfs_client::WalkEntry& e) -> grfs_client::Status {
        objects.push_back({e.dir, e.dblk});
        return {};
    });
    ASSERT_TRUE(s.ok()) << s.text;
    ASSERT_GE(objects.size(), 20u);

    // Unchanged: every object, directories, links, FIFO, device and the
    // unreadable file included, verifies with 0.
    auto first = verify_all(*peer, objects);
    for (const auto& [path, rc] : first) EXPECT_EQ(rc, 0) << "'" << printable(path) << "'";

    // One file one byte longer, another without read permission.
    const std::string longer = names::kSpaced;
    const std::string unreadable = names::kLeaf;
    ASSERT_EQ(truncate((source.path() + "/" + longer).c_str(), 778), 0);
    ASSERT_EQ(chmod((source.path() + "/" + unreadable).c_str(), 0200), 0);

    auto second = verify_all(*peer, objects);
    ASSERT_EQ(second.size(), first.size());
    for (const auto& [path, rc] : second) {
        if (path == longer || path == unreadable)
            EXPECT_EQ(rc, GRFS_RC_VERIFY_MISMATCH) << "'" << printable(path) << "'";
        else
            EXPECT_EQ(rc, 0) << "'" << printable(path) << "'";
    }

    // Read permission for the group alone is read permission: unchanged.
    ASSERT_EQ(chmod((source.path() + "/" + unreadable).c_str(), 0240), 0);
    auto third = verify_all(*peer, objects);
    EXPECT_EQ(third[unreadable], 0);

    // A vanished object is reported missing.
    ASSERT_EQ(unlink((source.path() + "/" + names::kOne).c_str()), 0);
    auto fourth = verify_all(*peer, objects);
    EXPECT_EQ(fourth[names::kOne], GRFS_RC_BAD_OBJ_HANDLE);
    peer->close();

    agent_it::AgentExit exit = agent.Stop();
    EXPECT_TRUE(exit.left.empty()) << exit.describe();
}

void set_xattr(const std::string& path, const char* name, const std::string& value) {
    ASSERT_EQ(setxattr(path.c_str(), name, value.data(), value.size(), 0), 0) << path << " " << name << " errno " << errno;
}

TEST(VerifyEndToEnd, GrfsclientNamesEachChangedAttributeAndNothingOnAFaithfulCopy) {
    if (geteuid() != 0) GTEST_SKIP() << "owners are given back by root alone";
    TempDir source("e2e-verify-attr-src");
    TempDir target("e2e-verify-attr-dst");
    TempDir work("e2e-verify-attr-work");
    const std::string& src = source.path();
    for (const char* f : {"mode", "owned", "dated", "acl", "xattr"}) std::ofstream(src + "/" + f) << f;
    std::ofstream(src + "/sized") << "12345";
    ASSERT_EQ(chmod((src + "/mode").c_str(), 0777), 0);
    ASSERT_EQ(chown((src + "/owned").c_str(), 1, 1), 0);
    constexpr uint32_t kNone = 0xFFFFFFFF;
    set_xattr(src + "/acl", "system.posix_acl_access",
              acl_xattr_value({{0x01, 6, kNone}, {0x02, 6, 1001}, {0x04, 4, kNone}, {0x10, 6, kNone}, {0x20, 4, kNone}}));
    set_xattr(src + "/xattr", "user.note", "one");
    ASSERT_EQ(mkdir((src + "/grown").c_str(), 0755), 0);
    ASSERT_EQ(symlink("mode", (src + "/link").c_str()), 0);
    ASSERT_EQ(mknod((src + "/device").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);

    agent_it::AgentConfig config;
    config.extra_lines = "posix_acls\nxattrs\n" + export_line(src, "TREE") + export_line(target.path(), "COPY");
    agent_it::AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    const std::string archive = work.path() + "/tree.grfsarc";
    ProcessResult backup = run_grfsclient(with_session({"backup", agent_host_port(agent), "TREE", archive}, agent));
    ASSERT_EQ(backup.status, 0) << backup.describe();
    ProcessResult restore = run_grfsclient(with_session({"restore", archive, agent_host_port(agent), "COPY"}, agent));
    ASSERT_EQ(restore.status, 0) << restore.describe();
    const std::string dst = target.path();
    auto verify = [&] { return run_grfsclient(with_session({"verify", archive, agent_host_port(agent), "COPY"}, agent)); };

    // A faithful copy whose directory grew with entries made and removed:
    // its size is not the archived one, nothing else changed.
    {
        struct stat before {};
        ASSERT_EQ(stat((dst + "/grown").c_str(), &before), 0);
        auto name = [&](int i) { return dst + "/grown/an entry with a rather long name " + zero_padded(i, 3); };
        for (int i = 0; i < 300; ++i) std::ofstream(name(i)) << i;
        for (int i = 0; i < 300; ++i) ASSERT_EQ(unlink(name(i).c_str()), 0);
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, (dst + "/grown").c_str(), times, 0), 0);
        struct stat after {};
        ASSERT_EQ(stat((dst + "/grown").c_str(), &after), 0);
        ASSERT_NE(after.st_size, before.st_size);
    }
    ProcessResult same = verify();
    EXPECT_EQ(same.status, 0) << same.describe();
    EXPECT_NE(same.out.find("no differences"), std::string::npos) << same.describe();

    // Compared with a copy deeper than the wire's paths reach: every object
    // is named, and the summary still ends the run. A directory is named by
    // its whole path, at any depth: there is none there; a file would have
    // to be reached from its directory, which GRFS_CHANGE_DIR cannot name.
    const std::string deep_copy = std::string(200, 'd') + "/" + std::string(60, 'e');
    ProcessResult deep =
        run_grfsclient(with_session({"verify", archive, agent_host_port(agent), "COPY", "--to", deep_copy}, agent));
    EXPECT_EQ(deep.status, 1) << deep.describe();
    EXPECT_NE(deep.out.find("; 0 of 10 objects match\n"), std::string::npos) << deep.describe();
    EXPECT_NE(deep.out.find("  " + deep_copy + "/grown: missing\n"), std::string::npos) << deep.describe();
    EXPECT_NE(deep.out.find("  " + deep_copy + "/sized: not compared: its directory's path from the export root is 261 "
                                               "bytes, GRFS_CHANGE_DIR carries at most 255\n"),
              std::string::npos)
        << deep.describe();

    // Each change named, with the value now and the archived one.
    ASSERT_EQ(chmod((dst + "/mode").c_str(), 0600), 0);
    ASSERT_EQ(chown((dst + "/owned").c_str(), 2, static_cast<gid_t>(-1)), 0);
    struct tm old {};
    old.tm_year = 101;
    old.tm_mon = 5;
    old.tm_mday = 15;
    old.tm_hour = 12;
    old.tm_isdst = -1;
    const struct timeval old_times[2] = {{mktime(&old), 0}, {mktime(&old), 0}};
    ASSERT_EQ(utimes((dst + "/dated").c_str(), old_times), 0);
    ASSERT_EQ(truncate((dst + "/sized").c_str(), 3), 0);
    set_xattr(dst + "/acl", "system.posix_acl_access",
              acl_xattr_value({{0x01, 6, kNone}, {0x02, 4, 1001}, {0x04, 4, kNone}, {0x10, 6, kNone}, {0x20, 4, kNone}}));
    set_xattr(dst + "/xattr", "user.note", "two");
    {
        // Only the target changes: the new link gets the old one's times.
        struct stat was {};
        ASSERT_EQ(lstat((dst + "/link").c_str(), &was), 0);
        ASSERT_EQ(unlink((dst + "/link").c_str()), 0);
        ASSERT_EQ(symlink("else", (dst + "/link").c_str()), 0);
        const struct timespec times[2] = {was.st_atim, was.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, (dst + "/link").c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    }
    {
        struct stat was {};
        ASSERT_EQ(stat((dst + "/device").c_str(), &was), 0);
        ASSERT_EQ(unlink((dst + "/device").c_str()), 0);
        ASSERT_EQ(mknod((dst + "/device").c_str(), S_IFCHR | 0600, makedev(1, 5)), 0);
        const struct timespec times[2] = {was.st_atim, was.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, (dst + "/device").c_str(), times, 0), 0);
    }
    ProcessResult changed = verify();
    EXPECT_EQ(changed.status, 1) << changed.describe();
    for (const std::string line :
         {"8 difference(s):\n", "  mode: mode is 0600, the archive has 0777\n", "  owned: owner is 2, the archive has 1\n",
          "  dated: mtime is 2001-06-15 12:00:00, the archive has ", "  sized: size is 3, the archive has 5",
          "  acl: ACL entry user:1001 is r--, the archive has rw-\n",
          "  xattr: attribute user.note differs (3 bytes, the archive has 3)\n",
          "  link: link target is 'else', the archive has 'mode'\n", "  device: device is 1,5, the archive has 1,3\n"})
        EXPECT_NE(changed.out.find(line), std::string::npos) << line << changed.describe();

    agent_it::AgentExit exit = agent.Stop();
    EXPECT_TRUE(exit.left.empty()) << exit.describe();
}

}  // namespace
}  // namespace e2e
