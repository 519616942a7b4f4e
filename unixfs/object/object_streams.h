// Where each stream lies in an object's byte sequence: the data stream at 0,
// the EA stream behind it (at 0 for a directory), then the ACL stream when
// the object carries one, then the LXAT stream (unixfs/object/object_xattr.h),
// which starts at AclStreamEnd, then the LXMD stream
// (unixfs/object/object_linux_meta.h).
#pragma once

#include <cstdint>

#include "unixfs/object/file_memory.h"
#include "unixfs/object/object_linux_meta.h"
#include "unixfs/object/object_xattr.h"
#include "unixfs/object/stream_offsets.h"
#include "util/uint64.h"

// The length of the whole byte sequence (total_size).
inline uint64_t ObjectTotalSize(const FILE_MEMORY* rec) {
    return AclStreamEnd(rec) + XattrStreamSize(rec) + LinuxMetaStreamSize(rec);
}
