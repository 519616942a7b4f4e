// grfsclient against the real agent, where it has to say what happened:
// refused attaches and sessions named by what they can mean, passwords
// taken from a file or the environment, a restore that stops at the first
// refusal every later object would meet, and a backup archive that is
// private and replaces the old one only when complete.
#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "agent_process.h"
#include "e2e_support.h"
#include "file_text.h"
#include "hardening_support.h"
#include "tree_builder.h"

extern char** environ;

namespace e2e {
namespace {

const std::string kRefusedSession = "refused (4 sessions already, or this address is not allowed)";
const std::string kAgentSideLosses = "are on the agent's console or in its journal";

// Names in dir other than those given.
std::vector<std::string> other_names(const std::string& dir, const std::vector<std::string>& known) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            if (std::find(known.begin(), known.end(), name) == known.end()) names.push_back(name);
        }
        closedir(d);
    }
    return names;
}

// count files of size bytes each in dir.
void make_files(const std::string& dir, int count, size_t size) {
    for (int i = 0; i < count; ++i) write_file(dir + "/f" + zero_padded(i, 4), std::string(size, static_cast<char>('a' + i % 26)));
}

// A small tmpfs over a directory for as long as the object lives.
class SmallFileSystem {
public:
    SmallFileSystem(const std::string& dir, const std::string& size) : dir_(dir) {
        if (geteuid() != 0) {
            why_not_ = "mounting a small file system needs root";
            return;
        }
        if (mount("grfs-full", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0) {
            why_not_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
            return;
        }
        mounted_ = true;
    }
    ~SmallFileSystem() {
        if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const std::string& why_not() const { return why_not_; }

private:
    std::string dir_;
    std::string why_not_;
    bool mounted_ = false;
};

TEST(GrfsclientReports, RefusedAttachesAndSessionsSayWhatTheyCanMean) {
    agent_it::AgentConfig config;
    config.export_options = "password s3cret";
    agent_it::AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    for (const auto& [dle, password] : {std::pair<std::string, std::string>{"NOSUCH", "s3cret"}, {"DATA", "wrong"}}) {
        ProcessResult r = run_grfsclient(with_session({"ls", agent_host_port(agent), dle, "--password", password}, agent));
        EXPECT_EQ(r.status, 1) << r.describe();
        EXPECT_EQ(r.err, "grfsclient ls: attach to export '" + dle +
                             "': access denied (unknown export or wrong password), retcode -507\n")
            << r.describe();
    }
    ProcessResult ws = run_grfsclient({"ls", agent_host_port(agent), "--workstation", "NOSUCH", "--timeout", "120"});
    EXPECT_EQ(ws.status, 1) << ws.describe();
    EXPECT_EQ(ws.err, "grfsclient ls: attach to workstation 'NOSUCH': access denied (unknown workstation name or wrong "
                      "workstation password), retcode -507\n")
        << ws.describe();
    hardening::ExpectCleanStop(agent);

    // No loopback address is on this agent's allow list.
    agent_it::AgentConfig closed;
    closed.extra_lines = "allow 192.0.2.0/24\n";
    agent_it::AgentProcess strict(closed);
    ASSERT_TRUE(strict.Start());
    ProcessResult r = run_grfsclient(with_session({"ls", agent_host_port(strict)}, strict));
    EXPECT_EQ(r.status, 1) << r.describe();
    EXPECT_EQ(r.err, "grfsclient ls: session open with " + agent_host_port(strict) + ": " + kRefusedSession + "\n")
        << r.describe();
    hardening::ExpectCleanStop(strict);
}

TEST(GrfsclientReports, PasswordsComeFromAFileOrTheEnvironment) {
    agent_it::AgentConfig config;
    config.password = "wspass";
    config.export_options = "password s3cret";
    agent_it::AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    TempDir work("grfsclient-passwords");
    write_file(work.path() + "/ws", "wspass\n");
    write_file(work.path() + "/dle", "s3cret\r\n");

    ProcessResult files = run_grfsclient(with_session(
        {"ls", agent_host_port(agent), "DATA", "--ws-password-file", work.path() + "/ws", "--password-file", work.path() + "/dle"},
        agent));
    EXPECT_EQ(files.status, 0) << files.describe();

    setenv("GRFS_WS_PASSWORD", "wspass", 1);
    setenv("GRFS_PASSWORD", "s3cret", 1);
    ProcessResult environment = run_grfsclient(with_session({"ls", agent_host_port(agent), "DATA"}, agent));
    // An option wins over the environment.
    ProcessResult option_first =
        run_grfsclient(with_session({"ls", agent_host_port(agent), "DATA", "--password", "wrong"}, agent));
    unsetenv("GRFS_WS_PASSWORD");
    unsetenv("GRFS_PASSWORD");
    EXPECT_EQ(environment.status, 0) << environment.describe();
    EXPECT_EQ(option_first.status, 1) << option_first.describe();

    ProcessResult both = run_grfsclient(with_session(
        {"ls", agent_host_port(agent), "DATA", "--password", "s3cret", "--password-file", work.path() + "/dle"}, agent));
    EXPECT_EQ(both.status, 2) << both.describe();
    ProcessResult missing =
        run_grfsclient(with_session({"ls", agent_host_port(agent), "DATA", "--password-file", work.path() + "/none"}, agent));
    EXPECT_EQ(missing.status, 2) << missing.describe();
    EXPECT_NE(missing.err.find("--password-file: cannot open " + work.path() + "/none: "), std::string::npos)
        << missing.describe();
    hardening::ExpectCleanStop(agent);
}

TEST(GrfsclientReports, RestoreIntoAWriteProtectedExportStopsAtTheFirstRefusal) {
    TempDir source("grfsclient-wp-src");
    TempDir target("grfsclient-wp-dst");
    TempDir work("grfsclient-wp-work");
    make_files(source.path(), 40, 100);
    agent_it::AgentConfig config;
    config.extra_lines = export_line(source.path(), "TREE") + export_line(target.path(), "RO", "write_protect");
    agent_it::AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    const std::string archive = work.path() + "/tree.grfsarc";
    ProcessResult backup = run_grfsclient(with_session({"backup", agent_host_port(agent), "TREE", archive}, agent));
    ASSERT_EQ(backup.status, 0) << backup.describe();

    ProcessResult r = run_grfsclient(with_session({"restore", archive, agent_host_port(agent), "RO"}, agent));
    EXPECT_EQ(r.status, 1) << r.describe();
    // The root counts as restored (it exists); the first file is refused and
    // the other 39 are not tried.
    EXPECT_NE(r.out.find("; 1 of 41 restored\n"), std::string::npos) << r.describe();
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\nstopped: the export is write-protected \\(write_protect in the "
                                                    "agent's configuration\\); 39 later object\\(s\\) not tried\n"
                                                    "1 object\\(s\\) failed:\n  f[0-9]{4}: create answered -507 "
                                                    "\\(access denied\\)\n")))
        << r.describe();
    EXPECT_NE(r.out.find(kAgentSideLosses), std::string::npos) << r.describe();
    EXPECT_TRUE(other_names(target.path(), {}).empty());
    hardening::ExpectCleanStop(agent);
}

