#include "unixfs/object/object_acl.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

#include "grfs/messages.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/object/host_acl.h"
#include "unixfs/object/object_location.h"
#include "unixfs/object/object_streams.h"
#include "unixfs/object/stream_budget.h"
#include "unixfs/session/workstation.h"
#include "util/alloc.h"
#include "util/console.h"
#include "util/debug_print.h"

namespace {

// The longest ACL stream one write request can carry: a count that needs
// more can never arrive whole.
constexpr uint64_t kMaxAclStreamBytes = static_cast<uint64_t>(GRFS_MSG_DATA_MAX);

void Advance(UINT64* pos, uint32_t count) { *pos = ToU64(AsU64(*pos) + count); }

int MisSized(const FILE_MEMORY* rec) { return rec->session->ws->ignore_acl_errors != 0 ? 0 : GRFS_RC_ACCESS_DENIED; }

// Room for n entries in sol_acls. false when memory runs out (the record
// then has no room at all).
bool GrowAclSpace(FILE_MEMORY* rec, int32_t n, int* old_space) {
    *old_space = rec->sol_acl_space;
    if (n <= rec->sol_acl_space) return true;
    auto* grown = static_cast<SOL_ACL_ENTRY*>(MYCALLOC(static_cast<size_t>(n), sizeof(SOL_ACL_ENTRY)));
    if (grown == nullptr) {
        rec->sol_acl_space = 0;
        return false;
    }
    if (rec->sol_acls != nullptr) MYFREE(rec->sol_acls);
    rec->sol_acls = grown;
    rec->sol_acl_space = n;
    return true;
}

// The object's path as the traces name it.
const char* TracePath(const FILE_MEMORY* rec) { return rec->full_path[0] != '\0' ? rec->full_path : "/"; }

// A descriptor of what stands at a file object's name when nothing was
// opened (links, devices), never following the name itself. *is_link tells
// a symbolic link. 0 or the errno.
int OpenNodeAtName(const FILE_MEMORY* rec, UniqueFd* node, bool* is_link) {
    OBJECT_PARENT parent;
    int err = OpenObjectParent(rec->dle, rec, ReadLinkPolicy(rec->dle), &parent);
    if (err != 0) return err;
    node->reset(openat(parent.dir.get(), parent.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!node->valid()) return errno;
    struct stat st;
    if (fstat(node->get(), &st) != 0) return errno;
    *is_link = S_ISLNK(st.st_mode);
    return 0;
}

}  // namespace

void MarkAclStream(FILE_MEMORY* rec) {
    rec->acl_stream = rec->session->ws->posix_acls != 0 ? 1 : 0;
    rec->sol_acl_cnt = 0;
}

int CollectObjectAcl(FILE_MEMORY* rec, bool dir) {
    rec->sol_acl_cnt = 0;
    if (rec->acl_stream == 0) return 0;
    const char* path = TracePath(rec);
    const char* who = dir ? "Unix_OpenDir" : "Unix_Openfile";  // traces name the open

    UniqueFd node;
    int fd = rec->data_hand;
    int node_err = 0;
    if (dir) {
        node = rec->dle->root_fd >= 0 ? OpenDirBeneath(rec->dle->root_fd, ObjectRelPath(rec), ReadLinkPolicy(rec->dle))
                                      : UniqueFd();
        if (!node.valid()) node_err = rec->dle->root_fd >= 0 ? errno : EBADF;
        fd = node.get();
    } else if (fd < 0) {
        bool is_link = false;
        node_err = OpenNodeAtName(rec, &node, &is_link);
        if (node_err == 0 && is_link) return 0;  // a link's record has no entries
        fd = node.get();
    }
    if (node_err != 0) {
        DEBUG_PRINTF(DBG_CONFIG,
                     "Unix_Openfile: symlink determination lstat(%s) failed, errno=%d, proceeding with Sol acl "
                     "acquisition\n",
                     path, node_err);
    }

    int err = 0;
    int n = node_err == 0 ? facl(fd, GETACLCNT, 0, nullptr) : -1;
    if (n < 0) err = node_err != 0 ? node_err : errno;
    rec->sol_acl_cnt = n;
    DEBUG_PRINTF(DBG_CONFIG, "%s: Sol acl(%s,GETACLCNT)==%d\n", who, path, n);
    if (n > 0) {
        int old_space = 0;
        const bool grew = n > rec->sol_acl_space;
        if (!GrowAclSpace(rec, n, &old_space)) {
            DEBUG_PRINTF(DBG_CONFIG, "%s: out of memory allocating %d Solaris acl entries\n", who, n);
        } else if (grew) {
            DEBUG_PRINTF(DBG_CONFIG, "%s: increased entry space for Solaris acls from %d to %d\n", who, old_space, n);
        }
        const int m = rec->sol_acl_space > 0 ? facl(fd, GETACL, rec->sol_acl_space, rec->sol_acls) : 0;
        rec->sol_acl_cnt = m;
        if (m > 0) {
            DEBUG_PRINTF(DBG_CONFIG, "%s: Sol acls returned = %d\n", who, m);
        } else if (m == 0) {
            DEBUG_PRINTF(DBG_CONFIG, "%s: no acls available from Sol acl(%s,GETACL)\n", who, path);
        } else {
            err = errno;
            rec->sol_acl_cnt = 0;
            DEBUG_PRINTF(DBG_CONFIG, "%s: Sol acl(%s,GETACL) failed, errno=%d\n", who, path, err);
        }
    } else if (n == 0) {
        DEBUG_PRINTF(DBG_CONFIG, "%s: no acls available from Sol acl(%s,GETACLCNT)\n", who, path);
    } else {
        rec->sol_acl_cnt = 0;
        if (dir) {
            DEBUG_PRINTF(DBG_CONFIG, "Unix_OpenDir: Sol acl(%s,GETACLCNT) failed, errno=%d\n", path, err);
        } else {
            DEBUG_PRINTF(DBG_CONFIG, "Unix_Openfile: sol acl(%s,GETACLCNT) failed, errno=%d\n", path, err);
        }
    }
    // The access rule: an ACL that may not be read makes the object
    // unreadable, unless the administrator said to carry on without it.
    if ((err == ENOENT || err == EACCES) && rec->session->ws->ignore_acl_errors == 0 &&
        (dir || rec->full_path[0] != '\0')) {
        DEBUG_PRINTF(DBG_CONFIG, "returning: fs access denied\n");
        return GRFS_RC_ACCESS_DENIED;
    }
    return 0;
}

int ReadAclStream(FILE_MEMORY* rec, bool dir, uint32_t* size, uint32_t* blk_size, unsigned char* dest) {
    const uint32_t asked = *size;
    *size = 0;
    if (rec->acl_stream == 0 || AsU64(rec->obj_pos) != AclStreamOffset(rec)) return GRFS_RC_END_OF_DATA;
    const int32_t count = rec->sol_acl_cnt > 0 ? rec->sol_acl_cnt : 0;
    const char* reader = dir ? "UnixReadDir" : "UnixReadFile";
    DEBUG_PRINTF(DBG_DATA, "%s: reading Sol acl data, acl count = %d\n", reader, count);
    const uint32_t need = static_cast<uint32_t>(AclStreamSize(rec));
    if (asked < need) {
        // The stream goes out whole: the server asks again with room for it.
        rec->session->ws->processingAcl = 1;
        *blk_size = need;
        DEBUG_PRINTF(DBG_DATA, "%s: buffer(%d) not large enough, setting blk_size=%d\n", reader,
                     static_cast<int>(asked), static_cast<int>(need));
        return 0;
    }
    DEBUG_PRINTF(DBG_DATA, "read_size=%d\n", static_cast<int>(need));
    std::memcpy(dest, &count, kAclCountBytes);
    if (count > 0) std::memcpy(dest + kAclCountBytes, rec->sol_acls, kAclEntryBytes * static_cast<size_t>(count));
    *size = need;
    return 0;
}

namespace {

// An ACL the object did not take is said on the console; the server is
// not told (the stream's rule), so this is the only word of it.
void ReportNotSet(FILE_MEMORY* rec, int rc, int err) {
    ConsoleRepeats* repeats = rec->session != nullptr ? &rec->session->console_repeats : nullptr;
    if (rc == kAclHalfSet) {
        ConsoleMessage(repeats, "Restore of %s: ACL not set, and its old access ACL not put back: %s.\n",
                       TracePath(rec), std::strerror(err));
    } else {
        ConsoleMessage(repeats, "Restore of %s: ACL not set: %s.\n", TracePath(rec), std::strerror(err));
    }
}

void ApplyToFile(FILE_MEMORY* rec, int32_t n) {
    // Applied to the descriptor the restore holds; a link or device has
    // none, and for them this fails as it must.
    const int rc = facl(rec->data_hand, SETACL, n, rec->sol_acls);
    const int err = rc != 0 ? errno : 0;
    if (rc != 0) rec->sol_acl_cnt = 0;
    DEBUG_PRINTF(DBG_DATA,
                 "STRM_SOL_ACL/STRM_SOLX86_ACL: file facl(%d) rc=%d (0=success), errno=%d (failure normal for "
                 "symlinks due to deferral)\n",
                 rec->data_hand, rc, err);
    if (rc != 0 && rec->data_hand >= 0) ReportNotSet(rec, rc, err);
}

// True when dir is the export root the attachment holds.
bool IsExportRoot(const DRVDLE* drvdle, int dir) {
    struct stat root;
    struct stat here;
    return fstat(drvdle->root_fd, &root) != 0 || fstat(dir, &here) != 0 ||
           (root.st_dev == here.st_dev && root.st_ino == here.st_ino);
}

// 0, or -486 when the attachment the directory was opened through has
// been detached: the directory can no longer be reached below its export.
int ApplyToDirectory(FILE_MEMORY* rec, int32_t n) {
    const DRVDLE* drvdle = rec->dle;
    if (drvdle == nullptr) {
        DEBUG_PRINTF(DBG_DATA, "STRM_SOL_ACL/STRM_SOLX86_ACL: dir acl(%s) not set: its DLE was detached\n",
                     TracePath(rec));
        return GRFS_RC_BAD_DLE_HANDLE;
    }
    // By the directory's path, resolved below the export root without
    // passing a link.
    const char* path = rec->full_path[0] != '\0'             ? rec->full_path
                       : drvdle->dle->export_path[0] != '\0' ? drvdle->dle->export_path
                                                             : "/";
    int rc = -1;
    int err = EBADF;
    if (drvdle->root_fd >= 0) {
        UniqueFd dir = OpenDirBeneath(drvdle->root_fd, ObjectRelPath(rec), LinkPolicy::kNoLinks);
        // A restore never changes the export root, whatever name leads to
        // it, as set-information and the LXAT stream leave it alone.
        if (dir.valid() && IsExportRoot(drvdle, dir.get())) {
            DEBUG_PRINTF(DBG_DATA, "STRM_SOL_ACL/STRM_SOLX86_ACL: not setting acl for root dir (%s)\n", path);
            return 0;
        }
        rc = dir.valid() ? facl(dir.get(), SETACL, n, rec->sol_acls) : -1;
        err = rc != 0 ? errno : 0;
    }
    if (rc != 0) rec->sol_acl_cnt = 0;
    DEBUG_PRINTF(DBG_DATA,
                 "STRM_SOL_ACL/STRM_SOLX86_ACL: dir acl(%s,SETACL) rc=%d errno=%d (failure normal for symlinks due "
                 "to deferral)\n",
                 path, rc, err);
    if (rc != 0) ReportNotSet(rec, rc, err);
    return 0;
}

// The stream arrived whole, size bytes holding n entries: keep them and
// apply them. A failure to apply is traced, not reported.
int TakeWholeStream(FILE_MEMORY* rec, const unsigned char* data, uint32_t size, int32_t n, bool dir,
                    uint32_t* count) {
    const char* writer = dir ? "Unix_WriteDir" : "Unix_WriteFile";
    DEBUG_PRINTF(DBG_DATA, "%s: STRM_SOL_ACL/STRM_SOLX86_ACL *size=%d sol_acl_cnt=%d\n", writer, static_cast<int>(size),
                 n);
    rec->sol_acl_cnt = n;
    int old_space = 0;
    const bool grew = n > rec->sol_acl_space;
    // Room for more entries than the record had counts against the
    // session's budget for collected streams until the object's close.
    const uint64_t more = grew ? kAclEntryBytes * static_cast<uint64_t>(n - rec->sol_acl_space) : 0;
    if (!TakeStreamBytes(rec, more)) {
        rec->sol_acl_cnt = 0;
        DEBUG_PRINTF(DBG_DATA, "%s: the session's %d MiB for collected streams are taken.  Not restoring acls\n",
                     writer, static_cast<int>(kStreamBudgetBytes >> 20));
        return GRFS_RC_NO_MEMORY;
    }
    if (!GrowAclSpace(rec, n, &old_space)) {
        GiveBackStreamBytes(rec, more);
        rec->sol_acl_cnt = 0;
        DEBUG_PRINTF(DBG_DATA, "%s: out of memory allocating %d Solaris acl entries.  Not restoring acls\n", writer, n);
        return MisSized(rec);
    }
    if (grew) {
        DEBUG_PRINTF(DBG_DATA, "%s: increased entry space for Solaris acls from %d to %d\n", writer, old_space, n);
    }
    *count = size;
    if (n == 0) {
        DEBUG_PRINTF(DBG_DATA, "STRM_SOL_ACL/STRM_SOLX86_ACL: no %s acls to write\n", dir ? "dir" : "file");
        return 0;
    }
    std::memcpy(rec->sol_acls, data + kAclCountBytes, kAclEntryBytes * static_cast<size_t>(n));
    if (dir) {
        const int rc = ApplyToDirectory(rec, n);
        if (rc != 0) {
            *count = 0;
            return rc;
        }
    } else {
        ApplyToFile(rec, n);
    }
    Advance(&rec->obj_pos, size);
    return 0;
}

}  // namespace

int WriteFileAclStream(FILE_MEMORY* rec, const unsigned char* data, uint32_t* count, uint32_t* blk_size) {
    const uint32_t size = *count;
    *count = 0;
    *blk_size = 1;
    if (size < kAclCountBytes) {
        DEBUG_PRINTF(DBG_DATA,
                     "Unix_WriteFile: STRM_SOL_ACL/STRM_SOLX86_ACL *size-4(%d) too small.  Requesting more.\n",
                     static_cast<int>(size) - 4);
        *blk_size = kAclCountBytes;
        return 0;
    }
    int32_t n = 0;
    std::memcpy(&n, data, sizeof n);
    const uint64_t need = kAclCountBytes + kAclEntryBytes * static_cast<uint32_t>(n);
    if (n >= 0 && need <= kMaxAclStreamBytes && size < need) {
        DEBUG_PRINTF(DBG_DATA,
                     "Unix_WriteFile: STRM_SOL_ACL/STRM_SOLX86_ACL *size(%d) below 4+sol_acl_cnt*acl_size(%d).  "
                     "Requesting more.\n",
                     static_cast<int>(size), static_cast<int>(need));
        *blk_size = static_cast<uint32_t>(need);
        return 0;
    }
    // A count that no request could carry is as mis-sized as too many bytes.
    if (n < 0 || size != need) {
        DEBUG_PRINTF(DBG_DATA, "Unix_WriteFile: STRM_SOL_ACL/STRM_SOLX86_ACL *size(%d) != 4+sol_acl_cnt*acl_size(%d)\n",
                     static_cast<int>(size), static_cast<int>(need));
        return MisSized(rec);
    }
    return TakeWholeStream(rec, data, size, n, false, count);
}

int WriteDirAclStream(FILE_MEMORY* rec, const unsigned char* data, uint32_t* count, uint32_t* blk_size) {
    const uint32_t size = *count;
    *count = 0;
    *blk_size = 1;
    int32_t n = 0;
    if (size >= kAclCountBytes) std::memcpy(&n, data, sizeof n);
    const uint64_t need = kAclCountBytes + kAclEntryBytes * static_cast<uint32_t>(n);
    if (size < kAclCountBytes || n < 0 || size != need) {
        DEBUG_PRINTF(DBG_DATA, "Unix_WriteDir: STRM_SOL_ACL/STRM_SOLX86_ACL *size-4(%d) != sol_acl_cnt*acl_size(%d)\n",
                     static_cast<int>(size) - 4, static_cast<int>(need - kAclCountBytes));
        return MisSized(rec);
    }
    return TakeWholeStream(rec, data, size, n, true, count);
}
