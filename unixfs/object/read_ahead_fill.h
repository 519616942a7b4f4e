// The buffered read-ahead of an open object: one fill of preread_buf, the
// holes of a sparse file served as zeros without reading them.
#pragma once

#include <cstdint>

struct FILE_MEMORY;

// One fill of the read-ahead buffer: what ReadFileUnix would give at the
// descriptor's position, with the holes of a sparse file found with
// SEEK_DATA and SEEK_HOLE and served as zeros without reading them.
// file_offset is where the caller believes the descriptor stands (the
// re-read after an error starts there).
int FillReadAheadBuffer(FILE_MEMORY* rec, uint64_t file_offset, unsigned char* dest, uint32_t* size);
