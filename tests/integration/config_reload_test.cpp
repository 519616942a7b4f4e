// SIGHUP to the listener reloads the configuration: new sessions use the new
// file while running ones go on with theirs, an invalid file changes
// nothing, and the advertisements follow the new tell list and interval.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "agent_process.h"
#include "e2e_support.h"
#include "hardening_support.h"

namespace {

using agent_it::AgentConfig;
using agent_it::AgentProcess;

constexpr const char* kReloaded = "Configuration reloaded\n";
constexpr const char* kNotReloaded = "Configuration not reloaded; keeping the running one\n";

// How often text occurs in the agent's standard error.
size_t count_in_stderr(const AgentProcess& agent, const std::string& text) {
    const std::string err = agent.Stderr();
    size_t n = 0;
    for (size_t at = err.find(text); at != std::string::npos; at = err.find(text, at + 1)) ++n;
    return n;
}

// Sends SIGHUP to the listener and waits for the n-th line of the outcome.
bool reload(const AgentProcess& agent, const std::string& outcome, size_t n = 1) {
    kill(agent.pid(), SIGHUP);
    return agent_it::WaitUntil([&] { return count_in_stderr(agent, outcome) >= n; }, 10000);
}

std::string pattern(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return s;
}

TEST(ConfigReload, AddsAnExportForNewSessionsWhileARunningReadGoesOn) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    const std::string big = pattern(300000);
    e2e::write_file(agent.export_dir() + "/big.bin", big);
    const std::string more = agent.dir() + "/more";
    std::filesystem::create_directories(more);
    e2e::write_file(more + "/new.txt", "new\n");
    EXPECT_FALSE(e2e::connect_peer(agent, "NEW").ok());
    // The refused session's process is gone before the reader's starts.
    EXPECT_TRUE(agent_it::WaitUntil([&] { return agent.SessionProcesses().empty(); }, 10000));

    grfs_client::Peer reader = e2e::expect_peer(agent, "DATA");
    auto block = e2e::find_listed(reader, "", "big.bin");
    ASSERT_TRUE(block.has_value());
    std::string got;
    auto status = reader.read_object("", *block, GRFS_OPEN_READ, [&](const grfs_client::ReadPiece& piece) {
        got.append(piece.data.begin(), piece.data.end());
        if (got.size() != piece.data.size()) return grfs_client::Status{};
        // Half way through the first read: the session process ignores
        // SIGHUP; the listener reloads.
        std::vector<pid_t> sessions = agent.SessionProcesses();
        EXPECT_EQ(sessions.size(), 1u);
        for (pid_t p : sessions) kill(p, SIGHUP);
        AgentConfig config;
        config.extra_lines = e2e::export_line(more, "NEW");
        agent.WriteConfig(config);
        EXPECT_TRUE(reload(agent, kReloaded)) << agent.Stderr();
        grfs_client::Peer other = e2e::expect_peer(agent, "NEW");
        EXPECT_TRUE(e2e::find_listed(other, "", "new.txt").has_value());
        other.close();
        return grfs_client::Status{};
    });
    ASSERT_TRUE(status.ok()) << status.text;
    EXPECT_TRUE(got == big) << "read " << got.size() << " of " << big.size() << " bytes, or other bytes";
    reader.close();
    EXPECT_EQ(count_in_stderr(agent, kNotReloaded), 0u) << agent.Stderr();

    // An invalid file changes nothing: the messages, and the old exports.
    AgentConfig broken;
    broken.extra_lines = e2e::export_line(agent.dir() + "/missing", "GONE");
    agent.WriteConfig(broken);
    ASSERT_TRUE(reload(agent, kNotReloaded)) << agent.Stderr();
    const std::string err = agent.Stderr();
    EXPECT_NE(err.find("Unable to access exported directory: '" + agent.dir() + "/missing'"), std::string::npos);
    EXPECT_NE(err.find("Invalid configuration file.\nagent: Configuration not reloaded"), std::string::npos) << err;
    EXPECT_EQ(count_in_stderr(agent, kReloaded), 1u);
    grfs_client::Peer still = e2e::expect_peer(agent, "NEW");
    still.close();
    EXPECT_TRUE(e2e::connect_peer(agent, "DATA").ok());
    hardening::ExpectCleanStop(agent);
}

TEST(ConfigReload, AdvertisementsFollowTheNewTellListAndInterval) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    std::string second;
    UniqueFd receiver = agent_it::ClaimAdvertisementAddress(&second);
    ASSERT_TRUE(receiver.valid());
    // The advertisement process started with the agent ignores SIGHUP.
    kill(agent.advertiser(), SIGHUP);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_NE(agent_it::ProcessState(agent.advertiser()), 'Z');
    ASSERT_NE(agent_it::ProcessState(agent.advertiser()), 0);

    // The new list names only the second receiver, every second; the
    // file's force_address changes too, which only a restart applies.
    AgentConfig config;
    config.tell_interval = 1;
    agent.WriteConfig(config, second, second);
    ASSERT_TRUE(reload(agent, kReloaded)) << agent.Stderr();
    EXPECT_NE(agent.Stderr().find("agent: Setting 'force_address' changes only with a restart; keeping the running "
                                  "value\nagent: Configuration reloaded\n"),
              std::string::npos)
        << agent.Stderr();

    // The old advertisement process is gone; the new one ignores SIGHUP.
    ASSERT_TRUE(agent_it::WaitUntil(
        [&] { return agent.Children().size() == 1 && agent.Children().front() != agent.advertiser(); }, 5000));
    const pid_t advertiser = agent.Children().front();
    kill(advertiser, SIGHUP);

    // Two in a short time: the new interval, not the hour of the start.
    for (int i = 0; i < 2; ++i) {
        std::vector<unsigned char> ad = agent_it::AcceptAdvertisement(receiver.get(), 5000);
        ASSERT_FALSE(ad.empty()) << "advertisement " << i << " to the new receiver";
        // Still the running session address: it is kept until a restart.
        const std::string text(ad.begin(), ad.end());
        const std::string where = agent.address() + "." + std::to_string(agent.port() / 256) + "." +
                                  std::to_string(agent.port() % 256);
        EXPECT_NE(text.find(where + '\0' + where + '\0'), std::string::npos);
    }
    EXPECT_EQ(agent.Children(), std::vector<pid_t>{advertiser});
    hardening::ExpectCleanStop(agent);
}

// A reload is as tolerant as a start of a tell host that does not resolve,
// and as strict about a misspelt option, which keeps the running file.
TEST(ConfigReload, AnUnresolvableTellHostReloadsAndAMisspeltOptionDoesNot) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    AgentConfig misspelt;
    misspelt.export_options = "Write_Protect";
    agent.WriteConfig(misspelt);
    ASSERT_TRUE(reload(agent, kNotReloaded)) << agent.Stderr();
    EXPECT_NE(agent.Stderr().find(agent.config_path() + ":2: agent: Unknown export option 'Write_Protect'"),
              std::string::npos)
        << agent.Stderr();

    agent.WriteConfig(AgentConfig{}, "nohost.invalid");
    ASSERT_TRUE(reload(agent, kReloaded)) << agent.Stderr();
    EXPECT_NE(agent.Stderr().find("NRLInit: net/service address not found for nohost.invalid/grfs\n"),
              std::string::npos)
        << agent.Stderr();
    EXPECT_EQ(count_in_stderr(agent, kNotReloaded), 1u) << agent.Stderr();
    EXPECT_TRUE(e2e::connect_peer(agent, "DATA").ok());
    hardening::ExpectCleanStop(agent);
}

}  // namespace
