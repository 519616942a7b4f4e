// GRFS_SET_OBJ_INFO.
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "grfs/dates.h"
#include "grfs/messages.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/session/created_objects.h"
#include "unixfs/tree/dblk_texts.h"
#include "unixfs/object/file_memory.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/object/object_symlink.h"
#include "unixfs/object/object_xattr.h"
#include "unixfs/tree/restore_target.h"
#include "unixfs/requests/set_info.h"
#include "unixfs/session/workstation.h"
#include "unixfs/object/kept_linux_meta.h"
#include "util/console.h"
#include "util/debug_print.h"

namespace {

constexpr uint32_t kModeCompareBits = 0x7FFF;
constexpr mode_t kPermissionBits = 07777;
constexpr uint32_t kSetIdBits = 06000;


// A DBLK date as a timespec; left alone (UTIME_OMIT) when the date is absent
// or cannot be represented.
timespec dblk_time(const DATE_TIME& date) {
    timespec ts{};
    ts.tv_nsec = UTIME_OMIT;
    if (date.date_valid == 0) return ts;
    time_t value = 0;
    if (!StdDateToTime(&date, &value)) return ts;
    ts.tv_sec = value;
    ts.tv_nsec = 0;
    return ts;
}

bool mode_differs(uint32_t wanted, mode_t current) {
    return (wanted & kModeCompareBits) != (static_cast<uint32_t>(current) & kModeCompareBits);
}

// Changes the permission bits of the object held by obj (an O_PATH
// descriptor) through its /proc/self/fd entry, which leads to that inode
// whatever its name has become. Without /proc, by name, once the name is
// seen to lead to the same inode still.
int chmod_held(int obj, int dir_fd, const char* name, mode_t mode) {
    if (chmod(FdPath(obj).c_str(), mode) == 0) return 0;
    if (errno != ENOENT) return -1;
    struct stat held;
    struct stat named;
    if (fstat(obj, &held) != 0 || fstatat(dir_fd, name, &named, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    if (held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
        errno = ESTALE;
        return -1;
    }
    return fchmodat(dir_fd, name, mode, 0);
}

int utime_held(int obj, int dir_fd, const char* name, const timespec times[2]) {
    if (utimensat(AT_FDCWD, FdPath(obj).c_str(), times, 0) == 0) return 0;
    if (errno != ENOENT) return -1;
    return utimensat(dir_fd, name, times, AT_SYMLINK_NOFOLLOW);
}

// Cuts the regular file held by obj; without /proc, opened by name without
// following a link and checked to be the object examined before.
int truncate_at(int obj, int dir_fd, const char* name, const struct stat& examined, off_t size) {
    UniqueFd fd = ReopenChecked(obj, O_WRONLY | O_NONBLOCK);
    if (!fd.valid() && errno == ENOENT) fd.reset(openat(dir_fd, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
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
    // The export root's own attributes are never set, whatever name leads
    // to it ("", "/", ".", "./.", ...).
    auto export_root = [&] {
        if (is_file) return static_cast<int>(GRFS_RC_NO_SUCH_FILE);
        DEBUG_PRINTF(DBG_CONFIG, "Unix_SetInfo: not setting attribs for root dir.\n");
        return 0;
    };
    if (target.name.empty()) return export_root();
    const int dir = target.parent.get();
    const char* name = target.name.c_str();

    // Every step acts on the inode examined here, held by a descriptor that
    // opens nothing (no device, no FIFO), even when its name changes meanwhile.
    UniqueFd obj(openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    const int open_err = obj.valid() ? 0 : errno;
    struct stat st;
    OBJECT_IDENTITY id;
    int lrc = obj.valid() && ExamineObject(obj.get(), &id, &st) ? 0 : -1;
    DEBUG_PRINTF(DBG_CONFIG, "lstat returned %d\n", lrc);
    // A link is made by the close of its WRITE open, which may come after
    // its information: the link then gets it when it is made (what stands
    // under the name until then is replaced by the close).
    FILE_MEMORY* awaiting = is_file && have_mode && S_ISLNK(mode) ? LinkAwaitingClose(drvdle, target.rel) : nullptr;
    if (awaiting != nullptr) {
        DEBUG_PRINTF(DBG_CONFIG, "Unix_SetInfo: link %s is made at its close, owner and times then\n", path);
        awaiting->link_info =
            PENDING_LINK_INFO{1, uid, gid, {dblk_time(dblk->access_time), dblk_time(dblk->modified_time)}};
        if (lrc != 0 && open_err == ENOENT) return 0;
    }
    if (lrc != 0) return GRFS_RC_NO_SUCH_FILE;  // nothing is known, so nothing is changed
    struct stat root;
    if (fstat(drvdle->root_fd, &root) == 0 && root.st_dev == st.st_dev && root.st_ino == st.st_ino) {
        return export_root();
    }
    // A name the session's create made an object under gets its
    // information on that object only; what else stands there now is
    // someone else's and is left alone.
    const NameStanding standing = StandingOf(drvdle, target.rel, id);
    if (standing == NameStanding::kReplaced) {
        ConsoleMessage(drvdle->parent != nullptr ? &drvdle->parent->session->console_repeats : nullptr,
                       "Restore of %s: information not set: the name no longer leads to the object this restore made.\n",
                       path);
        return GRFS_RC_NO_SUCH_FILE;
    }
    const bool made_here = standing == NameStanding::kMade;
    const bool is_link = S_ISLNK(st.st_mode);
    // A restore over an earlier one; a backup's set information never takes flags away.
    if ((drvdle->attach_reason & kAttachReasonRestore) != 0) ClearLockingFlags(drvdle, obj.get());
    rc = 0;
    bool dropped_privileges = false;

    // Set-user-id and set-group-id wait for the last step, after the owner.
    const uint32_t without_set_id = mode & ~uint32_t{06000};
    if (have_mode && mode_differs(without_set_id, st.st_mode) && !is_link) {
        if (chmod_held(obj.get(), dir, name, without_set_id & kPermissionBits) != 0) {
            DEBUG_PRINTF(DBG_CONFIG, "chmod %s mode 0x%X returned %d errno=%d\n", path,
                         without_set_id & kModeCompareBits, -1, errno);
        }
    }

    const timespec times[2] = {dblk_time(dblk->access_time), dblk_time(dblk->modified_time)};
    if (is_link) {
        // The link's own times; where the system cannot set them it keeps
        // those of its making.
        if (SetLinkTimes(obj.get(), times) != 0) {
            DEBUG_PRINTF(DBG_CONFIG, "Can't call utime on symlinks.  st_mode=0x%X.\n",
                         static_cast<unsigned>(st.st_mode));
        }
    } else {
        if (utime_held(obj.get(), dir, name, times) != 0) {
            const int e = errno;
            DEBUG_PRINTF(DBG_CONFIG, "utime returned %d errno=%d\n", -1, e);
            rc = e == ENOENT ? GRFS_RC_NO_SUCH_FILE : GRFS_RC_IO_ERROR;
        }
    }

    if (is_file && (drvdle->attach_reason & kAttachReasonRestore) != 0 && S_ISREG(st.st_mode) &&
        static_cast<uint64_t>(st.st_size) != AsU64(dblk->size)) {
        DEBUG_PRINTF(DBG_CONFIG, "truncating %s to <%d,%d>\n", path, static_cast<int>(dblk->size.msw),
                     static_cast<int>(dblk->size.lsw));
        if (truncate_at(obj.get(), dir, name, st, static_cast<off_t>(AsU64(dblk->size))) != 0) {
            rc = GRFS_RC_ACCESS_DENIED;
        } else {
            dropped_privileges = true;
            // Cutting the file made its modification time "now": set the times again.
            if (rc == 0) utime_held(obj.get(), dir, name, times);
        }
    }

    bool owner_set = true;
    if (uid == st.st_uid) uid = static_cast<uid_t>(-1);
    if (gid == st.st_gid) gid = static_cast<gid_t>(-1);
    if (uid != static_cast<uid_t>(-1) || gid != static_cast<gid_t>(-1)) {
        if (fchownat(obj.get(), "", uid, gid, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) {
            DEBUG_PRINTF(DBG_CONFIG, "lchown( %s, uid %d, gid %d) failed. errno=%d\n", path, static_cast<int>(uid),
                         static_cast<int>(gid), errno);
            rc = GRFS_RC_ACCESS_DENIED;
            owner_set = false;
        } else {
            dropped_privileges = true;
        }
    }
    // Both changes made the kernel drop a file capability restored before.
    if (made_here && dropped_privileges && drvdle->parent != nullptr) {
        RestoreCapabilityAfterChange(drvdle->parent->session, obj.get(), st);
    }

    // The whole mode once the owner is the block's (a change of owner also
    // clears the set-id bits); without that owner the set-id bits stay off.
    uint32_t final_mode = mode;
    if (!owner_set && (mode & kSetIdBits) != 0) {
        final_mode = without_set_id;
        DEBUG_PRINTF(DBG_CONFIG, "Unix_SetInfo: owner of %s not set, leaving set-id bits off\n", path);
    }
    // An object the session did not make keeps the set-id bits it had under
    // an owner that stays, and is given none.
    const bool owner_changed = uid != static_cast<uid_t>(-1) || gid != static_cast<gid_t>(-1);
    const uint32_t kept = owner_changed ? 0 : static_cast<uint32_t>(st.st_mode) & kSetIdBits;
    if (have_mode && !made_here && (final_mode & kSetIdBits & ~kept) != 0 && !is_link) {
        final_mode &= ~(kSetIdBits & ~kept);
        ConsoleMessage(drvdle->parent != nullptr ? &drvdle->parent->session->console_repeats : nullptr,
                       "Restore of %s: set-user-id and set-group-id bits not set: the object was not made by this "
                       "restore.\n",
                       path);
    }
    struct stat after;
    lrc = fstat(obj.get(), &after);
    DEBUG_PRINTF(DBG_CONFIG, "auxiliary lstat returned %d\n", lrc);
    if (lrc == 0 && have_mode && mode_differs(final_mode, after.st_mode) && !S_ISLNK(after.st_mode)) {
        int crc = chmod_held(obj.get(), dir, name, final_mode & kPermissionBits);
        if (crc != 0) {
            DEBUG_PRINTF(DBG_CONFIG, "auxiliary chmod %s mode 0x%X returned %d errno=%d\n", path,
                         final_mode & kModeCompareBits, crc, errno);
        } else {
            DEBUG_PRINTF(DBG_CONFIG, "auxiliary chmod returned %d\n", crc);
        }
    }
    // The times of an LXMD stream applied before are finer than the block's.
    ReapplyKeptTimes(drvdle, target.rel);
    return rc;
}

namespace {

// What a set-information request on a known attachment comes to.
int SetInfoOutcome(GRFS_SESSION* ses, DRVDLE* drvdle, const GRFS_GEN_DBLK* dblk) {
    DEBUG_PRINTF(DBG_CONFIG, "SetObjInfo: drvdle->attach_reason=0x%x\n", drvdle->attach_reason);
    if ((drvdle->attach_reason & kAttachReasonRestore) == 0 && ses->ws->preserve_ctime != 0) {
        return 0;  // a backup that keeps ctime changes nothing
    }
    if (CheckDblkSize(dblk) != 0) return GRFS_RC_INVALID_REQUEST;
    DEBUG_PRINTF(DBG_CONFIG, "SetObjInfo: grdblk->blk_type=0x%x\n", dblk->dblk_type);
    if (dblk->dblk_type == DDB_ID || dblk->dblk_type == FDB_ID) return Unix_SetInfo(drvdle, dblk);
    return GRFS_RC_WRONG_DBLK_TYPE;
}

}  // namespace

int SetObjectInfo(GRFS_SESSION* ses, GRFS_MESSAGE* req, int /*length*/) {
    DRVDLE* drvdle = LookupDrvdle(ses, req->body.dblk_req.dle_id);
    const int rc =
        drvdle == nullptr ? GRFS_RC_BAD_DLE_HANDLE : SetInfoOutcome(ses, drvdle, &req->body.dblk_req.dblk);
    return AnswerRetcode(ses, req->hdr.request_id, GRFS_SET_OBJ_INFO_STAT, rc);
}
