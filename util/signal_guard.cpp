#include "util/signal_guard.h"

#include <csignal>

namespace {
int cli_sig = 0;  // 0: no guard signal
}

void SetCliSig(int signal_number) { cli_sig = signal_number; }

int GetCliSig() { return cli_sig; }

// Holding is done with the process signal mask; the "previous disposition"
// is whether the guard was already blocked, so nested holds restore correctly.
uint32_t DisableInterrupts() {
    if (cli_sig == 0) return 0;
    sigset_t set;
    sigset_t old;
    sigemptyset(&set);
    sigaddset(&set, cli_sig);
    if (sigprocmask(SIG_BLOCK, &set, &old) != 0) return 0;
    return sigismember(&old, cli_sig) == 1 ? 1U : 0U;
}

void RestoreInterruptState(uint32_t previous) {
    if (cli_sig == 0) return;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, cli_sig);
    sigprocmask(previous != 0 ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}
