// GRFS_SET_OBJ_INFO.
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "grfs/dates.h"
#include "unixfs/attach_records.h"
#include "unixfs/dblk_texts.h"
#include "unixfs/object_attributes.h"
#include "unixfs/reply_start.h"
#include "unixfs/restore_target.h"
#include "util/debug_print.h"

namespace {

constexpr uint32_t kModeCompareBits = 0x7FFF;
constexpr mode_t kPermissionBits = 07777;

uint64_t as_u64(UINT64 v) { return (static_cast<uint64_t>(v.msw) << 32) | v.lsw; }

// A DBLK date as a timespec; left alone (UTIME_OMIT) when the date is absent
// or cannot be represented.
timespec dblk_time(const DATE_TIME& date) {
    timespec ts{};
    ts.tv_nsec = UTIME_OMIT;
    if (date.date_valid == 0) return ts;
    time_t value = ConvertFromStdDate(&date, nullptr);
    if (value == static_cast<time_t>(-1)) return ts;
    ts.tv_sec = value;
    ts.tv_nsec = 0;
    return ts;
}

bool mode_differs(uint32_t wanted, mode_t current) {
    return (wanted & kModeCompareBits) != (static_cast<uint32_t>(current) & kModeCompareBits);
}

// Cuts a regular file, opened without following a link and checked to be
// the object examined before.
int truncate_at(int dir_fd, const char* name, const struct stat& examined, off_t size) {
    UniqueFd fd(openat(dir_fd, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) return -1;
    struct stat opened;
    if (fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_dev != examined.st_dev ||
        opened.st_ino != examined.st_ino) {
        errno = ESTALE;
        return -1;
    }
    return ftruncate(fd.get(), size);
}

}  // namespace

int Unix_SetInfo(DRVDLE* drvdle, const GRFS_GEN_DBLK* dblk) {
    const bool is_file = dblk->dblk_type == FDB_ID;
    std::string_view text;
    int rc = DblkObjectText(dblk, &text);
    if (rc != 0) return rc;
    if (!is_file && text.empty()) {
        DEBUG_PRINTF(DBG_CONFIG, "Unix_SetInfo: not setting attribs for root dir.\n");
        return 0;
    }
    RESTORE_TARGET target;
    rc = BuildTargetPaths(drvdle, dblk, &target);
    if (rc != 0) return rc;
    const char* path = target.full_path.c_str();

    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    bool have_mode = false;
    uint32_t mode = 0;
    if (DblkHasUnixInfo(dblk)) {
        if (is_file) {
            UNIX_FILE_OS_INFO info;
            FillFileInfoFromDblk(&info, dblk);
            uid = info.st_uid;
            gid = info.st_gid;
            mode = info.st_mode;
        } else {
            UNIX_DIR_OS_INFO info;
            FillDirInfoFromDblk(&info, dblk);
            uid = info.st_uid;
            gid = info.st_gid;
            mode = info.st_mode;
        }
        have_mode = true;
        DEBUG_PRINTF(DBG_CONFIG, is_file ? "Unix_SetInfo: file (%s) setting uid=%d gid=%d mode=0x%x\n"
                                         : "Unix_SetInfo: dir (%s) setting uid=%d gid=%d mode=0x%x\n",
                     path, static_cast<int>(uid), static_cast<int>(gid), mode);
    } else {
        DEBUG_PRINTF(DBG_CONFIG, is_file ? "Unix_SetInfo:(FILE %s)no os_spec_info, defaulting\n"
                                         : "Unix_SetInfo:(DIR %s)no os_spec_info, defaulting\n",
                     path);
    }

    int err = OpenTargetParent(drvdle, &target, LinkPolicy::kNoLinks);
    if (err != 0) return IsConfinementError(err) ? GRFS_RC_ACCESS_DENIED : GRFS_RC_NO_SUCH_FILE;
    if (target.name.empty()) {
        // The path names the export root itself ("/" or ".").
        if (is_file) return GRFS_RC_NO_SUCH_FILE;
        DEBUG_PRINTF(DBG_CONFIG, "Unix_SetInfo: not setting attribs for root dir.\n");
        return 0;
    }
    const int dir = target.parent.get();
    const char* name = target.name.c_str();

    struct stat st;
    int lrc = fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW);
    DEBUG_PRINTF(DBG_CONFIG, "lstat returned %d\n", lrc);
    if (lrc != 0) return GRFS_RC_NO_SUCH_FILE;  // nothing is known, so nothing is changed
    const bool is_link = S_ISLNK(st.st_mode);
    rc = 0;

    if (have_mode && mode_differs(mode, st.st_mode) && !is_link) {
        if (fchmodat(dir, name, mode & kPermissionBits, AT_SYMLINK_NOFOLLOW) != 0) {
            DEBUG_PRINTF(DBG_CONFIG, "chmod %s mode 0x%X returned %d errno=%d\n", path, mode & kModeCompareBits, -1,
                         errno);
        }
    }

