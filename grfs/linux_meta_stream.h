// The LXMD stream (docs/linux-metadata-stream.md): what an object's DBLK
// cannot hold of its Linux inode, its times to the nanosecond in UTC and the
// inode flags that lsattr shows. One fixed record, little-endian.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

constexpr uint32_t STRM_LINUX_META = 0x444D584C;  // "LXMD" on the wire
constexpr uint16_t kLinuxMetaVersion = 1;
constexpr size_t kLinuxMetaBytes = 32;
constexpr uint16_t kLinuxMetaHasFlags = 0x0001;  // the flags field holds the inode's flags

struct LINUX_META {
    int64_t mtime_sec = 0;
    uint32_t mtime_nsec = 0;
    int64_t atime_sec = 0;
    uint32_t atime_nsec = 0;
    bool has_flags = false;  // symbolic links and file systems without flags: none
    uint32_t flags = 0;      // FS_IOC_GETFLAGS bits
};

std::vector<unsigned char> EncodeLinuxMeta(const LINUX_META& meta);
// false for any other length, another version, unknown presence bits or
// nanoseconds of a second or more.
bool DecodeLinuxMeta(std::span<const unsigned char> bytes, LINUX_META* meta);

// The flags a restore sets and clears: those chattr changes. Others the
// file system reports (extents, inline data, ...) are its own business.
uint32_t RestorableInodeFlags();
// The flags that forbid changes of the object: set last, cleared first.
uint32_t LockingInodeFlags();
// "immutable,append-only": the names of the bits, unknown ones in hex.
std::string InodeFlagNames(uint32_t flags);
