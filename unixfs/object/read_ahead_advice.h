// Asks the kernel to read a file ahead of the server's requests: a backup
// reads a file from start to end in requests of one window, so the range the
// next requests will ask for is known, and a disk slower than the wire is
// kept busy while the replies go out instead of being asked only when a
// refill finds the pages missing.
#pragma once

#include <cstdint>

struct FILE_MEMORY;

// After a fill that left the descriptor at file_offset: when the advised
// range ends less than the advised distance (16 MiB) ahead of it by a step
// (2 MiB) or more, advises the kernel to read the file's data up to that
// distance ahead, never past the data size the open found. A file within one
// window, and a file with holes, is never advised.
void AdviseReadAhead(FILE_MEMORY* rec, uint64_t file_offset);
