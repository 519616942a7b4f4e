// Session slots follow the session processes that are really alive: sessions
// that end together, that are killed, whose peer vanishes while a large
// reply is on its way, or that come and go by the hundred never lose a slot
// or leave a zombie behind.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent_process.h"
#include "client/connection.h"
#include "client/peer.h"
#include "client/requests.h"
#include "grfs/messages.h"
#include "hardening_support.h"
#include "raw_session.h"

namespace {

using agent_it::AgentConfig;
using agent_it::AgentProcess;
using agent_it::RawSession;
using agent_it::VerifyRequest;
using agent_it::WaitUntil;
using Clock = std::chrono::steady_clock;

using hardening::ExpectCleanStop;

// Four sessions at once, each admission retried (refusals only while ended
// sessions are still being counted off) until the deadline.
bool AdmitFour(const AgentProcess& agent, Clock::time_point deadline,
               std::vector<std::unique_ptr<RawSession>>* sessions) {
    while (sessions->size() < 4) {
        auto s = std::make_unique<RawSession>(agent.session_address());
        if (s->valid() && s->OpenStatus() == 0) {
            sessions->push_back(std::move(s));
            continue;
        }
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool NoZombies(const AgentProcess& agent) {
    return WaitUntil([&] { return agent.ZombieChildren().empty(); }, 5000);
}

TEST(SessionSlots, SessionsEndingTogetherFreeEverySlotAtOnce) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    {
        std::vector<std::unique_ptr<RawSession>> sessions;
        ASSERT_TRUE(AdmitFour(agent, Clock::now() + std::chrono::seconds(5), &sessions));
        ASSERT_TRUE(WaitUntil([&] { return agent.SessionProcesses().size() == 4; }, 5000));
        // A fifth peer is refused; then all five peers go at the same moment.
        RawSession fifth(agent.session_address());
        EXPECT_EQ(fifth.OpenStatus(), 1);
        fifth.Close();
        for (auto& s : sessions) s->Close();
        const auto closed = Clock::now();

        std::vector<std::unique_ptr<RawSession>> again;
        EXPECT_TRUE(AdmitFour(agent, closed + std::chrono::seconds(1), &again))
            << "admitted " << again.size() << " within a second";
        for (auto& s : again) {
            ASSERT_TRUE(s->SendMessage(VerifyRequest(1, 1, 1)));
            EXPECT_TRUE(s->ReceiveMessage().has_value());
        }
    }
    EXPECT_TRUE(NoZombies(agent));
    ExpectCleanStop(agent);
}

TEST(SessionSlots, SessionProcessKilledWithSigkillFreesItsSlot) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    {
        std::vector<std::unique_ptr<RawSession>> sessions;
        ASSERT_TRUE(AdmitFour(agent, Clock::now() + std::chrono::seconds(5), &sessions));
        ASSERT_TRUE(WaitUntil([&] { return agent.SessionProcesses().size() == 4; }, 5000));
        const pid_t victim = agent.SessionProcesses()[1];
        ASSERT_EQ(kill(victim, SIGKILL), 0);

        // It sent no end-of-session signal, yet its slot comes back.
        std::vector<std::unique_ptr<RawSession>> one;
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (one.empty() && Clock::now() < deadline) {
            auto s = std::make_unique<RawSession>(agent.session_address());
            if (s->OpenStatus() == 0) one.push_back(std::move(s));
        }
        ASSERT_EQ(one.size(), 1u);
        EXPECT_TRUE(NoZombies(agent));
        EXPECT_EQ(agent_it::ProcessState(victim), 0);
        RawSession fifth(agent.session_address());
        EXPECT_EQ(fifth.OpenStatus(), 1);  // and only that one slot
    }
    ExpectCleanStop(agent);
}

TEST(SessionSlots, PeerVanishingInTheMiddleOfALargeReplyEndsTheSessionInOrder) {
    AgentConfig config;
    config.args = {"-d", "1"};
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    {
        std::ofstream(agent.export_dir() + "/big.bin", std::ios::binary) << std::string(1 << 20, 'b');
        grfs_client::PeerOptions options;
        options.endpoint = {agent.address(), agent.port()};
        options.workstation_names = {agent.workstation()};
        auto peer = grfs_client::Peer::connect(options);
        ASSERT_TRUE(peer.ok()) << peer.error().text;
        ASSERT_TRUE(peer->attach("DATA").ok());
        auto listing = peer->list_directory("");
        ASSERT_TRUE(listing.ok()) << listing.error().text;
        const grfs_client::Dblk* big = nullptr;
        for (const auto& d : *listing) {
            if (d.text() == "big.bin") big = &d;
        }
        ASSERT_NE(big, nullptr);
        auto opened = grfs_client::open_object(peer->connection(), peer->dle_id(), *big, GRFS_OPEN_READ);
        ASSERT_TRUE(opened.ok()) << opened.error().text;
        ASSERT_TRUE(WaitUntil([&] { return agent.SessionProcesses().size() == 1; }, 5000));
        const pid_t session = agent.SessionProcesses()[0];

        // Many more full-size reads than the connection buffers hold, none
        // of them read: the agent is stuck inside a reply's send.
        grfs_client::Connection& c = peer->connection();
        int small = 4096;
        setsockopt(c.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        GRFS_MESSAGE& rq = c.request_scratch();
        for (int i = 0; i < 300; ++i) {
            grfs_client::start_message(rq, GRFS_READ_OBJ_LARGE);
            rq.hdr.request_id = static_cast<uint32_t>(i + 1);
            rq.body.read_obj_large.obj_id = opened->obj_id;
            rq.body.read_obj_large.size = GRFS_OBJECT_BUFFER_SIZE;
            ASSERT_TRUE(c.send(rq).ok());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        // Gone without a goodbye: the connection is reset.
        linger lg{1, 0};
        setsockopt(c.fd(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        close(c.fd());

        EXPECT_TRUE(WaitUntil([&] { return agent_it::ProcessState(session) == 0; }, 10000));
        // It ended through its own cleanup (exit status 0), not by a signal.
        EXPECT_TRUE(agent.WaitForStderr(std::to_string(session) + ":Session_Handler_Process " +
                                            std::to_string(session) + " exiting\n",
                                        5000))
            << agent.Stderr().substr(0, 4000);
        EXPECT_TRUE(NoZombies(agent));
        std::vector<std::unique_ptr<RawSession>> four;
        EXPECT_TRUE(AdmitFour(agent, Clock::now() + std::chrono::seconds(5), &four));
    }
    ExpectCleanStop(agent);
}

TEST(SessionSlots, TwoHundredShortSessionsLeaveTheListenerAsItWas) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    int descriptors_after_ten = -1;
    for (int i = 0; i < 200; ++i) {
        std::vector<std::unique_ptr<RawSession>> one;
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (one.empty() && Clock::now() < deadline) {
            auto s = std::make_unique<RawSession>(agent.session_address());
            if (s->OpenStatus() == 0) one.push_back(std::move(s));
        }
        ASSERT_EQ(one.size(), 1u) << "session " << i << " never admitted";
        one.clear();
        if (i == 9) {
            ASSERT_TRUE(WaitUntil([&] { return agent.SessionProcesses().empty(); }, 10000));
            descriptors_after_ten = agent.SettledListenerDescriptors();
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return agent.SessionProcesses().empty(); }, 10000));
    EXPECT_TRUE(NoZombies(agent));
    EXPECT_TRUE(agent.ListenerDescriptorsBecome(descriptors_after_ten))
        << "listener holds " << agent.ListenerDescriptors() << ", after ten sessions " << descriptors_after_ten;
    {
        std::vector<std::unique_ptr<RawSession>> four;
        EXPECT_TRUE(AdmitFour(agent, Clock::now() + std::chrono::seconds(2), &four));
        EXPECT_TRUE(WaitUntil([&] { return agent.SessionProcesses().size() == 4; }, 5000));
    }
    ExpectCleanStop(agent);
}

}  // namespace
