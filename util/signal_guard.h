// The guard signal: queue and NRL list changes hold it so that the NRL's own
// signal handling never sees a half-linked list.
#pragma once

#include <cstdint>

void SetCliSig(int signal_number);
int GetCliSig();

namespace signal_guard_detail {
extern int cli_sig;     // 0: no guard signal
extern int hold_depth;  // holds in force in this process
uint32_t HoldOutermost();
void RestoreOutermost(uint32_t previous);
}  // namespace signal_guard_detail

// Holds the guard signal; returns the previous state (0 without a guard).
// Inline: a session process holds the guard for its whole life, so every
// hold on its request path is only a count, taken several times a message.
inline uint32_t DisableInterrupts() {
    using namespace signal_guard_detail;
    if (cli_sig == 0) return 0;
    if (hold_depth > 0) {
        // Already held by an enclosing hold of this process.
        ++hold_depth;
        return 1;
    }
    return HoldOutermost();
}

// Gives the guard signal back the state DisableInterrupts returned.
inline void RestoreInterruptState(uint32_t previous) {
    using namespace signal_guard_detail;
    if (cli_sig == 0) return;
    if (hold_depth > 1) {
        // An inner hold ends: the enclosing one still holds the signal.
        --hold_depth;
        return;
    }
    RestoreOutermost(previous);
}
