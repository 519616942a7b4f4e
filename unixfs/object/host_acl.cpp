#include "unixfs/object/host_acl.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <vector>

#include "unixfs/host/confined_path.h"

namespace {

// The kernel's form of a POSIX ACL in the system.posix_acl_* attributes:
// a little-endian version word, then {u16 tag, u16 perm, u32 id} entries.
constexpr const char* kAccessName = "system.posix_acl_access";
constexpr const char* kDefaultName = "system.posix_acl_default";
constexpr uint32_t kXattrVersion = 2;
constexpr size_t kXattrHeader = 4;
constexpr size_t kXattrEntry = 8;
constexpr uint32_t kUndefinedId = 0xFFFFFFFF;
// Linux tags; every one equals the entry type of the same kind except the
// mask, which is CLASS_OBJ's value as well (0x10), so one number serves both.
constexpr uint16_t kTagMask = 0x10;

uint32_t GetLe(const unsigned char* p, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

void PutLe(unsigned char* p, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

int KindRank(int32_t type) {
    switch (type & ~DEF_ACL_BIT) {
    case USER_OBJ: return 0;
    case USER: return 1;
    case GROUP_OBJ: return 2;
    case GROUP: return 3;
    case CLASS_OBJ: return 4;
    default: return 5;
    }
}

bool EntryBefore(const SOL_ACL_ENTRY& a, const SOL_ACL_ENTRY& b) {
    const bool a_def = (a.a_type & DEF_ACL_BIT) != 0;
    const bool b_def = (b.a_type & DEF_ACL_BIT) != 0;
    if (a_def != b_def) return b_def;
    if (KindRank(a.a_type) != KindRank(b.a_type)) return KindRank(a.a_type) < KindRank(b.a_type);
    return a.a_id < b.a_id;
}

SOL_ACL_ENTRY Entry(int32_t type, uint32_t id, uint32_t perm) {
    return SOL_ACL_ENTRY{type, id, static_cast<uint16_t>(perm & 7), 0};
}

// One system.posix_acl_* attribute of the object; false with errno when it
// cannot be read (ENODATA: the object has none).
bool ReadXattr(int fd, const char* name, std::vector<unsigned char>* out) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        ssize_t n = fgetxattr(fd, name, nullptr, 0);
        // An O_PATH descriptor has no attribute calls of its own; its /proc
        // entry leads to the same inode.
        const bool by_path = n < 0 && errno == EBADF;
        if (by_path) n = getxattr(FdPath(fd).c_str(), name, nullptr, 0);
        if (n < 0) return false;
        out->resize(static_cast<size_t>(n));
        ssize_t got = by_path ? getxattr(FdPath(fd).c_str(), name, out->data(), out->size())
                              : fgetxattr(fd, name, out->data(), out->size());
        if (got >= 0) {
            out->resize(static_cast<size_t>(got));
            return true;
        }
        if (errno != ERANGE) return false;  // ERANGE: it grew meanwhile
    }
    return false;
}

int WriteXattr(int fd, const char* name, const std::vector<unsigned char>& value) {
    int rc = fsetxattr(fd, name, value.data(), value.size(), 0);
    if (rc != 0 && errno == EBADF) rc = setxattr(FdPath(fd).c_str(), name, value.data(), value.size(), 0);
    return rc;
}

// Removing what is not there (or cannot be there) succeeds.
int RemoveXattr(int fd, const char* name) {
    int rc = fremovexattr(fd, name);
    if (rc != 0 && errno == EBADF) rc = removexattr(FdPath(fd).c_str(), name);
    if (rc != 0 && (errno == ENODATA || errno == EOPNOTSUPP)) rc = 0;
    return rc;
}

// No ACL of this kind (ENODATA), or a file system without ACLs.
bool IsAbsentAcl(int err) { return err == EOPNOTSUPP || err == ENODATA; }

// Appends the entries of one attribute value (def: DEF_ACL_BIT or 0). A
// value without a mask gets CLASS_OBJ with the group's bits, as a host
// whose ACLs always carry one sends it. false for a malformed value.
bool AppendFromXattr(const std::vector<unsigned char>& v, int32_t def, const struct stat& st,
                     std::vector<SOL_ACL_ENTRY>* out) {
    if (v.size() < kXattrHeader || (v.size() - kXattrHeader) % kXattrEntry != 0) return false;
    if (GetLe(v.data(), 4) != kXattrVersion) return false;
    bool has_mask = false;
    uint32_t group_perm = 0;
    for (size_t at = kXattrHeader; at < v.size(); at += kXattrEntry) {
        const uint16_t tag = static_cast<uint16_t>(GetLe(&v[at], 2));
        const uint32_t perm = GetLe(&v[at + 2], 2);
        uint32_t id = GetLe(&v[at + 4], 4);
        switch (tag) {
        case USER_OBJ: id = st.st_uid; break;
        case GROUP_OBJ: id = st.st_gid; group_perm = perm; break;
        case USER:
        case GROUP: break;
        case kTagMask: id = 0; has_mask = true; break;
        case OTHER_OBJ: id = 0; break;
        default: return false;
        }
        out->push_back(Entry(def | tag, id, perm));
    }
    if (!has_mask) out->push_back(Entry(def | CLASS_OBJ, 0, group_perm));
    return true;
}

void AppendFromMode(const struct stat& st, std::vector<SOL_ACL_ENTRY>* out) {
    out->push_back(Entry(USER_OBJ, st.st_uid, st.st_mode >> 6));
    out->push_back(Entry(GROUP_OBJ, st.st_gid, st.st_mode >> 3));
    out->push_back(Entry(CLASS_OBJ, 0, st.st_mode >> 3));
    out->push_back(Entry(OTHER_OBJ, 0, st.st_mode));
}

int Collect(int fd, std::vector<SOL_ACL_ENTRY>* out) {
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    std::vector<unsigned char> value;
    if (ReadXattr(fd, kAccessName, &value)) {
        if (!AppendFromXattr(value, 0, st, out)) {
            errno = EINVAL;
            return -1;
        }
    } else if (IsAbsentAcl(errno)) {
        AppendFromMode(st, out);
    } else {
        return -1;
    }
    if (S_ISDIR(st.st_mode)) {
        value.clear();
        if (ReadXattr(fd, kDefaultName, &value)) {
            if (!value.empty() && !AppendFromXattr(value, DEF_ACL_BIT, st, out)) {
                errno = EINVAL;
                return -1;
            }
        } else if (!IsAbsentAcl(errno)) {
            return -1;
        }
    }
    std::stable_sort(out->begin(), out->end(), EntryBefore);
    return 0;
}

// The attribute value of one set of entries (access or default, without
// DEF_ACL_BIT). A CLASS_OBJ that only repeats the group's bits where no
// named entry needs a mask is left out: the kernel keeps such an ACL as
// the mode alone, and a default ACL stays as it was made.
std::vector<unsigned char> ToXattr(const std::vector<SOL_ACL_ENTRY>& set) {
    bool named = false;
    uint16_t group_perm = 0xFFFF;
    for (const auto& e : set) {
        if (e.a_type == USER || e.a_type == GROUP) named = true;
        if (e.a_type == GROUP_OBJ) group_perm = e.a_perm & 7;
    }
    std::vector<unsigned char> v(kXattrHeader);
    PutLe(v.data(), kXattrVersion, 4);
    for (const auto& e : set) {
        if (e.a_type == CLASS_OBJ && !named && (e.a_perm & 7) == group_perm) continue;
        const bool has_id = e.a_type == USER || e.a_type == GROUP;
        unsigned char raw[kXattrEntry];
        PutLe(raw, static_cast<uint32_t>(e.a_type), 2);
        PutLe(raw + 2, e.a_perm & 7u, 2);
        PutLe(raw + 4, has_id ? e.a_id : kUndefinedId, 4);
        v.insert(v.end(), raw, raw + kXattrEntry);
    }
    return v;
}

// Only the four base entries, with the class equal to the group: no
// extended ACL.
bool IsBaseOnly(const std::vector<SOL_ACL_ENTRY>& set) {
    int seen = 0;
    uint16_t group = 0, cls = 0;
    for (const auto& e : set) {
        switch (e.a_type) {
        case USER_OBJ: seen |= 1; break;
        case GROUP_OBJ: seen |= 2; group = e.a_perm & 7; break;
        case CLASS_OBJ: seen |= 4; cls = e.a_perm & 7; break;
        case OTHER_OBJ: seen |= 8; break;
        default: return false;
        }
    }
    return set.size() == 4 && seen == 15 && group == cls;
}

// What the kernel accepts as one ACL (access or default, without
// DEF_ACL_BIT): one owner, owning-group and other entry, at most one mask,
// a mask wherever there is a named entry, no name twice and no id that
// names nobody. Checked for both parts before either is set, so that a
// part the kernel would refuse leaves the object as it was.
bool ValidSet(const std::vector<SOL_ACL_ENTRY>& set) {
    int owner = 0, group = 0, other = 0, mask = 0, named = 0;
    for (size_t i = 0; i < set.size(); ++i) {
        const SOL_ACL_ENTRY& e = set[i];
        switch (e.a_type) {
        case USER_OBJ: ++owner; break;
        case GROUP_OBJ: ++group; break;
        case OTHER_OBJ: ++other; break;
        case CLASS_OBJ: ++mask; break;
        case USER:
        case GROUP:
            ++named;
            if (e.a_id == kUndefinedId) return false;
            // Sorted: the same name twice stands side by side.
            if (i > 0 && set[i - 1].a_type == e.a_type && set[i - 1].a_id == e.a_id) return false;
            break;
        default: return false;
        }
    }
    return owner == 1 && group == 1 && other == 1 && mask <= 1 && (named == 0 || mask == 1);
}

// The access ACL of a sorted, valid set: none beyond the mode for the
// base entries alone, else the attribute.
int SetAccess(int fd, const struct stat& st, const std::vector<SOL_ACL_ENTRY>& access) {
    if (!IsBaseOnly(access)) return WriteXattr(fd, kAccessName, ToXattr(access));
    if (RemoveXattr(fd, kAccessName) != 0) return -1;
    mode_t mode = st.st_mode & 07000;
    for (const auto& e : access) {
        if (e.a_type == USER_OBJ) mode |= static_cast<mode_t>(e.a_perm & 7) << 6;
        if (e.a_type == GROUP_OBJ) mode |= static_cast<mode_t>(e.a_perm & 7) << 3;
        if (e.a_type == OTHER_OBJ) mode |= e.a_perm & 7;
    }
    if ((st.st_mode & 07777) != mode && chmod(FdPath(fd).c_str(), mode) != 0) return -1;
    return 0;
}

// Puts back the access ACL and mode a directory had before a failed set
// (had_acl: its attribute was old). false when that failed too.
bool PutBackAccess(int fd, const struct stat& st, bool had_acl, const std::vector<unsigned char>& old) {
    const int rc = had_acl ? WriteXattr(fd, kAccessName, old) : RemoveXattr(fd, kAccessName);
    // Setting or removing the attribute moves the mode's permission bits.
    const bool mode_back = chmod(FdPath(fd).c_str(), st.st_mode & 07777) == 0;
    return rc == 0 && mode_back;
}

// The directory's access ACL and mode are what they were (when putting
// them back failed, a set that failed at its first step changed nothing).
bool AccessAsBefore(int fd, const struct stat& st, bool had_acl, const std::vector<unsigned char>& old) {
    struct stat now;
    if (fstat(fd, &now) != 0 || (now.st_mode & 07777) != (st.st_mode & 07777)) return false;
    std::vector<unsigned char> value;
    if (ReadXattr(fd, kAccessName, &value)) return had_acl && value == old;
    return !had_acl && IsAbsentAcl(errno);
}

int Apply(int fd, int n, const SOL_ACL_ENTRY* entries) {
    std::vector<SOL_ACL_ENTRY> access, defaults;
    for (int i = 0; i < n; ++i) {
        SOL_ACL_ENTRY e = entries[i];
        const bool def = (e.a_type & DEF_ACL_BIT) != 0;
        e.a_type &= ~DEF_ACL_BIT;
        if (KindRank(e.a_type) == 5 && e.a_type != OTHER_OBJ) {
            errno = EINVAL;
            return -1;
        }
        (def ? defaults : access).push_back(e);
    }
    std::stable_sort(access.begin(), access.end(), EntryBefore);
    std::stable_sort(defaults.begin(), defaults.end(), EntryBefore);
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    const bool dir = S_ISDIR(st.st_mode);
    if ((!defaults.empty() && !dir) || !ValidSet(access) || (!defaults.empty() && !ValidSet(defaults))) {
        errno = EINVAL;
        return -1;
    }
    if (!dir) return SetAccess(fd, st, access);

    // A directory's two parts are set together or not at all: what the
    // access ACL was is kept until the default ACL has been set too.
    std::vector<unsigned char> old;
    const bool had_acl = ReadXattr(fd, kAccessName, &old);
    if (!had_acl && !IsAbsentAcl(errno)) return -1;
    int rc = SetAccess(fd, st, access);
    if (rc == 0) rc = defaults.empty() ? RemoveXattr(fd, kDefaultName) : WriteXattr(fd, kDefaultName, ToXattr(defaults));
    if (rc == 0) return 0;
    const int err = errno;
    const bool put_back = PutBackAccess(fd, st, had_acl, old) || AccessAsBefore(fd, st, had_acl, old);
    errno = err;
    return put_back ? -1 : kAclHalfSet;
}

}  // namespace

int facl(int fd, int cmd, int nentries, SOL_ACL_ENTRY* aclbufp) {
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    if (cmd == SETACL) {
        if (nentries < 0 || (nentries > 0 && aclbufp == nullptr)) {
            errno = EINVAL;
            return -1;
        }
        return Apply(fd, nentries, aclbufp);
    }
    if (cmd != GETACL && cmd != GETACLCNT) {
        errno = EINVAL;
        return -1;
    }
    std::vector<SOL_ACL_ENTRY> entries;
    if (Collect(fd, &entries) != 0) return -1;
    const int count = static_cast<int>(entries.size());
    if (cmd == GETACLCNT) return count;
    if (count > nentries) {
        errno = ENOSPC;
        return -1;
    }
    std::copy(entries.begin(), entries.end(), aclbufp);
    return count;
}
