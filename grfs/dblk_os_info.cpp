#include <algorithm>
#include <cstring>

#include "grfs/byte_order.h"
#include "grfs/dblk.h"
#include "util/debug_print.h"

namespace {

bool has_unix_info(const GRFS_GEN_DBLK* d) {
    return d->os_id == DBLK_OS_ID_UNIX && d->os_ver == DBLK_OS_VER_UNIX;
}

// Reverses fields of the OS-specific information, each as one unit, but only
// those lying inside the block's variable area: a block whose offsets point
// elsewhere must not make us rewrite its fixed part or memory past it.
class OsInfoReverser {
  public:
    OsInfoReverser(GRFS_GEN_DBLK* d, size_t room)
        : base_(dblk_bytes(d)), info_(d->os_spec_info), end_(dblk_extent(d, room)),
          actual_(d->dblk_actual_size) {}

    void field(size_t off, int n) {
        size_t at = info_ + off;
        if (at < static_cast<size_t>(GRFS_DBLK_NET_SIZE) || at + static_cast<size_t>(n) > end_) {
            if (!warned_)
                DEBUG_PRINTF(DBG_DATA, "OS-specific information at %u lies outside the block (dblk_actual_size=%u)\n",
                             static_cast<unsigned>(info_), static_cast<unsigned>(actual_));
            warned_ = true;
            return;
        }
        ReverseByteOrder(base_ + at, n);
    }

  private:
    uint8_t* base_;
    size_t info_;
    size_t end_;
    unsigned actual_;
    bool warned_ = false;
};

// Copies up to n bytes of the information out of the block, zero for bytes
// the block does not hold.
void copy_info_out(void* out, size_t out_size, const GRFS_GEN_DBLK* d, size_t n, size_t room) {
    std::memset(out, 0, out_size);
    size_t end = dblk_extent(d, room);
    size_t at = d->os_spec_info;
    size_t have = at < end ? end - at : 0;
    n = std::min({n, have, out_size});
    if (n > 0) std::memcpy(out, dblk_bytes(d) + at, n);
}

constexpr UINT64 kUnknownInode = {0xFFFFFFFFu, 0xFFFFFFFFu};

}  // namespace

int DblkOsInfoType(const GRFS_GEN_DBLK* d) {
    const unsigned size = d->os_spec_size;
    if (!has_unix_info(d) || (d->dblk_type != DDB_ID && d->dblk_type != FDB_ID)) {
        DEBUG_PRINTF(DBG_DATA, "Invalid dblk osinfo type, wrong dblk type, os_spec_size=%d\n", size);
        return DBLK_OSINFO_INVALID;
    }
    if (d->dblk_type == FDB_ID) {
        if (size > 28) {
            DEBUG_PRINTF(DBG_DATA, "Versioned file dblk osinfo, os_spec_size=%d\n", size);
            return DBLK_OSINFO_VERSIONED;
        }
        if (size == 0) {
            DEBUG_PRINTF(DBG_DATA, "Empty file dblk osinfo, os_spec_size=%d\n", size);
            return DBLK_OSINFO_EMPTY;
        }
        if (size == 28) {
            DEBUG_PRINTF(DBG_DATA, "64-bit fsize file dblk osinfo, os_spec_size=%d\n", size);
            return DBLK_OSINFO_FILE_64;
        }
        if (size == 24) {
            DEBUG_PRINTF(DBG_DATA, "32-bit fsize file dblk osinfo, os_spec_size=%d\n", size);
            return DBLK_OSINFO_FILE_32;
        }
        DEBUG_PRINTF(DBG_DATA, "Invalid file dblk osinfo type, os_spec_size=%d\n", size);
        return DBLK_OSINFO_INVALID;
    }
    // Directory: the information proper is what precedes the path copy; a
    // negative difference counts as large.
    const int16_t dir_info = size == 0 ? 0 : static_cast<int16_t>(size - d->type_part.ddb.path_leng);
    const uint16_t as_unsigned = static_cast<uint16_t>(dir_info);
    if (as_unsigned > 40) {
        DEBUG_PRINTF(DBG_DATA, "Versioned dir dblk osinfo type, os_spec_size=%d dirInfoSize=%d\n", size, dir_info);
        return DBLK_OSINFO_VERSIONED;
    }
    if (as_unsigned == 0) {
        DEBUG_PRINTF(DBG_DATA, "Empty dir dblk osinfo type, os_spec_size=%d dirInfoSize=%d\n", size, dir_info);
        return DBLK_OSINFO_EMPTY;
    }
    if (as_unsigned == 40) {
        DEBUG_PRINTF(DBG_DATA, "Old dir dblk osinfo type, os_spec_size=%d dirInfoSize=%d\n", size, dir_info);
        return DBLK_OSINFO_DIR_OLD;
    }
    DEBUG_PRINTF(DBG_DATA, "Invalid dir dblk osinfo type, os_spec_size=%d dirInfoSize=%d\n", size, dir_info);
    return DBLK_OSINFO_INVALID;
}

