#include "unixfs/tree/dblk_texts.h"

#include <cstring>

#include "grfs/messages.h"
#include "unixfs/host/confined_path.h"

namespace {

constexpr uint32_t kRecordRoom = sizeof(GRFS_GEN_DBLK);

}  // namespace

int16_t CheckDblkSize(const GRFS_GEN_DBLK* dblk) {
    // Only directory and file blocks have the 8-byte type part.
    const bool has_type_part = dblk->dblk_type == DDB_ID || dblk->dblk_type == FDB_ID;
    const uint32_t least = has_type_part ? GRFS_DBLK_NET_SIZE : GRFS_DBLK_COMMON_SIZE;
    if (dblk->dblk_actual_size < least || dblk->dblk_actual_size > kRecordRoom) {
        return GRFS_RC_INVALID_REQUEST;
    }
    return GRFS_RC_SUCCESS;
}

bool DblkRangeInside(const GRFS_GEN_DBLK* dblk, uint32_t offset, uint32_t size) {
    if (CheckDblkSize(dblk) != 0) return false;
    if (offset < static_cast<uint32_t>(GRFS_DBLK_NET_SIZE)) return false;
    return offset <= dblk->dblk_actual_size && size <= dblk->dblk_actual_size - offset;
}

int16_t DblkTextAt(const GRFS_GEN_DBLK* dblk, uint16_t offset, std::string_view* text) {
    if (!DblkRangeInside(dblk, offset, 1)) return GRFS_RC_INVALID_REQUEST;
    const auto* start = reinterpret_cast<const char*>(dblk_bytes(dblk)) + offset;
    size_t room = dblk->dblk_actual_size - offset;
    const void* zero = std::memchr(start, '\0', room);
    if (zero == nullptr) return GRFS_RC_INVALID_REQUEST;
    *text = std::string_view(start, static_cast<const char*>(zero) - start);
    return GRFS_RC_SUCCESS;
}

int16_t DblkFileName(const GRFS_GEN_DBLK* dblk, std::string_view* name) {
    if (dblk->dblk_type != FDB_ID) return GRFS_RC_WRONG_DBLK_TYPE;
    return DblkTextAt(dblk, dblk->type_part.fdb.name, name);
}

int16_t DblkDirPath(const GRFS_GEN_DBLK* dblk, std::string_view* path) {
    if (dblk->dblk_type != DDB_ID) return GRFS_RC_WRONG_DBLK_TYPE;
    return DblkTextAt(dblk, dblk->type_part.ddb.path, path);
}

int16_t DblkObjectText(const GRFS_GEN_DBLK* dblk, std::string_view* text) {
    if (dblk->dblk_type == DDB_ID) return DblkDirPath(dblk, text);
    return DblkFileName(dblk, text);
}

int16_t CheckNoDotDot(std::string_view text) {
    return HasDotDotComponent(text) ? GRFS_RC_ACCESS_DENIED : GRFS_RC_SUCCESS;
}

int16_t DblkConfinedObjectText(const GRFS_GEN_DBLK* dblk, std::string_view* text) {
    std::string_view found;
    int16_t rc = DblkObjectText(dblk, &found);
    if (rc != 0) return rc;
    rc = CheckNoDotDot(found);
    if (rc != 0) return rc;
    *text = found;
    return GRFS_RC_SUCCESS;
}

int16_t DblkFindHandle(const GRFS_GEN_DBLK* dblk, uint32_t* handle) {
    // A block without usable find information names no live search: to the
    // server that is the end of the listing, as for any handle we do not know.
    if (dblk->find_info_size < sizeof(uint32_t) || !DblkRangeInside(dblk, dblk->find_info, sizeof(uint32_t))) {
        return GRFS_RC_NOT_FOUND;
    }
    std::memcpy(handle, dblk_bytes(dblk) + dblk->find_info, sizeof(uint32_t));
    return GRFS_RC_SUCCESS;
}
