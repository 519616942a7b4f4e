#include "unixfs/object/kept_linux_meta.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <new>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

#include "unixfs/session/attach_records.h"
#include "unixfs/host/confined_path.h"
#include "unixfs/session/created_objects.h"
#include "unixfs/session/grfs_session.h"
#include "grfs/linux_meta_stream.h"
#include "unixfs/object/object_symlink.h"
#include "unixfs/session/workstation.h"
#include "util/console.h"
#include "util/debug_print.h"

namespace {

struct KEPT_META {
    OBJECT_IDENTITY id;
    LINUX_META meta;
};

// Past this many objects an attachment keeps nothing more: a later object
// gets its times and flags at its close.
constexpr size_t kMaxKept = CreatedObjects::kMaxDirectories + CreatedObjects::kMaxObjects;

}  // namespace

struct KeptLinuxMeta {
    std::unordered_map<std::string, KEPT_META> entries;
};

namespace {

bool SameObject(const OBJECT_IDENTITY& a, const OBJECT_IDENTITY& b) {
    if (a.dev != b.dev || a.ino != b.ino || a.type != b.type) return false;
    return !a.has_btime || !b.has_btime || (a.btime_sec == b.btime_sec && a.btime_nsec == b.btime_nsec);
}

ConsoleRepeats* RepeatsOf(const DRVDLE* drvdle) {
    return drvdle->parent != nullptr && drvdle->parent->session != nullptr ? &drvdle->parent->session->console_repeats
                                                                            : nullptr;
}

std::string ShownPath(const DRVDLE* drvdle, const std::string& rel) {
    std::string path = drvdle->dle != nullptr ? drvdle->dle->export_path : "";
    if (path.empty() || path.back() != '/') path += '/';
    return path + rel;
}

// The object at rel below the root as an O_PATH descriptor, never through a
// link; invalid when rel is the root or leads nowhere. id receives what it is.
UniqueFd OpenAt(const DRVDLE* drvdle, const std::string& rel, OBJECT_IDENTITY* id) {
    if (drvdle->root_fd < 0) return UniqueFd();
    std::string name;
    UniqueFd parent = OpenParentBeneath(drvdle->root_fd, rel, LinkPolicy::kNoLinks, name);
    if (!parent.valid() || name.empty()) return UniqueFd();
    UniqueFd obj(openat(parent.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!obj.valid() || !ExamineObject(obj.get(), id)) return UniqueFd();
    return obj;
}

// The kept object, when rel still leads to it.
UniqueFd OpenKept(const DRVDLE* drvdle, const std::string& rel, const KEPT_META& kept) {
    OBJECT_IDENTITY now;
    UniqueFd obj = OpenAt(drvdle, rel, &now);
    if (!obj.valid() || !SameObject(now, kept.id)) {
        DEBUG_PRINTF(DBG_CONFIG, "KeptLinuxMeta: %s no longer leads to the restored object\n", rel.c_str());
        return UniqueFd();
    }
    return obj;
}

void SetTimes(int obj, const KEPT_META& kept, const std::string& rel) {
    const timespec times[2] = {{kept.meta.atime_sec, static_cast<long>(kept.meta.atime_nsec)},
                               {kept.meta.mtime_sec, static_cast<long>(kept.meta.mtime_nsec)}};
    const int rc = kept.id.type == S_IFLNK ? SetLinkTimes(obj, times)
                                           : utimensat(AT_FDCWD, FdPath(obj).c_str(), times, 0);
    if (rc != 0) DEBUG_PRINTF(DBG_CONFIG, "KeptLinuxMeta: times of %s not set, errno=%d\n", rel.c_str(), errno);
}

UniqueFd OpenForFlags(int path_fd, mode_t type) {
    if (type != S_IFREG && type != S_IFDIR) return UniqueFd();
    return ReopenChecked(path_fd, O_RDONLY | O_NONBLOCK | O_CLOEXEC | (type == S_IFDIR ? O_DIRECTORY : 0));
}

// Makes the restorable flags in mask of fd those of want. The bits it
// could not change are added to refused; err keeps the first reason.
void ChangeFlags(int fd, uint32_t want, uint32_t mask, uint32_t* refused, int* err) {
    int current = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &current) != 0) {
        if (*err == 0) *err = errno;
        *refused |= want & mask;
        return;
    }
    uint32_t now = static_cast<uint32_t>(current);
    const uint32_t target = (now & ~mask) | (want & mask);
    if (target == now) return;
    int value = static_cast<int>(target);
    if (ioctl(fd, FS_IOC_SETFLAGS, &value) == 0) return;
    // One bit at a time, to name each one refused and set the others.
    for (uint32_t bit = 1; bit != 0; bit <<= 1) {
        if ((mask & bit) == 0 || ((now ^ target) & bit) == 0) continue;
        value = static_cast<int>(now ^ bit);
        if (ioctl(fd, FS_IOC_SETFLAGS, &value) == 0) {
            now ^= bit;
        } else {
            if (*err == 0) *err = errno;
            *refused |= bit;
        }
    }
}

}  // namespace

