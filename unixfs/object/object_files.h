// Opening, locking, reading and closing the file behind an object.
#pragma once

#include <cstdint>

#include "grfs/dblk.h"
#include "util/uint64.h"

struct FILE_MEMORY;

constexpr uint16_t kVscNoLocking = 0x80;     // vsc_flags bit: read without the lock
constexpr uint32_t kReadRetryPiece = 512;    // piece size of the re-read after an error

// Opens the object's file (rec->full_path, resolved below the export root
// of rec->dle) for mode and, for READ and VERIFY, locks it for reading.
// With file information the type decides: devices and symbolic links open
// nothing (descriptor -1; a link's EA size is estimated), FIFOs, sockets
// and the like give 1. 0 or a retcode; *fd is -1 unless a file was opened.
int OpenFileUnix(FILE_MEMORY* rec, uint16_t mode, int* fd, UINT64* data_size, UINT64* ea_size,
                 const UNIX_FILE_OS_INFO* info);

// A shared record lock over the whole file, refused at once when another
// process holds a conflicting lock. 0 or -495.
int LockFileUnix(int fd);

// 0, -487 (the descriptor was not open) or -499 (another close failure).
int CloseFileUnix(int fd);

// One read of up to *size bytes from the descriptor's position, which is
// file_offset. 0 with *size bytes; -500 at end of file; after a read error
// the descriptor goes back to file_offset and the bytes are read again in
// 512-byte pieces, *size telling how many arrived and the result the error
// (-499 for EIO, -507 otherwise) unless end of file was met (-500).
int ReadFileUnix(int fd, uint64_t file_offset, unsigned char* dest, uint32_t* size);
