// GRFS_SET_OBJ_INFO: owner, mode, times and length of an object named by a
// DBLK are set from it. Answered with a retcode alone.
#pragma once

#include "grfs/dblk.h"
#include "grfs/messages.h"
#include "unixfs/session/grfs_session.h"

struct DRVDLE;

// Attach reason bit: the attachment restores (lengths are set, and times are
// set even when the configuration preserves ctime).
constexpr uint16_t kAttachReasonRestore = 0x4;

// length is the received message length; returns 1 when the reply could
// not be sent, else the retcode.
int SetObjectInfo(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length);

// In this order: mode, times, length, owner, mode again (a change of owner
// clears set-id bits). The last component is never followed: a symbolic link
// gets its owner only. -504 and nothing changed when the object cannot be
// examined, or when the session's create made an object under the name and
// the name now leads to another (created_objects.h). An object the session
// did not make is given no set-id bits it did not have, and no capability.
int Unix_SetInfo(DRVDLE* drvdle, const GRFS_GEN_DBLK* dblk);
