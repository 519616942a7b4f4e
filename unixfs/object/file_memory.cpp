#include "unixfs/object/file_memory.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "grfs/dblk.h"
#include "unixfs/session/grfs_session.h"
#include "util/alloc.h"
#include "util/console.h"
#include "util/debug_print.h"

FILE_MEMORY* AllocFileMemory(uint16_t kind, uint16_t open_mode) {
    auto* rec = static_cast<FILE_MEMORY*>(MYCALLOC(1, sizeof(FILE_MEMORY)));
    if (rec == nullptr) return nullptr;
    InitQElem(&rec->link);
    rec->mem_kind = kind;
    rec->open_mode = open_mode;
    if (open_mode == OPEN_MODE_READ || open_mode == OPEN_MODE_VERIFY) {
        rec->preread_buf = static_cast<unsigned char*>(MYMALLOC(kPrereadBufSize));
        if (rec->preread_buf == nullptr) {
            MYFREE(rec);
            return nullptr;
        }
        rec->preread_bufsize = kPrereadBufSize;
    }
    rec->ea_space = static_cast<unsigned char*>(MYMALLOC(kInitialEaSpaceSize));
    rec->sol_acls = static_cast<SOL_ACL_ENTRY*>(MYCALLOC(1, sizeof(SOL_ACL_ENTRY)));
    rec->full_path = static_cast<char*>(MYCALLOC(1, kFullPathSize));
    if (rec->ea_space == nullptr || rec->sol_acls == nullptr || rec->full_path == nullptr) {
        FreeFileMemory(rec);
        return nullptr;
    }
    rec->ea_space_size = U32_To_U64(kInitialEaSpaceSize);
    rec->full_path_size = kFullPathSize;
    rec->file_name = rec->full_path;
    return rec;
}

bool ReserveFullPath(FILE_MEMORY* rec, size_t size) {
    if (size <= rec->full_path_size) return true;
    if (size > UINT32_MAX) return false;
    auto* grown = static_cast<char*>(MYMALLOC(size));
    if (grown == nullptr) return false;
    std::memcpy(grown, rec->full_path, rec->full_path_size);
    MYFREE(rec->full_path);
    rec->full_path = grown;
    rec->full_path_size = static_cast<uint32_t>(size);
    rec->file_name = rec->full_path;
    return true;
}

void FreeFileMemory(FILE_MEMORY* rec) {
    if (rec == nullptr) return;
    ReleasePart(rec->release_lxat, rec);
    ReleasePart(rec->release_lxmd, rec);
    ReleasePart(rec->free_read_ahead, rec);
    if (rec->preread_buf != nullptr) MYFREE(rec->preread_buf);
    if (rec->ea_space != nullptr) MYFREE(rec->ea_space);
    if (rec->sol_acls != nullptr) MYFREE(rec->sol_acls);
    if (rec->full_path != nullptr) MYFREE(rec->full_path);
    MYFREE(rec);
}

void ClearObjectState(FILE_MEMORY* rec) {
    const UINT64 zero{};
    rec->total_size = zero;
    rec->obj_pos = zero;
    rec->ea_space_pos = zero;
    rec->ea_size = zero;
    rec->ea_offset = zero;
    rec->data_size = zero;
    rec->data_offset = zero;
    rec->symlink_pending = 0;
    rec->sol_acl_cnt = 0;
    rec->acl_stream = 0;
    ReleasePart(rec->drop_read_ahead, rec);
    rec->preread_offset = 0;
    rec->preread_datasize = 0;
    rec->preread_piped = 0;
    rec->advised_end = 0;
    rec->cur_stream = GRFS_STREAM_INFO{};
    rec->file_mode = 0;
    rec->data_hand = -1;
    rec->made_here = 0;
    rec->link_info = PENDING_LINK_INFO{};
}

void ReleaseFileMemory(GRFS_SESSION* ses, FILE_MEMORY* rec) {
    if (rec == nullptr) return;
    if (rec->handle != 0 && ses != nullptr) {
        ReleaseHandle(ses->handles, rec->handle);
        rec->handle = 0;
    }
    rec->marker = 0;
    ReleasePart(rec->release_lxat, rec);
    ReleasePart(rec->release_lxmd, rec);
    ReleasePart(rec->give_back_budget, rec);
    if (rec->mem_kind != MEM_KIND_DEFAULT) {
        FreeFileMemory(rec);
        return;
    }
    // The session's own record keeps its buffers; nothing of the last open
    // may carry over into the next one.
    ClearObjectState(rec);
    if (rec->sol_acls == nullptr) rec->sol_acl_space = 0;
    rec->dle = nullptr;
    rec->dle_id = 0;
    rec->session = nullptr;
    if (ses != nullptr && ses->default_object == rec) ses->default_object_in_use = 0;
}

void ReleaseAllObjects(GRFS_SESSION* ses) {
    QElem* elem;
    while ((elem = DeQueueElem(&ses->object_list)) != nullptr) {
        auto* rec = reinterpret_cast<FILE_MEMORY*>(elem);
        // A file still open for writing when the session ends was not
        // restored whole (its close, and any link it was to become, never
        // came): say so rather than leave it looking restored.
        if (rec->dblktype == FDB_ID && rec->open_mode == OPEN_MODE_WRITE) {
            ConsoleMessage(&ses->console_repeats,
                           "Restore of %s incomplete: the session ended before the object was closed.\n",
                           rec->full_path);
        }
        if (rec->dblktype == FDB_ID && rec->data_hand >= 0) {
            close(rec->data_hand);
            rec->data_hand = -1;
        }
        ReleaseFileMemory(ses, rec);
    }
}

void FreeDefaultObject(GRFS_SESSION* ses) {
    FreeFileMemory(ses->default_object);
    ses->default_object = nullptr;
    ses->default_object_in_use = 0;
}
