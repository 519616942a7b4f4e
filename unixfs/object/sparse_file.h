// Holes in regular files: a backup serves the holes of a sparse file as
// zeros without reading them, and a restore with sparse_restore leaves the
// blocks that are entirely zero unwritten.
#pragma once

#include <cstdint>

struct FILE_MEMORY;
struct stat;

constexpr uint64_t kSparseBlock = 4096;  // a restore leaves whole aligned blocks of zeros as holes

// Per open object. Plain data: a zero-filled record is a fresh state.
struct SPARSE_STATE {
    // Reading.
    uint16_t holes;          // the file had fewer blocks than its length at open
    uint64_t data_until;     // file offsets below this were data when last asked
    // Writing with sparse_restore.
    uint16_t restore;        // the session restores sparse files: taken at open
    uint16_t writing;        // the data stream has begun
    uint64_t pos;            // file offset of the next data byte
    uint64_t zero_from;      // start of the zeros left unwritten just before pos (== pos: none)
    uint64_t old_end;        // the file's length when the stream began: skipped blocks below it are cleared
    uint64_t end;            // the file's length as this open left it
};

// A new open of rec: forgets the last open's state and takes sparse_restore
// from the workstation record of rec's attachment; st is the file opened
// for reading (nullptr for a write open).
void SparseOpen(FILE_MEMORY* rec, const struct stat* st);

// One fill of the read-ahead buffer: what ReadFileUnix would give at the
// descriptor's position, with the holes of a sparse file found with
// SEEK_DATA and SEEK_HOLE and served as zeros without reading them.
// file_offset is where the caller believes the descriptor stands (the
// re-read after an error starts there).
int ReadFileAhead(FILE_MEMORY* rec, uint64_t file_offset, unsigned char* dest, uint32_t* size);

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
