#include "unixfs/object_symlink.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>

#include "unixfs/attach_records.h"
#include "unixfs/file_memory.h"
#include "unixfs/object_location.h"
#include "util/debug_print.h"

bool LinkRecordTarget(const unsigned char* record, size_t length, std::string_view* target) {
    constexpr size_t kLengthWord = 4;
    if (record == nullptr || length <= kLengthWord) return false;
    const auto* text = reinterpret_cast<const char*>(record) + kLengthWord;
    const size_t room = length - kLengthWord;
    const void* name_end = std::memchr(text, '\0', room);
    if (name_end == nullptr) return false;
    const char* start = static_cast<const char*>(name_end) + 1;
    const size_t left = room - static_cast<size_t>(start - text);
    const void* target_end = std::memchr(start, '\0', left);
    if (target_end == nullptr) return false;
    *target = std::string_view(start, static_cast<const char*>(target_end) - start);
    return true;
}

void MakePendingSymlink(FILE_MEMORY* rec) {
    uint64_t written = AsU64(rec->ea_space_pos);
    const uint64_t room = AsU64(rec->ea_space_size);
    if (written > room) written = room;
    std::string_view target_view;
    if (!LinkRecordTarget(rec->ea_space, static_cast<size_t>(written), &target_view)) {
        DEBUG_PRINTF(DBG_CONFIG, "symlink( %s, %s ) failed.  errno=%d\n", "", rec->full_path, EINVAL);
        return;
    }
    const std::string target(target_view);

    // The attachment may have been detached since the open.
    const DRVDLE* drvdle = LookupDrvdle(rec->dle_id);
    OBJECT_PARENT parent;
    int err = drvdle != nullptr ? OpenObjectParent(drvdle, rec, LinkPolicy::kNoLinks, &parent) : EBADF;
    if (err != 0 || parent.name.empty()) {
        DEBUG_PRINTF(DBG_CONFIG, "symlink( %s, %s ) failed.  errno=%d\n", target.c_str(), rec->full_path,
                     err != 0 ? err : ENOENT);
        return;
    }
    int rc = symlinkat(target.c_str(), parent.dir.get(), parent.name.c_str());
    if (rc != 0 && errno == EEXIST) {
        DEBUG_PRINTF(DBG_CONFIG, "unlink %s\n", rec->full_path);
        if (unlinkat(parent.dir.get(), parent.name.c_str(), 0) != 0) {
            DEBUG_PRINTF(DBG_CONFIG, "unlink(%s) failed errno=%d\n", rec->full_path, errno);
            return;
        }
        rc = symlinkat(target.c_str(), parent.dir.get(), parent.name.c_str());
    }
    if (rc == 0) {
        DEBUG_PRINTF(DBG_CONFIG, "symlink( %s, %s ) successful\n", target.c_str(), rec->full_path);
    } else {
        DEBUG_PRINTF(DBG_CONFIG, "symlink( %s, %s ) failed.  errno=%d\n", target.c_str(), rec->full_path, errno);
    }
}
