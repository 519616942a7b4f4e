// Where each stream lies in an object's byte sequence: the data stream at 0,
// the EA stream behind it (at 0 for a directory), then the ACL stream when
// the object carries one, then the LXAT stream (unixfs/object_xattr.h),
// which starts at AclStreamEnd, then the LXMD stream
// (unixfs/object_linux_meta.h).
#pragma once

#include <cstdint>

#include "unixfs/file_memory.h"
#include "unixfs/object_linux_meta.h"
#include "unixfs/object_xattr.h"
#include "util/uint64.h"

constexpr uint64_t kAclCountBytes = 4;
constexpr uint64_t kAclEntryBytes = 12;

inline uint64_t AclStreamOffset(const FILE_MEMORY* rec) { return AsU64(rec->ea_offset) + AsU64(rec->ea_size); }
inline uint64_t AclStreamSize(const FILE_MEMORY* rec) {
    if (rec->acl_stream == 0) return 0;
    const uint64_t n = rec->sol_acl_cnt > 0 ? static_cast<uint64_t>(rec->sol_acl_cnt) : 0;
    return kAclCountBytes + kAclEntryBytes * n;
}
inline uint64_t AclStreamEnd(const FILE_MEMORY* rec) { return AclStreamOffset(rec) + AclStreamSize(rec); }

// The length of the whole byte sequence (total_size).
inline uint64_t ObjectTotalSize(const FILE_MEMORY* rec) {
    return AclStreamEnd(rec) + XattrStreamSize(rec) + LinuxMetaStreamSize(rec);
}
