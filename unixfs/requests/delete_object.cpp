// GRFS_DELETE_OBJ.
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "grfs/messages.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/session/created_objects.h"
#include "unixfs/tree/dblk_texts.h"
#include "unixfs/requests/delete_object.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/tree/restore_target.h"
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
        if (unlinkat(target.parent.get(), target.name.c_str(), flags) == 0) {
            // A later write open of the name makes a new file, not the one deleted.
            if (drvdle->created != nullptr) drvdle->created->Forget(target.rel);
            return 0;
        }
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
    return AnswerObjectChange(ses, req, GRFS_DELETE_OBJ_STAT, Unix_DeleteDir, Unix_DeleteFile);
}
