// The host's access-control-list interface as the object handlers use it:
// counting, reading and setting an object's ACL entries in the 12-byte
// entry form that the ACL stream carries. On Linux the entries are made from
// and turned into the POSIX ACL of the object (its access ACL and, for a
// directory, its default ACL); the mask entry is CLASS_OBJ.
#pragma once

#include <bit>
#include <cstdint>

#include "unixfs/object/file_memory.h"

// Commands of facl.
constexpr int GETACL = 1;
constexpr int SETACL = 2;
constexpr int GETACLCNT = 3;

// Entry types; a directory's default entries add DEF_ACL_BIT.
constexpr int32_t USER_OBJ = 0x01;
constexpr int32_t USER = 0x02;
constexpr int32_t GROUP_OBJ = 0x04;
constexpr int32_t GROUP = 0x08;
constexpr int32_t CLASS_OBJ = 0x10;
constexpr int32_t OTHER_OBJ = 0x20;
constexpr int32_t DEF_ACL_BIT = 0x1000;

// The ACL stream id tells the reader the byte order of its counters and
// entries: this host's id, and the label its traces use.
constexpr bool kAclHostLittleEndian = std::endian::native == std::endian::little;
constexpr uint32_t kHostAclStream = kAclHostLittleEndian ? STRM_SOLX86_ACL : STRM_SOL_ACL;
constexpr const char* kHostAclLabel = kAclHostLittleEndian ? "x86" : "Sparc";

// The ACL of the object that fd holds (an O_PATH descriptor will do):
// GETACLCNT returns the number of entries, GETACL fills at most nentries
// entries and returns their number (-1 with ENOSPC when they do not fit),
// SETACL sets the object's ACL from nentries entries and returns 0. -1 and
// errno on failure. An object without an extended ACL, or on a file system
// without ACL support, reads as its four base entries made from its mode.
// A set of only the four base entries whose CLASS_OBJ equals GROUP_OBJ
// removes any extended ACL; a directory given no default entries loses its
// default ACL. A set changes nothing unless all of it can be set (a
// directory's access and default ACL alike); it returns kAclHalfSet, errno
// telling why, in the rare case where the old access ACL could not be put
// back after its default ACL was refused.
constexpr int kAclHalfSet = -2;
int facl(int fd, int cmd, int nentries, SOL_ACL_ENTRY* aclbufp);
