// Peers that open their session slowly or not at all, beside one that opens
// it at once: the listener serves all of them together, each exchange ends
// at its own deadline however the peer sends, and a flood of silent
// connections holds a bounded number of descriptors, a bounded share of them
// for each address, so that a flood from one address keeps no other out.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "agent_process.h"
#include "hardening_support.h"
#include "raw_session.h"
#include "util/unique_fd.h"

namespace {

using agent_it::AgentConfig;
using agent_it::AgentProcess;
using agent_it::Bytes;
using agent_it::RawSession;
using agent_it::WaitUntil;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// The agent has closed the connection (what it sent before is not looked at).
bool ClosedByAgent(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) != 1) return false;
    unsigned char buf[600];
    return recv(fd, buf, sizeof buf, MSG_DONTWAIT) == 0;
}

// A socket bound to the loopback address source (e.g. "127.0.0.30").
UniqueFd SocketFrom(const std::string& source) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return UniqueFd();
    return fd;
}

// A connection from source that is established within timeout_ms (a
// listener that accepts nothing lets its backlog fill, and connects then
// hang), or none.
UniqueFd ConnectWithin(const sockaddr_in& address, int timeout_ms, const std::string& source = "127.0.0.1") {
    UniqueFd fd = SocketFrom(source);
    if (!fd.valid()) return fd;
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        pollfd p{fd.get(), POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        if (errno != EINPROGRESS || poll(&p, 1, timeout_ms) != 1 ||
            getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
            return UniqueFd();
    }
    return fd;
}

TEST(SessionOpen, TricklingAndSilentPeersDelayNobodyAndEachExchangeHasOneDeadline) {
    AgentConfig config;
    config.conn_timeout = 3;
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    {
        RawSession silent(agent.session_address());
        ASSERT_TRUE(silent.valid());
        const auto trickle_start = Clock::now();
        RawSession trickler(agent.session_address());
        ASSERT_TRUE(trickler.valid());
        // One byte of the request every 200 ms: whole after 100 seconds.
        std::atomic<bool> stop{false};
        std::thread trickle([&] {
            const Bytes one(1, 0);
            while (!stop && trickler.Send(one)) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(500));

        const auto start = Clock::now();
        RawSession good(agent.session_address());
        EXPECT_EQ(good.OpenStatus(3000), 0);
        EXPECT_LT(seconds_since(start), 1.0);

        // The trickler keeps sending, and is dropped at its deadline all the same.
        EXPECT_TRUE(trickler.WaitForClose(10000));
        const double trickled = seconds_since(trickle_start);
        EXPECT_GE(trickled, 2.5);
        EXPECT_LT(trickled, 6.0);
        stop = true;
        trickle.join();
        EXPECT_TRUE(silent.WaitForClose(3000));

        // The admitted session was not disturbed by either.
        ASSERT_TRUE(good.SendMessage(agent_it::VerifyRequest(1, 2, 2)));
        EXPECT_TRUE(good.ReceiveMessage().has_value());
    }
    hardening::ExpectCleanStop(agent);
}

TEST(SessionOpen, FloodOfSilentConnectionsIsBoundedForEachAddressAndInAllAndTheOldestAreDropped) {
    AgentConfig config;
    config.conn_timeout = 60;
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    const int idle_fds = agent.SettledListenerDescriptors();
    {
        // Of 12 from one address, the listener keeps the newest 8.
        std::vector<UniqueFd> one;
        for (int i = 0; i < 12; ++i) {
            one.push_back(ConnectWithin(agent.session_address(), 2000, "127.0.0.30"));
            ASSERT_TRUE(one.back().valid()) << "connection " << i << " not accepted";
        }
        EXPECT_TRUE(WaitUntil([&] { return ClosedByAgent(one[3].get()); }, 5000));
        EXPECT_TRUE(agent.ListenerDescriptorsBecome(idle_fds + 8, 5000)) << agent.ListenerDescriptors();
        for (int i = 0; i < 12; ++i) EXPECT_EQ(ClosedByAgent(one[i].get()), i < 4) << "connection " << i;
        one.clear();
        EXPECT_TRUE(agent.ListenerDescriptorsBecome(idle_fds, 5000)) << agent.ListenerDescriptors();
    }
    {
        // 8 from each of 10 addresses: 64 in all are kept.
        constexpr int kSilent = 80;
        constexpr int kBound = 64;
        std::vector<UniqueFd> silent;
        for (int i = 0; i < kSilent; ++i) {
            silent.push_back(ConnectWithin(agent.session_address(), 2000, "127.0.0." + std::to_string(40 + i / 8)));
            ASSERT_TRUE(silent.back().valid()) << "connection " << i << " not accepted";
        }
        // The listener holds at most kBound of them, long before their
        // deadline: it has taken every one and dropped the oldest.
        auto closed = [&] {
            int n = 0;
            for (auto& s : silent) n += ClosedByAgent(s.get()) ? 1 : 0;
            return n;
        };
        EXPECT_TRUE(WaitUntil([&] { return closed() == kSilent - kBound; }, 5000)) << closed();
        EXPECT_TRUE(agent.ListenerDescriptorsBecome(idle_fds + kBound, 5000)) << agent.ListenerDescriptors();

        const auto start = Clock::now();
        RawSession good(agent.session_address());
        EXPECT_EQ(good.OpenStatus(3000), 0);
        EXPECT_LT(seconds_since(start), 1.0);

        // The good one made room for itself by dropping one more.
        EXPECT_TRUE(WaitUntil([&] { return closed() == kSilent + 1 - kBound; }, 3000)) << closed();
        EXPECT_TRUE(agent.ListenerDescriptorsBecome(idle_fds + kBound - 1)) << agent.ListenerDescriptors();
    }
    hardening::ExpectCleanStop(agent);
}

TEST(SessionOpen, AFloodFromOneAddressKeepsNoSlowPeerOfAnotherOut) {
    AgentConfig config;
    config.conn_timeout = 60;
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    {
        // Silent connections from one address, about a thousand a second,
        // for as long as the slow peer takes (a few seconds, a few thousand
        // connections at most); each stays open for a while.
        std::atomic<bool> stop{false};
        std::atomic<int> flooded{0};
        const sockaddr_in target = agent.session_address();
        std::thread flood([&] {
            std::deque<UniqueFd> open;
            const auto until = Clock::now() + std::chrono::seconds(8);
            while (!stop && Clock::now() < until) {
                UniqueFd fd = SocketFrom("127.0.0.60");
                if (fd.valid()) {
                    connect(fd.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target);
                    open.push_back(std::move(fd));
                    ++flooded;
                }
                if (open.size() > 300) open.pop_front();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));

        // A peer whose request comes 200 ms after its connect, three times
        // over: each is admitted.
        for (int attempt = 0; attempt < 3; ++attempt) {
            RawSession peer(agent.session_address(), "127.0.0.61");
            ASSERT_TRUE(peer.valid()) << "attempt " << attempt;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            EXPECT_EQ(peer.OpenStatus(5000), 0) << "attempt " << attempt << " after " << flooded << " flooding";
        }
        stop = true;
        flood.join();
        EXPECT_GT(flooded, 300);
    }
    hardening::ExpectCleanStop(agent);
}

}  // namespace
