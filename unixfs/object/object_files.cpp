#include "unixfs/object/object_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "grfs/messages.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/session/created_objects.h"
#include "unixfs/tree/excluded_paths.h"
#include "unixfs/object/file_memory.h"
#include "unixfs/tree/object_describe.h"
#include "unixfs/object/object_location.h"
#include "unixfs/object/sparse_file.h"
#include "unixfs/session/workstation.h"
#include "unixfs/object/kept_linux_meta.h"
#include "util/console.h"
#include "util/debug_print.h"

namespace {

constexpr mode_t kCreatePermissions = 0666;

// The type rule for objects that are not regular files or directories:
// devices open nothing and read as empty (0), anything else cannot be
// opened (1). Returns -1 for regular files and directories.
int NonFileTypeResult(mode_t mode) {
    switch (mode & S_IFMT) {
    case S_IFCHR:
    case S_IFBLK:
        return 0;
    case S_IFDIR:
    case S_IFREG:
        return -1;
    default:
        DEBUG_PRINTF(DBG_CONFIG, "OpenFileUnix: Can't open special file. st_mode = 0x%X\n",
                     static_cast<unsigned>(mode));
        return 1;
    }
}

// The object a checked O_PATH descriptor stands for, opened for I/O as that
// same inode. Without /proc the name is opened once more and must still lead
// to the inode that was checked; only then is there a moment between the
// check and the open.
int ReopenNode(const FILE_MEMORY* rec, LinkPolicy policy, int node_fd, const struct stat& checked, int flags) {
    UniqueFd file = ReopenChecked(node_fd, flags);
    if (file.valid() || errno != ENOENT) return file.release();
    OBJECT_PARENT parent;
    const int err = OpenObjectParent(rec->dle, rec, policy, &parent);
    if (err != 0) {
        errno = err;
        return -1;
    }
    file.reset(openat(parent.dir.get(), parent.name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK));
    struct stat st;
    if (file.valid() && (fstat(file.get(), &st) != 0 || st.st_dev != checked.st_dev || st.st_ino != checked.st_ino)) {
        errno = ESTALE;
        return -1;
    }
    return file.release();
}

// The open failed with EACCES: give the owner write permission for one more
// attempt, then put the permission bits back. The permission bits are changed
// on the checked inode, not on whatever its name leads to by now. The
// descriptor, or -1.
int PermissionRetry(const FILE_MEMORY* rec, LinkPolicy policy, int node_fd, const struct stat& checked, int flags) {
    const FdPath proc_path(node_fd);
    const mode_t before = checked.st_mode & 07777;
    DEBUG_PRINTF(DBG_CONFIG, "chmod adding write permission to %s\n", rec->full_path);
    if (chmod(proc_path.c_str(), before | S_IWUSR) != 0) {
        DEBUG_PRINTF(DBG_CONFIG, "lchmod +w %s failed errno=%d\n", rec->full_path, errno);
        return -1;
    }
    DEBUG_PRINTF(DBG_CONFIG, "opening(%s, 0x%x, 0x%x) \n", rec->full_path, static_cast<unsigned>(flags),
                 static_cast<unsigned>(kCreatePermissions));
    int fd = ReopenNode(rec, policy, node_fd, checked, flags);
    if (fd < 0) {
        DEBUG_PRINTF(DBG_CONFIG, "open(%s, 0x%x, 0x%x) failed. errno=%d\n", rec->full_path,
                     static_cast<unsigned>(flags), static_cast<unsigned>(kCreatePermissions), errno);
    }
    DEBUG_PRINTF(DBG_CONFIG, "chmod restoring permissions\n");
    chmod(proc_path.c_str(), before);
    if (fd >= 0) DEBUG_PRINTF(DBG_CONFIG, "Successfully open read only file (%s) for write\n", rec->full_path);
    return fd;
}

bool ShouldLock(const DRVDLE* drvdle, const struct stat& st, const char* path) {
    const DLE_RECORD* dle = drvdle->dle;
    DEBUG_PRINTF(DBG_CONFIG, "OpenFileUnix: vsc_flags=%X no_backup_locking=%d no_nfs_locking=%d\n",
                 drvdle->vsc_flags, dle->no_backup_locking, dle->no_nfs_locking);
    if ((drvdle->vsc_flags & kVscNoLocking) != 0 || dle->no_backup_locking != 0) return false;
    if (dle->no_nfs_locking != 0 && FileIsNFS(st.st_dev, path)) return false;
    return true;
}

int FailedOpen(const FILE_MEMORY* rec, int flags, int err) {
    DEBUG_PRINTF(DBG_CONFIG, "open(%s, 0x%x, 0x%x) failed. errno=%d\n", rec->full_path, static_cast<unsigned>(flags),
                 static_cast<unsigned>(kCreatePermissions), err);
    return IsConfinementErrno(err) ? static_cast<int>(GRFS_RC_ACCESS_DENIED) : OpenErrnoToRetcode(err);
}

// What stands at the object's name, as an O_PATH descriptor that never
// follows the name itself: nothing is opened for I/O, whatever it is. The
// parent is opened only where the one-call resolution cannot be used (and
// left open for a create: need_parent). 0 or the errno.
int OpenNode(const FILE_MEMORY* rec, LinkPolicy policy, bool need_parent, OBJECT_PARENT* parent, UniqueFd* node) {
    constexpr int kNodeFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
    if (!need_parent && policy == LinkPolicy::kNoLinks && rec->dle != nullptr && rec->dle->root_fd >= 0 &&
        rec->file_name != nullptr && rec->file_name[0] != '\0') {
        // One call from the export root, confined as the walk to the parent is.
        node->reset(OpenFileBeneath(rec->dle->root_fd, ObjectRelPath(rec), kNodeFlags).release());
        if (node->valid()) return 0;
        if (errno != ENOSYS) return errno;
    }
    int err = OpenObjectParent(rec->dle, rec, policy, parent);
    if (err != 0) {
        DEBUG_PRINTF(DBG_CONFIG, "open(%s) failed below the export root. errno=%d\n", rec->full_path, err);
        return err;
    }
    node->reset(openat(parent->dir.get(), parent->name.c_str(), kNodeFlags));
    return node->valid() ? 0 : errno;
}

constexpr int kWriteFlags = O_WRONLY | O_NONBLOCK | O_CLOEXEC;

// What a restore writes into must be a regular file of the export: a device
// node under the name would take the data into the device itself, a FIFO or
// socket somewhere else again.
int RefuseNonRegular(const FILE_MEMORY* rec, mode_t mode) {
    DEBUG_PRINTF(DBG_CONFIG, "OpenFileUnix: %s is no regular file (mode 0x%X), not opened for writing\n",
                 rec->full_path, static_cast<unsigned>(mode));
    return GRFS_RC_ACCESS_DENIED;
}

// Opens the checked inode node_fd (status st) for writing, with the
// permission retry. 0 or the retcode.
int OpenCheckedForWrite(FILE_MEMORY* rec, int node_fd, const struct stat& st, int* fd) {
    int d = ReopenNode(rec, LinkPolicy::kNoLinks, node_fd, st, kWriteFlags);
    if (d < 0) {
        const int e = errno;
        DEBUG_PRINTF(DBG_CONFIG, "open(%s, 0x%x, 0x%x) failed. errno=%d\n", rec->full_path,
                     static_cast<unsigned>(kWriteFlags), static_cast<unsigned>(kCreatePermissions), e);
        if (e != EACCES) return OpenErrnoToRetcode(e);
        d = PermissionRetry(rec, LinkPolicy::kNoLinks, node_fd, st, kWriteFlags);
        if (d < 0) return GRFS_RC_ACCESS_DENIED;
    }
    *fd = d;
    return 0;
}

// A name the session's create made a file under: the open lands on that
// inode, through the descriptor the record holds, or, when it holds none,
// through the name as long as it still leads there. Else it is refused as
// for a missing file: what stands there now is someone else's.
int OpenMadeForWrite(FILE_MEMORY* rec, const CreatedObjects::Entry& made, int* fd) {
    if (made.id.type != S_IFREG) return RefuseNonRegular(rec, made.id.type);
    struct stat st;
    OBJECT_IDENTITY id;
    if (made.held >= 0) {
        UniqueFd file = ReopenChecked(made.held, kWriteFlags);
        if (file.valid()) {
            *fd = file.release();
            return 0;
        }
        if (!ExamineObject(made.held, &id, &st)) return GRFS_RC_IO_ERROR;
        return OpenCheckedForWrite(rec, made.held, st, fd);
    }
    OBJECT_PARENT parent;
    UniqueFd node;
    int err = OpenNode(rec, LinkPolicy::kNoLinks, false, &parent, &node);
    if (err == 0 && !ExamineObject(node.get(), &id, &st)) err = errno;
    if (err == 0 && StandingOf(rec->dle, ObjectRelPath(rec), id) == NameStanding::kMade) {
        return OpenCheckedForWrite(rec, node.get(), st, fd);
    }
    if (err != 0 && err != ENOENT) return FailedOpen(rec, kWriteFlags, err);
    ConsoleMessage(rec->session != nullptr ? &rec->session->console_repeats : nullptr,
                   "Restore of %s: not written: the name no longer leads to the object this restore made.\n",
                   rec->full_path);
    return GRFS_RC_NO_SUCH_FILE;
}

// A restore's file: the one the session's create made under the name (see
// OpenMadeForWrite); else made new where the name is free (O_EXCL: what is
// made is a regular file, and the session's own), else the regular file
// already there, opened through its checked inode. Device nodes, FIFOs and
// sockets are never opened.
int OpenForWrite(FILE_MEMORY* rec, int* fd) {
    const CreatedObjects* created = FindCreatedObjects(rec->dle);
    const CreatedObjects::Entry* made = created != nullptr ? created->Find(ObjectRelPath(rec)) : nullptr;
    if (made != nullptr) {
        const int rc = OpenMadeForWrite(rec, *made, fd);
        rec->made_here = rc == 0 ? 1 : 0;
        return rc;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        OBJECT_PARENT parent;
        UniqueFd node;
        int err = OpenNode(rec, LinkPolicy::kNoLinks, true, &parent, &node);
        if (err == ENOENT && parent.dir.valid()) {
            const int flags = kWriteFlags | O_CREAT | O_EXCL | O_NOFOLLOW;
            UniqueFd d(openat(parent.dir.get(), parent.name.c_str(), flags, kCreatePermissions));
            if (d.valid()) {
                CreatedObjects* record = CreatedObjectsOf(rec->dle);
                OBJECT_IDENTITY id;
                if (record != nullptr && ExamineObject(d.get(), &id)) {
                    record->Record(ObjectRelPath(rec), id, ReopenChecked(d.get(), O_PATH));
                    rec->made_here = 1;
                }
                *fd = d.release();
                return 0;
            }
            if (errno == EEXIST) continue;  // made meanwhile: look again
            return FailedOpen(rec, flags, errno);
        }
        if (err != 0) return FailedOpen(rec, kWriteFlags, err);
        struct stat st;
        if (fstat(node.get(), &st) != 0) return GRFS_RC_IO_ERROR;
        if (!S_ISREG(st.st_mode)) return RefuseNonRegular(rec, st.st_mode);
        // An immutable or append-only file of an earlier restore (linux_metadata).
        ClearLockingFlags(rec->dle, node.get());
        int d = ReopenNode(rec, LinkPolicy::kNoLinks, node.get(), st, kWriteFlags);
        if (d < 0) {
            const int e = errno;
            DEBUG_PRINTF(DBG_CONFIG, "open(%s, 0x%x, 0x%x) failed. errno=%d\n", rec->full_path,
                         static_cast<unsigned>(kWriteFlags), static_cast<unsigned>(kCreatePermissions), e);
            if (e != EACCES) return OpenErrnoToRetcode(e);
            d = PermissionRetry(rec, LinkPolicy::kNoLinks, node.get(), st, kWriteFlags);
            if (d < 0) return GRFS_RC_ACCESS_DENIED;
        }
        *fd = d;
        return 0;
    }
    return GRFS_RC_ACCESS_DENIED;
}

}  // namespace

