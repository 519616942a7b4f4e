// Opening the object a file or directory DBLK names, and preparing its byte
// sequence (data stream, then the EA stream holding a symbolic link's
// record) in the object's record.
#pragma once

#include <cstdint>

#include "grfs/dblk.h"

struct FILE_MEMORY;

// Fill the record for a file DBLK (type 9) or a directory DBLK (type 8)
// opened in mode. 0 or a retcode; a failure leaves no descriptor open.
int Unix_OpenFile(FILE_MEMORY* rec, const GRFS_GEN_DBLK* dblk, uint16_t mode);
int Unix_OpenDir(FILE_MEMORY* rec, const GRFS_GEN_DBLK* dblk, uint16_t mode);
