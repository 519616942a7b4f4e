// Restore, first step for every object: GRFS_PREPARE_DBLK (names shortened
// to what the export's file system takes) and GRFS_CREATE_OBJ (the file,
// directory with its missing parents, device node, FIFO, or a hard link to
// the first restored name of a multiply linked file).
#pragma once

#include "grfs/dblk.h"
#include "grfs/messages.h"
#include "unixfs/session/grfs_session.h"

struct DRVDLE;

// Handlers. length is the received message length (header included); they
// return 1 when the reply could not be sent, else CreateObject the retcode
// and PrepareDblk 0.
int CreateObject(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length);
int PrepareDblk(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length);

// A file block: path = export path / current directory / name.
int Unix_CreateFile(DRVDLE* drvdle, const GRFS_GEN_DBLK* dblk);
// path is a full path text below the drvdle's export path; the object is
// made through descriptors below the export root, never through a link.
int CreateFileUnix(DRVDLE* drvdle, const char* path, const GRFS_GEN_DBLK* dblk);

// A directory block: the directory and any missing parents below the root.
int Unix_CreateDir(DRVDLE* drvdle, const GRFS_GEN_DBLK* dblk);
// One level, rel relative to the export root. 0 also when it exists.
int CreateDirUnix(DRVDLE* drvdle, const char* rel, const GRFS_GEN_DBLK* dblk);
