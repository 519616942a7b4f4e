// The agent as backup servers meet it: its announcements, the session-open
// exchange and admission, connections that stay silent or vanish, the
// requests answered by the dispatcher itself, and the end of the agent when
// one of its session processes is interrupted.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent_process.h"
#include "client/connection.h"
#include "client/peer.h"
#include "client/requests.h"
#include "hardening_support.h"
#include "raw_session.h"

namespace {

using agent_it::AgentConfig;
using agent_it::AgentExit;
using agent_it::AgentProcess;
using agent_it::Bytes;
using agent_it::MakeBytes;
using agent_it::RawSession;
using agent_it::RequestHeader;
using agent_it::VerifyLargeRequest;
using agent_it::VerifyRequest;
using agent_it::WaitUntil;
using Clock = std::chrono::steady_clock;

Bytes accepted_reply() { return Bytes(514, 0); }
Bytes refused_reply() {
    Bytes b(514, 0);
    b[0] = 1;
    return b;
}

// The agent has ended on SIGTERM: exit status 0, nothing of it left.
using hardening::ExpectCleanStop;

// Opens a session, retrying refusals (a session that ended is counted off
// asynchronously) until timeout_ms.
std::unique_ptr<RawSession> OpenAdmitted(const AgentProcess& agent, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        auto s = std::make_unique<RawSession>(agent.session_address());
        if (s->valid() && s->OpenStatus() == 0) return s;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (Clock::now() < deadline);
    return nullptr;
}

TEST(Agent, AnnouncesItselfPrintsReadyAndAdvertisesTheExactMessage) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    EXPECT_EQ(agent.Stdout().rfind("Vestrel -- Unix Agent, Version 5.01 Revision 5.046\n", 0), 0u) << agent.Stdout();
    const std::string err = agent.Stderr();
    const std::string ws = "Workstation Name: \"" + agent.workstation() + "\"\n";
    size_t ok = err.find("agent: Agent configuration OK.\n");
    size_t name = err.find(ws);
    size_t ready = err.find("agent: Vestrel Agent ready to service requests.\n");
    EXPECT_NE(ok, std::string::npos) << err;
    EXPECT_TRUE(ok < name && name < ready && ready != std::string::npos) << err;

    // Type 2, 0, size, resource type 32, then name, address twice and host
    // name, each with its zero byte; the address ends in the port's bytes.
    const std::string rsrc = "2044" + agent.workstation();
    const std::string uaddr =
        agent.address() + "." + std::to_string(agent.port() >> 8) + "." + std::to_string(agent.port() & 0xFF);
    char host[101] = {};
    gethostname(host, 100);
    const size_t size = rsrc.size() + 2 * uaddr.size() + std::strlen(host) + 4;
    Bytes expected = MakeBytes({2, 0, static_cast<int>(size & 0xFF), static_cast<int>(size >> 8), 32, 0});
    for (const std::string& text : {rsrc, uaddr, uaddr, std::string(host)}) {
        expected.insert(expected.end(), text.begin(), text.end());
        expected.push_back(0);
    }
    EXPECT_EQ(agent.advertisement(), expected);

    // The advertised address is where sessions are accepted.
    {
        RawSession s(agent.session_address());
        ASSERT_TRUE(s.valid());
        EXPECT_EQ(s.Open(), accepted_reply());
    }
    ExpectCleanStop(agent);
}

TEST(Agent, WorkstationPasswordMakesTheResourceName2045) {
    AgentConfig config;
    config.password = "secret";
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    const Bytes& ad = agent.advertisement();
    ASSERT_GT(ad.size(), 10u);
    EXPECT_EQ(std::string(ad.begin() + 6, ad.begin() + 10), "2045");
    ExpectCleanStop(agent);
}

TEST(Agent, AcceptedSessionServesRequestsThroughTheDispatcher) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    {
        RawSession raw(agent.session_address());
        EXPECT_EQ(raw.Open(), accepted_reply());
    }
    {
        // Our own peer: echo, then attach and list the exports.
        grfs_client::PeerOptions options;
        options.endpoint = {agent.address(), agent.port()};
        options.workstation_names = {agent.workstation()};
        auto peer = grfs_client::Peer::connect(options);
        ASSERT_TRUE(peer.ok()) << peer.error().text;
        EXPECT_TRUE(grfs_client::verify_echo(peer->connection(), 1000).ok());
        auto dles = peer->list_dles();
        ASSERT_TRUE(dles.ok()) << dles.error().text;
        ASSERT_EQ(dles->size(), 1u);
        EXPECT_EQ((*dles)[0].name, "DATA");
        peer->close();
    }
    ExpectCleanStop(agent);
}

