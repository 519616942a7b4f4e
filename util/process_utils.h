// Small process and diagnostic services.
#pragma once

#include <sys/types.h>

pid_t fork_v();
// Waits until the marker file named after the process id is removed, so that
// a debugger can attach to a freshly forked process.
void debug_pause();
// n bytes as "0A FF ..." (upper-case, single spaces, none after the last),
// terminated; for n <= 0 nothing is written, not even the terminator.
void mem_to_hex_string(const unsigned char* bytes, int n, char* text);
