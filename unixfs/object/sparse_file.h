// Holes in regular files: a backup serves the holes of a sparse file as
// zeros without reading them, and a restore with sparse_restore leaves the
// blocks that are entirely zero unwritten.
#pragma once

#include <cstdint>

#include "unixfs/object/sparse_state.h"

struct FILE_MEMORY;
struct stat;

// A new open of rec: forgets the last open's state and takes sparse_restore
// from the workstation record of rec's attachment; st is the file opened
// for reading (nullptr for a write open).
void SparseOpen(FILE_MEMORY* rec, const struct stat* st);

// Whether data written into rec, opened for WRITE, leaves holes: the
// session that opened it restores sparse files.
bool SparseRestoreOn(const FILE_MEMORY* rec);

// Data-stream bytes with sparse_restore: every 4 KiB block of the file
// that is entirely zero is left as a hole, whatever pieces the stream
// arrives in. *count: offered in, consumed out. When the stream's bytes are
// complete the file's length becomes the stream's. 0 or a retcode as
// WriteFileUnix gives them.
int SparseWriteData(FILE_MEMORY* rec, const unsigned char* data, uint32_t* count);

// At close: a data stream that ended in skipped zeros before it was
// complete still gets its length, unless something else (set information)
// changed the length meanwhile.
void SparseWriteFinish(FILE_MEMORY* rec);
