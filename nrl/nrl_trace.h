// The NRL's own trace ("-nd"): lines on standard error, each begun with the
// process id. A line may be written in several pieces; the id goes only
// before the first piece.
#pragma once

#include "nrl/nrl_debug.h"

void nrl_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

#define NRL_TRACE(...)                                  \
    do {                                                \
        if (nrl_debug_flag != 0) nrl_trace(__VA_ARGS__); \
    } while (0)
