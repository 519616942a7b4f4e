// The workstation control record and the records the configuration fills:
// the agent's global state, built by the listener before the first fork and
// inherited by copy by every session process.
#pragma once

#include <cstdint>
#include <cstdio>
#include <sys/types.h>

#include "util/queue.h"

constexpr size_t kWorkstationNameSize = 36;   // 35 characters and the terminator
constexpr size_t kPasswordSize = 128;
constexpr size_t kResourceNameSize = 128;
constexpr size_t kExportPathSize = 4096;  // PATH_MAX: deep exports are not cut
constexpr size_t kLogFileNameSize = 256;

// One exported directory tree (a DLE of the configuration).
struct DLE_RECORD {
    QElem link;
    uint16_t in_use;             // set to 1
    uint16_t password_required;
    uint16_t fs_type;            // reported as the DLE's file-system type; 0
    uint16_t writable;           // 0 with write_protect
    uint16_t local_only;         // 0 with include_remote
    uint16_t no_nfs_locking;
    uint16_t no_backup_locking;
    char dle_password[kPasswordSize];
    char resource_name[kResourceNameSize];
    char export_path[kExportPathSize];
};

enum ExcludeKind : uint8_t { EXCLUDE_FILE = 1, EXCLUDE_DIR = 2 };

struct EXCLUDE_ENTRY {
    uint8_t kind;
    char* name;
    EXCLUDE_ENTRY* next;
    // name as the exclusion test compares it (ExcludeEntryForm), made once
    // with the entry and freed with it; without it the test makes it each
    // time.
    char* normal = nullptr;
};

// Peers that may open sessions: an address matches when its bits under
// mask equal network's. Both in host byte order.
struct ALLOW_ENTRY {
    uint32_t network;
    uint32_t mask;
};
// More allow lines than this make the configuration invalid.
constexpr size_t kMaxAllowEntries = 256;

// A backup server to advertise to.
struct TELL_ENTRY {
    QElem link;
    char* name;
};

struct WS_CNTL {
    uint16_t config_ok;
    uint16_t running;
    FILE* log_file;
    uint16_t listening;
    uint16_t sessions_active;
    int16_t num_sessions_connected;
    Queue session_list;
    char log_file_name[kLogFileNameSize];
    char workstation_name[kWorkstationNameSize];
    uint16_t password_required;
    char workstation_password[kPasswordSize];
    Queue dle_list;
    unsigned char* alloc_reply_data;
    Queue tell_list;
    uint16_t follow_symdirs;
    uint32_t listener_pid;
    uint16_t use_xdr;
    uint16_t preserve_ctime;
    uint32_t force_address;  // network byte order; 0 = default local address
    EXCLUDE_ENTRY* exclude_list;
    Queue hard_link_list;
    uint16_t ignore_acl_errors;
    uint16_t posix_acls;  // objects carry the ACL stream
    uint16_t processingAcl;
    uint16_t sparse_restore;  // restores leave blocks of zeros as holes
    // From the allow lines; none: every peer may open sessions. Held in the
    // record itself so that a copy of the record carries its own list.
    uint16_t allow_count;
    // Extended attributes travel in the LXAT stream (keyword xattrs).
    uint16_t xattrs;
    // Times to the nanosecond and inode flags travel in the LXMD stream
    // (keyword linux_metadata).
    uint16_t linux_metadata;
    ALLOW_ENTRY allow_list[kMaxAllowEntries];
};

struct GRFS_CONFIG {
    int16_t max_sessions;
    uint32_t object_buffer_size;
    Queue tell_list;
};

extern WS_CNTL ws_cntl;
extern GRFS_CONFIG gb_grfs_config;
extern uint32_t gb_nrl_conn_timeout;   // seconds, 60 unless configured
extern uint32_t advertise_interval;    // seconds between advertisement passes
extern dev_t gb_root_dev_id;           // device of "/"

// Exported tree whose resource name equals name exactly, or nullptr.
DLE_RECORD* FindDrive(WS_CNTL* ws, const char* name);
