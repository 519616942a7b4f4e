// GRFS_DELETE_OBJ.
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "unixfs/attach_records.h"
#include "unixfs/dblk_texts.h"
#include "unixfs/object_attributes.h"
#include "unixfs/reply_start.h"
#include "unixfs/restore_target.h"
#include "util/debug_print.h"

namespace {

// unlinkat of the object itself (never through a link on the way to it).
int delete_entry(DRVDLE* drvdle, const GRFS_GEN_DBLK* dblk, int flags) {
    RESTORE_TARGET target;
    int rc = BuildTargetPaths(drvdle, dblk, &target);
    if (rc != 0) return rc;
    int err = OpenTargetParent(drvdle, &target, LinkPolicy::kNoLinks);
    if (err == 0) {
        if (target.name.empty()) return GRFS_RC_ACCESS_DENIED;  // the export root stays
        if (unlinkat(target.parent.get(), target.name.c_str(), flags) == 0) return 0;
        err = errno;
    }
    DEBUG_PRINTF(DBG_CONFIG, "delete of %s failed. errno=%d\n", target.full_path.c_str(), err);
    if (IsConfinementError(err)) return GRFS_RC_ACCESS_DENIED;
    return err == ENOENT ? GRFS_RC_NO_SUCH_FILE : GRFS_RC_ACCESS_DENIED;
}

}  // namespace

int Unix_DeleteFile(DRVDLE* drvdle, const GRFS_GEN_DBLK* dblk) { return delete_entry(drvdle, dblk, 0); }

int Unix_DeleteDir(DRVDLE* drvdle, const GRFS_GEN_DBLK* dblk) { return delete_entry(drvdle, dblk, AT_REMOVEDIR); }

int DeleteObject(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length) {
    (void)length;
    const uint32_t request_id = req->hdr.request_id;
    const GRFS_GEN_DBLK* dblk = &req->body.dblk_req.dblk;
    DRVDLE* drvdle = LookupDrvdle(req->body.dblk_req.dle_id);
    int rc;
    if (drvdle == nullptr) {
        rc = GRFS_RC_BAD_DLE_HANDLE;
    } else if (ExportWriteProtected(drvdle)) {
        rc = GRFS_RC_ACCESS_DENIED;
    } else if (CheckDblkSize(dblk) != 0) {
        rc = GRFS_RC_INVALID_REQUEST;
    } else if (dblk->dblk_type == DDB_ID) {
        rc = Unix_DeleteDir(drvdle, dblk);
    } else if (dblk->dblk_type == FDB_ID) {
        rc = Unix_DeleteFile(drvdle, dblk);
    } else {
        rc = GRFS_RC_WRONG_DBLK_TYPE;
    }
    GRFS_MESSAGE* reply = StartReply(ses, request_id, GRFS_DELETE_OBJ_STAT);
    reply->hdr.retcode = static_cast<int16_t>(rc);
    if (SendMessage(ses, reply, 0) != 0) return 1;
    return rc;
}
