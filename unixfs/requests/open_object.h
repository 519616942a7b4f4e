// Opening and closing objects: GRFS_OPEN_OBJ and GRFS_CLOSE_OBJ, and the
// read-ahead buffer's first fill.
#pragma once

#include <cstdint>

struct GRFS_SESSION;
struct GRFS_MESSAGE;
struct FILE_MEMORY;

// GRFS_OPEN_OBJ. Returns the reply's retcode, or 1 when the send failed.
int OpenObject(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length);
// GRFS_CLOSE_OBJ. Returns 0, or 1 when the send failed.
int CloseObject(GRFS_SESSION* ses, GRFS_MESSAGE* req);

// Fills the read-ahead buffer from the start of the file (after the open's
// reply has gone out). The outcome is not reported.
void PrimeReadAhead(FILE_MEMORY* rec);
