#include "util/signal_guard.h"

#include <csignal>

namespace signal_guard_detail {
int cli_sig = 0;
// Only the outermost hold and its restore change the signal mask: the
// request path takes and gives back the guard several times per message,
// and every mask change is a system call.
int hold_depth = 0;
}  // namespace signal_guard_detail

using signal_guard_detail::cli_sig;
using signal_guard_detail::hold_depth;

namespace {
void change_mask(int how) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, cli_sig);
    sigprocmask(how, &set, nullptr);
}
}  // namespace

void SetCliSig(int signal_number) {
    cli_sig = signal_number;
    hold_depth = 0;
}

int GetCliSig() { return cli_sig; }

// Holding is done with the process signal mask; the "previous disposition"
// is whether the guard was already blocked, so nested holds restore correctly.
uint32_t signal_guard_detail::HoldOutermost() {
    sigset_t set;
    sigset_t old;
    sigemptyset(&set);
    sigaddset(&set, cli_sig);
    if (sigprocmask(SIG_BLOCK, &set, &old) != 0) return 0;
    hold_depth = 1;
    return sigismember(&old, cli_sig) == 1 ? 1U : 0U;
}

void signal_guard_detail::RestoreOutermost(uint32_t previous) {
    hold_depth = 0;
    change_mask(previous != 0 ? SIG_BLOCK : SIG_UNBLOCK);
}