void ByteSwapOSInfo(GRFS_GEN_DBLK* d, size_t room) {
    if (IntelSwapWord(1) != 1) return;  // big-endian host: host order is wire order
    if (!has_unix_info(d) || d->os_spec_info == 0) return;

    OsInfoReverser rev(d, room);
    if (d->dblk_type == DDB_ID) {
        rev.field(36, 2);  // dir_path_offset
        rev.field(38, 2);  // dir_path_length
        for (size_t off = 0; off < 20; off += 4) rev.field(off, 4);
        for (size_t off = 20; off < 36; off += 2) rev.field(off, 2);  // access_date
        switch (DblkOsInfoType(d)) {
            case DBLK_OSINFO_DIR_OLD:
                break;
            case DBLK_OSINFO_VERSIONED:
                rev.field(44, 8);  // st_ino
                rev.field(52, 4);  // st_nlink
                break;
            default:
                DEBUG_PRINTF(DBG_DATA, "Undefined os spec info in dir ByteSwapOsInfo(), os_spec_size=%d\n",
                             d->os_spec_size);
                break;
        }
    } else if (d->dblk_type == FDB_ID) {
        for (size_t off = 0; off < 20; off += 4) rev.field(off, 4);
        switch (DblkOsInfoType(d)) {
            case DBLK_OSINFO_FILE_32:
                rev.field(20, 4);
                break;
            case DBLK_OSINFO_FILE_64:
                rev.field(20, 8);
                break;
            case DBLK_OSINFO_VERSIONED:
                rev.field(20, 8);  // st_size
                rev.field(44, 8);  // st_ino
                rev.field(52, 4);  // st_nlink
                break;
            default:
                DEBUG_PRINTF(DBG_DATA,
                             "ERROR: Undefined os spec info in file ByteSwapOsInfo(), os_spec_size=%d\n",
                             d->os_spec_size);
                break;
        }
    } else {
        DEBUG_PRINTF(DBG_CONFIG, "Don't know how to handle os spec info for type %d\n", d->dblk_type);
    }
}

namespace {

// Both records share the versioned layout up to st_nlink; an older or unknown
// variant leaves the inode unknown. `unknown_cap` bounds what an unknown
// variant copies (the file record takes its whole size, the directory only
// its old 40-byte form). Returns the variant.
template <class Info>
int fill_info_from_dblk(Info* info, const GRFS_GEN_DBLK* d, size_t room, size_t unknown_cap,
                         const char* caller) {
    const int kind = DblkOsInfoType(d);
    switch (kind) {
        case DBLK_OSINFO_VERSIONED:
            copy_info_out(info, sizeof *info, d, sizeof *info, room);
            return kind;
        case DBLK_OSINFO_FILE_32:
            copy_info_out(info, sizeof *info, d, kUnixFileOsInfo32Size, room);
            break;
        case DBLK_OSINFO_FILE_64:
            copy_info_out(info, sizeof *info, d, kUnixFileOsInfo64Size, room);
            break;
        case DBLK_OSINFO_DIR_OLD:
            copy_info_out(info, sizeof *info, d, kUnixDirOsInfoOldSize, room);
            break;
        default:
            copy_info_out(info, sizeof *info, d, std::min<size_t>(d->os_spec_size, unknown_cap), room);
            DEBUG_PRINTF(DBG_DATA, "ERROR: unknown spec info type in %s(), os_spec_size=%d\n", caller,
                         d->os_spec_size);
            break;
    }
    info->os_info_version = 0;
    info->st_ino = kUnknownInode;
    info->st_nlink = 1;
    return kind;
}

}  // namespace

void FillFileInfoFromDblk(UNIX_FILE_OS_INFO* info, const GRFS_GEN_DBLK* d, size_t room) {
    if (fill_info_from_dblk(info, d, room, kUnixFileOsInfoSize, "FillFileInfoFromDblk") == DBLK_OSINFO_FILE_32)
        info->st_size.msw = 0;  // the 32-bit form's size has no high half
}

void FillDirInfoFromDblk(UNIX_DIR_OS_INFO* info, const GRFS_GEN_DBLK* d, size_t room) {
    fill_info_from_dblk(info, d, room, kUnixDirOsInfoOldSize, "FillDirInfoFromDblk");
}
