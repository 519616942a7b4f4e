#include "unixfs/requests/object_create.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "grfs/messages.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/host/confined_path.h"
#include "unixfs/session/created_objects.h"
#include "unixfs/tree/dblk_texts.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/session/hard_links.h"
#include "unixfs/tree/name_munge.h"
#include "unixfs/host/paths.h"
#include "unixfs/tree/restore_target.h"
#include "unixfs/host/str_match.h"
#include "unixfs/object/kept_linux_meta.h"
#include "unixfs/object/object_linux_meta.h"
#include "util/debug_print.h"

namespace {

constexpr uint32_t kDefaultFileMode = 0x81B6;  // regular file, 0666
constexpr mode_t kPermissionBits = 07777;
// Objects are made without set-user-id and set-group-id: until set
// information has given them their owner they are root's, and root's
// set-id bits on bytes still being written would be a gift to whoever can
// rename them. Set information adds the bits after the owner.
constexpr mode_t kCreateBits = kPermissionBits & ~mode_t{06000};

// A step that failed with err, other than EACCES.
int map_create_errno(int err) {
    switch (err) {
    case ENOENT: return GRFS_RC_NO_SUCH_FILE;
    case EAGAIN: return GRFS_RC_INVALID_REQUEST;
    case ENOSPC: return GRFS_RC_NO_SPACE;
    default: return GRFS_RC_ACCESS_DENIED;
    }
}

bool busy_file(const char* path) {
#if defined(__sun)
    // Shared libraries in use and the agent's own image are never replaced.
    return str_match("/usr/lib/lib*.so*", path) != 0 || str_match("*/agent.vs", path) != 0;
#else
    (void)path;
    return false;
#endif
}

// Changes the permission bits of the directory held as an O_PATH descriptor.
int chmod_dir_fd(int dir_fd, mode_t mode) {
    UniqueFd dir(openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid()) return fchmod(dir.get(), mode);
    // No read permission on it: reach the same inode through the descriptor.
    return chmod(FdPath(dir_fd).c_str(), mode);
}

// Records the object now at name in parent_fd (rel below the export root)
// as one this session made, or, for a directory that was there already,
// found. What it made is the session's own, of the type it made: anything
// else under the name was put there by someone else meanwhile.
void record_at(DRVDLE* drvdle, std::string_view rel, int parent_fd, const char* name, mode_t type, bool made) {
    CreatedObjects* created = CreatedObjectsOf(drvdle);
    if (created == nullptr) return;
    UniqueFd node(openat(parent_fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    OBJECT_IDENTITY id;
    struct stat st;
    if (!node.valid() || !ExamineObject(node.get(), &id, &st) || id.type != type) return;
    if (made && st.st_uid != geteuid()) return;
    created->Record(rel, id, std::move(node));
}

// Links the first restored name (full path text first_path) to target.
// 0 or the errno of the failure. The new name stands for the inode the
// session made under the first name, if it did: a name that led elsewhere
// by then gives a link that is not recorded as the session's.
int link_first_name(DRVDLE* drvdle, const char* first_path, RESTORE_TARGET* target) {
    std::string first_rel;
    if (!RelativeToExport(drvdle->dle->export_path, first_path, &first_rel) || HasDotDotComponent(first_rel)) {
        return EXDEV;  // restored under another attachment's export
    }
    std::string first_name;
    UniqueFd first_parent = OpenParentBeneath(drvdle->root_fd, first_rel, LinkPolicy::kNoLinks, first_name);
    if (!first_parent.valid()) return errno;
    if (linkat(first_parent.get(), first_name.c_str(), target->parent.get(), target->name.c_str(), 0) != 0) {
        return errno;
    }
    CreatedObjects* created = drvdle->created;
    const CreatedObjects::Entry* first = created != nullptr ? created->Find(first_rel) : nullptr;
    if (first != nullptr) {
        const OBJECT_IDENTITY id = first->id;
        UniqueFd held(first->held >= 0 ? fcntl(first->held, F_DUPFD_CLOEXEC, 0) : -1);
        created->Record(target->rel, id, std::move(held));
    }
    return 0;
}

// Makes a new, empty regular file, never through a link at the last
// component and never opening what someone else put under the name after it
// was removed. 0 or the errno.
int create_regular(DRVDLE* drvdle, RESTORE_TARGET* target, mode_t mode) {
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    UniqueFd fd(openat(target->parent.get(), target->name.c_str(), kFlags, mode & kCreateBits));
    if (!fd.valid() && errno == EEXIST) {
        unlinkat(target->parent.get(), target->name.c_str(), 0);
        fd.reset(openat(target->parent.get(), target->name.c_str(), kFlags, mode & kCreateBits));
    }
    if (!fd.valid()) return errno;
    CreatedObjects* created = CreatedObjectsOf(drvdle);
    OBJECT_IDENTITY id;
    if (created != nullptr && ExamineObject(fd.get(), &id)) {
        created->Record(target->rel, id, ReopenChecked(fd.get(), O_PATH));
    }
    return 0;
}

int create_file_once(DRVDLE* drvdle, const char* path, const GRFS_GEN_DBLK* dblk, bool retried);

// EACCES: the parent lacks owner write permission; add it for one more try.
int retry_with_parent_writable(DRVDLE* drvdle, const char* path, const GRFS_GEN_DBLK* dblk,
                               RESTORE_TARGET* target, mode_t type_to_make, bool retried) {
    struct stat existing;
    if (target->parent.valid() &&
        fstatat(target->parent.get(), target->name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
        (existing.st_mode & S_IFMT) == type_to_make) {
        return 0;
    }
    std::string parent_path(path, static_cast<size_t>(last_slash(path) - path));
    DEBUG_PRINTF(DBG_CONFIG, "ACCESS ERROR ON CREATE path is %s\n", parent_path.c_str());
    struct stat parent_stat;
    if (!target->parent.valid() || fstat(target->parent.get(), &parent_stat) != 0) return GRFS_RC_NO_MEMORY;
    if ((parent_stat.st_mode & S_IWUSR) != 0 || retried) return GRFS_RC_ACCESS_DENIED;
    DEBUG_PRINTF(DBG_CONFIG, "chmod adding write permission to %s\n", parent_path.c_str());
    const mode_t earlier = parent_stat.st_mode & kPermissionBits;
    if (chmod_dir_fd(target->parent.get(), earlier | S_IWUSR) != 0) {
        DEBUG_PRINTF(DBG_CONFIG, "chmod +w %s failed. errno=%d\n", parent_path.c_str(), errno);
        return GRFS_RC_ACCESS_DENIED;
    }
    int rc = create_file_once(drvdle, path, dblk, true);
    DEBUG_PRINTF(DBG_CONFIG, "chmod restoring permissions\n");
    chmod_dir_fd(target->parent.get(), earlier);
    return rc;
}

int create_file_once(DRVDLE* drvdle, const char* path, const GRFS_GEN_DBLK* dblk, bool retried) {
    if (busy_file(path)) return GRFS_RC_INVALID_REQUEST;

    uint32_t mode = kDefaultFileMode;
    dev_t device = 0;
    bool link_info = false;
    HARD_LINK_KEY key{};
    if (DblkHasUnixInfo(dblk)) {
        UNIX_FILE_OS_INFO info;
        FillFileInfoFromDblk(&info, dblk);
        mode = info.st_mode;
        device = static_cast<dev_t>(info.st_rdev);
        link_info = info.os_info_version != 0 && info.st_nlink >= 2;
        key.st_dev = info.st_dev;
        key.st_ino = info.st_ino;
    }
    const mode_t type = static_cast<mode_t>(mode) & S_IFMT;
    if (type == S_IFLNK) return 0;  // the link is made at close, from its EA record

    RESTORE_TARGET target;
    std::string rel;
    if (!RelativeToExport(drvdle->dle->export_path, path, &rel)) return GRFS_RC_ACCESS_DENIED;
    SetTargetRel(drvdle, rel, &target);
    if (HasDotDotComponent(rel)) return GRFS_RC_ACCESS_DENIED;
    int err = OpenTargetParent(drvdle, &target, LinkPolicy::kNoLinks);
    if (err != 0) {
        if (IsConfinementError(err)) return GRFS_RC_ACCESS_DENIED;
        if (err == EACCES) {
            DEBUG_PRINTF(DBG_CONFIG, "ACCESS ERROR ON CREATE path is %s\n", path);
            return GRFS_RC_NO_MEMORY;  // the parent cannot be examined
        }
        return map_create_errno(err);
    }
    const int parent_fd = target.parent.get();
    const char* name = target.name.c_str();
    // An immutable or append-only object of an earlier restore could be
    // neither replaced nor changed.
    ClearLockingFlagsAt(drvdle, parent_fd, name);

    err = 0;
    switch (type) {
    case S_IFSOCK:
        // Only where the stream that keeps Linux metadata is carried.
        if (!LinuxMetaCarried(AttachmentWs(drvdle))) {
            DEBUG_PRINTF(DBG_CONFIG, "GRFS doesn't support file mode 0x%X\n", mode);
            return GRFS_RC_ACCESS_DENIED;
        }
        [[fallthrough]];
    case S_IFIFO:
    case S_IFCHR:
    case S_IFBLK: {
        const mode_t node_mode = static_cast<mode_t>(mode) & (S_IFMT | kCreateBits);
        int made = mknodat(parent_fd, name, node_mode, device);
        if (made != 0 && errno == EEXIST) {
            // An existing node is replaced, never kept as found: whoever
            // could write the directory may have put it there.
            made = unlinkat(parent_fd, name, 0) == 0 ? mknodat(parent_fd, name, node_mode, device) : -1;
        }
        if (made != 0) {
            err = errno;
            const char* which = type == S_IFIFO   ? "mknod1"
                                : type == S_IFCHR ? "mknod2"
                                : type == S_IFBLK ? "mknod3"
                                                  : "mknod4";
            DEBUG_PRINTF(DBG_CONFIG, "%s path=%s mode=%d returned %d errno=%d\n", which, path,
                         static_cast<int>(mode), -1, err);
        } else {
            record_at(drvdle, target.rel, parent_fd, name, type, true);
        }
        break;
    }
    case S_IFDIR:
        if (mkdirat(parent_fd, name, static_cast<mode_t>(mode) & kCreateBits) != 0) {
            err = errno;
        } else {
            record_at(drvdle, target.rel, parent_fd, name, type, true);
        }
        break;
    case S_IFREG: {
        if (unlinkat(parent_fd, name, 0) != 0 && errno == ETXTBSY) return GRFS_RC_INVALID_REQUEST;
        const char* first = nullptr;
        if (link_info) {
            first = HardLinkersLookup(AttachmentWs(drvdle), key);
            // The first name itself, restored once more: it is made anew.
            if (first != nullptr && std::strcmp(first, path) == 0) {
                first = nullptr;
            } else if (first == nullptr) {
                DEBUG_PRINTF(DBG_DATA, "Creating first hard link for %s\n", path);
            }
            if (first != nullptr) {
                DEBUG_PRINTF(DBG_DATA, "Creating additional hard links for %s\n", path);
                if (unlinkat(parent_fd, name, 0) != 0 && errno != ENOENT) {
                    DEBUG_PRINTF(DBG_DATA, "Note: unlink attempt for %s returned %d\n", path, -1);
                }
                err = link_first_name(drvdle, first, &target);
                if (err == 0) return 0;
                DEBUG_PRINTF(DBG_DATA, "Additional hard link creation failed, ret = %d\n", -1);
                break;
            }
        } else {
            DEBUG_PRINTF(DBG_DATA, "No backup time hard links existed for %s\n", path);
        }
        err = create_regular(drvdle, &target, static_cast<mode_t>(mode));
        // Only a name that exists may stand for its inode: a failed create
        // records nothing, so failures cannot fill the table.
        if (err == 0 && link_info) HardLinkersAddLink(AttachmentWs(drvdle), key, path);
        break;
    }
    default:
        DEBUG_PRINTF(DBG_CONFIG, "GRFS doesn't support file mode 0x%X\n", mode);
        return GRFS_RC_ACCESS_DENIED;
    }
    if (err == 0) return 0;
    if (err == EACCES) return retry_with_parent_writable(drvdle, path, dblk, &target, type, retried);
    return map_create_errno(err);
}

// Level rel (no leading '/') with the block's permission bits.
int create_dir_level(DRVDLE* drvdle, const std::string& rel, const GRFS_GEN_DBLK* dblk) {
    return CreateDirUnix(drvdle, rel.c_str(), dblk);
}

// The directory a create named, made just now or there already, stands for
// itself from here on.
void record_found_dir(DRVDLE* drvdle, const std::string& rel) {
    RESTORE_TARGET target;
    SetTargetRel(drvdle, rel, &target);
    if (OpenTargetParent(drvdle, &target, LinkPolicy::kNoLinks) != 0 || target.name.empty()) return;
    record_at(drvdle, rel, target.parent.get(), target.name.c_str(), S_IFDIR, false);
}

}  // namespace

int CreateFileUnix(DRVDLE* drvdle, const char* path, const GRFS_GEN_DBLK* dblk) {
    return create_file_once(drvdle, path, dblk, false);
}

int Unix_CreateFile(DRVDLE* drvdle, const GRFS_GEN_DBLK* dblk) {
    RESTORE_TARGET target;
    int rc = BuildTargetPaths(drvdle, dblk, &target);
    if (rc != 0) return rc;
    // Whatever the session made under the name before is replaced, or gone.
    if (drvdle->created != nullptr) drvdle->created->Forget(target.rel);
    return CreateFileUnix(drvdle, target.full_path.c_str(), dblk);
}

int CreateDirUnix(DRVDLE* drvdle, const char* rel, const GRFS_GEN_DBLK* dblk) {
    mode_t mode = 0777;
    if (DblkHasUnixInfo(dblk)) {
        UNIX_DIR_OS_INFO info;
        FillDirInfoFromDblk(&info, dblk);
        mode = static_cast<mode_t>(info.st_mode) & kCreateBits;
    }
    RESTORE_TARGET target;
    SetTargetRel(drvdle, rel, &target);
    int err = OpenTargetParent(drvdle, &target, LinkPolicy::kNoLinks);
    if (err == 0) {
        if (target.name.empty()) return 0;
        if (mkdirat(target.parent.get(), target.name.c_str(), mode) == 0) {
            record_at(drvdle, rel, target.parent.get(), target.name.c_str(), S_IFDIR, true);
            return 0;
        }
        err = errno;
        // A directory of an earlier restore that forbids new entries.
        if (err == EEXIST) ClearLockingFlagsAt(drvdle, target.parent.get(), target.name.c_str());
    }
    if (IsConfinementError(err)) return GRFS_RC_ACCESS_DENIED;
    switch (err) {
    case EEXIST: return 0;
    case EACCES:
    case EPERM: return GRFS_RC_ACCESS_DENIED;
    case EIO: return GRFS_RC_IO_ERROR;
    default: return GRFS_RC_NO_SUCH_FILE;
    }
}

int Unix_CreateDir(DRVDLE* drvdle, const GRFS_GEN_DBLK* dblk) {
    std::string_view text;
    int rc = DblkDirPath(dblk, &text);
    if (rc != 0) return rc;
    if (dblk->type_part.ddb.path_leng == 1 || text.empty()) return 0;  // the DLE's root
    RESTORE_TARGET target;
    rc = BuildTargetPaths(drvdle, dblk, &target);
    if (rc != 0) return rc;

    // The levels below the root, without leading or trailing '/'.
    std::string full = target.rel;
    while (!full.empty() && full.front() == '/') full.erase(0, 1);
    while (!full.empty() && full.back() == '/') full.pop_back();
    if (full.empty()) return 0;

    // Walk up until a level exists or can be made; the root always exists.
    std::string level = full;
    rc = create_dir_level(drvdle, level, dblk);
    while (rc != 0) {
        size_t slash = level.rfind('/');
        if (slash == std::string::npos) {
            level.clear();
            rc = 0;
            break;
        }
        level.resize(slash);
        rc = create_dir_level(drvdle, level, dblk);
    }
    // Walk down again, one level at a time.
    while (level.size() < full.size()) {
        size_t next = full.find('/', level.empty() ? 0 : level.size() + 1);
        level = full.substr(0, next == std::string::npos ? full.size() : next);
        rc = create_dir_level(drvdle, level, dblk);
        if (rc != 0) return rc;
    }
    record_found_dir(drvdle, full);
    return 0;
}

int CreateObject(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length) {
    (void)length;
    return AnswerObjectChange(ses, req, GRFS_CREATE_OBJ_STAT, Unix_CreateDir, Unix_CreateFile);
}

int PrepareDblk(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length) {
    (void)length;
    const uint32_t request_id = req->hdr.request_id;
    DRVDLE* drvdle = LookupDrvdle(ses, req->body.dblk_req.dle_id);
    int rc = GRFS_RC_SUCCESS;
    GRFS_GEN_DBLK prepared;
    if (drvdle == nullptr) {
        rc = GRFS_RC_BAD_DLE_HANDLE;
    } else if (CheckDblkSize(&req->body.dblk_req.dblk) != 0) {
        rc = GRFS_RC_INVALID_REQUEST;
    } else {
        copy_dblk(&prepared, &req->body.dblk_req.dblk);
        rc = FixObjectName(&prepared, drvdle->max_name_len);
    }
    GRFS_MESSAGE* reply = StartReply(ses, request_id, GRFS_PREPARE_DBLK_STAT);
    reply->hdr.retcode = static_cast<int16_t>(rc);
    int body = 0;
    if (rc == 0) {
        copy_dblk(&reply->body.dblk_stat.dblk, &prepared);
        body = prepared.dblk_actual_size;
    }
    return SendMessage(ses, reply, body) != 0 ? 1 : 0;
}
