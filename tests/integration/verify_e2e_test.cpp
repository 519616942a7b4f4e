// GRFS_VERIFY_OBJ_INFO on the agent's own blocks: every object of a walked
// tree verifies unchanged (0) with the DBLK exactly as the agent listed it,
// and a changed length or changed read permissions are found (-494) for
// that object alone.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace e2e
