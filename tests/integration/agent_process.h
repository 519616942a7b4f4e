// The real agent program in a sandbox, for tests that talk to it over the
// network: a temporary directory with a configuration and an export, a
// private loopback address (127.0.0.x) where the test receives the
// agent's advertisement and learns its session port, and a stop that
// checks that no process of the agent is left.
//
// Each agent gets its own address: the first 127.0.0.x (x from 100 to 250)
// whose advertisement port the test can bind exclusively. The agent binds
// its sessions to that address too (force_address), so agents started by
// tests running side by side never meet.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "util/unique_fd.h"

namespace agent_it {

struct AgentConfig {
    // Workstation name; empty: a name unique to this test process.
    std::string workstation;
    // Workstation password; empty: none (resource name starts with 2044).
    std::string password;
    // Seconds a new connection may take for the session-open exchange.
    int conn_timeout = 2;
    // Seconds between advertisements. The first goes out at start.
    int tell_interval = 3600;
    // Export line options for the "DATA" export of export_dir().
    std::string export_options;
    // More configuration lines, each ending with a line end.
    std::string extra_lines;
    // More command-line arguments (e.g. {"-d", "1"}).
    std::vector<std::string> args;
};

// How the agent, and every process of its group, ended.
struct AgentExit {
    bool exited = false;           // the listener exited (else: killed by a signal, or still running)
    int code = -1;                 // its exit status
    int signal = 0;                // the signal that ended it
    std::map<pid_t, int> others;   // wait statuses of the other processes of its group we reaped so far
    std::vector<pid_t> left;       // processes of its group still there at the end
    std::string describe() const;
};

class AgentProcess {
public:
    explicit AgentProcess(AgentConfig config = {});
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    // Writes the configuration, starts the program, waits for its ready
    // line and its first advertisement. Use as ASSERT_TRUE(agent.Start()).
    ::testing::AssertionResult Start();

    // Sends sig to the listener and waits until it has ended and every
    // process of its group is gone (reaping those handed to us).
    AgentExit Stop(int sig = SIGTERM, int timeout_ms = 15000);
    // Waits, without signalling, for the same.
    AgentExit WaitForExit(int timeout_ms);
    // Waits only until the listener has ended (reaping what else of its
    // group has ended by then).
    AgentExit WaitForListenerExit(int timeout_ms);

    pid_t pid() const { return pid_; }
    const std::string& dir() const { return dir_; }
    std::string config_path() const { return dir_ + "/agent.cfg"; }
    // Rewrites the configuration file from config (its workstation and
    // args are not read), e.g. before a reload. tell and force: the
    // addresses of the tell and force_address lines; empty: address().
    void WriteConfig(const AgentConfig& config, const std::string& tell = {}, const std::string& force = {}) const;
    const std::string& export_dir() const { return export_dir_; }
    const std::string& address() const { return address_; }
    const std::string& workstation() const { return workstation_; }
    uint16_t port() const { return port_; }
    sockaddr_in session_address() const;
    // The first advertisement, as received.
    const std::vector<unsigned char>& advertisement() const { return advertisement_; }
    // Gives up the advertisement port of address() (after Start), so that
    // another receiver, e.g. grfsclient adverts, can take it.
    void ReleaseAdvertisementPort() { advert_listener_.reset(); }
    // The advertisement process (the listener's first child).
    pid_t advertiser() const { return advertiser_; }

    std::string Stdout() const;
    std::string Stderr() const;
    // Waits until standard error contains needle.
    bool WaitForStderr(const std::string& needle, int timeout_ms) const;

    // Children of the listener, by state.
    std::vector<pid_t> Children() const;
    std::vector<pid_t> ZombieChildren() const;
    // Session processes: living children other than the advertiser.
    std::vector<pid_t> SessionProcesses() const;
    // Open descriptors of the listener.
    int ListenerDescriptors() const;
    // The listener's descriptors once it is idle: the fewest seen over a
    // short window, so a connection it is just closing is not counted.
    int SettledListenerDescriptors(int window_ms = 300) const;
    // Waits until the listener holds exactly `expected` descriptors.
    bool ListenerDescriptorsBecome(int expected, int timeout_ms = 3000) const;

private:
    ::testing::AssertionResult receive_advertisement(int timeout_ms);
    AgentExit collect(int timeout_ms, bool whole_group = true);

    AgentConfig config_;
    std::string dir_;
    std::string export_dir_;
    std::string address_;
    std::string workstation_;
    std::string resource_name_;
    UniqueFd advert_listener_;
    std::vector<unsigned char> advertisement_;
    uint16_t port_ = 0;
    pid_t pid_ = -1;
    pid_t advertiser_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    std::map<pid_t, int> others_;
};

// Binds the advertisement port of the first free 127.0.0.x, without
// SO_REUSEADDR so that the address belongs to this test alone, and listens
// there; *address receives the address.
UniqueFd ClaimAdvertisementAddress(std::string* address);
// The bytes of the next connection made to listen_fd (read until the peer
// closes); empty when none comes within timeout_ms.
std::vector<unsigned char> AcceptAdvertisement(int listen_fd, int timeout_ms);

// Polls condition every few milliseconds until it holds or timeout_ms pass.
bool WaitUntil(const std::function<bool()>& condition, int timeout_ms);

// Processes (any state) whose process group is pgid, and their parents.
std::vector<pid_t> ProcessGroupMembers(pid_t pgid);
// State letter of a process ('Z' zombie), 0 when it is gone.
char ProcessState(pid_t pid);
pid_t ParentOf(pid_t pid);

// The port advertisements go to: the "grfs"/"tcp" service, else 6101.
uint16_t AdvertisementPort();

}  // namespace agent_it
