// Attaching to the workstation and to its exported trees (DLEs).
#pragma once

#include <cstdint>

struct GRFS_SESSION;
struct GRFS_MESSAGE;

// GRFS_ATTACH_DLE. 0 on success, 1 when the attach was refused.
int AttachDLE(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length);
// Sends the successful GRFS_ATTACH_DLE_STAT; returns whether sending failed.
int AcceptDLEAttach(GRFS_SESSION* ses, const GRFS_MESSAGE* req, uint32_t handle, uint16_t max_obj_bsize,
                    bool supports_children, const char* path);
// Sends a header-only GRFS_ATTACH_DLE_STAT; returns whether sending failed.
int RejectDLEAttach(GRFS_SESSION* ses, const GRFS_MESSAGE* req, int16_t retcode);
