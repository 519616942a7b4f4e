#include <algorithm>
#include <cstring>

#include "grfs/dblk.h"

const char* const dblk_types_strings[12] = {
    "UDB_ID", "VCB_ID", "INVALID_DBLK_TYPE", "INVALID_DBLK_TYPE",
    "INVALID_DBLK_TYPE", "INVALID_DBLK_TYPE", "INVALID_DBLK_TYPE", "INVALID_DBLK_TYPE",
    "DDB_ID", "FDB_ID", "IDB_ID", "CFDB_ID",
};

const char* dblk_type_name(int type) {
    if (type < 0 || type >= 12) return "INVALID_DBLK_TYPE";
    return dblk_types_strings[type];
}

size_t dblk_extent(const GRFS_GEN_DBLK* dblk, size_t room) {
    room = std::min(room, sizeof(GRFS_GEN_DBLK));
    return std::min(static_cast<size_t>(dblk->dblk_actual_size), room);
}

const char* dblk_text_at(const GRFS_GEN_DBLK* dblk, uint16_t offset, size_t room) {
    size_t end = dblk_extent(dblk, room);
    if (offset < GRFS_DBLK_NET_SIZE || offset >= end) return nullptr;
    const char* text = reinterpret_cast<const char*>(dblk_bytes(dblk)) + offset;
    if (std::memchr(text, 0, end - offset) == nullptr) return nullptr;
    return text;
}

void copy_dblk(GRFS_GEN_DBLK* dst, const GRFS_GEN_DBLK* src) {
    size_t n = std::clamp(static_cast<size_t>(src->dblk_actual_size),
                          static_cast<size_t>(GRFS_DBLK_NET_SIZE), sizeof(GRFS_GEN_DBLK));
    std::memmove(dst, src, n);
}
