#include "agent/signals.h"

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "unixfs/workstation.h"
#include "util/debug_print.h"

void (*on_interrupt_shutdown)() = nullptr;

namespace {
volatile sig_atomic_t interrupt_handled = 0;
}

void interrupt_handler(int signal_number) {
    pid_t self = getpid();
    DEBUG_PRINTF(DBG_PROCESS, "\ninterrupt %d occurred in process %d\n", signal_number, static_cast<int>(self));
    if (interrupt_handled == 0) {
        interrupt_handled = 1;
        if (on_interrupt_shutdown != nullptr) on_interrupt_shutdown();
        // A listener pid of 0 would make kill() hit the whole process group.
        pid_t listener = static_cast<pid_t>(ws_cntl.listener_pid);
        if (listener > 0 && listener != self) kill(listener, SIGKILL);
    }
    // _exit: flushing stdio from a handler could deadlock on a stream lock
    // held by the interrupted code; console output is unbuffered anyway.
    _exit(1);
}

void child_died(int) {
    int saved_errno = errno;
    signal(SIGUSR2, child_died);
    while (wait(nullptr) == -1 && errno == EINTR) {
    }
    ws_cntl.num_sessions_connected = static_cast<int16_t>(ws_cntl.num_sessions_connected - 1);
    if (ws_cntl.num_sessions_connected == 0) ws_cntl.sessions_active = 0;
    DEBUG_PRINTF(DBG_PROCESS, "child_died(): num_sessions_connected=%d\n", ws_cntl.num_sessions_connected);
    errno = saved_errno;
}
