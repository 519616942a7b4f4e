// Trace lines: written to standard error, prefixed with the process id, when
// their category shares a bit with the mask given by "-d".
#pragma once

#include <cstdint>

extern uint16_t grfs_debug;
extern const char* prog_name;  // argv[0]; prefix of console messages

enum DebugCategory : uint16_t {
    DBG_PROCESS = 0x01,   // process and session life, attach
    DBG_CONFIG = 0x02,    // configuration, file-operation details, coding mismatches
    DBG_DIR = 0x04,       // directory enumeration, current-path changes
    DBG_DATA = 0x08,      // object data transfer, OS information, hard links
    DBG_MESSAGE = 0x10,   // one line per request and reply
};

void debug_printf(uint16_t category, const char* format, ...) __attribute__((format(printf, 2, 3)));

#define DEBUG_PRINTF(category, ...)                                   \
    do {                                                              \
        if ((grfs_debug & (category)) != 0) debug_printf((category), __VA_ARGS__); \
    } while (0)
