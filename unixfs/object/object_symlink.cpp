#include "unixfs/object/object_symlink.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "grfs/dblk.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/session/created_objects.h"
#include "unixfs/object/file_memory.h"
#include "unixfs/host/confined_path.h"
#include "unixfs/object/object_location.h"
#include "util/debug_print.h"
#include "util/queue.h"
#include "util/unique_fd.h"

namespace {

// The link just made at name in dir: recorded as the session's, then given
// what set information left for it. Whatever stands there now that is not
// a link of the agent's own making is someone else's and left alone.
void AdoptMadeLink(DRVDLE* drvdle, FILE_MEMORY* rec, int dir, const char* name) {
    UniqueFd link(openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    OBJECT_IDENTITY id;
    struct stat st;
    if (!link.valid() || !ExamineObject(link.get(), &id, &st) || !S_ISLNK(st.st_mode) || st.st_uid != geteuid()) {
        return;
    }
    const int held = link.get();
    if (CreatedObjects* created = CreatedObjectsOf(drvdle); created != nullptr) {
        created->Record(ObjectRelPath(rec), id, UniqueFd(fcntl(held, F_DUPFD_CLOEXEC, 0)));
    }
    const PENDING_LINK_INFO& info = rec->link_info;
    if (info.set == 0) return;
    uid_t uid = info.uid == st.st_uid ? static_cast<uid_t>(-1) : info.uid;
    gid_t gid = info.gid == st.st_gid ? static_cast<gid_t>(-1) : info.gid;
    if ((uid != static_cast<uid_t>(-1) || gid != static_cast<gid_t>(-1)) &&
        fchownat(held, "", uid, gid, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) {
        DEBUG_PRINTF(DBG_CONFIG, "lchown( %s, uid %d, gid %d) failed. errno=%d\n", rec->full_path,
                     static_cast<int>(uid), static_cast<int>(gid), errno);
    }
    if (SetLinkTimes(held, info.times) != 0) {
        DEBUG_PRINTF(DBG_CONFIG, "Can't call utime on symlinks.  st_mode=0x%X.\n", static_cast<unsigned>(st.st_mode));
    }
}

}  // namespace

int SetLinkTimes(int link_fd, const timespec times[2]) {
    if (utimensat(link_fd, "", times, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) == 0) return 0;
    if (errno != EINVAL) return -1;
    // A kernel without empty paths here: the descriptor's /proc entry leads
    // to the link itself.
    return utimensat(AT_FDCWD, FdPath(link_fd).c_str(), times, 0);
}

FILE_MEMORY* LinkAwaitingClose(const DRVDLE* drvdle, std::string_view rel) {
    if (drvdle == nullptr || drvdle->parent == nullptr) return nullptr;
    const std::string key = CreatedObjectKey(rel);
    const GRFS_SESSION* ses = drvdle->parent->session;
    for (auto* obj = QueueHead<FILE_MEMORY>(ses->object_list); obj != nullptr; obj = QueueNext(obj)) {
        if (obj->dle == drvdle && obj->dblktype == FDB_ID && obj->open_mode == OPEN_MODE_WRITE &&
            obj->data_hand < 0 && CreatedObjectKey(ObjectRelPath(obj)) == key) {
            return obj;
        }
    }
    return nullptr;
}

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

void MakePendingSymlink(const GRFS_SESSION* ses, FILE_MEMORY* rec) {
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
    DRVDLE* drvdle = LookupDrvdle(ses, rec->dle_id);
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
        AdoptMadeLink(drvdle, rec, parent.dir.get(), parent.name.c_str());
    } else {
        DEBUG_PRINTF(DBG_CONFIG, "symlink( %s, %s ) failed.  errno=%d\n", target.c_str(), rec->full_path, errno);
    }
}
