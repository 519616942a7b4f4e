#include "unixfs/session/created_objects.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <iterator>
#include <new>

#include "unixfs/session/attach_records.h"

bool ExamineObject(int fd, OBJECT_IDENTITY* id, struct stat* st) {
    struct statx sx {};
    if (statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW | AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME,
              &sx) != 0) {
        return false;
    }
    id->dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    id->ino = static_cast<ino_t>(sx.stx_ino);
    id->type = static_cast<mode_t>(sx.stx_mode) & S_IFMT;
    id->has_btime = (sx.stx_mask & STATX_BTIME) != 0;
    id->btime_sec = id->has_btime ? sx.stx_btime.tv_sec : 0;
    id->btime_nsec = id->has_btime ? sx.stx_btime.tv_nsec : 0;
    if (st != nullptr) {
        *st = {};
        st->st_dev = id->dev;
        st->st_ino = id->ino;
        st->st_mode = sx.stx_mode;
        st->st_nlink = sx.stx_nlink;
        st->st_uid = sx.stx_uid;
        st->st_gid = sx.stx_gid;
        st->st_rdev = makedev(sx.stx_rdev_major, sx.stx_rdev_minor);
        st->st_size = static_cast<off_t>(sx.stx_size);
        st->st_blksize = static_cast<blksize_t>(sx.stx_blksize);
        st->st_blocks = static_cast<blkcnt_t>(sx.stx_blocks);
        st->st_atim = timespec{sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec};
        st->st_mtim = timespec{sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec};
        st->st_ctim = timespec{sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec};
    }
    return true;
}

std::string CreatedObjectKey(std::string_view rel) {
    std::string key;
    key.reserve(rel.size());
    size_t pos = 0;
    while (pos <= rel.size()) {
        size_t slash = rel.find('/', pos);
        if (slash == std::string_view::npos) slash = rel.size();
        const std::string_view part = rel.substr(pos, slash - pos);
        pos = slash + 1;
        if (part.empty() || part == ".") continue;
        if (!key.empty()) key.push_back('/');
        key.append(part);
    }
    return key;
}

CreatedObjects::~CreatedObjects() {
    for (Slot*& holder : holders_) {
        if (holder != nullptr) Release(holder);
    }
}

void CreatedObjects::Release(Slot* slot) {
    if (slot->entry.held < 0) return;
    close(slot->entry.held);
    slot->entry.held = -1;
    for (Slot*& holder : holders_) {
        if (holder == slot) holder = nullptr;
    }
}

void CreatedObjects::Hold(Slot* slot, UniqueFd fd) {
    if (!fd.valid()) return;
    Slot*& place = holders_[next_holder_];
    next_holder_ = (next_holder_ + 1) % kHeldDescriptors;
    if (place != nullptr) Release(place);
    slot->entry.held = fd.release();
    place = slot;
}

void CreatedObjects::Drop(std::unordered_map<std::string, Slot>::iterator it) {
    Slot& slot = it->second;
    Release(&slot);
    (slot.entry.id.type == S_IFDIR ? directories_order_ : objects_order_).erase(slot.order);
    entries_.erase(it);
}

void CreatedObjects::Record(std::string_view rel, const OBJECT_IDENTITY& id, UniqueFd held) {
    std::string key = CreatedObjectKey(rel);
    if (key.empty()) return;  // the export root is never the restore's
    if (auto it = entries_.find(key); it != entries_.end()) Drop(it);
    const bool directory = id.type == S_IFDIR;
    std::list<const std::string*>& order = directory ? directories_order_ : objects_order_;
    if (order.size() >= (directory ? kMaxDirectories : kMaxObjects)) Drop(entries_.find(*order.front()));
    try {
        auto it = entries_.try_emplace(std::move(key)).first;
        try {
            order.push_back(&it->first);
        } catch (const std::bad_alloc&) {
            entries_.erase(it);
            return;
        }
        it->second.entry.id = id;
        it->second.order = std::prev(order.end());
        Hold(&it->second, std::move(held));
    } catch (const std::bad_alloc&) {
        // Nothing recorded: the object counts as one the session did not make.
    }
}

void CreatedObjects::Forget(std::string_view rel) {
    if (entries_.empty()) return;
    if (auto it = entries_.find(CreatedObjectKey(rel)); it != entries_.end()) Drop(it);
}

const CreatedObjects::Entry* CreatedObjects::Find(std::string_view rel) const {
    if (entries_.empty()) return nullptr;
    auto it = entries_.find(CreatedObjectKey(rel));
    return it != entries_.end() ? &it->second.entry : nullptr;
}

CreatedObjects* CreatedObjectsOf(DRVDLE* drvdle) {
    if (drvdle->created == nullptr) drvdle->created = new (std::nothrow) CreatedObjects;
    return drvdle->created;
}

const CreatedObjects* FindCreatedObjects(const DRVDLE* drvdle) {
    return drvdle != nullptr ? drvdle->created : nullptr;
}

void ReleaseCreatedObjects(DRVDLE* drvdle) {
    delete drvdle->created;
    drvdle->created = nullptr;
}

NameStanding StandingOf(const DRVDLE* drvdle, std::string_view rel, const OBJECT_IDENTITY& now) {
    const CreatedObjects* created = FindCreatedObjects(drvdle);
    const CreatedObjects::Entry* entry = created != nullptr ? created->Find(rel) : nullptr;
    if (entry == nullptr) return NameStanding::kNotMade;
    const OBJECT_IDENTITY& made = entry->id;
    bool same = made.dev == now.dev && made.ino == now.ino && made.type == now.type;
    // A held descriptor keeps the inode alive, so its number is its own;
    // otherwise the birth time tells a new inode of the same number apart.
    if (same && entry->held < 0 && made.has_btime && now.has_btime) {
        same = made.btime_sec == now.btime_sec && made.btime_nsec == now.btime_nsec;
    }
    return same ? NameStanding::kMade : NameStanding::kReplaced;
}
