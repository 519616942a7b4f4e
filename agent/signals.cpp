#include "agent/signals.h"

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "agent/session_lines.h"
#include "unixfs/session/workstation.h"
#include "util/debug_print.h"

void (*on_interrupt_shutdown)() = nullptr;

namespace {

volatile sig_atomic_t interrupt_handled = 0;

// Session processes not yet reaped; 0 marks a free slot. Written by the
// listener with the child-ended signals held and by child_died, which those
// signals do not interrupt. The admission limit keeps far fewer alive.
constexpr int kMaxSessionProcesses = 256;
volatile pid_t session_pids[kMaxSessionProcesses];

bool take_session_process(pid_t pid) {
    for (auto& slot : session_pids) {
        if (slot == pid) {
            slot = 0;
            return true;
        }
    }
    return false;
}

void child_ended_signals(sigset_t* set) {
    sigemptyset(set);
    sigaddset(set, SIGUSR2);
    sigaddset(set, SIGCHLD);
}

void install_for(int signal_number) {
    struct sigaction sa{};
    sa.sa_handler = child_died;
    child_ended_signals(&sa.sa_mask);
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigaction(signal_number, &sa, nullptr);
}

// "<program>: Vestrel Agent stopped (SIGTERM).", built with calls that are
// safe in a signal handler.
void write_stop_line(int signal_number) {
    const char* name = signal_number == SIGINT ? "SIGINT" : signal_number == SIGTERM ? "SIGTERM" : "a signal";
    char line[512];
    size_t n = 0;
    auto put = [&](const char* text) {
        size_t len = std::strlen(text);
        if (len > sizeof line - n) len = sizeof line - n;
        std::memcpy(line + n, text, len);
        n += len;
    };
    put(prog_name != nullptr ? prog_name : "agent");
    put(": Vestrel Agent stopped (");
    put(name);
    put(").\n");
    [[maybe_unused]] ssize_t written = write(STDERR_FILENO, line, n);
}

}  // namespace

void interrupt_handler(int signal_number) {
    pid_t self = getpid();
    DEBUG_PRINTF(DBG_PROCESS, "\ninterrupt %d occurred in process %d\n", signal_number, static_cast<int>(self));
    if (interrupt_handled == 0) {
        interrupt_handled = 1;
        const bool running = on_interrupt_shutdown != nullptr;
        if (running) on_interrupt_shutdown();
        // A listener pid of 0 would make kill() hit the whole process group.
        pid_t listener = static_cast<pid_t>(ws_cntl.listener_pid);
        if (listener > 0 && listener != self) kill(listener, SIGKILL);
        // One line for the agent: the listener's. Under a service manager
        // every process of the group gets the signal.
        if (running && (listener <= 0 || listener == self)) write_stop_line(signal_number);
    }
    // A stop that was asked for is no failure: a service manager must not
    // restart the agent, nor report an error, for it.
    // _exit: flushing stdio from a handler could deadlock on a stream lock
    // held by the interrupted code; console output is unbuffered anyway.
    _exit(0);
}

void child_died(int) {
    int saved_errno = errno;
    install_for(SIGUSR2);
    bool traced = false;
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid < 0 && errno == EINTR) continue;
        if (pid <= 0) break;  // none ended yet, or no children at all
        if (!take_session_process(pid)) continue;
        NoteSessionReaped(pid, status);
        if (ws_cntl.num_sessions_connected > 0)
            ws_cntl.num_sessions_connected = static_cast<int16_t>(ws_cntl.num_sessions_connected - 1);
        if (ws_cntl.num_sessions_connected == 0) ws_cntl.sessions_active = 0;
        DEBUG_PRINTF(DBG_PROCESS, "child_died(): num_sessions_connected=%d\n", ws_cntl.num_sessions_connected);
        traced = true;
    }
    // Every run is traced, also one that counted no session off.
    if (!traced)
        DEBUG_PRINTF(DBG_PROCESS, "child_died(): num_sessions_connected=%d\n", ws_cntl.num_sessions_connected);
    errno = saved_errno;
}

void InstallChildDiedHandler() {
    install_for(SIGUSR2);
    install_for(SIGCHLD);
}

bool RegisterSessionProcess(pid_t pid) {
    for (auto& slot : session_pids) {
        if (slot == 0) {
            slot = pid;
            return true;
        }
    }
    return false;
}

int SessionProcessCount() {
    int n = 0;
    for (auto& slot : session_pids) n += slot != 0 ? 1 : 0;
    return n;
}

void ForgetSessionProcesses() {
    for (auto& slot : session_pids) slot = 0;
}

ChildSignalHold::ChildSignalHold() {
    sigset_t set;
    child_ended_signals(&set);
    sigprocmask(SIG_BLOCK, &set, &previous_);
}

ChildSignalHold::~ChildSignalHold() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
