// The GRFS limits the agent runs with.
#pragma once

#include <cstdint>

struct Queue;

inline constexpr int16_t kAgentMaxSessions = 4;
inline constexpr int32_t kRequestedObjectBufferSize = 32512;
inline constexpr uint32_t kMinObjectBufferSize = 1024;
inline constexpr uint32_t kMaxObjectBufferSize = 31744;

// Fixes gb_grfs_config: at least one session, an object buffer between 1024
// and 31744 bytes, and a copy of the tell_list header for advertisement. The
// three middle values are accepted and ignored.
void GRFS_Set_Config_Params(int16_t max_sessions, int32_t object_buffer_size, int32_t unused1, int32_t unused2,
                            int32_t unused3, const Queue* tell_list);
