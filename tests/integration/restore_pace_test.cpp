// A restore of files larger than one write request among files of a few
// kilobytes: once the small files' requests had shrunk the agent's receive
// window below one full write request, every such request waited about
// 200 ms for its last bytes, which the sender held back until its persist
// timer fired.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "agent_process.h"
#include "client/backup.h"
#include "client/restore.h"
#include "e2e_support.h"
#include "tree_builder.h"

namespace e2e {
namespace {

constexpr uint16_t kReasonRestore = 0x4;
constexpr int kSmallFiles = 300;
constexpr size_t kSmallSize = 2500;
constexpr int kLargeFiles = 10;
constexpr size_t kLargeSize = 40000;  // one full write request and a short one
constexpr int kRounds = 2;
// Half of the old wait per file: a loaded machine may be several times
// slower than an idle one (a restore takes about 150 ms on a busy one) and
// still pass, while the old waits (2 x 10 x 200 ms) exceed it twice over.
constexpr auto kBound = std::chrono::milliseconds(kRounds * kLargeFiles * 200 / 2);

std::string file_bytes(int seed, size_t size) {
    std::string s(size, '\0');
    uint32_t x = 2463534242u + static_cast<uint32_t>(seed);
    for (char& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return s;
}

TEST(RestorePace, FilesOverOneWriteRequestRestoreWithoutWaiting) {
    TempDir source("e2e-pace-src");
    TempDir target("e2e-pace-dst");
    TempDir work("e2e-pace-work");
    for (int i = 0; i < kSmallFiles; ++i) write_file(source.path() + "/med-" + zero_padded(i, 3), file_bytes(-i, kSmallSize));
    for (int i = 0; i < kLargeFiles; ++i) write_file(source.path() + "/large-" + zero_padded(i, 2), file_bytes(i, kLargeSize));

    agent_it::AgentConfig config;
    config.extra_lines = export_line(source.path(), "TREE") + export_line(target.path(), "COPY");
    agent_it::AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());

    const std::string archive = work.path() + "/tree.grfsarc";
    {
        grfs_client::Peer peer = expect_peer(agent, "TREE");
        auto backup = grfs_client::backup_export(peer, archive);
        ASSERT_TRUE(backup.ok()) << backup.error().text;
        ASSERT_TRUE(backup->ok());
    }

    // Twice, each in a session of its own, the second over the first.
    std::chrono::steady_clock::duration took{};
    for (int round = 0; round < kRounds; ++round) {
        grfs_client::Peer peer = expect_peer(agent, "COPY", kReasonRestore);
        const auto start = std::chrono::steady_clock::now();
        auto report = grfs_client::restore_archive(peer, archive);
        took += std::chrono::steady_clock::now() - start;
        ASSERT_TRUE(report.ok()) << report.error().text;
        EXPECT_TRUE(report->ok()) << (report->failures.empty() ? "" : report->failures[0].reason);
    }
    EXPECT_LT(took, kBound) << kRounds << " restores of " << kLargeFiles << " files of " << kLargeSize << " bytes among "
                            << kSmallFiles << " of " << kSmallSize << " took "
                            << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";

    for (int i = 0; i < kLargeFiles; ++i) {
        const std::string name = "/large-" + zero_padded(i, 2);
        EXPECT_EQ(read_file(target.path() + name), file_bytes(i, kLargeSize)) << name;
    }
}

}  // namespace
}  // namespace e2e
