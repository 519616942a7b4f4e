// The one place that checks a DBLK received in a request before a handler
// reads anything out of its variable area: the block's claimed size, the
// offsets of its texts and find information, and that every text ends with
// a zero byte inside the block. Handlers take names and paths only from here.
#pragma once

#include <cstdint>
#include <string_view>

#include "grfs/dblk.h"

// 0 when the block claims at least its fixed part (176 bytes for directory
// and file blocks, 168 for other types) and no more than the record holds;
// GRFS_RC_INVALID_REQUEST (-495) otherwise.
int16_t CheckDblkSize(const GRFS_GEN_DBLK* dblk);

// True when the size bytes at block offset `offset` lie in the variable area
// and inside dblk_actual_size (and the block's size itself is sound).
bool DblkRangeInside(const GRFS_GEN_DBLK* dblk, uint32_t offset, uint32_t size);

// The zero-terminated text at block offset `offset` (without its zero).
// 0, or -495 when the text does not start in the variable area or its zero
// byte does not lie inside the block.
int16_t DblkTextAt(const GRFS_GEN_DBLK* dblk, uint16_t offset, std::string_view* text);

// The generic name of a file block (type 9: `name`). -495 for a bad text,
// GRFS_RC_WRONG_DBLK_TYPE (-510) for another block type.
int16_t DblkFileName(const GRFS_GEN_DBLK* dblk, std::string_view* name);

// The generic path of a directory block (type 8: `path`), relative to the
// DLE's root. -495 for a bad text, -510 for another block type.
int16_t DblkDirPath(const GRFS_GEN_DBLK* dblk, std::string_view* path);

// The name (file block) or path (directory block) that names the object.
int16_t DblkObjectText(const GRFS_GEN_DBLK* dblk, std::string_view* text);

// GRFS_RC_ACCESS_DENIED (-507) when a text taken from a block has a ".."
// component; 0 otherwise. A request may never climb out of its export.
int16_t CheckNoDotDot(std::string_view text);

// DblkObjectText followed by CheckNoDotDot: the text that names the object,
// fit to be resolved below the export root. 0, -495, -507 or -510.
int16_t DblkConfinedObjectText(const GRFS_GEN_DBLK* dblk, std::string_view* text);

// The 4-byte search handle kept in the block's find information (agent byte
// order). 0, or -505 (no such search) when the find information is missing,
// shorter than 4 bytes or outside the block.
int16_t DblkFindHandle(const GRFS_GEN_DBLK* dblk, uint32_t* handle);