TEST(Agent, AdmitsFourSessionsRefusesTheFifthAndRecoversWhenOneEnds) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    {
        std::vector<std::unique_ptr<RawSession>> sessions;
        for (int i = 0; i < 4; ++i) {
            sessions.push_back(std::make_unique<RawSession>(agent.session_address()));
            EXPECT_EQ(sessions.back()->Open(), accepted_reply()) << "session " << i;
        }
        EXPECT_TRUE(WaitUntil([&] { return agent.SessionProcesses().size() == 4; }, 5000));

        RawSession fifth(agent.session_address());
        EXPECT_EQ(fifth.Open(), refused_reply());
        EXPECT_TRUE(fifth.WaitForClose(5000));
        EXPECT_TRUE(agent.WaitForStderr(" reason=too many sessions\n", 5000)) << agent.Stderr();
        EXPECT_EQ(agent.SessionProcesses().size(), 4u);  // nothing forked for it

        sessions[0]->Close();
        auto next = OpenAdmitted(agent, 10000);
        ASSERT_NE(next, nullptr);
        EXPECT_TRUE(next->SendMessage(VerifyRequest(5, 3, 3)));
        EXPECT_TRUE(next->ReceiveMessage().has_value());
        // The others were not disturbed.
        EXPECT_TRUE(sessions[3]->SendMessage(VerifyRequest(6, 0, 0)));
        EXPECT_TRUE(sessions[3]->ReceiveMessage().has_value());
    }
    ExpectCleanStop(agent);
}

TEST(Agent, SilentConnectionIsDroppedAfterTheConnectionTimeoutAndTheNextOneServed) {
    AgentConfig config;
    config.conn_timeout = 2;
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    {
        const auto start = Clock::now();
        RawSession silent(agent.session_address());
        ASSERT_TRUE(silent.valid());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        RawSession next(agent.session_address());
        ASSERT_TRUE(next.SendOpenRequest());

        EXPECT_TRUE(silent.WaitForClose(15000));
        const double waited = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_GE(waited, 1.5);
        auto reply = next.ReadExact(514, 15000);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(*reply, accepted_reply());
    }
    ExpectCleanStop(agent);
}

TEST(Agent, AnswersVerifiesDropsUnknownTypesAndRefusesCutRequests) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    {
        RawSession s(agent.session_address());
        ASSERT_EQ(s.OpenStatus(), 0);

        ASSERT_TRUE(s.SendMessage(VerifyRequest(0x01020304, 0x0304, 0x0304)));
        EXPECT_EQ(s.ReceiveMessage(), MakeBytes({0x4D, 0, 0, 0, 4, 3, 2, 1, 4, 3, 1, 0}));
        ASSERT_TRUE(s.SendMessage(VerifyLargeRequest(0x0A0B0C0D, 20000, 20000)));
        EXPECT_EQ(s.ReceiveMessage(), MakeBytes({0x5C, 0, 0, 0, 0xD, 0xC, 0xB, 0xA, 0x20, 0x4E, 0, 0, 1, 0, 0, 0}));

        // Types without a handler: no reply, and the session goes on.
        for (int type : {0, 21, 22, 23, 30, 64, 77, 200}) {
            Bytes request = RequestHeader(static_cast<uint8_t>(type), 0x100 + type);
            request.insert(request.end(), 20, 0);
            ASSERT_TRUE(s.SendMessage(request));
        }
        EXPECT_TRUE(s.StaysSilent(300));
        ASSERT_TRUE(s.SendMessage(VerifyRequest(0x77, 1, 1)));
        EXPECT_EQ(s.ReceiveMessage(), MakeBytes({0x4D, 0, 0, 0, 0x77, 0, 0, 0, 1, 0, 1, 0}));

        // A verify with less data than its size is confirmed all the same.
        ASSERT_TRUE(s.SendMessage(VerifyRequest(0x88, 50, 10)));
        EXPECT_EQ(s.ReceiveMessage(), MakeBytes({0x4D, 0, 0, 0, 0x88, 0, 0, 0, 50, 0, 1, 0}));
        // Requests that did not arrive whole: -495 (0xFE11), header only.
        Bytes cut = VerifyRequest(0x89, 50, 10);
        cut.resize(20);
        ASSERT_TRUE(s.SendMessage(cut));
        EXPECT_EQ(s.ReceiveMessage(), MakeBytes({0x4D, 0, 0x11, 0xFE, 0x89, 0, 0, 0}));
        Bytes attach = RequestHeader(1, 0x99);
        attach.insert(attach.end(), 10, 0);
        ASSERT_TRUE(s.SendMessage(attach));
        EXPECT_EQ(s.ReceiveMessage(), MakeBytes({0x41, 0, 0x11, 0xFE, 0x99, 0, 0, 0}));

        ASSERT_TRUE(s.SendMessage(VerifyRequest(0x78, 2, 2)));
        EXPECT_EQ(s.ReceiveMessage(), MakeBytes({0x4D, 0, 0, 0, 0x78, 0, 0, 0, 2, 0, 1, 0}));
    }
    ExpectCleanStop(agent);
}

