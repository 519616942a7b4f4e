// The two attachment records of a session: a workstation attachment (wsdle)
// and, under it, DLE attachments (drvdle) through which objects are reached.
#pragma once

#include <cstdint>

#include "unixfs/session/grfs_session.h"
#include "unixfs/session/handle_table.h"
#include "unixfs/session/workstation.h"
#include "util/queue.h"

constexpr uint32_t WSDLE_KIND_TAG = 0x12345678;
constexpr uint32_t DRVDLE_KIND_TAG = 0x43211234;
constexpr size_t kCurrentPathSize = 257;

struct SEARCH_STATE;
class CreatedObjects;
struct KeptLinuxMeta;

struct WSDLE {
    QElem link;                 // element of the session's attach_list
    uint32_t kind_tag;          // WSDLE_KIND_TAG
    uint16_t attached;          // 0 once detached but waiting for its DLE attachments
    GRFS_SESSION* session;
    Queue dle_attachments;      // DRVDLE records made under this attachment
    DLE_RECORD* dle_cursor;     // DLE returned last by the DLE listing
    uint32_t handle;            // dle_id issued for this record
};

struct DRVDLE {
    QElem link;                 // element of the parent's dle_attachments
    uint32_t kind_tag;          // DRVDLE_KIND_TAG
    WSDLE* parent;
    DLE_RECORD* dle;
    uint16_t attach_reason;
    uint16_t vsc_flags;
    uint16_t fs_type;
    SEARCH_STATE* hdir;         // current directory search, or nullptr
    uint16_t find_type;
    char* current_path;         // kCurrentPathSize bytes, relative to export_path
    uint16_t max_name_len;
    uint32_t handle;            // dle_id issued for this record
    int root_fd;                // O_PATH descriptor of export_path, -1 when closed
    CreatedObjects* created;    // what a restore made through it (created_objects.h), or nullptr
    KeptLinuxMeta* kept_meta;   // times and flags its LXMD streams gave (kept_linux_meta.h), or nullptr
};

// The workstation record of the session an attachment was made in.
inline WS_CNTL* AttachmentWs(const DRVDLE* drvdle) { return drvdle->parent->session->ws; }

inline WSDLE* LookupWsdle(const GRFS_SESSION* ses, uint32_t dle_id) {
    return static_cast<WSDLE*>(LookupHandle(ses->handles, dle_id, HANDLE_KIND_WSDLE));
}
inline DRVDLE* LookupDrvdle(const GRFS_SESSION* ses, uint32_t dle_id) {
    return static_cast<DRVDLE*>(LookupHandle(ses->handles, dle_id, HANDLE_KIND_DRVDLE));
}