int OpenFileUnix(FILE_MEMORY* rec, uint16_t mode, int* fd, UINT64* data_size, UINT64* ea_size,
                 const UNIX_FILE_OS_INFO* info) {
    *fd = -1;
    *data_size = UINT64{};
    *ea_size = UINT64{};
    const bool reading = mode != OPEN_MODE_WRITE;
    SparseOpen(rec, nullptr);

    if (info != nullptr) {
        const mode_t type = info->st_mode & S_IFMT;
        if (type == S_IFLNK) {
            // Nothing to open: the link's record is made from readlink. The
            // estimate only sizes the EA buffer.
            const uint64_t estimate = AsU64(info->st_size) +
                                      std::strlen(rec->full_path) + 2;
            *ea_size = U64_Init(static_cast<uint32_t>(estimate), static_cast<uint32_t>(estimate >> 32));
            DEBUG_PRINTF(DBG_CONFIG, "OpenFileUnix: Symlink found\n");
            return 0;
        }
        int rc = NonFileTypeResult(type);
        if (rc >= 0) return rc;
    } else {
        DEBUG_PRINTF(DBG_CONFIG, "OpenFileUnix: file_infox is NULL\n");
    }

    if (!reading) {
        // A write open empties the file, but not with O_TRUNC: truncating a
        // file that is already empty (the usual case, fresh from
        // GRFS_CREATE_OBJ) makes ext4 flush the whole file to disk when it
        // is closed.
        int d = -1;
        int rc = OpenForWrite(rec, &d);
        if (rc != 0) return rc;
        UniqueFd file(d);
        struct stat st;
        if (fstat(file.get(), &st) != 0) return GRFS_RC_IO_ERROR;
        if (st.st_size != 0 && ftruncate(file.get(), 0) != 0) {
            const int e = errno;
            DEBUG_PRINTF(DBG_CONFIG, "ftruncate(%s) failed. errno=%d\n", rec->full_path, e);
            return OpenErrnoToRetcode(e);
        }
        *fd = file.release();
        return 0;
    }

    // A read goes through links only with follow_symdirs, and then only
    // through links to directories on the way: the object's own name is
    // never followed. A link named by a file block is an object of its own
    // (its record is read, not its target), and following it would hand out
    // a file from anywhere a link in the export points to.
    //
    // What the block claims never opens anything: the object is first taken
    // without being opened, its true type decides, and only a regular file
    // or directory is then opened, as that same inode.
    OBJECT_PARENT parent;
    UniqueFd node;
    const LinkPolicy policy = ReadLinkPolicy(rec->dle);
    int err = OpenNode(rec, policy, false, &parent, &node);
    if (err != 0) return FailedOpen(rec, O_PATH | O_NOFOLLOW, err);
    // Reached through links: excluded by where it really is, too.
    if (policy != LinkPolicy::kNoLinks && parent.dir.valid() && IsExcludedAt(AttachmentWs(rec->dle), parent.dir.get(), parent.name)) {
        return GRFS_RC_NO_SUCH_FILE;
    }
    struct stat st;
    if (fstat(node.get(), &st) != 0) return GRFS_RC_IO_ERROR;
    if (S_ISLNK(st.st_mode)) {
        DEBUG_PRINTF(DBG_CONFIG, "OpenFileUnix: %s is a symbolic link, not followed\n", rec->full_path);
        return GRFS_RC_ACCESS_DENIED;
    }
    int rc = NonFileTypeResult(st.st_mode);
    if (rc >= 0) return rc;

    // O_NONBLOCK: nothing here may stall the session.
    const int flags = O_RDONLY | O_NONBLOCK;
    UniqueFd file(ReopenNode(rec, policy, node.get(), st, flags));
    if (!file.valid()) {
        const int e = errno;
        DEBUG_PRINTF(DBG_CONFIG, "open(%s, 0x%x, 0x%x) failed. errno=%d\n", rec->full_path,
                     static_cast<unsigned>(flags), static_cast<unsigned>(kCreatePermissions), e);
        if (e != EACCES) return OpenErrnoToRetcode(e);
        file.reset(PermissionRetry(rec, policy, node.get(), st, flags));
        if (!file.valid()) return GRFS_RC_ACCESS_DENIED;
    }
    SparseOpen(rec, &st);
    *data_size = U64_Init(static_cast<uint32_t>(static_cast<uint64_t>(st.st_size)),
                          static_cast<uint32_t>(static_cast<uint64_t>(st.st_size) >> 32));

    if (!ShouldLock(rec->dle, st, rec->full_path)) {
        DEBUG_PRINTF(DBG_CONFIG, "OpenFileUnix: Not locking file '%s'\n", rec->full_path);
    } else {
        int lock = LockFileUnix(file.get());
        if (lock != 0) {
            DEBUG_PRINTF(DBG_CONFIG, "OpenFileUnix: LockFileUnix for '%s' failed, ret_val=%d\n", rec->full_path,
                         lock);
            return GRFS_RC_INVALID_REQUEST;
        }
        DEBUG_PRINTF(DBG_CONFIG, "OpenFileUnix: LockFileUnix for '%s' succeeded\n", rec->full_path);
    }
    *fd = file.release();
    return 0;
}

int LockFileUnix(int fd) {
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (fcntl(fd, F_SETLK, &lock) != 0) {
        DEBUG_PRINTF(DBG_CONFIG, "LockFileUnix: fcntl(F_SETLK) failed, errno=%d\n", errno);
        return GRFS_RC_INVALID_REQUEST;
    }
    DEBUG_PRINTF(DBG_CONFIG, "LockFileUnix: fcntl(F_SETLK) success\n");
    return 0;
}

int CloseFileUnix(int fd) {
    if (close(fd) == 0) return 0;
    return errno == EBADF ? GRFS_RC_BAD_DESCRIPTOR : GRFS_RC_IO_ERROR;
}
