// Listing the exported DLEs under a workstation attachment.
#include <cstring>

#include "grfs/messages.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/requests/dle_listing.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/session/workstation.h"

int FindDLE(GRFS_SESSION* ses, GRFS_MESSAGE* req, int /*length*/, int type) {
    uint32_t dle_id = req->body.dle_req.dle_id;
    GRFS_MESSAGE* reply = StartReply(ses, req->hdr.request_id, GRFS_FIND_DLE_STAT);
    WSDLE* wsdle = LookupWsdle(ses, dle_id);
    if (wsdle == nullptr) {
        reply->hdr.retcode = GRFS_RC_BAD_DLE_HANDLE;
        return SendMessage(ses, reply, 0) == 0 ? 1 : 0;
    }
    const Queue& dle_list = ses->ws->dle_list;
    bool more = false;
    if (type == GRFS_FIND_FIRST_DLE || wsdle->dle_cursor == nullptr) {
        wsdle->dle_cursor = QueueHead<DLE_RECORD>(dle_list);
        more = dle_list.count >= 2;
    } else {
        wsdle->dle_cursor = QueueNext(wsdle->dle_cursor);
        more = wsdle->dle_cursor != nullptr && QueueNext(wsdle->dle_cursor) != nullptr;
    }
    const DLE_RECORD* dle = wsdle->dle_cursor;
    if (dle == nullptr) {
        // The cursor is none again, so the next GRFS_FIND_NEXT_DLE starts over.
        reply->hdr.retcode = GRFS_RC_NOT_FOUND;
        return SendMessage(ses, reply, 0) == 0 ? 1 : 0;
    }
    GRFS_FIND_DLE_STAT_BODY& stat = reply->body.find_dle_stat;
    std::memset(&stat, 0, sizeof stat);
    std::memcpy(stat.dle_name, dle->resource_name, sizeof stat.dle_name);
    stat.dle_name[sizeof stat.dle_name - 1] = '\0';
    stat.path_delim = '/';
    stat.password_req = dle->password_required;
    stat.user_req = 0;
    stat.writable = dle->writable;
    stat.reserved_flag = 1;
    stat.os_id = 20;
    stat.os_ver = 0;
    stat.fs_type = dle->fs_type;
    stat.crypt_type = 0;
    stat.cmpr_type = 0;
    stat.more = more ? 1 : 0;
    return SendMessage(ses, reply, 146) == 0 ? 1 : 0;
}
