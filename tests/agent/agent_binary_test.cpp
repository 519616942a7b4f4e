// The real agent program: banner, options, exit statuses and the start-up
// summary on the right streams.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "agent_test_support.h"
#include "nrl/tli.h"
#include "util/unique_fd.h"

namespace {

using agent_test::TempDir;

constexpr const char* kReadyLine = "Vestrel Agent ready to service requests.";
const std::string kBanner = "Vestrel -- Unix Agent, Version 5.01 Revision 5.046\n";
const std::string kUsage =
    "[-c config file] [-d [mask]] [-nd] [-t]\n"
    "\t[-d [mask]] -- turns on debug messages; mask: the sum of 1 sessions, 2 configuration\n"
    "\t\tand files, 4 directories, 8 object data, 16 requests and replies (default: all)\n"
    "\t[-nd] -- turns on network debug messages\n"
    "\t[-t] -- checks the configuration file and exits\n";

struct AgentRun {
    pid_t pid = -1;
    std::string out;
    std::string err;
    bool exited = false;
    int exit_code = -1;
    bool ready = false;  // the listener announced itself and was stopped

    // Start-up succeeded: either it ended after the summary, or the
    // listener came up and was stopped with SIGTERM.
    bool started() const { return exited && (exit_code == 0 || (ready && exit_code == 1)); }
};

// Runs the agent with args in dir until it ends. Should it reach the
// listener, it is stopped with SIGTERM once ready; nothing of it is left.
AgentRun run_agent(const std::vector<std::string>& args, const std::string& dir = "") {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) std::abort();
    AgentRun run;
    run.pid = fork();
    if (run.pid == 0) {
        setpgid(0, 0);
        if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(127);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        close(err[0]);
        close(err[1]);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>("agent"));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(AGENT_BINARY, argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);

    // A hang guard only; a healthy run ends at once.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open_fds = 2;
    bool stopped = false;
    while (open_fds > 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(-run.pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, 1000) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
                continue;
            }
            (i == 0 ? run.out : run.err).append(buf, static_cast<size_t>(n));
        }
        if (!stopped && run.err.find(kReadyLine) != std::string::npos) {
            run.ready = true;
            stopped = true;
            kill(run.pid, SIGTERM);
        }
    }
    for (auto& f : fds) {
        if (f.fd >= 0) close(f.fd);
    }
    int status = 0;
    waitpid(run.pid, &status, 0);
    kill(-run.pid, SIGKILL);  // anything of the agent still alive
    run.exited = WIFEXITED(status);
    run.exit_code = run.exited ? WEXITSTATUS(status) : -1;
    return run;
}

// True when every needle occurs in text, each after the previous one.
::testing::AssertionResult in_order(const std::string& text, const std::vector<std::string>& needles) {
    size_t at = 0;
    for (const auto& needle : needles) {
        size_t found = text.find(needle, at);
        if (found == std::string::npos) {
            return ::testing::AssertionFailure() << "\"" << needle << "\" not found in order in:\n" << text;
        }
        at = found + needle.size();
    }
    return ::testing::AssertionSuccess();
}

