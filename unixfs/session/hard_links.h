// The hard-link table of a restore: the first restored name of each multiply
// linked file, keyed by device and inode, so later names become links to it.
#pragma once

#include <cstdint>

#include "util/uint64.h"

struct HARD_LINK_KEY {
    uint32_t st_dev;
    UINT64 st_ino;
};

struct WS_CNTL;

// The table is the hard_link_list of the workstation record ws.
void HardLinkersReset(WS_CNTL* ws);
// 0 recorded, 1 out of memory (nothing recorded).
int HardLinkersAddLink(WS_CNTL* ws, const HARD_LINK_KEY& key, const char* path);
// Path of the first name restored for key, or nullptr.
const char* HardLinkersLookup(WS_CNTL* ws, const HARD_LINK_KEY& key);
