#include <cstring>

#include "grfs/messages.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/object/file_memory.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/object/object_files.h"
#include "unixfs/object/object_symlink.h"
#include "unixfs/object/object_xattr.h"
#include "unixfs/requests/open_file_dir.h"
#include "unixfs/requests/open_object.h"
#include "unixfs/object/read_ahead_pipe.h"
#include "unixfs/session/session_tally.h"
#include "unixfs/object/sparse_file.h"
#include "unixfs/object/object_linux_meta.h"
#include "util/debug_print.h"

namespace {

// A record for one open: the session's own while it is free, else a new one.
FILE_MEMORY* TakeRecord(GRFS_SESSION* ses, uint16_t mode) {
    if (ses->default_object_in_use == 0 && ses->default_object != nullptr) {
        ses->default_object_in_use = 1;
        return ses->default_object;
    }
    return AllocFileMemory(MEM_KIND_ALLOCATED, mode);
}

// Nothing of an earlier open of the same record may show through.
void ResetForOpen(FILE_MEMORY* rec) {
    ClearObjectState(rec);
    rec->full_path[0] = '\0';
    rec->file_name = rec->full_path;
    rec->rel_offset = 0;
}

}  // namespace

int OpenObject(GRFS_SESSION* ses, GRFS_MESSAGE* req, int /*length*/) {
    // The reply may share the request's memory: take what is needed first.
    const uint32_t request_id = req->hdr.request_id;
    const uint32_t dle_id = req->body.open_obj.dle_id;
    const uint16_t mode = req->body.open_obj.mode;
    const GRFS_GEN_DBLK* dblk = &req->body.open_obj.dblk;
    const uint8_t dblk_type = dblk->dblk_type;

    GRFS_MESSAGE* reply = StartReply(ses, request_id, GRFS_OPEN_OBJ_STAT);

    DRVDLE* drvdle = LookupDrvdle(ses, dle_id);
    if (drvdle == nullptr) {
        reply->hdr.retcode = GRFS_RC_BAD_DLE_HANDLE;
        return SendMessage(ses, reply, 0) != 0 ? 1 : GRFS_RC_BAD_DLE_HANDLE;
    }

    FILE_MEMORY* rec = TakeRecord(ses, mode);
    if (rec != nullptr) {
        rec->handle = IssueHandle(ses->handles, rec, HANDLE_KIND_OBJECT);
        if (rec->handle == 0) {
            ReleaseFileMemory(ses, rec);
            rec = nullptr;
        }
    }
    if (rec == nullptr) {
        reply->hdr.retcode = GRFS_RC_NO_MEMORY;
        return SendMessage(ses, reply, 0) != 0 ? 1 : GRFS_RC_NO_MEMORY;
    }

    ResetForOpen(rec);
    EnQueueElem(&ses->object_list, &rec->link, 0);
    rec->marker = FILE_MEMORY_MARKER;
    rec->dle = drvdle;
    rec->session = ses;
    rec->dle_id = dle_id;
    rec->open_mode = mode;

    int rc;
    if (dblk_type == DDB_ID) {
        rec->dblktype = DDB_ID;
        rc = Unix_OpenDir(rec, dblk, mode);
    } else if (dblk_type == FDB_ID) {
        rec->dblktype = FDB_ID;
        rc = Unix_OpenFile(rec, dblk, mode);
    } else {
        rc = GRFS_RC_WRONG_DBLK_TYPE;
    }

    int body_size = 4;
    const uint32_t handle = rec->handle;
    const int32_t data_hand = rec->data_hand;
    const uint16_t dblktype = rec->dblktype;
    if (rc == 0) {
        // The texts checked by the open prove the block's size sound.
        const size_t dblk_size = dblk->dblk_actual_size;
        std::memmove(&reply->body.open_obj_stat.dblk, dblk, dblk_size);
        reply->body.open_obj_stat.obj_id = handle;
        body_size += static_cast<int>(dblk_size);
    } else {
        RemoveElem(&ses->object_list, &rec->link);
        ReleaseFileMemory(ses, rec);
        rec = nullptr;
        reply->body.open_obj_stat.obj_id = 0;
    }
    reply->hdr.retcode = static_cast<int16_t>(rc);

    if (rc == 0) TallyOpen(ses->tally, mode);
    // A FIFO or socket answers 1: it is listed, not opened, and that is no error.
    const bool valid_mode = mode == OPEN_MODE_READ || mode == OPEN_MODE_WRITE || mode == OPEN_MODE_VERIFY;
    if (rc == 1 && dblk_type == FDB_ID && valid_mode) ses->reply_no_error = true;
    if (SendMessage(ses, reply, body_size) != 0) return 1;
    DEBUG_PRINTF(DBG_DATA, "OpenObject: eahand->data_hand=0x%x txmsg->retcode.num=0x%x\n",
                 static_cast<unsigned>(data_hand), static_cast<unsigned>(static_cast<uint16_t>(rc)));
    DEBUG_PRINTF(DBG_DATA, "OpenObject: dblktype=%d open_mode=0x%x\n", dblktype, mode);

    // The first disk read overlaps the reply's transfer.
    if (rc == 0 && mode != OPEN_MODE_WRITE && dblktype == FDB_ID && data_hand != -1) PrimeReadAhead(rec);
    return rc;
}

void PrimeReadAhead(FILE_MEMORY* rec) {
    DropReadAhead(rec);
    if (rec->preread_buf == nullptr || rec->data_hand < 0) return;
    ChooseReadAhead(rec);
    rec->advised_end = 0;
    uint32_t size = rec->preread_bufsize;
    FillReadAhead(rec, 0, 0, &size);
    // Whatever arrived stays, so that the buffer always ends where the
    // descriptor stands.
    rec->preread_datasize = size;
}

int CloseObject(GRFS_SESSION* ses, GRFS_MESSAGE* req) {
    const uint32_t request_id = req->hdr.request_id;
    const uint32_t obj_id = req->body.close_obj.obj_id;
    GRFS_MESSAGE* reply = StartReply(ses, request_id, GRFS_CLOSE_OBJ_STAT);

    FILE_MEMORY* rec = LookupOpenObject(ses, obj_id);
    if (rec == nullptr) {
        reply->hdr.retcode = GRFS_RC_BAD_OBJ_HANDLE;
        return SendMessage(ses, reply, 0) != 0 ? 1 : 0;
    }
    RemoveElem(&ses->object_list, &rec->link);
    if (rec->dblktype == FDB_ID && rec->symlink_pending != 0) {
        rec->symlink_pending = 0;
        if (rec->open_mode == OPEN_MODE_WRITE) MakePendingSymlink(ses, rec);
    }
    // The file's full length (a trailing hole) before the attributes: a
    // change of length, owner or data drops a file capability set earlier.
    if (rec->dblktype == FDB_ID && rec->data_hand >= 0 && rec->open_mode == OPEN_MODE_WRITE) SparseWriteFinish(rec);
    // Extended attributes go last.
    ApplyXattrsAtClose(ses, rec);
    // Then the times, which every change before would have moved.
    KeepLinuxMetaAtClose(ses, rec);
    // A descriptor is closed even when a link record was written into the
    // object: nothing may leak.
    if (rec->dblktype == FDB_ID && rec->data_hand >= 0) {
        CloseFileUnix(rec->data_hand);
        rec->data_hand = -1;
    }
    ReleaseFileMemory(ses, rec);
    return SendMessage(ses, reply, 0) != 0 ? 1 : 0;
}
