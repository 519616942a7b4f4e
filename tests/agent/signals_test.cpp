// The interrupt and end-of-session handlers. Interrupts end the process, so
// each case runs in a child and reports through its exit status and a pipe.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "agent/signals.h"
#include "agent_test_support.h"

namespace {

int g_report_fd = -1;

void report_shutdown() {
    ssize_t n = write(g_report_fd, "S", 1);
    (void)n;
}

void shutdown_then_interrupt_again() {
    report_shutdown();
    interrupt_handler(SIGTERM);  // a second interrupt while shutting down
}

std::string drain(int fd) {
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
}

struct ChildResult {
    int status;
    std::string reported;  // what the shutdown hook wrote
};

// Runs body in a child whose shutdown hook writes to a pipe.
template <typename Body>
ChildResult run_child(Body body) {
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        g_report_fd = fds[1];
        body();
        _exit(99);  // the handler never returns
    }
    close(fds[1]);
    std::string reported = drain(fds[0]);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {status, reported};
}

TEST(InterruptHandler, ListenerShutsDownOnceAndExitsWithZero) {
    auto r = run_child([] {
        agent_test::reset_workstation();
        ws_cntl.listener_pid = static_cast<uint32_t>(getpid());
        on_interrupt_shutdown = report_shutdown;
        interrupt_handler(SIGTERM);
    });
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    EXPECT_EQ(r.reported, "S");
}

TEST(InterruptHandler, SecondInterruptDuringShutdownDoesNotShutDownAgain) {
    auto r = run_child([] {
        agent_test::reset_workstation();
        ws_cntl.listener_pid = static_cast<uint32_t>(getpid());
        on_interrupt_shutdown = shutdown_then_interrupt_again;
        interrupt_handler(SIGINT);
    });
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    EXPECT_EQ(r.reported, "S");
}

TEST(InterruptHandler, WithoutTheNetworkLayerItOnlyExits) {
    auto r = run_child([] {
        agent_test::reset_workstation();
        ws_cntl.listener_pid = static_cast<uint32_t>(getpid());
        on_interrupt_shutdown = nullptr;
        interrupt_handler(SIGTERM);
    });
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    EXPECT_EQ(r.reported, "");
}

TEST(InterruptHandler, SessionProcessKillsTheListener) {
    pid_t listener = fork();
    if (listener == 0) {
        for (;;) pause();
    }
    auto r = run_child([listener] {
        agent_test::reset_workstation();
        ws_cntl.listener_pid = static_cast<uint32_t>(listener);
        on_interrupt_shutdown = report_shutdown;
        interrupt_handler(SIGTERM);
    });
    int status = 0;
    ASSERT_EQ(waitpid(listener, &status, 0), listener);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    EXPECT_EQ(r.reported, "S");
}

TEST(InterruptHandler, UnknownListenerDoesNotSignalTheProcessGroup) {
    // kill(0, ...) would reach every process of the group, this child included.
    auto r = run_child([] {
        setpgid(0, 0);
        agent_test::reset_workstation();
        ws_cntl.listener_pid = 0;
        on_interrupt_shutdown = report_shutdown;
        interrupt_handler(SIGTERM);
    });
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
}

