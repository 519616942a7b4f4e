#include "agent/init_workstation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "agent/config_file.h"
#include "agent/grfs_limits.h"
#include "agent/log_file.h"
#include "grfs/message_trace.h"
#include "mount/pseudo_fs.h"
#include "unixfs/session/workstation.h"
#include "util/debug_print.h"

namespace {

// Without a name line the workstation is called after the host, cut to the
// field like the host name call would.
bool take_host_name(WS_CNTL* ws) {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) return false;
    std::memset(ws->workstation_name, 0, kWorkstationNameSize);
    std::memcpy(ws->workstation_name, host, strnlen(host, kWorkstationNameSize - 1));
    return true;
}

}  // namespace

// Kernel pseudo file systems hold no data worth saving and some of their
// files never end; their mount points are skipped like directories.
void add_builtin_exclusions(WS_CNTL* ws) {
    for (const std::string& mount_point : pseudo_fs_mount_points()) {
        add_to_exclude_list(ws, EXCLUDE_DIR, mount_point.c_str());
    }
}

int read_ws_configuration(WS_CNTL* ws, const char* config_path) {
    ws->listener_pid = static_cast<uint32_t>(getpid());

    struct stat root;
    if (stat("/", &root) != 0) {
        std::fprintf(stderr, "Unable to stat() root directory.\n");
        return 1;
    }
    gb_root_dev_id = root.st_dev;

    InitQueue(&ws->hard_link_list);
    ws->use_xdr = 1;
    return read_workstation_config(ws, config_path);
}

int init_ws_structures(WS_CNTL* ws, const char* config_path) {
    if (read_ws_configuration(ws, config_path) != 0) return 1;

    if (!OpenLogFile(ws)) return 1;

    GRFS_Set_Config_Params(kAgentMaxSessions, kRequestedObjectBufferSize, 0, 0, 0, &ws->tell_list);
    ws->running = 1;
    ws->processingAcl = 0;
    return 0;
}

int read_workstation_config(WS_CNTL* ws, const char* config_path) {
    InitQueue(&ws->dle_list);
    InitQueue(&ws->tell_list);

    ws->config_ok = static_cast<uint16_t>(read_config_file(ws, config_path));
    if (ws->config_ok != 1) return 1;

    if (ws->workstation_name[0] == '\0' && !take_host_name(ws)) {
        std::fprintf(stderr, "%s: gethostname() failed.\n", prog_name);
        return 1;
    }
    add_builtin_exclusions(ws);
    return 0;
}