// Listens on the advertisement port of a loopback address of its own
// (127.0.0.30 to 127.0.0.99, apart from the addresses the integration tests
// take), so whatever arrives there was sent to this test.
struct AdvertisementReceiver {
    AdvertisementReceiver() {
        uint16_t port = LookupServicePort("grfs");
        port = port != 0 ? ntohs(port) : kDefaultAdvertisementPort;
        for (int i = 0; i < 70 && !fd.valid(); ++i) {
            address = "127.0.0." + std::to_string(30 + (getpid() + i) % 70);
            UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_in sin{};
            sin.sin_family = AF_INET;
            sin.sin_port = htons(port);
            inet_pton(AF_INET, address.c_str(), &sin.sin_addr);
            if (bind(s.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0 && listen(s.get(), 4) == 0)
                fd = std::move(s);
        }
    }
    bool connection_arrives(int timeout_ms) const {
        pollfd p{fd.get(), POLLIN, 0};
        return poll(&p, 1, timeout_ms) == 1;
    }
    UniqueFd fd;
    std::string address;
};

class AgentBinaryTest : public ::testing::Test {
protected:
    void SetUp() override { data_ = tmp_.mkdir("data"); }
    std::string config(const std::string& extra = "") {
        return tmp_.write("agent.cfg", "export " + data_ + " as data\ntell 127.0.0.21\n" + extra);
    }
    TempDir tmp_;
    std::string data_;
};

TEST_F(AgentBinaryTest, ExampleConfigurationStartsWithBannerAndSummary) {
    AgentRun r = run_agent({"-c", "examples/agent.cfg"}, AGENT_SOURCE_DIR);
    EXPECT_TRUE(r.started()) << r.err;
    EXPECT_EQ(r.out.rfind(kBanner, 0), 0u) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
    EXPECT_EQ(r.err.rfind("agent: Using configuration file: examples/agent.cfg\n", 0), 0u) << r.err;
    EXPECT_TRUE(in_order(r.err, {"agent: Using configuration file: examples/agent.cfg\n",
                                 "agent: Agent configuration OK.\n", "agent: Workstation Name: \"DEMO_AGENT\"\n"}));
    EXPECT_EQ(r.err.find("Unrecognized"), std::string::npos) << r.err;
}

TEST_F(AgentBinaryTest, UnknownOptionIsAUsageError) {
    AgentRun r = run_agent({"-nd", "-x", "-c", config()});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out.rfind(kBanner, 0), 0u);
    EXPECT_EQ(r.err, "agent: Unknown option -x\nagent: Usage agent\n" + kUsage);
}

TEST_F(AgentBinaryTest, ConfigOptionWithoutFileIsAUsageError) {
    AgentRun r = run_agent({"-c"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "agent: Option -c needs a configuration file name\nagent: Usage agent\n" + kUsage);
}

TEST_F(AgentBinaryTest, DebugFollowedByAWordRejectsTheWord) {
    AgentRun r = run_agent({"-c", config(), "-d", "loud"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "agent: Unknown option loud\nagent: Usage agent\n" + kUsage);
}

TEST_F(AgentBinaryTest, MissingConfigurationFailsInitialisationWithStatusZero) {
    std::string missing = tmp_ / "missing.cfg";
    AgentRun r = run_agent({"-c", missing});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind(kBanner, 0), 0u);
    EXPECT_EQ(r.err, "agent: Using configuration file: " + missing + "\nagent: Unable to open config file '" +
                         missing + "'\nagent: Agent initialization failed.\n");
}

TEST_F(AgentBinaryTest, InvalidConfigurationFailsInitialisationWithStatusZero) {
    std::string path = tmp_.write("bad.cfg", "tell 127.0.0.21\n");
    AgentRun r = run_agent({"-c", path});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "agent: Using configuration file: " + path +
                         "\nagent: No directories exported.\nagent: Invalid configuration file.\n"
                         "agent: Agent initialization failed.\n");
}

TEST_F(AgentBinaryTest, DefaultConfigurationIsAgentCfgInTheWorkingDirectory) {
    config("name local\n");
    AgentRun r = run_agent({}, tmp_.path());
    EXPECT_TRUE(r.started()) << r.err;
    EXPECT_TRUE(in_order(r.err, {"agent: Using configuration file: agent.cfg\n", "agent: Agent configuration OK.\n",
                                 "agent: Workstation Name: \"LOCAL\"\n"}));
}

TEST_F(AgentBinaryTest, RelativeExportIsTakenFromTheStartingDirectory) {
    tmp_.write("agent.cfg", "export data as data\ntell 127.0.0.21\n");
    AgentRun r = run_agent({"-c", "agent.cfg"}, tmp_.path());
    EXPECT_TRUE(r.started()) << r.err;
    EXPECT_TRUE(in_order(r.err, {"agent: Agent configuration OK.\n"}));
}

TEST_F(AgentBinaryTest, WorkstationNameDefaultsToTheHostName) {
    AgentRun r = run_agent({"-c", config()});
    EXPECT_TRUE(r.started()) << r.err;
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    EXPECT_TRUE(in_order(r.err, {"agent: Agent configuration OK.\n",
                                 "agent: Workstation Name: \"" + std::string(host).substr(0, 35) + "\"\n"}));
}