TEST(InterruptHandler, InstalledHandlerTracesTheSignalAndPid) {
    int err[2];
    ASSERT_EQ(pipe(err), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(err[0]);
        dup2(err[1], STDERR_FILENO);
        agent_test::reset_workstation();
        grfs_debug = DBG_PROCESS;
        ws_cntl.listener_pid = static_cast<uint32_t>(getpid());
        signal(SIGTERM, interrupt_handler);
        raise(SIGTERM);
        _exit(99);
    }
    close(err[1]);
    std::string text = drain(err[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(text, std::to_string(pid) + ":\ninterrupt " + std::to_string(SIGTERM) + " occurred in process " +
                        std::to_string(pid) + "\n");
}

class ChildDiedTest : public ::testing::Test {
protected:
    void SetUp() override {
        agent_test::reset_workstation();
        ForgetSessionProcesses();
        saved_usr2_ = signal(SIGUSR2, SIG_DFL);
        saved_chld_ = signal(SIGCHLD, SIG_DFL);
    }
    void TearDown() override {
        signal(SIGUSR2, saved_usr2_);
        signal(SIGCHLD, saved_chld_);
        ForgetSessionProcesses();
        agent_test::reset_workstation();
    }
    // A child that has ended and is not reaped yet.
    static pid_t ended_child() {
        pid_t pid = fork();
        if (pid == 0) _exit(0);
        siginfo_t info{};
        waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
        return pid;
    }
    static bool reaped(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == -1 && errno == ECHILD; }
    void (*saved_usr2_)(int) = nullptr;
    void (*saved_chld_)(int) = nullptr;
};

TEST_F(ChildDiedTest, OneCallReapsEverySessionThatEndedAndCountsEachOnce) {
    // Signals merge: three sessions that end together may raise one call.
    ws_cntl.num_sessions_connected = 4;
    ws_cntl.sessions_active = 1;
    grfs_debug = DBG_PROCESS;
    pid_t a = ended_child(), b = ended_child(), c = ended_child();
    ASSERT_TRUE(RegisterSessionProcess(a));
    ASSERT_TRUE(RegisterSessionProcess(b));
    ASSERT_TRUE(RegisterSessionProcess(c));
    agent_test::StderrCapture cap;
    child_died(SIGUSR2);
    EXPECT_EQ(ws_cntl.num_sessions_connected, 1);
    EXPECT_EQ(ws_cntl.sessions_active, 1);
    EXPECT_TRUE(reaped(a) && reaped(b) && reaped(c));
    EXPECT_EQ(SessionProcessCount(), 0);
    const std::string p = std::to_string(getpid()) + ":child_died(): num_sessions_connected=";
    EXPECT_EQ(cap.text(), p + "3\n" + p + "2\n" + p + "1\n");
}

TEST_F(ChildDiedTest, LastSessionClearsSessionsActive) {
    ws_cntl.num_sessions_connected = 1;
    ws_cntl.sessions_active = 1;
    pid_t pid = ended_child();
    RegisterSessionProcess(pid);
    child_died(SIGCHLD);
    EXPECT_EQ(ws_cntl.num_sessions_connected, 0);
    EXPECT_EQ(ws_cntl.sessions_active, 0);
}

TEST_F(ChildDiedTest, OtherChildrenAreReapedWithoutCounting) {
    // The advertisement process is a child of the listener but no session.
    ws_cntl.num_sessions_connected = 2;
    ws_cntl.sessions_active = 1;
    pid_t advertiser = ended_child();
    child_died(SIGCHLD);
    EXPECT_TRUE(reaped(advertiser));
    EXPECT_EQ(ws_cntl.num_sessions_connected, 2);
    EXPECT_EQ(ws_cntl.sessions_active, 1);
}

TEST_F(ChildDiedTest, SessionStillRunningIsCountedOnlyOnceItIsGone) {
    // A session announces its end (SIGUSR2) before it exits.
    ws_cntl.num_sessions_connected = 1;
    ws_cntl.sessions_active = 1;
    pid_t pid = fork();
    if (pid == 0) {
        for (;;) pause();
    }
    RegisterSessionProcess(pid);
    child_died(SIGUSR2);
    EXPECT_EQ(ws_cntl.num_sessions_connected, 1);
    EXPECT_EQ(SessionProcessCount(), 1);

    kill(pid, SIGKILL);
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    child_died(SIGCHLD);
    EXPECT_EQ(ws_cntl.num_sessions_connected, 0);
    EXPECT_TRUE(reaped(pid));
}

TEST_F(ChildDiedTest, CountNeverFallsBelowZero) {
    ws_cntl.num_sessions_connected = 0;
    pid_t pid = ended_child();
    RegisterSessionProcess(pid);
    child_died(SIGCHLD);
    EXPECT_EQ(ws_cntl.num_sessions_connected, 0);
    EXPECT_EQ(ws_cntl.sessions_active, 0);
}

TEST_F(ChildDiedTest, WithoutChildrenNothingChanges) {
    ws_cntl.num_sessions_connected = 3;
    ws_cntl.sessions_active = 1;
    child_died(SIGUSR2);
    EXPECT_EQ(ws_cntl.num_sessions_connected, 3);
    EXPECT_EQ(ws_cntl.sessions_active, 1);
}

TEST_F(ChildDiedTest, RunThatReapsNoSessionIsTracedToo) {
    ws_cntl.num_sessions_connected = 2;
    grfs_debug = DBG_PROCESS;
    const std::string line = std::to_string(getpid()) + ":child_died(): num_sessions_connected=2\n";
    {
        agent_test::StderrCapture cap;
        child_died(SIGUSR2);  // nothing to reap
        EXPECT_EQ(cap.text(), line);
    }
    pid_t advertiser = ended_child();
    agent_test::StderrCapture cap;
    child_died(SIGCHLD);  // reaps a child that is no session
    EXPECT_TRUE(reaped(advertiser));
    EXPECT_EQ(cap.text(), line);
}

TEST_F(ChildDiedTest, ReinstallsItselfAndKeepsErrno) {
    ended_child();
    ws_cntl.num_sessions_connected = 1;
    errno = EAGAIN;
    child_died(SIGUSR2);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(signal(SIGUSR2, SIG_DFL), &child_died);
}

TEST_F(ChildDiedTest, EndSignalAndExitOfOneSessionCountItOnce) {
    InstallChildDiedHandler();
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR2);
    sigaddset(&block, SIGCHLD);
    sigprocmask(SIG_BLOCK, &block, &old);
    ws_cntl.num_sessions_connected = 1;
    ws_cntl.sessions_active = 1;
    grfs_debug = DBG_PROCESS;
    agent_test::StderrCapture cap;

    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        kill(parent, SIGUSR2);
        _exit(0);
    }
    RegisterSessionProcess(pid);
    sigset_t wait_mask = old;
    sigdelset(&wait_mask, SIGUSR2);
    sigdelset(&wait_mask, SIGCHLD);
    while (SessionProcessCount() != 0) sigsuspend(&wait_mask);
    sigprocmask(SIG_SETMASK, &old, nullptr);

    EXPECT_EQ(ws_cntl.num_sessions_connected, 0);
    EXPECT_EQ(ws_cntl.sessions_active, 0);
    EXPECT_TRUE(reaped(pid));
    // Each of the two runs is traced; the session was counted off once,
    // in the first run or in the second.
    const std::string p = std::to_string(getpid()) + ":child_died(): num_sessions_connected=";
    const std::string text = cap.text();
    EXPECT_TRUE(text == p + "0\n" + p + "0\n" || text == p + "1\n" + p + "0\n") << text;
}

TEST(ChildSignalHold, HoldsBothChildSignalsAndRestoresTheMask) {
    sigset_t before, during, after;
    sigprocmask(SIG_SETMASK, nullptr, &before);
    {
        ChildSignalHold hold;
        sigprocmask(SIG_SETMASK, nullptr, &during);
        EXPECT_EQ(sigismember(&during, SIGUSR2), 1);
        EXPECT_EQ(sigismember(&during, SIGCHLD), 1);
        EXPECT_EQ(sigismember(&hold.previous(), SIGCHLD), sigismember(&before, SIGCHLD));
    }
    sigprocmask(SIG_SETMASK, nullptr, &after);
    EXPECT_EQ(sigismember(&after, SIGUSR2), sigismember(&before, SIGUSR2));
    EXPECT_EQ(sigismember(&after, SIGCHLD), sigismember(&before, SIGCHLD));
}

}  // namespace
