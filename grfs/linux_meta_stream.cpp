#include "grfs/linux_meta_stream.h"

#include <cstdio>
#include <linux/fs.h>

namespace {

void PutLe(unsigned char* p, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint64_t GetLe(const unsigned char* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

struct FlagName {
    uint32_t bit;
    const char* name;
};
// lsattr's letters in brackets.
constexpr FlagName kFlagNames[] = {
    {FS_SECRM_FL, "secure-deletion"},        // s
    {FS_UNRM_FL, "undelete"},                // u
    {FS_COMPR_FL, "compress"},               // c
    {FS_SYNC_FL, "sync"},                    // S
    {FS_IMMUTABLE_FL, "immutable"},          // i
    {FS_APPEND_FL, "append-only"},           // a
    {FS_NODUMP_FL, "no-dump"},               // d
    {FS_NOATIME_FL, "no-atime"},             // A
    {FS_DIRTY_FL, "compress-dirty"},         // Z
    {FS_COMPRBLK_FL, "compressed-clusters"}, // B
    {FS_NOCOMP_FL, "no-compress"},           // m
    {FS_ENCRYPT_FL, "encrypted"},            // E
    {FS_INDEX_FL, "indexed"},                // I
    {FS_IMAGIC_FL, "imagic"},
    {FS_JOURNAL_DATA_FL, "journal-data"},    // j
    {FS_NOTAIL_FL, "no-tail-merge"},         // t
    {FS_DIRSYNC_FL, "dir-sync"},             // D
    {FS_TOPDIR_FL, "top-dir"},               // T
    {FS_HUGE_FILE_FL, "huge-file"},
    {FS_EXTENT_FL, "extents"},               // e
    {FS_VERITY_FL, "verity"},                // V
    {FS_EA_INODE_FL, "ea-inode"},
    {FS_EOFBLOCKS_FL, "eof-blocks"},
    {FS_NOCOW_FL, "no-cow"},                 // C
    {FS_DAX_FL, "dax"},                      // x
    {FS_INLINE_DATA_FL, "inline-data"},      // N
    {FS_PROJINHERIT_FL, "project-inherit"},  // P
    {FS_CASEFOLD_FL, "casefold"},            // F
};

}  // namespace

std::vector<unsigned char> EncodeLinuxMeta(const LINUX_META& meta) {
    std::vector<unsigned char> b(kLinuxMetaBytes);
    PutLe(&b[0], kLinuxMetaVersion, 2);
    PutLe(&b[2], meta.has_flags ? kLinuxMetaHasFlags : 0, 2);
    PutLe(&b[4], static_cast<uint64_t>(meta.mtime_sec), 8);
    PutLe(&b[12], meta.mtime_nsec, 4);
    PutLe(&b[16], static_cast<uint64_t>(meta.atime_sec), 8);
    PutLe(&b[24], meta.atime_nsec, 4);
    PutLe(&b[28], meta.has_flags ? meta.flags : 0, 4);
    return b;
}

bool DecodeLinuxMeta(std::span<const unsigned char> b, LINUX_META* meta) {
    if (b.size() != kLinuxMetaBytes || GetLe(&b[0], 2) != kLinuxMetaVersion) return false;
    const uint64_t present = GetLe(&b[2], 2);
    if ((present & ~uint64_t{kLinuxMetaHasFlags}) != 0) return false;
    LINUX_META m;
    m.mtime_sec = static_cast<int64_t>(GetLe(&b[4], 8));
    m.mtime_nsec = static_cast<uint32_t>(GetLe(&b[12], 4));
    m.atime_sec = static_cast<int64_t>(GetLe(&b[16], 8));
    m.atime_nsec = static_cast<uint32_t>(GetLe(&b[24], 4));
    m.has_flags = (present & kLinuxMetaHasFlags) != 0;
    m.flags = static_cast<uint32_t>(GetLe(&b[28], 4));
    if (m.mtime_nsec >= 1000000000u || m.atime_nsec >= 1000000000u) return false;
    if (!m.has_flags && m.flags != 0) return false;
    *meta = m;
    return true;
}

uint32_t RestorableInodeFlags() {
    return FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_IMMUTABLE_FL | FS_APPEND_FL | FS_NODUMP_FL |
           FS_NOATIME_FL | FS_NOCOMP_FL | FS_JOURNAL_DATA_FL | FS_NOTAIL_FL | FS_DIRSYNC_FL | FS_TOPDIR_FL |
           FS_NOCOW_FL | FS_PROJINHERIT_FL;
}

uint32_t LockingInodeFlags() { return FS_IMMUTABLE_FL | FS_APPEND_FL; }

std::string InodeFlagNames(uint32_t flags) {
    std::string out;
    auto add = [&](const std::string& name) {
        if (!out.empty()) out += ',';
        out += name;
    };
    for (const FlagName& f : kFlagNames) {
        if ((flags & f.bit) != 0) {
            add(f.name);
            flags &= ~f.bit;
        }
    }
    if (flags != 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%x", flags);
        add(hex);
    }
    return out;
}
