// GRFS_VERIFY_OBJ_INFO.
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

#include "grfs/messages.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/tree/dblk_texts.h"
#include "unixfs/tree/excluded_paths.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/tree/object_describe.h"
#include "unixfs/object/object_location.h"
#include "unixfs/tree/restore_target.h"
#include "unixfs/requests/verify_info.h"
#include "util/debug_print.h"

namespace {

// Every block the agent fills carries FILE_IN_DBLK and no status ever does,
// so that bit is left out on both sides.
uint32_t comparable_attr(uint32_t attr) { return attr & 0xFF & ~FILE_IN_DBLK; }

int map_lstat_errno(int err) {
    DEBUG_PRINTF(DBG_CONFIG, "lstat failed. errno=%d\n", err);
    if (err == ENOENT) return GRFS_RC_BAD_OBJ_HANDLE;  // the object is gone
    if (err == EACCES) return GRFS_RC_ACCESS_DENIED;
    return GRFS_RC_IO_ERROR;
}

}  // namespace

int Unix_VerifyInfo(DRVDLE* drvdle, const GRFS_GEN_DBLK* dblk) {
    RESTORE_TARGET target;
    int rc = BuildTargetPaths(drvdle, dblk, &target);
    if (rc != 0) return rc;
    if (IsExcludedPath(AttachmentWs(drvdle), target.full_path)) return GRFS_RC_BAD_OBJ_HANDLE;  // as for an object that is gone
    const LinkPolicy policy = ReadLinkPolicy(drvdle);
    int err = OpenTargetParent(drvdle, &target, policy);
    if (err != 0) return IsConfinementError(err) ? GRFS_RC_ACCESS_DENIED : map_lstat_errno(err);
    struct stat st;
    const int flags = AT_SYMLINK_NOFOLLOW | (target.name.empty() ? AT_EMPTY_PATH : 0);
    if (policy != LinkPolicy::kNoLinks && (IsExcludedAt(AttachmentWs(drvdle), target.parent.get(), target.name) ||
                                           IsExcludedDirectoryBeneath(AttachmentWs(drvdle), drvdle->root_fd,
                                                                      target.rel, policy))) {
        return GRFS_RC_BAD_OBJ_HANDLE;
    }
    if (fstatat(target.parent.get(), target.name.c_str(), &st, flags) != 0) return map_lstat_errno(errno);
    if (policy != LinkPolicy::kNoLinks && S_ISLNK(st.st_mode)) {
        // Listings describe such a link by its directory; compare alike.
        std::string_view rel(target.rel);
        while (!rel.empty() && rel.back() == '/') rel.remove_suffix(1);
        const size_t slash = rel.rfind('/');
        const std::string dir_rel(slash == std::string_view::npos ? std::string_view() : rel.substr(0, slash));
        struct stat followed;
        const LINK_FOLLOW follow{policy, drvdle->root_fd, dir_rel.c_str()};
        if (LinkedDirectory(target.parent.get(), target.name.c_str(), follow, &followed)) {
            st = followed;
        }
    }

    const UINT64 is = U64_Init(static_cast<uint32_t>(static_cast<uint64_t>(st.st_size)),
                               static_cast<uint32_t>(static_cast<uint64_t>(st.st_size) >> 32));
    const bool size_differs = is.lsw != dblk->size.lsw || is.msw != dblk->size.msw;
    const uint32_t attr = Unix_stat_to_attr(&st);
    const bool attr_differs = comparable_attr(attr) != comparable_attr(dblk->gen_attr);

    if (dblk->dblk_type == FDB_ID) {
        if (size_differs) {
            DEBUG_PRINTF(DBG_CONFIG, "size is wrong, is <%d,%d>, should be <%d,$d>\n", static_cast<int>(is.msw),
                         static_cast<int>(is.lsw), static_cast<int>(dblk->size.msw));
            return GRFS_RC_VERIFY_MISMATCH;
        }
        if (attr_differs) {
            DEBUG_PRINTF(DBG_CONFIG, "modes differ. is 0x%x, should be 0x%x\n", attr, dblk->gen_attr & 0xFF);
            return GRFS_RC_VERIFY_MISMATCH;
        }
        return 0;
    }
    if (size_differs) {
        DEBUG_PRINTF(DBG_CONFIG, "Sizes differ. size is <%d,%d>, should be <%d,%d>\n", static_cast<int>(is.msw),
                     static_cast<int>(is.lsw), static_cast<int>(dblk->size.msw), static_cast<int>(dblk->size.lsw));
        rc = GRFS_RC_VERIFY_MISMATCH;
    }
    if (attr_differs) {
        DEBUG_PRINTF(DBG_CONFIG, "attribs differ.  attr=0x%X should be 0x%X\n", attr, dblk->gen_attr & 0xFF);
        rc = GRFS_RC_VERIFY_MISMATCH;
    }
    return rc;
}

int VerifyObjectInfo(GRFS_SESSION* ses, GRFS_MESSAGE* req, int /*length*/) {
    DRVDLE* drvdle = LookupDrvdle(ses, req->body.dblk_req.dle_id);
    const GRFS_GEN_DBLK* dblk = &req->body.dblk_req.dblk;
    const int rc =
        drvdle == nullptr ? GRFS_RC_BAD_DLE_HANDLE : ActOnDblk(drvdle, dblk, Unix_VerifyInfo, Unix_VerifyInfo);
    return AnswerRetcode(ses, req->hdr.request_id, GRFS_VERIFY_OBJ_INFO_STAT, rc);
}