void KeepLinuxMeta(DRVDLE* drvdle, std::string_view rel_text, const LINUX_META& meta) {
    const std::string rel = CreatedObjectKey(rel_text);
    KEPT_META kept{{}, meta};
    UniqueFd obj = OpenAt(drvdle, rel, &kept.id);
    if (!obj.valid()) return;  // the root itself, or gone
    // Where the session made an object under the name, only that one.
    const CreatedObjects* created = FindCreatedObjects(drvdle);
    const CreatedObjects::Entry* made = created != nullptr ? created->Find(rel) : nullptr;
    if (made != nullptr && !SameObject(made->id, kept.id)) {
        DEBUG_PRINTF(DBG_CONFIG, "KeepLinuxMeta: %s no longer leads to the object this restore made\n", rel.c_str());
        return;
    }
    SetTimes(obj.get(), kept, rel);
    if (drvdle->kept_meta == nullptr) drvdle->kept_meta = new (std::nothrow) KeptLinuxMeta;
    KeptLinuxMeta* all = drvdle->kept_meta;
    if (all != nullptr && (all->entries.size() < kMaxKept || all->entries.count(rel) != 0)) {
        all->entries[rel] = kept;
        return;
    }
    // Nothing more can be kept: the flags go now.
    uint32_t refused = 0;
    int err = 0;
    if (meta.has_flags) {
        UniqueFd fd = OpenForFlags(obj.get(), kept.id.type);
        if (fd.valid()) ChangeFlags(fd.get(), meta.flags, RestorableInodeFlags(), &refused, &err);
    }
    if (refused != 0) {
        ConsoleMessage(RepeatsOf(drvdle), "Restore of %s: inode flags %s not set: %s.\n",
                       ShownPath(drvdle, rel).c_str(), InodeFlagNames(refused).c_str(), std::strerror(err));
    }
}

void ReapplyKeptTimes(DRVDLE* drvdle, std::string_view rel_text) {
    if (drvdle == nullptr || drvdle->kept_meta == nullptr) return;
    const std::string rel = CreatedObjectKey(rel_text);
    auto it = drvdle->kept_meta->entries.find(rel);
    if (it == drvdle->kept_meta->entries.end()) return;
    UniqueFd obj = OpenKept(drvdle, rel, it->second);
    if (obj.valid()) SetTimes(obj.get(), it->second, rel);
}

void ApplyKeptLinuxMeta(DRVDLE* drvdle) {
    KeptLinuxMeta* all = drvdle->kept_meta;
    drvdle->kept_meta = nullptr;
    if (all == nullptr) return;
    struct Item {
        const std::string* rel;
        const KEPT_META* kept;
        size_t depth;
        UniqueFd flags_fd;
        uint32_t refused = 0;
        int err = 0;
    };
    std::vector<Item> items;
    items.reserve(all->entries.size());
    for (const auto& [rel, kept] : all->entries) {
        items.push_back({&rel, &kept, static_cast<size_t>(std::count(rel.begin(), rel.end(), '/')), UniqueFd()});
    }
    // The deepest first: setting an object's times and flags changes
    // nothing of its directory's.
    std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
        return a.depth != b.depth ? a.depth > b.depth : *a.rel < *b.rel;
    });
    const uint32_t restorable = RestorableInodeFlags();
    const uint32_t locking = LockingInodeFlags();
    for (Item& item : items) {
        UniqueFd obj = OpenKept(drvdle, *item.rel, *item.kept);
        if (!obj.valid()) continue;
        SetTimes(obj.get(), *item.kept, *item.rel);
        if (!item.kept->meta.has_flags) continue;
        item.flags_fd = OpenForFlags(obj.get(), item.kept->id.type);
        if (!item.flags_fd.valid()) {
            item.err = errno;
            item.refused = item.kept->meta.flags & restorable;
            continue;
        }
        ChangeFlags(item.flags_fd.get(), item.kept->meta.flags, restorable & ~locking, &item.refused, &item.err);
    }
    // Immutable and append-only last of all: they forbid every change above.
    for (Item& item : items) {
        if (item.flags_fd.valid()) {
            ChangeFlags(item.flags_fd.get(), item.kept->meta.flags, locking, &item.refused, &item.err);
        }
        if (item.refused != 0) {
            ConsoleMessage(RepeatsOf(drvdle), "Restore of %s: inode flags %s not set: %s.\n",
                           ShownPath(drvdle, *item.rel).c_str(), InodeFlagNames(item.refused).c_str(),
                           std::strerror(item.err));
        }
    }
    delete all;
}

void ClearLockingFlags(const DRVDLE* drvdle, int path_fd) {
    if (drvdle == nullptr || drvdle->parent == nullptr || drvdle->parent->session == nullptr ||
        !LinuxMetaCarried(drvdle->parent->session->ws)) {
        return;
    }
    OBJECT_IDENTITY id;
    if (!ExamineObject(path_fd, &id)) return;
    UniqueFd fd = OpenForFlags(path_fd, id.type);
    int flags = 0;
    if (!fd.valid() || ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) return;
    const uint32_t locking = LockingInodeFlags();
    if ((static_cast<uint32_t>(flags) & locking) == 0) return;
    int value = static_cast<int>(static_cast<uint32_t>(flags) & ~locking);
    if (ioctl(fd.get(), FS_IOC_SETFLAGS, &value) != 0) {
        DEBUG_PRINTF(DBG_CONFIG, "ClearLockingFlags: flags 0x%x not cleared, errno=%d\n", static_cast<unsigned>(flags),
                     errno);
    }
}

void ClearLockingFlagsAt(const DRVDLE* drvdle, int dir_fd, const char* name) {
    if (drvdle == nullptr || drvdle->parent == nullptr || drvdle->parent->session == nullptr ||
        !LinuxMetaCarried(drvdle->parent->session->ws)) {
        return;
    }
    UniqueFd obj(openat(dir_fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (obj.valid()) ClearLockingFlags(drvdle, obj.get());
}

bool LinuxMetaCarried(const WS_CNTL* ws) { return ws != nullptr && ws->linux_metadata != 0; }
