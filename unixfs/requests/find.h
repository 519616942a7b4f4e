// Walking a DLE's directories and describing single objects for the server.
#pragma once

struct GRFS_SESSION;
struct GRFS_MESSAGE;

// GRFS_FIND_FIRST_OBJ (type 5) and GRFS_FIND_NEXT_OBJ (type 6); reply
// GRFS_FIND_OBJ_STAT. Returns the send result.
int FindObject(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length, int type);
// GRFS_FIND_CLOSE; header-only acknowledgement (the named search, when live,
// is released). Returns the send result.
int FindClose(GRFS_SESSION* ses, GRFS_MESSAGE* req);
// GRFS_GET_CUR_DDB: the attachment's current directory as a DBLK.
int GetCurrentDDB(GRFS_SESSION* ses, GRFS_MESSAGE* req);
// GRFS_GET_OBJ_INFO: a fresh DBLK for the object a DBLK names.
int GetObjectInfo(GRFS_SESSION* ses, GRFS_MESSAGE* req);
