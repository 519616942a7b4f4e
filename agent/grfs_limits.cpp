#include "agent/grfs_limits.h"

#include "unixfs/session/workstation.h"
#include "util/debug_print.h"

void GRFS_Set_Config_Params(int16_t max_sessions, int32_t object_buffer_size, int32_t, int32_t, int32_t,
                            const Queue* tell_list) {
    gb_grfs_config.max_sessions = max_sessions < 1 ? int16_t{1} : max_sessions;
    DEBUG_PRINTF(DBG_PROCESS, "max concurrent sessions is %d\n", gb_grfs_config.max_sessions);

    uint32_t size = kMinObjectBufferSize;
    if (object_buffer_size > static_cast<int32_t>(kMaxObjectBufferSize)) {
        size = kMaxObjectBufferSize;
    } else if (object_buffer_size > static_cast<int32_t>(kMinObjectBufferSize)) {
        size = static_cast<uint32_t>(object_buffer_size);
    }
    gb_grfs_config.object_buffer_size = size;
    DEBUG_PRINTF(DBG_CONFIG, "Set_Config_Params: grfs_object_buffer_size=%d\n", static_cast<int>(size));

    if (tell_list != nullptr) gb_grfs_config.tell_list = *tell_list;
}
