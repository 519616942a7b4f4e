#include "unixfs/tree/restore_target.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "grfs/messages.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/tree/dblk_texts.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/host/paths.h"

bool RelativeToExport(const char* export_path, std::string_view full, std::string* rel) {
    std::string_view root(export_path);
    if (full.substr(0, root.size()) != root) return false;
    std::string_view rest = full.substr(root.size());
    if (!rest.empty() && rest.front() != '/' && !(root.size() > 0 && root.back() == '/')) return false;
    rel->assign(rest);
    return true;
}

bool DblkHasUnixInfo(const GRFS_GEN_DBLK* dblk) {
    return dblk->os_id == DBLK_OS_ID_UNIX && dblk->os_ver == DBLK_OS_VER_UNIX && dblk->os_spec_info != 0;
}

bool ExportWriteProtected(const DRVDLE* drvdle) { return drvdle->dle != nullptr && drvdle->dle->writable == 0; }

void SetTargetRel(const DRVDLE* drvdle, std::string_view rel, RESTORE_TARGET* target) {
    target->rel.assign(rel);
    target->full_path = JoinPath(drvdle->dle->export_path, rel);
}

int BuildTargetPaths(const DRVDLE* drvdle, const GRFS_GEN_DBLK* dblk, RESTORE_TARGET* target) {
    std::string_view text;
    int16_t rc = DblkObjectText(dblk, &text);
    if (rc != 0) return rc;
    std::string rel;
    if (dblk->dblk_type == FDB_ID) {
        rel = JoinPath(JoinPath("", drvdle->current_path != nullptr ? drvdle->current_path : ""), text);
    } else {
        rel = JoinPath("", text);
    }
    // The current directory counts too: nothing may climb out of the export.
    if (HasDotDotComponent(rel)) return GRFS_RC_ACCESS_DENIED;
    SetTargetRel(drvdle, rel, target);
    return 0;
}

int OpenTargetParent(const DRVDLE* drvdle, RESTORE_TARGET* target, LinkPolicy policy) {
    target->parent = OpenParentBeneath(drvdle->root_fd, target->rel, policy, target->name);
    return target->parent.valid() ? 0 : (errno != 0 ? errno : EIO);
}

int ActOnDblk(DRVDLE* drvdle, const GRFS_GEN_DBLK* dblk, DblkAction on_dir, DblkAction on_file) {
    if (CheckDblkSize(dblk) != 0) return GRFS_RC_INVALID_REQUEST;
    if (dblk->dblk_type == DDB_ID) return on_dir(drvdle, dblk);
    if (dblk->dblk_type == FDB_ID) return on_file(drvdle, dblk);
    return GRFS_RC_WRONG_DBLK_TYPE;
}

int AnswerObjectChange(GRFS_SESSION* ses, GRFS_MESSAGE* req, uint8_t reply_type, DblkAction on_dir,
                       DblkAction on_file) {
    const uint32_t request_id = req->hdr.request_id;
    const GRFS_GEN_DBLK* dblk = &req->body.dblk_req.dblk;
    DRVDLE* drvdle = LookupDrvdle(ses, req->body.dblk_req.dle_id);
    int rc;
    if (drvdle == nullptr) {
        rc = GRFS_RC_BAD_DLE_HANDLE;
    } else {
        rc = ActOnDblk(drvdle, dblk, on_dir, on_file);
    }
    return AnswerRetcode(ses, request_id, reply_type, rc);
}
