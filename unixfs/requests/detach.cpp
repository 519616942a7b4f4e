// Detaching, and releasing attachments at detach and at session end.
#include "grfs/messages.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/session/created_objects.h"
#include "unixfs/requests/detach.h"
#include "unixfs/object/file_memory.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/session/hard_links.h"
#include "unixfs/tree/search.h"
#include "unixfs/requests/change_dir.h"
#include "unixfs/object/kept_linux_meta.h"
#include "util/alloc.h"

namespace {

void CountDown(GRFS_SESSION* ses) {
    if (ses->attach_count > 0) ses->attach_count--;
}

void FreeWsdle(GRFS_SESSION* ses, WSDLE* wsdle) {
    RemoveQueueElem(&ses->attach_list, &wsdle->link);
    ReleaseHandle(ses->handles, wsdle->handle);
    MYFREE(wsdle);
}

}  // namespace

void ReleaseDrvdle(GRFS_SESSION* ses, DRVDLE* drvdle) {
    ReleaseSearchesOf(drvdle);
    // Objects opened through the attachment outlive it; they must not reach
    // the released record.
    for (auto* obj = QueueHead<FILE_MEMORY>(ses->object_list); obj != nullptr; obj = QueueNext(obj)) {
        if (obj->dle == drvdle) obj->dle = nullptr;
    }
    ReleaseHandle(ses->handles, drvdle->handle);
    // The restore's last changes, while the root is still held.
    ApplyKeptLinuxMeta(drvdle);
    if (drvdle->root_fd >= 0) close(drvdle->root_fd);
    drvdle->root_fd = -1;
    ReleaseCreatedObjects(drvdle);
    drvdle->kind_tag = 0;
    MYFREE(drvdle->current_path);
    MYFREE(drvdle);
}

int DetachDLE(GRFS_SESSION* ses, GRFS_MESSAGE* req) {
    uint32_t dle_id = req->body.dle_req.dle_id;
    GRFS_MESSAGE* reply = StartReply(ses, req->hdr.request_id, GRFS_DETACH_DLE_STAT);
    if (WSDLE* wsdle = LookupWsdle(ses, dle_id); wsdle != nullptr) {
        if (wsdle->dle_attachments.count == 0) {
            FreeWsdle(ses, wsdle);
        } else {
            // Kept until its last DLE attachment goes, but no longer named by
            // its handle: a second detach or a new DLE attach under it is refused.
            wsdle->attached = 0;
            ReleaseHandle(ses->handles, wsdle->handle);
        }
        CountDown(ses);
    } else if (DRVDLE* drvdle = LookupDrvdle(ses, dle_id); drvdle != nullptr) {
        WSDLE* parent = drvdle->parent;
        RemoveQueueElem(&parent->dle_attachments, &drvdle->link);
        ReleaseDrvdle(ses, drvdle);
        if (parent->attached == 0 && parent->dle_attachments.count == 0) FreeWsdle(ses, parent);
        CountDown(ses);
        HardLinkersReset(ses->ws);
    } else {
        reply->hdr.retcode = GRFS_RC_BAD_DLE_HANDLE;
    }
    return SendMessage(ses, reply, 0);
}

void ReleaseAllAttachments(GRFS_SESSION* ses) {
    while (auto* wsdle = reinterpret_cast<WSDLE*>(DeQueueElem(&ses->attach_list))) {
        while (auto* drvdle = reinterpret_cast<DRVDLE*>(DeQueueElem(&wsdle->dle_attachments))) {
            ReleaseDrvdle(ses, drvdle);
            CountDown(ses);
        }
        // A detached workstation attachment was counted down at its detach.
        if (wsdle->attached) {
            ReleaseHandle(ses->handles, wsdle->handle);
            CountDown(ses);
        }
        MYFREE(wsdle);
    }
    ReleaseAllSearches();
    ForgetTooLongDirectories();
}
