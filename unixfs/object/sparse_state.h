// The holes of one open object's file, as the record holds them: plain
// data, so that the record carries it without knowing the sparse-file code
// (sparse_file.h).
#pragma once

#include <cstdint>

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
