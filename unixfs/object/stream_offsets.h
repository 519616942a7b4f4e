// Where the streams before the LXAT stream lie in an object's byte sequence:
// the data stream at 0, the EA stream behind it, then the ACL stream when
// the object carries one. The LXAT stream starts at AclStreamEnd.
#pragma once

#include <cstdint>

#include "unixfs/object/file_memory.h"
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