TEST(Agent, PeerLeavingInTheMiddleOfAMessageEndsOnlyItsOwnSession) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    {
        RawSession a(agent.session_address());
        ASSERT_EQ(a.OpenStatus(), 0);
        ASSERT_TRUE(WaitUntil([&] { return agent.SessionProcesses().size() == 1; }, 5000));
        const pid_t a_pid = agent.SessionProcesses()[0];
        RawSession b(agent.session_address());
        ASSERT_EQ(b.OpenStatus(), 0);
        ASSERT_TRUE(WaitUntil([&] { return agent.SessionProcesses().size() == 2; }, 5000));

        // A header announcing 100 bytes, 10 of them, and gone.
        Bytes cut = MakeBytes({0, 0, 100, 0});
        Bytes request = VerifyRequest(1, 60, 60);
        cut.insert(cut.end(), request.begin(), request.begin() + 10);
        ASSERT_TRUE(a.Send(cut));
        a.Close();

        EXPECT_TRUE(WaitUntil([&] { return agent_it::ProcessState(a_pid) == 0; }, 10000));
        EXPECT_TRUE(agent.ZombieChildren().empty());
        ASSERT_TRUE(b.SendMessage(VerifyRequest(2, 7, 7)));
        EXPECT_EQ(b.ReceiveMessage(), MakeBytes({0x4D, 0, 0, 0, 2, 0, 0, 0, 7, 0, 1, 0}));
        EXPECT_EQ(agent.SessionProcesses().size(), 1u);
    }
    ExpectCleanStop(agent);
}

TEST(Agent, SigtermToASessionProcessEndsTheWholeAgent) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    RawSession s(agent.session_address());
    ASSERT_EQ(s.OpenStatus(), 0);
    ASSERT_TRUE(WaitUntil([&] { return agent.SessionProcesses().size() == 1; }, 5000));
    const pid_t session = agent.SessionProcesses()[0];
    auto other = std::make_unique<RawSession>(agent.session_address());
    ASSERT_EQ(other->OpenStatus(), 0);
    ASSERT_TRUE(WaitUntil([&] { return agent.SessionProcesses().size() == 2; }, 5000));
    const pid_t advertiser = agent.advertiser();

    ASSERT_EQ(kill(session, SIGTERM), 0);
    // The session process shuts the layer down, kills the listener and
    // exits with status 0; the advertisement process is killed.
    AgentExit e = agent.WaitForListenerExit(10000);
    WaitUntil([&] { return agent.WaitForListenerExit(0).others.count(session) != 0; }, 5000);
    e = agent.WaitForListenerExit(0);
    EXPECT_FALSE(e.exited) << e.describe();
    EXPECT_EQ(e.signal, SIGKILL) << e.describe();
    ASSERT_EQ(e.others.count(session), 1u) << e.describe();
    EXPECT_TRUE(WIFEXITED(e.others[session]) && WEXITSTATUS(e.others[session]) == 0) << e.describe();
    if (e.others.count(advertiser) != 0) {
        EXPECT_TRUE(WIFSIGNALED(e.others[advertiser]) && WTERMSIG(e.others[advertiser]) == SIGKILL)
            << e.describe();
    }
    EXPECT_TRUE(s.WaitForClose(5000));

    // The other session is served to its end, but the port is closed: no
    // connection waits there for a listener that is gone.
    ASSERT_TRUE(other->SendMessage(VerifyRequest(3, 3, 3)));
    EXPECT_TRUE(other->ReceiveMessage().has_value());
    RawSession late(agent.session_address());
    EXPECT_FALSE(late.valid());
    other->Close();
    e = agent.WaitForExit(10000);
    EXPECT_TRUE(e.left.empty()) << e.describe();
}

}  // namespace
