// The ACL stream of an object (configuration keyword posix_acls): its
// entries are collected when the object is opened for reading, handed out
// whole by a read, and applied when a restore writes the stream.
#pragma once

#include <cstdint>

#include "unixfs/object/file_memory.h"

// Whether objects opened now carry the ACL stream; kept in the record at
// every open.
void MarkAclStream(FILE_MEMORY* rec);

// Collects the ACL of a file object (dir false; its descriptor, or the node
// at its name when nothing was opened) or of a directory object into
// sol_acls / sol_acl_cnt. A symbolic link has none. 0, or -507 when the ACL
// cannot be read for ENOENT or EACCES and ignore_acl_errors is off.
int CollectObjectAcl(FILE_MEMORY* rec, bool dir);

// The ACL record (count, entries) when obj_pos is at the ACL stream: the
// whole stream or, when *size is too small for it, nothing with *blk_size
// set to its length (and the session's processingAcl set). 0 with *size
// delivered, or -500 when obj_pos is not at the ACL stream.
int ReadAclStream(FILE_MEMORY* rec, bool dir, uint32_t* size, uint32_t* blk_size, unsigned char* dest);

// A write of the ACL stream into a file or directory object; count in,
// consumed out; blk_size as for any stream write. The stream must arrive
// whole in one request.
int WriteFileAclStream(FILE_MEMORY* rec, const unsigned char* data, uint32_t* count, uint32_t* blk_size);
int WriteDirAclStream(FILE_MEMORY* rec, const unsigned char* data, uint32_t* count, uint32_t* blk_size);
