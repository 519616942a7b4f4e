// The guard signal: queue and NRL list changes hold it so that the NRL's own
// signal handling never sees a half-linked list.
#pragma once

#include <cstdint>

void SetCliSig(int signal_number);
int GetCliSig();
// Holds the guard signal; returns the previous state (0 without a guard).
uint32_t DisableInterrupts();
// Gives the guard signal back the state DisableInterrupts returned.
void RestoreInterruptState(uint32_t previous);
