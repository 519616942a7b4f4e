// GRFS_VERIFY_OBJ_INFO: does the object a DBLK names still agree with it.
// Answered with a retcode alone.
#pragma once

#include "grfs/dblk.h"
#include "grfs/messages.h"
#include "unixfs/session/grfs_session.h"

struct DRVDLE;

// length is the received message length; returns 1 when the reply could
// not be sent, else the retcode.
int VerifyObjectInfo(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length);

// 0 when size (files) and attributes agree; -494 on a difference; -501 for
// a missing object.
int Unix_VerifyInfo(DRVDLE* drvdle, const GRFS_GEN_DBLK* dblk);
