// Listing the workstation's exported trees (DLEs).
#pragma once

struct GRFS_SESSION;
struct GRFS_MESSAGE;

// GRFS_FIND_FIRST_DLE (type 2) and GRFS_FIND_NEXT_DLE (type 3). 1 after a
// reply was sent, 0 when sending failed.
int FindDLE(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length, int type);
