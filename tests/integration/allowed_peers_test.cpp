// The allow list against the real agent: a peer outside it is refused with
// the bytes of any refused session open before it has sent anything, a
// peer inside it is admitted, and the console names each refused address
// once a minute at most, and all of them in a bounded number of lines a
// minute. A peer still opening its session when a reload removes its address
// is refused too.
#include <signal.h>

#include <gtest/gtest.h>

#include <string>

#include "agent_process.h"
#include "e2e_support.h"
#include "hardening_support.h"
#include "raw_session.h"

namespace {

using agent_it::AgentConfig;
using agent_it::AgentProcess;
using agent_it::Bytes;
using agent_it::RawSession;
using agent_it::VerifyRequest;

TEST(AllowedPeers, OutsideRefusedBeforeItsRequestInsideAdmittedRefusalReportedOncePerMinute) {
    AgentConfig config;
    // 127.0.0.0/31 holds 127.0.0.1 but not 127.0.0.2.
    config.extra_lines = "allow 192.0.2.0/24\nallow 127.0.0.0/31\n";
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());

    Bytes refused(514, 0);
    refused[0] = 1;
    for (int attempt = 0; attempt < 2; ++attempt) {
        RawSession outside(agent.session_address(), "127.0.0.2");
        ASSERT_TRUE(outside.valid());
        EXPECT_EQ(outside.ReadExact(refused.size(), 5000), refused) << "attempt " << attempt;
        EXPECT_TRUE(outside.WaitForClose(5000)) << "attempt " << attempt;
    }

    {
        RawSession inside(agent.session_address(), "127.0.0.1");
        ASSERT_TRUE(inside.valid());
        EXPECT_EQ(inside.Open(), Bytes(514, 0));
        EXPECT_TRUE(inside.SendMessage(VerifyRequest(1, 0, 0)));
        EXPECT_TRUE(inside.ReceiveMessage().has_value());
    }

    // The listener reported both refusals before it admitted the next peer.
    const std::string err = agent.Stderr();
    EXPECT_EQ(e2e::occurrences(err, "session refused: peer=127.0.0.2:"), 1u) << err;
    EXPECT_EQ(e2e::occurrences(err, " reason=not allowed\n"), 1u) << err;
    EXPECT_EQ(e2e::occurrences(err, "session refused: peer=127.0.0.1:"), 0u) << err;
    EXPECT_EQ(e2e::occurrences(err, "session start pid="), 1u) << err;
    hardening::ExpectCleanStop(agent);
}

TEST(AllowedPeers, APeerStillOpeningWhenAReloadRemovesItsAddressIsRefused) {
    AgentConfig config;
    config.extra_lines = "allow 127.0.0.0/31\n";
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    const int idle_fds = agent.SettledListenerDescriptors();

    // Allowed when it connects: the listener takes it and waits for the rest
    // of its request.
    RawSession pending(agent.session_address(), "127.0.0.1");
    ASSERT_TRUE(pending.valid());
    ASSERT_TRUE(pending.Send(Bytes(100, 0)));
    ASSERT_TRUE(agent.ListenerDescriptorsBecome(idle_fds + 1, 5000)) << agent.ListenerDescriptors();

    config.extra_lines = "allow 192.0.2.0/24\n";
    agent.WriteConfig(config);
    kill(agent.pid(), SIGHUP);
    ASSERT_TRUE(agent.WaitForStderr("Configuration reloaded\n", 10000)) << agent.Stderr();

    // The request completes under the new list: refused, as a fifth session
    // would be, and closed.
    ASSERT_TRUE(pending.Send(Bytes(413, 0)));
    Bytes refused(514, 0);
    refused[0] = 1;
    EXPECT_EQ(pending.ReadExact(refused.size(), 5000), refused);
    EXPECT_TRUE(pending.WaitForClose(5000));

    EXPECT_TRUE(agent.WaitForStderr(" reason=not allowed\n", 5000)) << agent.Stderr();
    const std::string err = agent.Stderr();
    EXPECT_EQ(e2e::occurrences(err, "session refused: peer=127.0.0.1:"), 1u) << err;
    EXPECT_EQ(e2e::occurrences(err, " reason=not allowed\n"), 1u) << err;
    EXPECT_EQ(e2e::occurrences(err, "session start pid="), 0u) << err;
    hardening::ExpectCleanStop(agent);
}

TEST(AllowedPeers, RefusalsOfManyAddressesGetAtMostFiftyLinesAMinuteAndOneCount) {
    AgentConfig config;
    config.extra_lines = "allow 192.0.2.0/24\n";
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());

    // 300 addresses of 127/8, each refused once.
    constexpr int kAddresses = 300;
    Bytes refused(514, 0);
    refused[0] = 1;
    for (int i = 0; i < kAddresses; ++i) {
        const std::string source = "127.0." + std::to_string(2 + i / 250) + "." + std::to_string(1 + i % 250);
        RawSession outside(agent.session_address(), source.c_str());
        ASSERT_TRUE(outside.valid()) << source;
        ASSERT_EQ(outside.ReadExact(refused.size(), 5000), refused) << source;
    }
    EXPECT_EQ(hardening::CountInStderr(agent, ": session refused: peer=127.0."), 50u) << agent.Stderr();

    // The rest are counted, and the count is reported when the agent stops.
    hardening::ExpectCleanStop(agent);
    const std::string err = agent.Stderr();
    EXPECT_EQ(e2e::occurrences(err, ": session refused: peer="), 50u) << err;
    EXPECT_EQ(e2e::occurrences(err, ": session refusals not reported: 250 (at most 50 lines a minute)\n"), 1u)
        << err;
}

}  // namespace
