// The hard-link table of a restore, held in the session process's copy of
// ws_cntl. Entries are keyed by device and inode: an inode number alone is not
// unique across the file systems one export may span.
#include "unixfs/hard_links.h"

#include <cstring>

#include "unixfs/workstation.h"
#include "util/alloc.h"
#include "util/debug_print.h"
#include "util/queue.h"

namespace {

struct HARD_LINK_ENTRY {
    QElem link;
    HARD_LINK_KEY key;
    char* path;
};

bool same_key(const HARD_LINK_KEY& a, const HARD_LINK_KEY& b) {
    return a.st_dev == b.st_dev && a.st_ino.lsw == b.st_ino.lsw && a.st_ino.msw == b.st_ino.msw;
}

}  // namespace

void HardLinkersReset() {
    DEBUG_PRINTF(DBG_DATA, "Resetting hard link info\n");
    while (QElem* e = DeQueueElem(&ws_cntl.hard_link_list)) {
        auto* entry = reinterpret_cast<HARD_LINK_ENTRY*>(e);
        MYFREE(entry->path);
        MYFREE(entry);
    }
}

int HardLinkersAddLink(const HARD_LINK_KEY& key, const char* path) {
    DEBUG_PRINTF(DBG_DATA, "Adding first hard link info for %s, inodeKey=<%d,%d>\n", path,
                 static_cast<int>(key.st_ino.msw), static_cast<int>(key.st_ino.lsw));
    auto* entry = static_cast<HARD_LINK_ENTRY*>(MYCALLOC(1, sizeof(HARD_LINK_ENTRY)));
    const size_t length = std::strlen(path) + 1;
    char* copy = entry != nullptr ? static_cast<char*>(MYMALLOC(length)) : nullptr;
    if (copy == nullptr) {
        DEBUG_PRINTF(DBG_DATA, "Malloc failed in HardLinkersAddLink\n");
        if (entry != nullptr) MYFREE(entry);
        return 1;
    }
    std::memcpy(copy, path, length);
    entry->key = key;
    entry->path = copy;
    InitQElem(&entry->link);
    EnQueueElem(&ws_cntl.hard_link_list, &entry->link, 0);
    return 0;
}

const char* HardLinkersLookup(const HARD_LINK_KEY& key) {
    for (auto* entry = QueueHead<HARD_LINK_ENTRY>(ws_cntl.hard_link_list); entry != nullptr;
         entry = QueueNext(entry)) {
        if (same_key(entry->key, key)) {
            DEBUG_PRINTF(DBG_DATA, "First hard link found for inodeKey=<%d,%d> is %s\n",
                         static_cast<int>(key.st_ino.msw), static_cast<int>(key.st_ino.lsw), entry->path);
            return entry->path;
        }
    }
    DEBUG_PRINTF(DBG_DATA, "No hard links found for inodeKey=<%d,%d>\n", static_cast<int>(key.st_ino.msw),
                 static_cast<int>(key.st_ino.lsw));
    return nullptr;
}
