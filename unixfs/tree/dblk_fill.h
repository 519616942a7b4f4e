// Filling a DBLK from an object's description, in the arrangement the agent
// uses: find information at 176, the name or path at 180, the Unix
// OS-specific information behind it (for a directory followed by a second
// copy of the path).
#pragma once

#include <cstdint>

#include "grfs/dblk.h"
#include "unixfs/tree/object_describe.h"

constexpr uint16_t kFindInfoOffset = 176;
constexpr uint16_t kFindInfoSize = 4;
constexpr uint16_t kDblkTextOffset = 180;

// Fills dblk (whose fixed part the caller prepared) from dta and stores the
// length of the variable area in *extra_length; the caller sets
// dblk_actual_size = 176 + *extra_length. A directory's path is text when
// use_text is set, else rel_dir (relative to the DLE's root) joined with the
// entry's name, the name left out with no_name. The search handle is written
// at 176 when store_find is set. 0, or -505 when the texts do not fit.
int FillinDBLKInfo(const char* rel_dir, GRFS_GEN_DBLK* dblk, const DTA* dta, uint16_t* extra_length,
                   uint32_t find_handle, bool no_name, bool store_find, bool use_text, const char* text);
