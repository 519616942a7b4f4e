// Seeking objects: GRFS_SEEK_OBJ(_LARGE) skip forward in an object's byte
// sequence, keeping the read-ahead buffer in step with the descriptor.
#pragma once

#include <cstdint>

struct GRFS_SESSION;
struct GRFS_MESSAGE;

constexpr uint32_t kSeekBlock = 512;  // long seeks stop at this boundary

// GRFS_SEEK_OBJ and GRFS_SEEK_OBJ_LARGE. 0, or 1 when the send failed.
int SeekObject(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length);
int SeekObjectLarge(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length);

// The distance a seek of count bytes moves from position: count itself
// below 512, else up to the next multiple of 512 (1 to 512 bytes).
uint64_t SeekDistance(uint64_t position, uint64_t count);
