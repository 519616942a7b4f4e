// Shared steps of the fault, load and soak tests against the real agent:
// a clean stop, admitting sessions, the state the listener must come back
// to after a peer misbehaved, and the listener's memory.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent_process.h"
#include "raw_session.h"

namespace hardening {

using Clock = std::chrono::steady_clock;

inline void ExpectCleanStop(agent_it::AgentProcess& agent) {
    agent_it::AgentExit e = agent.Stop();
    EXPECT_TRUE(e.exited && e.code == 0) << e.describe();
    EXPECT_TRUE(e.left.empty()) << e.describe();
}

// n sessions open at once, each admission retried (a refusal only while
// ended sessions are still being counted off) until the deadline; each is
// served one verify request.
inline ::testing::AssertionResult AdmitAndServe(const agent_it::AgentProcess& agent, size_t n,
                                                std::chrono::seconds within) {
    const auto deadline = Clock::now() + within;
    std::vector<std::unique_ptr<agent_it::RawSession>> sessions;
    while (sessions.size() < n) {
        auto s = std::make_unique<agent_it::RawSession>(agent.session_address());
        if (s->valid() && s->OpenStatus() == 0) {
            sessions.push_back(std::move(s));
            continue;
        }
        if (Clock::now() > deadline)
            return ::testing::AssertionFailure() << "only " << sessions.size() << " of " << n << " admitted";
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    uint32_t id = 100;
    for (auto& s : sessions) {
        if (!s->SendMessage(agent_it::VerifyRequest(++id, 3, 3)))
            return ::testing::AssertionFailure() << "cannot send to an admitted session";
        auto reply = s->ReceiveMessage();
        if (!reply || reply->size() != 12 || (*reply)[0] != 0x4D)
            return ::testing::AssertionFailure() << "an admitted session does not answer";
    }
    return ::testing::AssertionSuccess();
}

// The number of times needle occurs in the agent's standard error.
inline size_t CountInStderr(const agent_it::AgentProcess& agent, const std::string& needle) {
    const std::string err = agent.Stderr();
    size_t n = 0;
    for (size_t at = err.find(needle); at != std::string::npos; at = err.find(needle, at + 1)) ++n;
    return n;
}

// A process's resident memory in KiB (VmRSS, or another field of its
// status such as the peak VmHWM), -1 when unknown.
inline long ResidentKiB(pid_t pid, const std::string& field = "VmRSS:") {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (in >> key) {
        if (key == field) {
            long kib = -1;
            in >> kib;
            return kib;
        }
        std::getline(in, key);
    }
    return -1;
}

}  // namespace hardening
