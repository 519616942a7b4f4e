// GRFS_DELETE_OBJ: a file or an empty directory named by a DBLK goes.
// Answered with a retcode alone.
#pragma once

#include "grfs/dblk.h"
#include "grfs/messages.h"
#include "unixfs/session/grfs_session.h"

struct DRVDLE;

// length is the received message length; returns 1 when the reply could
// not be sent, else the retcode.
int DeleteObject(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length);

int Unix_DeleteFile(DRVDLE* drvdle, const GRFS_GEN_DBLK* dblk);
int Unix_DeleteDir(DRVDLE* drvdle, const GRFS_GEN_DBLK* dblk);
