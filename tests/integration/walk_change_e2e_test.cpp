// A backup whose tree changes under it: directories renamed while the walk
// is inside one of them. The backup must finish, name what it could not
// read, keep everything that stayed in place, and leave the session usable.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>

#include "agent_process.h"
#include "client/archive_reader.h"
#include "client/backup.h"
#include "e2e_support.h"
#include "tree_builder.h"

namespace e2e {
namespace {

std::string two_digits(int i) { return zero_padded(i, 2); }

TEST(WalkChangeEndToEnd, DirectoriesRenamedDuringTheWalkEndInAReportNotACrash) {
    TempDir source("e2e-walk-src");
    TempDir work("e2e-walk-work");
    constexpr int kDirs = 12, kFiles = 15, kTopFiles = 8;
    for (int i = 0; i < kTopFiles; ++i) write_pattern_file(source.path() + "/f" + two_digits(i), 100 + i, i);
    for (int d = 0; d < kDirs; ++d) {
        const std::string dir = source.path() + "/d" + two_digits(d);
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir + "/inner").c_str(), 0755), 0);
        for (int f = 0; f < kFiles; ++f) {
            write_pattern_file(dir + "/x" + two_digits(f), 50, f);
            write_pattern_file(dir + "/inner/y" + two_digits(f), 60, f);
        }
    }

    agent_it::AgentProcess agent(export_config(source.path(), "TREE"));
    ASSERT_TRUE(agent.Start());
    auto peer = connect_peer(agent, "TREE");
    ASSERT_TRUE(peer.ok()) << peer.error().text;

    // Once the walk is inside an "inner" directory, with some directories
    // behind it and some ahead, every dNN becomes rNN.
    bool renamed = false;
    std::string renamed_while_in;
    grfs_client::BackupOptions options;
    options.on_progress = [&](uint64_t objects, uint64_t) {
        const std::string& cwd = peer->current_dir();
        if (renamed || objects < 3 * kFiles || cwd.size() < 6 || cwd.compare(cwd.size() - 6, 6, "/inner") != 0) return;
        renamed = true;
        renamed_while_in = cwd;
        for (int d = 0; d < kDirs; ++d) {
            const std::string from = source.path() + "/d" + two_digits(d), to = source.path() + "/r" + two_digits(d);
            if (rename(from.c_str(), to.c_str()) != 0) ADD_FAILURE() << "rename " << from;
        }
    };
    const std::string archive_path = work.path() + "/tree.grfsarc";
    auto report = grfs_client::backup_export(*peer, archive_path, options);
    ASSERT_TRUE(renamed) << "the walk never entered an inner directory";
    ASSERT_TRUE(report.ok()) << report.error().text;
    for (const auto& f : report->failures) std::printf("reported: %s: %s\n", f.path.c_str(), f.reason.c_str());

    // The directory the walk was in cannot be returned to: that is named.
    ASSERT_FALSE(report->failures.empty());
    const std::string parent = parent_of(renamed_while_in);
    bool named = false;
    for (const auto& f : report->failures) {
        EXPECT_EQ(f.path[0], 'd') << "only renamed directories are affected: " << f.path;
        named = named || f.path == parent;
    }
    EXPECT_TRUE(named) << "no failure names " << parent;

    // The archive is finished; nothing in it twice; everything that stayed
    // in place is in it once; everything in it existed under that name.
    auto reader = grfs_client::ArchiveReader::open(archive_path);
    ASSERT_TRUE(reader.ok()) << reader.error().text;
    LoadedArchive loaded = load_archive(*reader);
    ASSERT_TRUE(loaded.ok) << loaded.error;
    std::set<std::string> paths;
    for (const auto& o : loaded.objects) {
        const std::string path = object_path(o.dir, o.dblk);
        EXPECT_TRUE(paths.insert(path).second) << "twice: " << path;
    }
    for (int i = 0; i < kTopFiles; ++i) EXPECT_EQ(paths.count("f" + two_digits(i)), 1u) << i;
    for (const auto& path : paths) {
        if (path.empty() || path[0] == 'f') continue;
        EXPECT_TRUE(path[0] == 'd' || path[0] == 'r') << path;
    }

    // The session goes on: the root lists the renamed directories.
    auto listed = peer->list_directory("");
    ASSERT_TRUE(listed.ok()) << listed.error().text;
    std::set<std::string> names;
    for (const auto& d : *listed) names.insert(d.text());
    for (int d = 0; d < kDirs; ++d) EXPECT_EQ(names.count("r" + two_digits(d)), 1u) << d;
    peer->close();

    // The session process ended by itself when the connection closed.
    agent_it::AgentExit exit = agent.Stop();
    EXPECT_TRUE(exit.left.empty()) << exit.describe();
    for (const auto& [pid, status] : exit.others) {
        EXPECT_TRUE(WIFEXITED(status) || (WIFSIGNALED(status) && WTERMSIG(status) != SIGSEGV &&
                                          WTERMSIG(status) != SIGABRT && WTERMSIG(status) != SIGBUS))
            << exit.describe();
    }
}

}  // namespace
}  // namespace e2e
