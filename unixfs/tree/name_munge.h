// Shortening the names in a DBLK to what the file system of an export takes
// (GRFS_PREPARE_DBLK).
#pragma once

#include "grfs/dblk.h"

// Copies at most limit characters of source and a zero into destination
// (which may be source itself). Returns the new length with its zero.
int unix_name_munge(const char* source, char* destination, int limit);

// Copies the "/"-separated path source into destination (which may be
// source itself), each component cut to limit characters and the rest moved
// up; the freed bytes at the end become zero. Processing stops at the first
// empty component, so a path beginning with "/" comes out empty. Returns the
// kept path's length plus 1 for its zero; 1 for an empty source, 0 when the
// first component is empty.
int unix_path_munge(const char* source, char* destination, int limit);

// Shortens the generic name (file block) or path (directory block) of dblk
// to limit characters per component. When the generic and the OS text are
// the same bytes, the shortened text is appended to the block and the
// generic offset moved to it (the OS text keeps the original); otherwise it
// is shortened in place. 0, or -495 when the block's text is unsound.
int FixObjectName(GRFS_GEN_DBLK* dblk, int limit);
