#include "unixfs/object_files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "grfs/messages.h"
#include "unixfs/attach_records.h"
#include "unixfs/file_memory.h"
#include "unixfs/object_describe.h"
#include "unixfs/object_location.h"
#include "unixfs/workstation.h"
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

// The open failed with EACCES: give the owner write permission for one more
// attempt, then put the permission bits back. The descriptor, or -1.
int PermissionRetry(const FILE_MEMORY* rec, const OBJECT_PARENT& parent, int flags) {
    struct stat st;
    if (fstatat(parent.dir.get(), parent.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISLNK(st.st_mode)) {
        return -1;
    }
    const mode_t before = st.st_mode & 07777;
    DEBUG_PRINTF(DBG_CONFIG, "chmod adding write permission to %s\n", rec->full_path);
    if (fchmodat(parent.dir.get(), parent.name.c_str(), before | S_IWUSR, AT_SYMLINK_NOFOLLOW) != 0) {
        DEBUG_PRINTF(DBG_CONFIG, "lchmod +w %s failed errno=%d\n", rec->full_path, errno);
        return -1;
    }
    DEBUG_PRINTF(DBG_CONFIG, "opening(%s, 0x%x, 0x%x) \n", rec->full_path, static_cast<unsigned>(flags),
                 static_cast<unsigned>(kCreatePermissions));
    int fd = openat(parent.dir.get(), parent.name.c_str(), flags, kCreatePermissions);
    if (fd < 0) {
        DEBUG_PRINTF(DBG_CONFIG, "open(%s, 0x%x, 0x%x) failed. errno=%d\n", rec->full_path,
                     static_cast<unsigned>(flags), static_cast<unsigned>(kCreatePermissions), errno);
    }
    DEBUG_PRINTF(DBG_CONFIG, "chmod restoring permissions\n");
    fchmodat(parent.dir.get(), parent.name.c_str(), before, AT_SYMLINK_NOFOLLOW);
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

}  // namespace

int OpenFileUnix(FILE_MEMORY* rec, uint16_t mode, int* fd, UINT64* data_size, UINT64* ea_size,
                 const UNIX_FILE_OS_INFO* info) {
    *fd = -1;
    *data_size = UINT64{};
    *ea_size = UINT64{};
    const bool reading = mode != OPEN_MODE_WRITE;
    // A change never goes through a link; a read only with follow_symdirs,
    // and then only through links to directories on the way: the object's
    // own name is never followed. A link named by a file block is an object
    // of its own (its record is read, not its target), and following it
    // would hand out a file from anywhere a link in the export points to.
    const LinkPolicy policy = reading ? ReadLinkPolicy() : LinkPolicy::kNoLinks;

    if (info != nullptr) {
        const mode_t type = info->st_mode & S_IFMT;
        if (type == S_IFLNK) {
            // Nothing to open: the link's record is made from readlink. The
            // estimate only sizes the EA buffer.
            const uint64_t estimate = (static_cast<uint64_t>(info->st_size.msw) << 32 | info->st_size.lsw) +
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

    UniqueFd file;
    if (reading && info != nullptr && policy == LinkPolicy::kNoLinks && rec->dle != nullptr && rec->dle->root_fd >= 0 &&
        rec->file_name != nullptr && rec->file_name[0] != '\0') {
        // A described file read without links: one call from the export
        // root, confined as the walk to its parent below is. A refusal by
        // permission goes the long way, which knows the retry.
        const int flags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
        file = OpenFileBeneath(rec->dle->root_fd, ObjectRelPath(rec), flags);
        if (!file.valid() && errno != EACCES && errno != ENOSYS) {
            const int e = errno;
            DEBUG_PRINTF(DBG_CONFIG, "open(%s, 0x%x, 0x%x) failed. errno=%d\n", rec->full_path,
                         static_cast<unsigned>(flags), static_cast<unsigned>(kCreatePermissions), e);
            return IsConfinementErrno(e) ? static_cast<int>(GRFS_RC_ACCESS_DENIED) : OpenErrnoToRetcode(e);
        }
    }
    if (!file.valid()) {
        OBJECT_PARENT parent;
        int err = OpenObjectParent(rec->dle, rec, policy, &parent);
        if (err != 0) {
            DEBUG_PRINTF(DBG_CONFIG, "open(%s) failed below the export root. errno=%d\n", rec->full_path, err);
            return IsConfinementErrno(err) ? static_cast<int>(GRFS_RC_ACCESS_DENIED) : OpenErrnoToRetcode(err);
        }

        if (info == nullptr && reading) {
            // Without the agent's information the type is unknown: look first, so
            // that a device is never opened, a FIFO never waited on, and a link
            // never followed.
            struct stat st;
            if (fstatat(parent.dir.get(), parent.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
                if (S_ISLNK(st.st_mode)) {
                    DEBUG_PRINTF(DBG_CONFIG, "OpenFileUnix: %s is a symbolic link, not followed\n", rec->full_path);
                    return GRFS_RC_ACCESS_DENIED;
                }
                int rc = NonFileTypeResult(st.st_mode);
                if (rc >= 0) return rc;
            }
            // A failed look leaves the verdict to the open.
        }
        if (!reading) {
            // What a restore writes into must be a regular file of the export:
            // a device node under the name would take the data into the device
            // itself, a FIFO or socket somewhere else again. Such a name is
            // never opened for writing.
            struct stat st;
            if (fstatat(parent.dir.get(), parent.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                !S_ISREG(st.st_mode)) {
                DEBUG_PRINTF(DBG_CONFIG, "OpenFileUnix: %s is no regular file (mode 0x%X), not opened for writing\n",
                             rec->full_path, static_cast<unsigned>(st.st_mode));
                return GRFS_RC_ACCESS_DENIED;
            }
        }

        // A write open empties the file, but not with O_TRUNC: truncating a file
        // that is already empty (the usual case, fresh from GRFS_CREATE_OBJ)
        // makes ext4 flush the whole file to disk when it is closed.
        int flags = reading ? O_RDONLY : (O_WRONLY | O_CREAT);
        // O_NONBLOCK: an object swapped for a FIFO must not stall the session.
        flags |= O_NONBLOCK | O_CLOEXEC;
        flags |= O_NOFOLLOW;
        int d = openat(parent.dir.get(), parent.name.c_str(), flags, kCreatePermissions);
        if (d < 0) {
            const int e = errno;
            DEBUG_PRINTF(DBG_CONFIG, "open(%s, 0x%x, 0x%x) failed. errno=%d\n", rec->full_path,
                         static_cast<unsigned>(flags), static_cast<unsigned>(kCreatePermissions), e);
            if (e != EACCES) return OpenErrnoToRetcode(e);
            d = PermissionRetry(rec, parent, flags);
            if (d < 0) return GRFS_RC_ACCESS_DENIED;
        }
        file.reset(d);
    }
    if (!reading) {
        struct stat st;
        if (fstat(file.get(), &st) != 0) return GRFS_RC_IO_ERROR;
        // Swapped for something else since the look above.
        if (!S_ISREG(st.st_mode)) return GRFS_RC_ACCESS_DENIED;
        if (st.st_size != 0 && ftruncate(file.get(), 0) != 0) {
            const int e = errno;
            DEBUG_PRINTF(DBG_CONFIG, "ftruncate(%s) failed. errno=%d\n", rec->full_path, e);
            return OpenErrnoToRetcode(e);
        }
        *fd = file.release();
        return 0;
    }

    struct stat st;
    if (fstat(file.get(), &st) != 0) return GRFS_RC_IO_ERROR;
    // The object may have changed since it was described.
    int rc = NonFileTypeResult(st.st_mode);
    if (rc >= 0) return rc;
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

namespace {

int16_t ReadErrnoToRetcode(int err) { return err == EIO ? GRFS_RC_IO_ERROR : GRFS_RC_ACCESS_DENIED; }

}  // namespace

int ReadFileUnix(int fd, uint64_t file_offset, unsigned char* dest, uint32_t* size) {
    const uint32_t asked = *size;
    DEBUG_PRINTF(DBG_DATA, "ReadFileUnix: calling read(0x%x, %d)\n", fd, static_cast<int>(asked));
    int ret = 0;
    ssize_t n = read(fd, dest, asked);
    if (n > 0) {
        *size = static_cast<uint32_t>(n);
    } else if (n == 0) {
        *size = 0;
        ret = GRFS_RC_END_OF_DATA;
    } else {
        DEBUG_PRINTF(DBG_DATA, "ReadFileUnix: read(1) failed, errno=%d\n", errno);
        ret = ReadErrnoToRetcode(errno);
        lseek(fd, static_cast<off_t>(file_offset), SEEK_SET);
        uint32_t done = 0;
        while (done < asked) {
            DEBUG_PRINTF(DBG_DATA, "ReadFileUnix: !done\n");
            const uint32_t piece = asked - done < kReadRetryPiece ? asked - done : kReadRetryPiece;
            ssize_t r = read(fd, dest + done, piece);
            if (r < 0) {
                DEBUG_PRINTF(DBG_DATA, "ReadFileUnix: read(2) failed, errno=%d\n", errno);
                ret = ReadErrnoToRetcode(errno);
                break;
            }
            if (r == 0) {
                ret = GRFS_RC_END_OF_DATA;
                break;
            }
            done += static_cast<uint32_t>(r);
        }
        *size = done;
    }
    DEBUG_PRINTF(DBG_DATA, "ReadFileUnix: ret_val=%d *size=%d\n", ret, static_cast<int>(*size));
    return ret;
}
