// What an administrator keeps of the agent's diagnostics: a log file that is
// appended to, readable by root alone and opened again after a rotation;
// console lines that always start a line of their own; and no password, in
// any trace, message dump or console line.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "agent_process.h"
#include "client/connection.h"
#include "client/requests.h"
#include "e2e_support.h"
#include "file_text.h"
#include "grfs/messages.h"

namespace {

using agent_it::AgentConfig;
using agent_it::AgentProcess;

mode_t permissions(const std::string& path) {
    struct stat st{};
    if (lstat(path.c_str(), &st) != 0) return static_cast<mode_t>(-1);
    return st.st_mode & 07777;
}

bool reload(const AgentProcess& agent, const std::string& outcome) {
    const size_t before = e2e::occurrences(agent.Stderr(), outcome);
    kill(agent.pid(), SIGHUP);
    return agent_it::WaitUntil([&] { return e2e::occurrences(agent.Stderr(), outcome) > before; }, 10000);
}

// One session that attaches and lists the export root: its requests and
// replies are dumped into the log.
void one_session(const AgentProcess& agent) {
    grfs_client::Peer peer = e2e::expect_peer(agent, "DATA");
    EXPECT_TRUE(e2e::listed(peer, "", "hello.txt").has_value());
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// A directory of the test's own, removed at the end.
struct ScratchDir {
    std::string path;
    ScratchDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "agent-log-XXXXXX").string();
        path = mkdtemp(templ.data()) != nullptr ? templ : std::string();
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
};

TEST(LogFile, AnEarlierLogIsAppendedToAndMadePrivateAndALinkIsNotFollowed) {
    ScratchDir scratch;
    ASSERT_FALSE(scratch.path.empty());
    const std::string log = scratch.path + "/agent.log";
    e2e::write_file(log, "an earlier run\n");
    ASSERT_EQ(chmod(log.c_str(), 0644), 0);
    // A log name that is a symbolic link is not followed: the target stays
    // as it was (the dumps then go nowhere).
    const std::string target = scratch.path + "/target";
    e2e::write_file(target, "not the agent's\n");
    ASSERT_EQ(chmod(target.c_str(), 0644), 0);
    const mode_t target_mode = permissions(target);
    ASSERT_EQ(symlink(target.c_str(), (scratch.path + "/linked.log").c_str()), 0);

    AgentConfig config;
    config.extra_lines = "logfile " + log + "\n";
    config.args = {"-d", "16"};
    {
        AgentProcess agent(config);
        ASSERT_TRUE(agent.Start());
        one_session(agent);
        agent.Stop();
    }
    EXPECT_EQ(permissions(log), 0600);
    const std::string text = e2e::read_file(log);
    EXPECT_EQ(text.rfind("an earlier run\n", 0), 0u) << text.substr(0, 200);
    EXPECT_NE(text.find("MESSAGE: "), std::string::npos);

    config.extra_lines = "logfile " + scratch.path + "/linked.log\n";
    AgentProcess linked(config);
    ASSERT_TRUE(linked.Start());
    one_session(linked);
    linked.Stop();
    EXPECT_EQ(e2e::read_file(target), "not the agent's\n");
    EXPECT_EQ(permissions(target), target_mode);
}

TEST(LogFile, IsOpenedAgainByItsNameAtEverySighupAlsoWhenTheReloadFails) {
    AgentConfig config;
    // A relative name: taken from the start directory, also when opened
    // again by the listener, which has left it.
    config.extra_lines = "logfile agent.log\n";
    config.args = {"-d", "16"};
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    const std::string path = agent.dir() + "/agent.log";
    EXPECT_EQ(permissions(path), 0600);
    one_session(agent);

    // Rotation: the file is renamed and the agent told; from then on it
    // writes to a new file of the old name.
    const std::string rotated = path + ".1";
    ASSERT_EQ(rename(path.c_str(), rotated.c_str()), 0);
    ASSERT_TRUE(reload(agent, "Configuration reloaded\n"));
    EXPECT_EQ(permissions(path), 0600);
    const std::string first = e2e::read_file(rotated);
    EXPECT_NE(first.find("MESSAGE: "), std::string::npos);
    one_session(agent);
    EXPECT_EQ(e2e::read_file(rotated), first);
    EXPECT_NE(e2e::read_file(path).find("MESSAGE: "), std::string::npos);

    // The same when the file no longer reads.
    const std::string second_rotated = path + ".2";
    ASSERT_EQ(rename(path.c_str(), second_rotated.c_str()), 0);
    e2e::write_file(agent.config_path(), "this file is not valid\n");
    ASSERT_TRUE(reload(agent, "Configuration not reloaded; keeping the running one\n"));
    EXPECT_EQ(permissions(path), 0600);
    const std::string second = e2e::read_file(second_rotated);
    one_session(agent);
    EXPECT_EQ(e2e::read_file(second_rotated), second);
    EXPECT_NE(e2e::read_file(path).find("MESSAGE: "), std::string::npos);
}

TEST(Passwords, NoTraceDumpOrConsoleLineShowsOne) {
    AgentConfig config;
    config.password = "WsSecret1";
    config.export_options = "password DleSecret2 write_protect";
    config.extra_lines = "logfile agent.log\n";
    config.args = {"-d"};
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    {
        auto c = grfs_client::Connection::open(grfs_client::Endpoint{agent.address(), agent.port()});
        ASSERT_TRUE(c.ok()) << c.error().text;
        EXPECT_EQ(e2e::failed_retcode(grfs_client::attach_workstation(*c, agent.workstation(), "WrongWs3")),
                  GRFS_RC_ACCESS_DENIED);
        auto ws = grfs_client::attach_workstation(*c, agent.workstation(), "WSSECRET1");
        ASSERT_TRUE(ws.ok()) << ws.error().text;
        EXPECT_EQ(e2e::failed_retcode(grfs_client::attach_dle(*c, ws->dle_id, "DATA", "WrongDle4")),
                  GRFS_RC_ACCESS_DENIED);
        EXPECT_TRUE(grfs_client::attach_dle(*c, ws->dle_id, "DATA", "DLESECRET2").ok());
    }
    // A line of the file read again, password and all, at a reload.
    e2e::write_file(agent.config_path(), e2e::read_file(agent.config_path()) + "Password Unread5\n");
    kill(agent.pid(), SIGHUP);
    ASSERT_TRUE(agent.WaitForStderr("Configuration reloaded\n", 10000));
    agent.Stop();

    const std::string err = agent.Stderr();
    const std::string log = e2e::read_file(agent.dir() + "/agent.log");
    ASSERT_NE(log.find("MESSAGE: "), std::string::npos);
    for (const char* secret : {"wssecret1", "dlesecret2", "wrongws3", "wrongdle4", "unread5"}) {
        EXPECT_EQ(lower(err).find(secret), std::string::npos) << secret << " on standard error";
        EXPECT_EQ(lower(log).find(secret), std::string::npos) << secret << " in the log file";
    }
    // Where a password stood, the placeholder.
    EXPECT_NE(err.find("Passwords don't match (<password> != <password>)"), std::string::npos);
    EXPECT_NE(err.find("password <password> write_protect"), std::string::npos);
    EXPECT_NE(err.find("'Password <password>'"), std::string::npos);
    EXPECT_NE(log.find("password <password>"), std::string::npos);
}

TEST(ConsoleLines, StartOnALineOfTheirOwnAmongTracePieces) {
    AgentConfig config;
    config.export_options = "password DLEPW";
    config.args = {"-nd", "-d", "1"};
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    {
        auto c = grfs_client::Connection::open(grfs_client::Endpoint{agent.address(), agent.port()});
        ASSERT_TRUE(c.ok()) << c.error().text;
        auto ws = grfs_client::attach_workstation(*c, agent.workstation(), "");
        ASSERT_TRUE(ws.ok()) << ws.error().text;
        EXPECT_EQ(e2e::failed_retcode(grfs_client::attach_dle(*c, ws->dle_id, "DATA", "GUESS")),
                  GRFS_RC_ACCESS_DENIED);
        EXPECT_TRUE(grfs_client::attach_dle(*c, ws->dle_id, "DATA", "DLEPW").ok());
    }
    ASSERT_TRUE(agent.WaitForStderr("end=", 10000));
    agent.Stop();
    const std::string err = agent.Stderr();
    size_t lines = 0;
    for (const char* start : {"agent: attach refused", "agent: session start", "agent: session end"}) {
        for (size_t at = err.find(start); at != std::string::npos; at = err.find(start, at + 1)) {
            ++lines;
            EXPECT_TRUE(at == 0 || err[at - 1] == '\n') << "glued: ..." << err.substr(at > 40 ? at - 40 : 0, 120);
        }
    }
    EXPECT_GE(lines, 3u);
}

}  // namespace
