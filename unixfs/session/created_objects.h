// The objects a restore made through one attachment: for each name its
// GRFS_CREATE_OBJ made (or, for a directory, found), the inode it made.
//
// A restore gives an object its owner, its set-id bits and its file
// capability only after its data has arrived, by name. Whoever may write
// the directory could by then have put an object of their own under that
// name. Later steps therefore act only on the inode recorded here: a WRITE
// open lands on it, and set information on a recorded name whose name now
// leads elsewhere changes nothing. Owner changes of recorded names, set-id
// bits and capabilities go only to recorded inodes.
//
// The most recent entries hold a descriptor of their inode, so that its
// number cannot be given to another object while the entry waits for its
// WRITE open and set information (which follow their create closely). Older
// entries (directories, whose information a restore sets last) are known
// by device, inode number and birth time.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

#include "util/unique_fd.h"

struct DRVDLE;

// What tells one inode from another, also after the first was removed and
// its number given to a new one (where the file system keeps birth times).
struct OBJECT_IDENTITY {
    dev_t dev = 0;
    ino_t ino = 0;
    mode_t type = 0;  // the S_IFMT bits
    bool has_btime = false;
    int64_t btime_sec = 0;
    uint32_t btime_nsec = 0;
};

// Examines the object fd holds (any descriptor, O_PATH included): its
// identity, and its status where st is given. false when it cannot be.
bool ExamineObject(int fd, OBJECT_IDENTITY* id, struct stat* st = nullptr);

// The form of a path below the export root that the record is keyed by:
// components joined by single '/', without "." components or a leading or
// trailing '/'. "a//./b/" and "/a/b" both become "a/b".
std::string CreatedObjectKey(std::string_view rel);

class CreatedObjects {
public:
    // Bounds: a restore's files get their information right after their
    // data, its directories at its end.
    static constexpr size_t kMaxObjects = 8192;        // other than directories
    static constexpr size_t kMaxDirectories = 262144;
    static constexpr size_t kHeldDescriptors = 32;

    CreatedObjects() = default;
    CreatedObjects(const CreatedObjects&) = delete;
    CreatedObjects& operator=(const CreatedObjects&) = delete;
    ~CreatedObjects();

    // rel now leads to the object id that this session made; held, when
    // valid, is a descriptor of it that the record keeps while the entry is
    // among the most recent. Replaces what rel had.
    void Record(std::string_view rel, const OBJECT_IDENTITY& id, UniqueFd held);
    // rel no longer stands for an object this session made.
    void Forget(std::string_view rel);

    struct Entry {
        OBJECT_IDENTITY id;
        int held = -1;  // descriptor of the inode, or -1
    };
    // The entry of rel, or nullptr when the session made nothing there.
    const Entry* Find(std::string_view rel) const;

    size_t size() const { return entries_.size(); }

private:
    struct Slot {
        Entry entry;
        std::list<const std::string*>::iterator order;
    };
    void Release(Slot* slot);
    void Drop(std::unordered_map<std::string, Slot>::iterator it);
    void Hold(Slot* slot, UniqueFd fd);

    std::unordered_map<std::string, Slot> entries_;
    std::list<const std::string*> objects_order_;      // oldest first
    std::list<const std::string*> directories_order_;  // oldest first
    // Entries holding a descriptor, round robin.
    Slot* holders_[kHeldDescriptors] = {};
    size_t next_holder_ = 0;
};

// The record of an attachment, made at its first use; nullptr when memory
// is short (nothing is then recorded, and nothing counts as made).
CreatedObjects* CreatedObjectsOf(DRVDLE* drvdle);
// The record if the attachment has one.
const CreatedObjects* FindCreatedObjects(const DRVDLE* drvdle);
// At the attachment's release.
void ReleaseCreatedObjects(DRVDLE* drvdle);

// What the object at a name is to the record.
enum class NameStanding {
    kNotMade,   // the session made nothing under this name
    kMade,      // the name leads to the inode the session made there
    kReplaced,  // the session made an object there, and the name now leads to another
};
NameStanding StandingOf(const DRVDLE* drvdle, std::string_view rel, const OBJECT_IDENTITY& now);