    const timespec times[2] = {dblk_time(dblk->access_time), dblk_time(dblk->modified_time)};
    if (is_link) {
        DEBUG_PRINTF(DBG_CONFIG, "Can't call utime on symlinks.  st_mode=0x%X.\n", static_cast<unsigned>(st.st_mode));
    } else {
        if (utimensat(dir, name, times, AT_SYMLINK_NOFOLLOW) != 0) {
            const int e = errno;
            DEBUG_PRINTF(DBG_CONFIG, "utime returned %d errno=%d\n", -1, e);
            rc = e == ENOENT ? GRFS_RC_NO_SUCH_FILE : GRFS_RC_IO_ERROR;
        }
    }

    if (is_file && (drvdle->attach_reason & kAttachReasonRestore) != 0 && S_ISREG(st.st_mode) &&
        static_cast<uint64_t>(st.st_size) != as_u64(dblk->size)) {
        DEBUG_PRINTF(DBG_CONFIG, "truncating %s to <%d,%d>\n", path, static_cast<int>(dblk->size.msw),
                     static_cast<int>(dblk->size.lsw));
        if (truncate_at(dir, name, st, static_cast<off_t>(as_u64(dblk->size))) != 0) {
            rc = GRFS_RC_ACCESS_DENIED;
        } else if (rc == 0) {
            // Cutting the file made its modification time "now": set the times again.
            utimensat(dir, name, times, AT_SYMLINK_NOFOLLOW);
        }
    }

    if (uid == st.st_uid) uid = static_cast<uid_t>(-1);
    if (gid == st.st_gid) gid = static_cast<gid_t>(-1);
    if (uid != static_cast<uid_t>(-1) || gid != static_cast<gid_t>(-1)) {
        if (fchownat(dir, name, uid, gid, AT_SYMLINK_NOFOLLOW) != 0) {
            DEBUG_PRINTF(DBG_CONFIG, "lchown( %s, uid %d, gid %d) failed. errno=%d\n", path, static_cast<int>(uid),
                         static_cast<int>(gid), errno);
            rc = GRFS_RC_ACCESS_DENIED;
        }
    }

    // A change of owner clears the set-id bits: put the mode back once more.
    struct stat after;
    lrc = fstatat(dir, name, &after, AT_SYMLINK_NOFOLLOW);
    DEBUG_PRINTF(DBG_CONFIG, "auxiliary lstat returned %d\n", lrc);
    if (lrc == 0 && have_mode && mode_differs(mode, after.st_mode) && !S_ISLNK(after.st_mode)) {
        int crc = fchmodat(dir, name, mode & kPermissionBits, AT_SYMLINK_NOFOLLOW);
        if (crc != 0) {
            DEBUG_PRINTF(DBG_CONFIG, "auxiliary chmod %s mode 0x%X returned %d errno=%d\n", path,
                         mode & kModeCompareBits, crc, errno);
        } else {
            DEBUG_PRINTF(DBG_CONFIG, "auxiliary chmod returned %d\n", crc);
        }
    }
    return rc;
}

int SetObjectInfo(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length) {
    (void)length;
    const uint32_t request_id = req->hdr.request_id;
    const GRFS_GEN_DBLK* dblk = &req->body.dblk_req.dblk;
    DRVDLE* drvdle = LookupDrvdle(req->body.dblk_req.dle_id);
    int rc = 0;
    if (drvdle == nullptr) {
        rc = GRFS_RC_BAD_DLE_HANDLE;
    } else {
        DEBUG_PRINTF(DBG_CONFIG, "SetObjInfo: drvdle->attach_reason=0x%x\n", drvdle->attach_reason);
        if ((drvdle->attach_reason & kAttachReasonRestore) == 0 && SessionWs(ses)->preserve_ctime != 0) {
            rc = 0;  // a backup that keeps ctime changes nothing
        } else if (ExportWriteProtected(drvdle)) {
            rc = GRFS_RC_ACCESS_DENIED;
        } else if (CheckDblkSize(dblk) != 0) {
            rc = GRFS_RC_INVALID_REQUEST;
        } else {
            DEBUG_PRINTF(DBG_CONFIG, "SetObjInfo: grdblk->blk_type=0x%x\n", dblk->dblk_type);
            if (dblk->dblk_type == DDB_ID || dblk->dblk_type == FDB_ID) {
                rc = Unix_SetInfo(drvdle, dblk);
            } else {
                rc = GRFS_RC_WRONG_DBLK_TYPE;
            }
        }
    }
    GRFS_MESSAGE* reply = StartReply(ses, request_id, GRFS_SET_OBJ_INFO_STAT);
    reply->hdr.retcode = static_cast<int16_t>(rc);
    if (SendMessage(ses, reply, 0) != 0) return 1;
    return rc;
}
