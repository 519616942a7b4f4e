// session_idle_timeout: a session whose peer sends nothing for that long is
// ended as if the peer had closed (its file lock and its slot come back, one
// console line names the peer); a session that keeps sending goes on. A peer
// that takes no reply for that long is ended as a failed transfer.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <vector>
#include <optional>
#include <string>
#include <thread>

#include "agent_process.h"
#include "client/peer.h"
#include "client/requests.h"
#include "e2e_support.h"
#include "hardening_support.h"
#include "raw_session.h"

namespace {

using agent_it::AgentConfig;
using agent_it::AgentProcess;
using agent_it::RawSession;
using agent_it::WaitUntil;
using Clock = std::chrono::steady_clock;

// The process holding a lock that keeps us from writing the file, 0 when none.
pid_t ReadLockHolder(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR);
    if (fd < 0) return -1;
    struct flock fl{};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    pid_t holder = -1;
    if (fcntl(fd, F_GETLK, &fl) == 0) holder = fl.l_type == F_UNLCK ? 0 : fl.l_pid;
    close(fd);
    return holder;
}

bool PeerClosed(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) != 1) return false;
    unsigned char buf[64];
    return recv(fd, buf, sizeof buf, MSG_DONTWAIT) == 0;
}

TEST(SessionIdleTimeout, SilentSessionEndsReleasingItsLockAndSlotWhileABusyOneGoesOn) {
    AgentConfig config;
    config.extra_lines = "session_idle_timeout 2\n";
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    const std::string file = agent.export_dir() + "/locked.txt";
    std::ofstream(file) << "held while open\n";
    {
        RawSession busy(agent.session_address());
        ASSERT_EQ(busy.OpenStatus(), 0);

        auto peer = e2e::connect_peer(agent, "DATA");
        ASSERT_TRUE(peer.ok()) << peer.error().text;
        auto listing = peer->list_directory("");
        ASSERT_TRUE(listing.ok()) << listing.error().text;
        std::optional<grfs_client::Dblk> dblk;
        for (const auto& d : *listing) {
            if (d.text() == "locked.txt") dblk = d;
        }
        ASSERT_TRUE(dblk.has_value());
        auto opened = grfs_client::open_object(peer->connection(), peer->dle_id(), *dblk, GRFS_OPEN_READ);
        ASSERT_TRUE(opened.ok()) << opened.error().text;
        const auto last_request = Clock::now();
        EXPECT_GT(ReadLockHolder(file), 0);
        const std::string peer_address = e2e::local_address(peer->connection().fd());

        // The busy session sends a request every half second throughout.
        std::optional<double> ended_after;
        uint32_t id = 0;
        while (!ended_after && Clock::now() - last_request < std::chrono::seconds(8)) {
            ASSERT_TRUE(busy.SendMessage(agent_it::VerifyRequest(++id, 1, 1)));
            ASSERT_TRUE(busy.ReceiveMessage().has_value()) << "busy session ended";
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            if (PeerClosed(peer->connection().fd()))
                ended_after = std::chrono::duration<double>(Clock::now() - last_request).count();
        }
        ASSERT_TRUE(ended_after.has_value()) << "the silent session was not ended";
        EXPECT_GE(*ended_after, 1.9);
        EXPECT_LT(*ended_after, 5.0);

        const std::string line = "agent: Session with " + peer_address + " ended: nothing received for 2 seconds.\n";
        EXPECT_TRUE(agent.WaitForStderr(line, 3000)) << agent.Stderr();
        EXPECT_EQ(hardening::CountInStderr(agent, "nothing received"), 1u) << agent.Stderr();
        EXPECT_TRUE(WaitUntil([&] { return ReadLockHolder(file) == 0; }, 3000));
        EXPECT_TRUE(WaitUntil([&] { return agent.SessionProcesses().size() == 1; }, 3000));
        EXPECT_TRUE(WaitUntil([&] { return agent.ZombieChildren().empty(); }, 3000));

        // Its slot is free: the busy session and three more make four.
        EXPECT_TRUE(hardening::AdmitAndServe(agent, 3, std::chrono::seconds(5)));
        ASSERT_TRUE(busy.SendMessage(agent_it::VerifyRequest(++id, 1, 1)));
        EXPECT_TRUE(busy.ReceiveMessage().has_value());
    }
    hardening::ExpectCleanStop(agent);
}

TEST(SessionIdleTimeout, PeersThatStopReadingAreEndedWithinTheLimitAndTheirSlotsComeBack) {
    AgentConfig config;
    config.extra_lines = "session_idle_timeout 2\n";
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    const std::string file = agent.export_dir() + "/big.bin";
    std::ofstream(file) << std::string(16 << 20, 'b');
    {
        // Four sessions each ask for 300 replies (9 MiB of a 16 MiB file) and
        // take none: every slot is held by a peer the agent cannot send to.
        std::vector<grfs_client::Peer> stalled;
        for (int i = 0; i < 4; ++i) {
            auto peer = e2e::connect_peer(agent, "DATA");
            ASSERT_TRUE(peer.ok()) << peer.error().text;
            ASSERT_TRUE(e2e::request_reads_unread(*peer, "big.bin", 300));
            stalled.push_back(std::move(*peer));
        }
        const auto stalled_at = Clock::now();
        EXPECT_GT(ReadLockHolder(file), 0);

        // Each is ended within the limit (and a little), its connection
        // closed at once, its lock and its slot released.
        EXPECT_TRUE(WaitUntil([&] { return agent.SessionProcesses().empty(); }, 6000)) << agent.Stderr();
        const double ended_after = std::chrono::duration<double>(Clock::now() - stalled_at).count();
        EXPECT_GE(ended_after, 1.5);
        EXPECT_LT(ended_after, 5.0);
        EXPECT_EQ(ReadLockHolder(file), 0);
        EXPECT_TRUE(hardening::AdmitAndServe(agent, 4, std::chrono::seconds(5)));

        const std::string err = agent.Stderr();
        EXPECT_EQ(e2e::occurrences(err, " ended: no reply could be sent for 2 seconds.\n"), 4u) << err;
        EXPECT_EQ(e2e::occurrences(err, " end=transfer_failed\n"), 4u) << err;
    }
    hardening::ExpectCleanStop(agent);
}

}  // namespace
