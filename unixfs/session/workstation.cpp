#include "unixfs/session/workstation.h"

#include <cstring>

WS_CNTL ws_cntl;
GRFS_CONFIG gb_grfs_config;
uint32_t gb_nrl_conn_timeout = 60;
uint32_t advertise_interval = 0;
dev_t gb_root_dev_id = 0;

DLE_RECORD* FindDrive(WS_CNTL* ws, const char* name) {
    for (auto* dle = QueueHead<DLE_RECORD>(ws->dle_list); dle != nullptr; dle = QueueNext(dle)) {
        if (std::strcmp(dle->resource_name, name) == 0) return dle;
    }
    return nullptr;
}
