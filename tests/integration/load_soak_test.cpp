// Load and soak against the real agent: fifty backup servers (each from an
// address of its own) connecting at the same moment get four sessions and forty-six clean refusals, and none
// is left waiting; and many sessions one after another, each attaching,
// listing and reading a file, leave the listener with the descriptors and
// the memory it had after the first ten, and no zombie.
//
// The soak runs SOAK_SESSIONS sessions (100 when unset); `make soak` runs
// it with 1000.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent_process.h"
#include "client/peer.h"
#include "client/requests.h"
#include "hardening_support.h"
#include "raw_session.h"

namespace {

using agent_it::AgentProcess;
using agent_it::Bytes;
using agent_it::RawSession;
using agent_it::WaitUntil;
using hardening::Clock;

TEST(Load, FiftyPeersAtOnceGetFourSessionsAndFortySixCleanRefusals) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    constexpr int kPeers = 50;
    struct Outcome {
        int status = -2;          // open status; -1: no whole reply
        bool clean = false;       // a refusal: zero data, then the connection closed
        bool served = false;      // an admission: a request answered
    };
    std::vector<Outcome> outcomes(kPeers);
    std::mutex m;
    std::condition_variable cv;
    int answered = 0;
    bool release = false;

    std::vector<std::thread> peers;
    for (int i = 0; i < kPeers; ++i) {
        peers.emplace_back([&, i] {
            const std::string source = "127.0.1." + std::to_string(i + 1);
            RawSession s(agent.session_address(), source.c_str());
            Outcome& o = outcomes[static_cast<size_t>(i)];
            Bytes reply = s.valid() ? s.Open(60000) : Bytes{};
            if (reply.size() == 514) {
                o.status = reply[0] | reply[1] << 8;
                bool zeros = true;
                for (size_t k = 2; k < reply.size(); ++k) zeros = zeros && reply[k] == 0;
                if (o.status == 1) o.clean = zeros && s.WaitForClose(30000);
                if (o.status == 0 && zeros) {
                    o.served = s.SendMessage(agent_it::VerifyRequest(static_cast<uint32_t>(i), 1, 1)) &&
                               s.ReceiveMessage(30000).has_value();
                }
            } else {
                o.status = -1;
            }
            // Admitted sessions stay until every peer has its answer, so
            // that no slot comes free in between.
            std::unique_lock<std::mutex> lock(m);
            ++answered;
            cv.notify_all();
            cv.wait(lock, [&] { return release; });
        });
    }
    {
        std::unique_lock<std::mutex> lock(m);
        const bool all = cv.wait_for(lock, std::chrono::seconds(120), [&] { return answered == kPeers; });
        EXPECT_TRUE(all) << answered << " of " << kPeers << " peers got an answer";
        release = true;
        cv.notify_all();
    }
    for (auto& t : peers) t.join();

    int admitted = 0, refused = 0;
    for (int i = 0; i < kPeers; ++i) {
        const Outcome& o = outcomes[static_cast<size_t>(i)];
        if (o.status == 0) {
            ++admitted;
            EXPECT_TRUE(o.served) << "peer " << i << " admitted but not served";
        } else if (o.status == 1) {
            ++refused;
            EXPECT_TRUE(o.clean) << "peer " << i << " refused without zero data and a close";
        } else {
            ADD_FAILURE() << "peer " << i << " got no whole answer (" << o.status << ")";
        }
    }
    EXPECT_EQ(admitted, 4);
    EXPECT_EQ(refused, kPeers - 4);

    // Their sessions gone, four new ones are admitted.
    EXPECT_TRUE(WaitUntil([&] { return agent.SessionProcesses().empty(); }, 10000));
    EXPECT_TRUE(hardening::AdmitAndServe(agent, 4, std::chrono::seconds(5)));
    EXPECT_TRUE(WaitUntil([&] { return agent.ZombieChildren().empty(); }, 5000));
    hardening::ExpectCleanStop(agent);
}

