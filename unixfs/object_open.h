// Opening and closing objects: GRFS_OPEN_OBJ and GRFS_CLOSE_OBJ, and the
// preparation of an object's byte sequence (data stream, then the EA stream
// holding a symbolic link's record) for reading.
#pragma once

#include <cstdint>

#include "grfs/dblk.h"

struct GRFS_SESSION;
struct GRFS_MESSAGE;
struct FILE_MEMORY;

// GRFS_OPEN_OBJ. Returns the reply's retcode, or 1 when the send failed.
int OpenObject(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length);
// GRFS_CLOSE_OBJ. Returns 0, or 1 when the send failed.
int CloseObject(GRFS_SESSION* ses, GRFS_MESSAGE* req);

// Fill the record for a file DBLK (type 9) or a directory DBLK (type 8)
// opened in mode. 0 or a retcode; a failure leaves no descriptor open.
int Unix_OpenFile(FILE_MEMORY* rec, const GRFS_GEN_DBLK* dblk, uint16_t mode);
int Unix_OpenDir(FILE_MEMORY* rec, const GRFS_GEN_DBLK* dblk, uint16_t mode);

// Prepares ea_space for the object's EA stream: READ and VERIFY load the
// link record, WRITE makes room for ea_size bytes. 0 or a retcode.
int Unix_OpenEA(FILE_MEMORY* rec);
// Writes the symbolic-link record (length word, name, target) into ea_space
// and sets ea_size to its length. 0; -507 when the link's directory lies
// beyond a link the export may not pass; -1 when no EA buffer can be had.
int Unix_LoadEAbuffer(FILE_MEMORY* rec);

// Fills the read-ahead buffer from the start of the file (after the open's
// reply has gone out). The outcome is not reported.
void PrimeReadAhead(FILE_MEMORY* rec);
