// Signal handlers of the agent's processes, installed by the listener:
// SIGINT and SIGTERM -> interrupt_handler, SIGUSR2 and SIGCHLD -> child_died.
#pragma once

#include <csignal>
#include <sys/types.h>

// Shuts the network layer down (its resources, advertisement processes and
// children) when an interrupt ends a process. The listener sets it once the
// layer is up; while it is unset an interrupt only ends the process.
extern void (*on_interrupt_shutdown)();

// SIGINT/SIGTERM: shut down once, kill the listener when this process is not
// the listener, print "<program>: Vestrel Agent stopped (SIGTERM)." when the
// layer was up, exit with status 0.
void interrupt_handler(int signal_number);

// SIGUSR2 (a session announced its end) and SIGCHLD in the listener: reaps
// every child that has ended, without blocking, and counts one session off
// for each reaped session process (never below 0). Other children (the
// advertisement process) are reaped without being counted. Signals merge,
// so one call may have several children to reap, or none yet: a session
// announces its end before it exits, and is counted when it is gone. Each
// session counted off is traced with the count; a run that counts none
// traces the count once.
void child_died(int signal_number);

// Installs child_died for SIGUSR2 and SIGCHLD; neither interrupts the
// handler while it runs.
void InstallChildDiedHandler();

// Records a forked session process so that child_died counts it off when it
// is reaped. Call with the child-ended signals held (ChildSignalHold) from
// before the fork, so that its end cannot be reaped before it is known.
// Returns false when the table is full (never with the admission limit).
bool RegisterSessionProcess(pid_t pid);
// Session processes recorded and not yet reaped.
int SessionProcessCount();
// Forgets every recorded session process (tests).
void ForgetSessionProcesses();

// Holds SIGUSR2 and SIGCHLD for its lifetime, so that the session count and
// the table of session processes change only outside child_died.
class ChildSignalHold {
public:
    ChildSignalHold();
    ~ChildSignalHold();
    ChildSignalHold(const ChildSignalHold&) = delete;
    ChildSignalHold& operator=(const ChildSignalHold&) = delete;
    // The signal mask from before the hold (a forked child restores it).
    const sigset_t& previous() const { return previous_; }

private:
    sigset_t previous_;
};
