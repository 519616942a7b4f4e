// Listings that a server leaves and comes back to, against the real agent:
// searches left unfinished while many others are started, and searches
// resumed in random order while the directories change. Every entry that
// stays in place throughout is listed exactly once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "agent_process.h"
#include "client/requests.h"
#include "e2e_support.h"
#include "tree_builder.h"

namespace e2e {
namespace {

std::string numbered(const char* prefix, int i) { return prefix + zero_padded(i, 3); }

void make_file(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    close(fd);
}

void make_dir(const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }

// How often each name was listed.
using Counts = std::map<std::string, int>;

int times(const Counts& counts, const std::string& name) {
    auto it = counts.find(name);
    return it == counts.end() ? 0 : it->second;
}

// One search of the current directory; false when it holds no entry.
bool start_search(grfs_client::Peer& peer, grfs_client::Dblk& last, Counts* counts) {
    auto found = grfs_client::find_first(peer.connection(), peer.dle_id());
    EXPECT_TRUE(found.ok()) << found.error().text;
    if (!found.ok() || !found->has_value()) return false;
    last = **found;
    if (counts != nullptr) (*counts)[last.text()]++;
    return true;
}

// One step of a search; false when it is exhausted (or failed).
bool step_search(grfs_client::Peer& peer, grfs_client::Dblk& last, Counts& counts) {
    auto found = grfs_client::find_next(peer.connection(), peer.dle_id(), last);
    EXPECT_TRUE(found.ok()) << found.error().text;
    if (!found.ok() || !found->has_value()) return false;
    last = **found;
    counts[last.text()]++;
    return true;
}

TEST(ListingResume, SearchLeftWhileTwoHundredSubdirectoriesAreProbedListsAllItsEntries) {
    TempDir source("listing-abandoned");
    constexpr int kSubdirs = 200, kFiles = 200;
    for (int i = 0; i < kSubdirs; ++i) {
        make_dir(source.path() + "/" + numbered("d", i));
        make_file(source.path() + "/" + numbered("d", i) + "/inside");
    }
    for (int i = 0; i < kFiles; ++i) make_file(source.path() + "/" + numbered("f", i));

    agent_it::AgentProcess agent(export_config(source.path(), "TREE"));
    ASSERT_TRUE(agent.Start());
    auto peer = connect_peer(agent, "TREE");
    ASSERT_TRUE(peer.ok()) << peer.error().text;

    Counts root;
    grfs_client::Dblk last;
    ASSERT_TRUE(peer->change_dir("").ok());
    ASSERT_TRUE(start_search(*peer, last, &root));
    // Each subdirectory probed by a search that is never finished.
    for (int i = 0; i < kSubdirs; ++i) {
        ASSERT_TRUE(peer->change_dir(numbered("d", i)).ok());
        grfs_client::Dblk probe;
        ASSERT_TRUE(start_search(*peer, probe, nullptr)) << i;
    }
    ASSERT_TRUE(peer->change_dir("").ok());
    while (step_search(*peer, last, root)) {
    }

    EXPECT_EQ(root.size(), static_cast<size_t>(kSubdirs + kFiles));
    for (int i = 0; i < kSubdirs; ++i) EXPECT_EQ(times(root, numbered("d", i)), 1) << numbered("d", i);
    for (int i = 0; i < kFiles; ++i) EXPECT_EQ(times(root, numbered("f", i)), 1) << numbered("f", i);
    peer->close();
    agent_it::AgentExit exit = agent.Stop();
    EXPECT_TRUE(exit.left.empty()) << exit.describe();
}

TEST(ListingResume, InterleavedSearchesResumedInRandomOrderUnderChurnListEveryStableEntryOnce) {
    TempDir source("listing-churn");
    const std::vector<std::string> dirs{"a", "b", "c"};
    constexpr int kStable = 300, kVolatile = 150, kProbes = 170;
    for (const auto& dir : dirs) {
        make_dir(source.path() + "/" + dir);
        for (int i = 0; i < kStable; ++i) make_file(source.path() + "/" + dir + "/" + numbered("s", i));
        for (int i = 0; i < kVolatile; ++i) make_file(source.path() + "/" + dir + "/" + numbered("v", i));
    }
    make_dir(source.path() + "/probe");
    make_file(source.path() + "/probe/inside");

    agent_it::AgentProcess agent(export_config(source.path(), "TREE"));
    ASSERT_TRUE(agent.Start());
    auto peer = connect_peer(agent, "TREE");
    ASSERT_TRUE(peer.ok()) << peer.error().text;

    std::vector<Counts> counts(dirs.size());
    std::vector<grfs_client::Dblk> last(dirs.size());
    std::vector<bool> done(dirs.size(), false);
    for (size_t d = 0; d < dirs.size(); ++d) {
        ASSERT_TRUE(peer->change_dir(dirs[d]).ok());
        ASSERT_TRUE(start_search(*peer, last[d], &counts[d]));
    }

    // Meanwhile other entries come and go in all three directories.
    std::atomic<bool> stop{false};
    std::atomic<int> added{0}, removed{0};
    std::thread churn([&] {
        int i = 0;
        while (!stop.load()) {
            const std::string dir = source.path() + "/" + dirs[i % dirs.size()] + "/";
            close(open((dir + numbered("n", i)).c_str(), O_WRONLY | O_CREAT, 0644));
            added++;
            if (i < kVolatile * static_cast<int>(dirs.size()) &&
                unlink((dir + numbered("v", i / static_cast<int>(dirs.size()))).c_str()) == 0) {
                removed++;
            }
            ++i;
            usleep(500);
        }
    });

    // Resumed in random order; now and then the server starts a batch of
    // other searches it never finishes, so that the three must give way.
    std::mt19937 random(20240611);
    int steps = 0;
    while (!(done[0] && done[1] && done[2])) {
        size_t d = random() % dirs.size();
        if (done[d]) continue;
        done[d] = !step_search(*peer, last[d], counts[d]);
        if (++steps % 60 == 0) {
            ASSERT_TRUE(peer->change_dir("probe").ok());
            for (int p = 0; p < kProbes; ++p) {
                grfs_client::Dblk probe;
                ASSERT_TRUE(start_search(*peer, probe, nullptr));
            }
        }
    }
    stop = true;
    churn.join();
    EXPECT_GT(added.load(), 0);
    EXPECT_GT(removed.load(), 0);

    for (size_t d = 0; d < dirs.size(); ++d) {
        for (int i = 0; i < kStable; ++i) {
            EXPECT_EQ(times(counts[d], numbered("s", i)), 1) << dirs[d] << "/" << numbered("s", i);
        }
        for (const auto& [name, n] : counts[d]) {
            EXPECT_EQ(n, 1) << dirs[d] << "/" << name << " listed " << n << " times";
            EXPECT_TRUE(name[0] == 's' || name[0] == 'v' || name[0] == 'n') << name;
        }
    }
    peer->close();
    agent_it::AgentExit exit = agent.Stop();
    EXPECT_TRUE(exit.left.empty()) << exit.describe();
}

}  // namespace
}  // namespace e2e
