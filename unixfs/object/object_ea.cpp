#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "grfs/messages.h"
#include "unixfs/object/file_memory.h"
#include "unixfs/object/object_ea.h"
#include "unixfs/object/object_location.h"
#include "util/alloc.h"
#include "util/debug_print.h"

namespace {


// Gives ea_space room for needed bytes: a new buffer below the 64 KiB cap
// (never smaller than a fresh record's, so that an estimate that came out
// short cannot cut a link's target). When needed reaches the cap or memory
// runs out, the old buffer stays as it was: the session's pre-made record
// keeps its buffer for every later open, and a WRITE open relies on it.
// True when the buffer now holds needed bytes.
bool GrowEaSpace(FILE_MEMORY* rec, uint64_t needed) {
    if (needed >= kMaxEaSpaceSize) return false;
    const uint64_t size = needed < kInitialEaSpaceSize ? kInitialEaSpaceSize : needed;
    auto* grown = static_cast<unsigned char*>(MYMALLOC(static_cast<size_t>(size)));
    if (grown == nullptr) return false;
    if (rec->ea_space != nullptr) MYFREE(rec->ea_space);
    rec->ea_space = grown;
    rec->ea_space_size = ToU64(size);
    return true;
}

}  // namespace

int Unix_OpenEA(FILE_MEMORY* rec) {
    switch (rec->open_mode) {
    case OPEN_MODE_READ:
    case OPEN_MODE_VERIFY: {
        int rc = Unix_LoadEAbuffer(rec);
        if (rc != 0) rec->ea_size = UINT64{};
        return rc;
    }
    case OPEN_MODE_WRITE: {
        const uint64_t ea_size = AsU64(rec->ea_size);
        if (ea_size > AsU64(rec->ea_space_size) && !GrowEaSpace(rec, ea_size)) return GRFS_RC_NO_MEMORY;
        if (ea_size != 0 && rec->ea_space == nullptr) return GRFS_RC_NO_MEMORY;
        return 0;
    }
    default:
        DEBUG_PRINTF(DBG_CONFIG, "Unix_OpenEA: unknown mode: %d\n", rec->open_mode);
        return 0;
    }
}

int Unix_LoadEAbuffer(FILE_MEMORY* rec) {
    const uint64_t ea_size = AsU64(rec->ea_size);
    const uint64_t room_before = AsU64(rec->ea_space_size);
    // No room for the record: the load writes nothing, and the buffer stays.
    if ((room_before == 0 || room_before < ea_size) && !GrowEaSpace(rec, ea_size)) return GRFS_RC_NO_MEMORY;
    if (rec->ea_space == nullptr) return GRFS_RC_NO_MEMORY;

    if (!S_ISLNK(rec->file_mode)) {
        std::fprintf(stderr, "%s:UnixLoadEAbuffer called on non symlink (0x%x)\n", prog_name, rec->file_mode);
        std::exit(1);
    }

    constexpr size_t kLengthWord = 4;
    const size_t room = static_cast<size_t>(AsU64(rec->ea_space_size));
    const size_t name_len = std::strlen(rec->file_name);
    if (kLengthWord + name_len + 2 > room) return GRFS_RC_NO_MEMORY;
    unsigned char* record = rec->ea_space;
    std::memcpy(record + kLengthWord, rec->file_name, name_len + 1);
    char* target = reinterpret_cast<char*>(record + kLengthWord + name_len + 1);
    const size_t target_room = room - (kLengthWord + name_len + 1) - 1;

    size_t target_len = 0;
    OBJECT_PARENT parent;
    int err = OpenObjectParent(rec->dle, rec, ReadLinkPolicy(rec->dle), &parent);
    if (err != 0 && IsConfinementErrno(err)) return GRFS_RC_ACCESS_DENIED;
    ssize_t n = err == 0 ? readlinkat(parent.dir.get(), parent.name.c_str(), target, target_room) : -1;
    if (n < 0) {
        DEBUG_PRINTF(DBG_CONFIG, "readlink(%s) failed.  errno = %d\n", rec->full_path, err != 0 ? err : errno);
    } else {
        target_len = static_cast<size_t>(n);
    }
    target[target_len] = '\0';

    const uint32_t length = static_cast<uint32_t>(kLengthWord + name_len + 1 + target_len + 1);
    std::memcpy(record, &length, sizeof length);  // host order: the reader learns it from the stream id
    rec->ea_size = U32_To_U64(length);
    return 0;
}