int SoakSessions() {
    const char* v = std::getenv("SOAK_SESSIONS");
    const int n = v != nullptr ? std::atoi(v) : 0;
    return n >= 20 ? n : 100;
}

// One backup server's short visit: open, attach, list the root, read a
// file, detach and close. Refusals (while ended sessions are still being
// counted off) are retried until the deadline.
::testing::AssertionResult Visit(const AgentProcess& agent, Clock::time_point deadline) {
    grfs_client::PeerOptions options;
    options.endpoint = {agent.address(), agent.port()};
    options.workstation_names = {agent.workstation()};
    for (;;) {
        auto peer = grfs_client::Peer::connect(options);
        if (!peer.ok()) {
            if (peer.error().kind == grfs_client::ErrorKind::refused && Clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            return ::testing::AssertionFailure() << "connect: " << peer.error().text;
        }
        if (auto s = peer->attach("DATA"); !s.ok()) return ::testing::AssertionFailure() << "attach: " << s.text;
        auto listing = peer->list_directory("");
        if (!listing.ok()) return ::testing::AssertionFailure() << "list: " << listing.error().text;
        const grfs_client::Dblk* file = nullptr;
        for (const auto& d : *listing) {
            if (d.text() == "file.bin") file = &d;
        }
        if (file == nullptr) return ::testing::AssertionFailure() << "file.bin not listed";
        auto streams = peer->read_object("", *file);
        if (!streams.ok()) return ::testing::AssertionFailure() << "read: " << streams.error().text;
        if (streams->size() != 1 || streams->front().bytes.size() != 50000)
            return ::testing::AssertionFailure() << "read: unexpected byte sequence";
        peer->close();
        return ::testing::AssertionSuccess();
    }
}

// Memory the listener may have grown by over the whole run: a sanitizer
// build keeps freed memory in quarantine for a while.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kRssMarginKiB = 4096;
#else
constexpr long kRssMarginKiB = 256;
#endif

TEST(Soak, SessionsOneAfterAnotherLeaveTheListenerAsAfterTheFirstTen) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    std::ofstream(agent.export_dir() + "/file.bin", std::ios::binary) << std::string(50000, 's');
    const int n = SoakSessions();
    int fds_after_ten = -1;
    long rss_after_ten = -1;
    for (int i = 0; i < n; ++i) {
        ASSERT_TRUE(Visit(agent, Clock::now() + std::chrono::seconds(10))) << "session " << i;
        if (i == 9) {
            ASSERT_TRUE(WaitUntil([&] { return agent.SessionProcesses().empty(); }, 10000));
            fds_after_ten = agent.SettledListenerDescriptors();
            rss_after_ten = hardening::ResidentKiB(agent.pid());
            ASSERT_GT(fds_after_ten, 0);
            ASSERT_GT(rss_after_ten, 0);
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return agent.SessionProcesses().empty(); }, 10000));
    EXPECT_TRUE(WaitUntil([&] { return agent.ZombieChildren().empty(); }, 5000));
    EXPECT_TRUE(agent.ListenerDescriptorsBecome(fds_after_ten))
        << "listener holds " << agent.ListenerDescriptors() << ", after ten sessions " << fds_after_ten;
    const long rss = hardening::ResidentKiB(agent.pid());
    EXPECT_LE(rss, rss_after_ten + kRssMarginKiB) << "after ten: " << rss_after_ten << " KiB, after " << n << ": "
                                                  << rss << " KiB";
    std::printf("soak: %d sessions; listener %d descriptors, %ld KiB after ten, %ld KiB at the end\n", n,
                fds_after_ten, rss_after_ten, rss);
    EXPECT_TRUE(hardening::AdmitAndServe(agent, 4, std::chrono::seconds(5)));
    hardening::ExpectCleanStop(agent);
}

}  // namespace
