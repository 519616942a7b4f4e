// Our command-line peer against the real agent: it receives the agent's
// advertisement as a backup server does and measures round trips.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "agent_process.h"
#include "file_text.h"
#include "hardening_support.h"

namespace {

using agent_it::AgentConfig;
using agent_it::AgentProcess;

struct CommandResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs grfsclient with args; output goes to files (no pipe to drain).
CommandResult RunGrfsclient(const AgentProcess& agent, const std::vector<std::string>& args, int timeout_ms) {
    const std::string out_path = agent.dir() + "/grfsclient.out", err_path = agent.dir() + "/grfsclient.err";
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        std::vector<std::string> all = {"grfsclient"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(GRFSCLIENT_BINARY, argv.data());
        _exit(127);
    }
    CommandResult r;
    int status = 0;
    bool done = agent_it::WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms);
    if (!done) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = e2e::read_file(out_path);
    r.err = e2e::read_file(err_path);
    return r;
}

using hardening::ExpectCleanStop;

TEST(Grfsclient, AdvertsReceivesTheAgentsAdvertisement) {
    // One advertisement a second, so that the next one goes to grfsclient.
    AgentConfig config;
    config.tell_interval = 1;
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    agent.ReleaseAdvertisementPort();
    CommandResult r = RunGrfsclient(
        agent, {"adverts", "--listen", agent.address() + ":" + std::to_string(agent_it::AdvertisementPort()),
                "--count", "1", "--timeout", "20"},
        30000);
    EXPECT_EQ(r.status, 0) << r.err;
    char host[101] = {};
    gethostname(host, 100);
    const std::string port = std::to_string(agent.port());
    const std::string uaddr =
        agent.address() + "." + std::to_string(agent.port() >> 8) + "." + std::to_string(agent.port() & 0xFF);
    EXPECT_EQ(r.out.rfind("resource=2044" + agent.workstation() + " type=32 address=" + uaddr + " session=" +
                              agent.address() + ":" + port + " host=" + host + " workstation=" + agent.workstation() +
                              " password=no from=" + agent.address() + ":",
                          0),
              0u)
        << r.out;
    ExpectCleanStop(agent);
}

TEST(Grfsclient, PingPrintsTheRoundTripRate) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    const std::string at = agent.address() + ":" + std::to_string(agent.port());
    CommandResult r = RunGrfsclient(agent, {"ping", at, "--count", "200", "--size", "512"}, 60000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("^200 round trips of 512 data bytes to " + at +
                                                    " in [0-9.]+ s: [0-9]+ round trips/s, [0-9.]+ us each\n$")))
        << r.out;
    ExpectCleanStop(agent);
}

}  // namespace
