#include "unixfs/session/session_tally.h"

#include <cstring>
#include <string_view>

#include "grfs/messages.h"

namespace {

constexpr std::string_view kMore = ",...";

bool listed(std::string_view list, std::string_view name) {
    size_t at = 0;
    while (at <= list.size()) {
        size_t end = list.find(',', at);
        if (end == std::string_view::npos) end = list.size();
        if (list.substr(at, end - at) == name) return true;
        at = end + 1;
    }
    return false;
}

}  // namespace

void TallyReply(SessionTally* tally, const GRFS_MESSAGE* reply, bool counts_failure) {
    if (tally == nullptr) return;
    const int16_t rc = reply->hdr.retcode;
    if (counts_failure && rc != GRFS_RC_SUCCESS && rc != GRFS_RC_END_OF_DATA && rc != GRFS_RC_NOT_FOUND) ++tally->errors;
    const bool good = rc == GRFS_RC_SUCCESS || rc == GRFS_RC_END_OF_DATA;
    switch (reply->hdr.msg_type) {
        case GRFS_READ_OBJ_STAT:
            if (good) tally->bytes_read += reply->body.read_obj_stat.size;
            break;
        case GRFS_READ_OBJ_LARGE_STAT:
            if (good) tally->bytes_read += reply->body.read_obj_large_stat.size;
            break;
        case GRFS_WRITE_OBJ_STAT:
            if (rc == GRFS_RC_SUCCESS) tally->bytes_written += reply->body.write_obj_stat.size;
            break;
        case GRFS_WRITE_OBJ_LARGE_STAT:
            if (rc == GRFS_RC_SUCCESS) tally->bytes_written += reply->body.write_obj_large_stat.size;
            break;
        case GRFS_DELETE_OBJ_STAT:
            if (rc == GRFS_RC_SUCCESS) ++tally->objects_deleted;
            break;
        default:
            break;
    }
}

void TallyOpen(SessionTally* tally, uint16_t mode) {
    if (tally == nullptr) return;
    if (mode == GRFS_OPEN_WRITE)
        ++tally->objects_written;
    else
        ++tally->objects_read;
}

void TallyAttach(SessionTally* tally, const char* name) {
    if (tally == nullptr) return;
    const size_t room = sizeof tally->dles;
    size_t used = strnlen(tally->dles, room - 1);
    std::string_view list(tally->dles, used);
    if (listed(list, name) || list.ends_with(kMore)) return;
    const size_t len = std::strlen(name);
    const size_t need = (used != 0 ? 1 : 0) + len;
    if (used + need + kMore.size() >= room) {
        std::memcpy(tally->dles + used, kMore.data(), kMore.size());
        tally->dles[used + kMore.size()] = '\0';
        return;
    }
    if (used != 0) tally->dles[used++] = ',';
    std::memcpy(tally->dles + used, name, len);
    tally->dles[used + len] = '\0';
}
