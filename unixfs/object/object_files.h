// Opening, locking, reading and closing the file behind an object.
#pragma once

#include <cstdint>

#include "grfs/dblk.h"
#include "util/uint64.h"

struct FILE_MEMORY;

constexpr uint16_t kVscNoLocking = 0x80;     // vsc_flags bit: read without the lock

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