TEST(GrfsclientReports, RestoreIntoAFullFileSystemStopsAtTheFirstNoSpace) {
    TempDir source("grfsclient-full-src");
    TempDir target("grfsclient-full-dst");
    TempDir work("grfsclient-full-work");
    SmallFileSystem full(target.path(), "256k");
    if (!full.mounted()) GTEST_SKIP() << full.why_not();
    make_files(source.path(), 100, 16384);
    agent_it::AgentConfig config;
    config.extra_lines = export_line(source.path(), "TREE") + export_line(target.path(), "FULL");
    agent_it::AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    const std::string archive = work.path() + "/tree.grfsarc";
    ProcessResult backup = run_grfsclient(with_session({"backup", agent_host_port(agent), "TREE", archive}, agent));
    ASSERT_EQ(backup.status, 0) << backup.describe();

    ProcessResult r = run_grfsclient(with_session({"restore", archive, agent_host_port(agent), "FULL"}, agent));
    EXPECT_EQ(r.status, 1) << r.describe();
    EXPECT_NE(r.out.find("stopped: the file system of the export is full (no space left); "), std::string::npos)
        << r.describe();
    EXPECT_EQ(occurrences(r.out, "-506 (no space left)"), 1u) << r.describe();
    EXPECT_NE(r.out.find("1 object(s) failed:\n"), std::string::npos) << r.describe();
    EXPECT_NE(r.out.find(kAgentSideLosses), std::string::npos) << r.describe();
    hardening::ExpectCleanStop(agent);
}

TEST(GrfsclientReports, BackupArchiveIsPrivateAndReplacedOnlyWhenComplete) {
    TempDir source("grfsclient-arc-src");
    TempDir work("grfsclient-arc-work");
    make_files(source.path(), 1000, 1024);
    agent_it::AgentConfig config;
    config.extra_lines = export_line(source.path(), "TREE");
    agent_it::AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    const std::string archive = work.path() + "/tree.grfsarc";
    const mode_t old_umask = umask(022);
    ProcessResult backup = run_grfsclient(with_session({"backup", agent_host_port(agent), "TREE", archive}, agent));
    umask(old_umask);
    ASSERT_EQ(backup.status, 0) << backup.describe();
    struct stat st {};
    ASSERT_EQ(stat(archive.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    const std::string whole = read_file(archive);

    for (int sig : {SIGINT, SIGTERM}) {
        const std::string output = agent.dir() + "/backup.out";
        const pid_t pid = spawn_grfsclient(with_session({"backup", agent_host_port(agent), "TREE", archive}, agent),
                                           output, output);
        ASSERT_GT(pid, 0);
        // Freeze grfsclient once the new archive has begun, so that the
        // signal comes in the middle of the backup.
        bool begun = agent_it::WaitUntil(
            [&] {
                struct stat now {};
                return !other_names(work.path(), {"tree.grfsarc"}).empty() ||
                       (stat(archive.c_str(), &now) == 0 && static_cast<size_t>(now.st_size) != whole.size());
            },
            30000);
        kill(pid, SIGSTOP);
        const bool in_progress = waitpid(pid, nullptr, WNOHANG) == 0;
        kill(pid, sig);
        kill(pid, SIGCONT);
        int status = 0;
        bool ended = agent_it::WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 10000);
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        EXPECT_TRUE(begun && in_progress) << "signal " << sig << ": " << read_file(output);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "signal " << sig << ", status " << status;
        EXPECT_TRUE(read_file(archive) == whole) << "signal " << sig << ": the archive changed";
        EXPECT_EQ(other_names(work.path(), {"tree.grfsarc"}), std::vector<std::string>()) << "signal " << sig;
    }
    hardening::ExpectCleanStop(agent);
}

}  // namespace
}  // namespace e2e