TEST_F(AgentBinaryTest, DebugMaskSelectsTraceCategories) {
    std::string cfg = config("name ws\n");
    AgentRun config_only = run_agent({"-d", "2", "-c", cfg});
    EXPECT_TRUE(config_only.started()) << config_only.err;
    const std::string p = std::to_string(config_only.pid) + ":";
    EXPECT_TRUE(in_order(config_only.err, {p + "Config File Workstation Name=ws\n",
                                           p + "Set_Config_Params: grfs_object_buffer_size=31744\n",
                                           "agent: Agent configuration OK.\n"}));
    EXPECT_EQ(config_only.err.find("max concurrent sessions"), std::string::npos);

    AgentRun process_only = run_agent({"-d", "1", "-c", cfg});
    EXPECT_TRUE(process_only.started()) << process_only.err;
    EXPECT_TRUE(in_order(process_only.err,
                         {std::to_string(process_only.pid) + ":max concurrent sessions is 4\n"}));
    EXPECT_EQ(process_only.err.find("Config File Workstation Name"), std::string::npos);

    // "-d" as the last argument turns every category on.
    AgentRun all = run_agent({"-nd", "-c", cfg, "-d"});
    EXPECT_TRUE(all.started()) << all.err;
    EXPECT_NE(all.err.find(":Config File Workstation Name=ws\n"), std::string::npos);
    EXPECT_NE(all.err.find(":max concurrent sessions is 4\n"), std::string::npos);

    AgentRun quiet = run_agent({"-c", cfg});
    EXPECT_EQ(quiet.err.find("Config File"), std::string::npos);
}

TEST_F(AgentBinaryTest, LogFileReceivesItsOpeningLine) {
    std::string log = tmp_ / "agent.log";
    AgentRun r = run_agent({"-c", config("logfile " + log + "\n")});
    EXPECT_TRUE(r.started()) << r.err;
    std::string text = agent_test::read_file(log);
    EXPECT_EQ(text.rfind("log_file ", 0), 0u) << text;
    EXPECT_NE(text.find(" is open\n"), std::string::npos) << text;
}

// "-t" reads the configuration as a start does and reports it, then ends
// by itself: no ready line, no advertisement, and the log file it names is
// not even created.
TEST_F(AgentBinaryTest, ConfigurationTestOfAValidFileStartsNothing) {
    AdvertisementReceiver server;
    ASSERT_TRUE(server.fd.valid()) << "no free loopback address";
    const std::string log = tmp_ / "agent.log";
    const std::string cfg = tmp_.write("agent.cfg", "name checked\nexport " + data_ + " as data\ntell " +
                                                        server.address + "\nforce_address " + server.address +
                                                        "\nlogfile " + log + "\n");
    AgentRun r = run_agent({"-d", "2", "-t", "-c", cfg});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_FALSE(r.ready) << r.err;
    EXPECT_EQ(r.out.rfind(kBanner, 0), 0u) << r.out;
    const std::string p = std::to_string(r.pid) + ":";
    EXPECT_TRUE(in_order(r.err, {"agent: Using configuration file: " + cfg + "\n",
                                 p + "Config File Workstation Name=checked\n",
                                 "agent: Forcing IP address: " + server.address + "\n",
                                 "agent: Agent configuration OK.\n", "agent: Workstation Name: \"CHECKED\"\n"}));
    EXPECT_TRUE(r.err.ends_with("agent: Workstation Name: \"CHECKED\"\n")) << r.err;
    EXPECT_FALSE(std::filesystem::exists(log));
    EXPECT_FALSE(server.connection_arrives(1000));
}

TEST_F(AgentBinaryTest, ConfigurationTestOfAnInvalidFileExitsWithOne) {
    const std::string log = tmp_ / "agent.log";
    const std::string bad = tmp_.write("bad.cfg", "tell 127.0.0.21\nlogfile " + log + "\n");
    AgentRun r = run_agent({"-t", "-c", bad});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out.rfind(kBanner, 0), 0u) << r.out;
    EXPECT_EQ(r.err, "agent: Using configuration file: " + bad +
                         "\nagent: No directories exported.\nagent: Invalid configuration file.\n"
                         "agent: Agent initialization failed.\n");

    const std::string missing = tmp_ / "missing.cfg";
    r = run_agent({"-c", missing, "-t"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "agent: Using configuration file: " + missing + "\nagent: Unable to open config file '" +
                         missing + "'\nagent: Agent initialization failed.\n");
    EXPECT_FALSE(std::filesystem::exists(log));
}

}  // namespace
