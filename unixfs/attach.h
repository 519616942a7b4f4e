// Attaching to the workstation and to its exported trees (DLEs), listing the
// exports, detaching, the current directory of a DLE attachment, and the
// server information request.
#pragma once

#include <cstdint>

struct GRFS_SESSION;
struct GRFS_MESSAGE;
struct DRVDLE;

// GRFS_ATTACH_DLE. 0 on success, 1 when the attach was refused.
int AttachDLE(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length);
// Sends the successful GRFS_ATTACH_DLE_STAT; returns whether sending failed.
int AcceptDLEAttach(GRFS_SESSION* ses, const GRFS_MESSAGE* req, uint32_t handle, uint16_t max_obj_bsize,
                    bool supports_children, const char* path);
// Sends a header-only GRFS_ATTACH_DLE_STAT; returns whether sending failed.
int RejectDLEAttach(GRFS_SESSION* ses, const GRFS_MESSAGE* req, int16_t retcode);

// GRFS_FIND_FIRST_DLE (type 2) and GRFS_FIND_NEXT_DLE (type 3). 1 after a
// reply was sent, 0 when sending failed.
int FindDLE(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length, int type);

// GRFS_DETACH_DLE; returns the send result.
int DetachDLE(GRFS_SESSION* ses, GRFS_MESSAGE* req);

// GRFS_CHANGE_DIR; returns whether sending failed.
int ChangeDir(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length);

// GRFS_GET_INFO; returns whether sending failed.
int GetInfo(GRFS_SESSION* ses, GRFS_MESSAGE* req);

// Longest file name allowed in the directory path (14 when the file system
// states no limit or cannot be asked).
int query_max_name_len(const char* path);
// The same for an open directory descriptor; path only names it in traces.
int query_max_name_len_fd(int dir_fd, const char* path);

// Releases one DLE attachment's resources (its searches, root descriptor,
// handle, path buffer and the record). The caller has unlinked it.
void ReleaseDrvdle(DRVDLE* drvdle);

// Session end: releases every attachment of both kinds, bringing
// attach_count down with them, and every search left over.
void ReleaseAllAttachments(GRFS_SESSION* ses);
