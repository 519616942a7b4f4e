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

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
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
    "[-c config file] [-d [mask]] [-nd] [-t] [-V] [-h]\n"
    "\t[-d [mask]] -- turns on debug messages; mask: the sum of 1 sessions, 2 configuration\n"
    "\t\tand files, 4 directories, 8 object data, 16 requests and replies (default: all)\n"
    "\t[-nd] -- turns on network debug messages\n"
    "\t[-t] -- checks the configuration file and exits\n"
    "\t[-V | --version] -- prints the version and exits\n"
    "\t[-h | --help] -- prints this text and exits\n";

struct AgentRun {
    pid_t pid = -1;
    std::string out;
    std::string err;
    bool exited = false;
    int exit_code = -1;
    bool ready = false;  // the listener announced itself and was stopped

    // Start-up succeeded: either it ended after the summary, or the
    // listener came up and was stopped with SIGTERM.
    bool started() const { return exited && exit_code == 0; }
};

struct RunOptions {
    int stop_signal = SIGTERM;
    // Runs in the child before the program.
    std::function<bool()> child_setup;
    // Sees standard error as it grows; the agent is stopped once it says
    // true. Unset: once the listener is ready.
    std::function<bool(const std::string&)> stop_when;
};

// Runs the agent with args in dir until it ends. Should it reach the
// listener, it is stopped with SIGTERM once ready; nothing of it is left.
AgentRun run_agent(const std::vector<std::string>& args, const std::string& dir = "", const RunOptions& options = {}) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) std::abort();
    AgentRun run;
    run.pid = fork();
    if (run.pid == 0) {
        setpgid(0, 0);
        if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(127);
        if (options.child_setup && !options.child_setup()) _exit(126);
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
        const bool readable = poll(fds, 2, 200) > 0;
        for (int i = 0; i < 2 && readable; ++i) {
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
        if (!run.ready) run.ready = run.err.find(kReadyLine) != std::string::npos;
        if (!stopped && (options.stop_when ? options.stop_when(run.err) : run.ready)) {
            stopped = true;
            kill(run.pid, options.stop_signal);
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

TEST_F(AgentBinaryTest, MissingConfigurationFailsInitialisationWithStatusOne) {
    std::string missing = tmp_ / "missing.cfg";
    AgentRun r = run_agent({"-c", missing});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out.rfind(kBanner, 0), 0u);
    EXPECT_EQ(r.err, "agent: Using configuration file: " + missing + "\nagent: Unable to open config file '" +
                         missing + "': No such file or directory\nagent: Agent initialization failed.\n");
}

TEST_F(AgentBinaryTest, InvalidConfigurationFailsInitialisationWithStatusOne) {
    std::string path = tmp_.write("bad.cfg", "tell 127.0.0.21\n");
    AgentRun r = run_agent({"-c", path});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
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
                         missing + "': No such file or directory\nagent: Agent initialization failed.\n");
    EXPECT_FALSE(std::filesystem::exists(log));
}

// Each mistake makes the file invalid, with a message naming the file and
// the line; a check (-t) and a start fail alike, with status 1.
TEST_F(AgentBinaryTest, BadConfigurationsFailACheckAndAStartAlikeNamingTheLine) {
    struct Case {
        std::string line;     // line 3, after the export and the tell line
        std::string message;  // what follows "<file>:3: "
    };
    const std::string options =
        " (options are password <word>, write_protect, include_remote, no_nfs_locking, no_backup_locking)\n";
    const std::string exp = "export " + data_ + " as ro";
    const std::vector<Case> cases = {
        // Read in pieces, the tail of this comment exported the whole host.
        {"#" + std::string(8200, 'c') + "export / as ROOT", "agent: Line is longer than 8192 bytes\n"},
        {exp + " Write_Protect", "agent: Unknown export option 'Write_Protect'" + options},
        {exp + " write-protect", "agent: Unknown export option 'write-protect'" + options},
        {exp + " WRITE_PROTECT", "agent: Unknown export option 'WRITE_PROTECT'" + options},
        {exp + " write_protected", "agent: Unknown export option 'write_protected'" + options},
        {exp + " include_remote no_nfs_locking no_backup_locking write_protect bogus",
         "agent: Unknown export option 'bogus'" + options},
        {exp + " write_protect password", "agent: Export option 'password' needs a value\n"},
        {exp + " password =", "agent: Password may not be '=' or start with '#'\n"},
        {exp + " password #none", "agent: Password may not be '=' or start with '#'\n"},
        {"password = secret", "agent: Password may not be '=' or start with '#'\n"},
        {"password # none", "agent: Password may not be '=' or start with '#'\n"},
        {exp + "\xC2\xA0write_protect",
         "agent: Line holds a non-breaking space; separate words with spaces or tabs: '" + exp +
             "\xC2\xA0write_protect'\n"},
        {"tell_interval 1O", "agent: Value of 'tell_interval' is not a number of seconds: '1O'\n"},
        {"tell_interval -5", "agent: Value of 'tell_interval' is not a number of seconds: '-5'\n"},
        {"tell_interval 99999999999999999999",
         "agent: Value of 'tell_interval' is not a number of seconds: '99999999999999999999'\n"},
        {"nrl_conn_timeout 3s", "agent: Value of 'nrl_conn_timeout' is not a number of seconds: '3s'\n"},
        {"force_address 127.77.0.256", "force_address: Unable to parse IP address=127.77.0.256\n"},
        {"force_address 127.1", "force_address: Unable to parse IP address=127.1\n"},
        {"force_address 192.0.2.1",
         "agent: force_address 192.0.2.1 is not an address of this host: Cannot assign requested address\n"},
        {"exclude_dir /" + std::string(4095, 'd'),
         "agent: Value of 'exclude_dir' is longer than 4095 characters: '/" + std::string(4095, 'd') + "'\n"},
        {"export " + (tmp_ / "gone") + " as gone",
         "agent: Unable to access exported directory: '" + (tmp_ / "gone") + "': No such file or directory\n"},
    };
    for (const Case& c : cases) {
        const std::string cfg = config("\n" + c.line + "\n");  // the blank line 3 is not reported
        const std::string expected = "agent: Using configuration file: " + cfg + "\n" + cfg + ":4: " + c.message +
                                     "agent: Invalid configuration file.\nagent: Agent initialization failed.\n";
        AgentRun check = run_agent({"-t", "-c", cfg});
        EXPECT_TRUE(check.exited && check.exit_code == 1) << c.line << "\n" << check.err;
        EXPECT_EQ(check.err, expected) << c.line;
        AgentRun start = run_agent({"-c", cfg});
        EXPECT_FALSE(start.ready) << c.line;
        EXPECT_TRUE(start.exited && start.exit_code == 1) << c.line << "\n" << start.err;
        EXPECT_EQ(start.err, check.err) << c.line;
    }
}

// A byte-order mark, CRLF line ends, tabs between words and every option
// word of an export line (a password after four others) are read as meant.
TEST_F(AgentBinaryTest, ByteOrderMarkCrlfTabsAndLongExportLinesAreReadAsMeant) {
    const std::string cfg = tmp_.write(
        "agent.cfg", "\xEF\xBB\xBF" "export\t" + data_ + "\tas\tdata\r\ntell\t127.0.0.21\r\n" +
                         "export " + data_ +
                         " as ro write_protect include_remote no_nfs_locking no_backup_locking password pw\r\n");
    AgentRun r = run_agent({"-t", "-d", "2", "-c", cfg});
    EXPECT_TRUE(r.exited && r.exit_code == 0) << r.err;
    EXPECT_EQ(r.err.find("Unrecognized"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(":advertising to 127.0.0.21\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(":exporting " + data_ + " as data    \n"), std::string::npos) << r.err;
}

TEST_F(AgentBinaryTest, VersionAndHelpPrintAndExitWithZero) {
    for (const char* option : {"-V", "--version"}) {
        AgentRun r = run_agent({option, "-c", tmp_ / "not-read.cfg"});
        EXPECT_TRUE(r.exited && r.exit_code == 0) << option << r.err;
        EXPECT_EQ(r.out.rfind(kBanner, 0), 0u) << option;
        EXPECT_EQ(r.err, "") << option;
    }
    for (const char* option : {"-h", "--help"}) {
        AgentRun r = run_agent({option});
        EXPECT_TRUE(r.exited && r.exit_code == 0) << option << r.err;
        EXPECT_NE(r.out.find("agent: Usage agent\n" + kUsage), std::string::npos) << option << r.out;
        EXPECT_EQ(r.err, "") << option;
    }
}

// A stop asked for is no failure: status 0 and one line saying so. The
// ready line is followed by where the listener is, and why the port is not
// 8192 when that was taken.
TEST_F(AgentBinaryTest, StopBySigtermOrSigintExitsWithZeroAfterSayingWhereItListened) {
    AdvertisementReceiver server;
    ASSERT_TRUE(server.fd.valid()) << "no free loopback address";
    UniqueFd taken(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(8192);
    inet_pton(AF_INET, server.address.c_str(), &sin.sin_addr);
    // Should another program hold 8192 on every address, it is taken all the same.
    [[maybe_unused]] int rc = bind(taken.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    const std::string cfg = tmp_.write("agent.cfg", "export " + data_ + " as data\ntell " + server.address +
                                                        "\nforce_address " + server.address + "\n");
    for (int sig : {SIGTERM, SIGINT}) {
        RunOptions options;
        options.stop_signal = sig;
        options.stop_when = [](const std::string& err) { return err.find("(port 8192 is in use).\n") != err.npos; };
        AgentRun r = run_agent({"-c", cfg}, "", options);
        ASSERT_TRUE(r.ready) << r.err;
        EXPECT_TRUE(r.exited && r.exit_code == 0) << r.err;
        const std::string name = sig == SIGTERM ? "SIGTERM" : "SIGINT";
        EXPECT_TRUE(in_order(r.err, {"agent: Vestrel Agent ready to service requests.\nagent: Listening on " +
                                         server.address + " port ",
                                     " (port 8192 is in use).\n", "agent: Vestrel Agent stopped (" + name + ").\n"}));
        EXPECT_TRUE(r.err.ends_with("agent: Vestrel Agent stopped (" + name + ").\n")) << r.err;
    }
}

// A backup server whose name does not resolve (a name server down at boot)
// keeps nothing down: a check warns and passes, a start reports it and
// serves.
TEST_F(AgentBinaryTest, UnresolvableTellHostIsAWarningForACheckAndAStartGoesOn) {
    const std::string cfg = tmp_.write("agent.cfg", "export " + data_ + " as data\ntell nohost.invalid\n");
    const std::string warning = "agent: Warning: backup server nohost.invalid cannot be resolved now; the agent "
                                "starts all the same and tries it again at every advertisement\n";
    AgentRun check = run_agent({"-t", "-c", cfg});
    EXPECT_TRUE(check.exited && check.exit_code == 0) << check.err;
    EXPECT_TRUE(check.err.ends_with(warning)) << check.err;
    AgentRun start = run_agent({"-c", cfg});
    EXPECT_TRUE(start.ready) << start.err;
    EXPECT_TRUE(start.exited && start.exit_code == 0) << start.err;
    EXPECT_TRUE(in_order(start.err, {"agent: Agent configuration OK.\n", warning,
                                     "agent: Vestrel Agent ready to service requests.\n"}));
}

// The name is looked up again while the agent runs; once it resolves, the
// agent says so and advertises there. The name is made to resolve through
// a hosts file of the agent's own (a private mount namespace).
TEST_F(AgentBinaryTest, StartRetriesAnUnresolvedTellHostUntilItResolves) {
    AdvertisementReceiver server;
    ASSERT_TRUE(server.fd.valid()) << "no free loopback address";
    const std::string hosts = tmp_.write("hosts", "127.0.0.1 localhost\n");
    const std::string cfg = tmp_.write("agent.cfg", "export " + data_ + " as data\ntell later.invalid\n" +
                                                        "tell_interval 0\nforce_address " + server.address + "\n");
    RunOptions options;
    options.child_setup = [&hosts] {
        return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
    };
    bool written = false;
    options.stop_when = [&](const std::string& err) {
        if (!written && err.find(kReadyLine) != std::string::npos) {
            // Rewritten in place: the bind mount holds this very file.
            int fd = open(hosts.c_str(), O_WRONLY | O_TRUNC);
            const std::string text = "127.0.0.1 localhost\n" + server.address + " later.invalid\n";
            written = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
            if (fd >= 0) close(fd);
        }
        // Stopped once the advertisement has come in.
        return err.find("resolves now") != std::string::npos && server.connection_arrives(100);
    };
    AgentRun r = run_agent({"-c", cfg}, "", options);
    if (r.exited && r.exit_code == 126) GTEST_SKIP() << "no private mount namespace here";
    ASSERT_TRUE(written);
    EXPECT_TRUE(r.exited && r.exit_code == 0) << r.err;
    EXPECT_TRUE(in_order(r.err, {"NRLInit: net/service address not found for later.invalid/grfs\n",
                                 "agent: Vestrel Agent ready to service requests.\n",
                                 "agent: Backup server later.invalid resolves now, to " + server.address +
                                     "; advertising to it\n"}));
    EXPECT_EQ(r.err.find("resolves now"), r.err.rfind("resolves now")) << r.err;
}

}  // namespace
