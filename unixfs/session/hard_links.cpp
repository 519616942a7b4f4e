// The hard-link table of a restore, held in the hard_link_list of the session
// process's workstation record. Entries are keyed by device and inode: an inode number alone is not
// unique across the file systems one export may span.
//
// The queue keeps the entries oldest first; a hash index over it finds a key
// without walking the queue. A server names as many multiply linked files as
// it likes, so the table has a bound: past it the oldest entries go, and a
// later name of such a file is restored as a file of its own (a link is lost,
// never data).
#include "unixfs/session/hard_links.h"

#include <cstring>
#include <vector>

#include "unixfs/session/workstation.h"
#include "util/alloc.h"
#include "util/debug_print.h"
#include "util/queue.h"

namespace {

struct HARD_LINK_ENTRY {
    QElem link;
    HARD_LINK_KEY key;
    HARD_LINK_ENTRY* next_in_bucket;
    size_t bytes;  // what the entry holds, its path included
    char* path;
};

// The memory the table may hold. Each entry counts with its path, its share
// of the index and the allocator's overhead: some 500,000 entries of short
// paths fit, or 16,000 of the longest.
constexpr size_t kMaxBytes = size_t{64} << 20;
constexpr size_t kAllocatorOverhead = 2 * 16;
constexpr size_t kMinBuckets = 64;

// The index over the workstation record's hard_link_list: buckets of entries chained by
// next_in_bucket, never fewer buckets than entries.
struct Index {
    std::vector<HARD_LINK_ENTRY*> buckets;
    const QElem* oldest = nullptr;  // the queue's head when the index last saw it
    size_t entries = 0;
    size_t bytes = 0;
    bool dropped = false;  // entries were dropped since the last reset
};
Index table_index;

bool same_key(const HARD_LINK_KEY& a, const HARD_LINK_KEY& b) {
    return a.st_dev == b.st_dev && a.st_ino.lsw == b.st_ino.lsw && a.st_ino.msw == b.st_ino.msw;
}

size_t hash_key(const HARD_LINK_KEY& key) {
    uint64_t h = AsU64(key.st_ino) ^
                 (static_cast<uint64_t>(key.st_dev) * 0x9E3779B97F4A7C15ull);
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    return static_cast<size_t>(h);
}

HARD_LINK_ENTRY*& bucket_of(const HARD_LINK_KEY& key) {
    return table_index.buckets[hash_key(key) & (table_index.buckets.size() - 1)];
}

void index_entry(HARD_LINK_ENTRY* entry) {
    HARD_LINK_ENTRY*& head = bucket_of(entry->key);
    entry->next_in_bucket = head;
    head = entry;
}

// Builds the index anew from the queue, with room for at least `want`
// entries. The queue is the truth: it may also have been emptied without
// the index knowing (a workstation record cleared wholesale).
void rebuild_index(WS_CNTL* ws, size_t want) {
    size_t n = kMinBuckets;
    while (n < want) n *= 2;
    table_index.buckets.assign(n, nullptr);
    table_index.oldest = ws->hard_link_list.head;
    table_index.entries = 0;
    table_index.bytes = 0;
    for (auto* entry = QueueHead<HARD_LINK_ENTRY>(ws->hard_link_list); entry != nullptr;
         entry = QueueNext(entry)) {
        index_entry(entry);
        ++table_index.entries;
        table_index.bytes += entry->bytes;
    }
}

void ensure_index(WS_CNTL* ws) {
    if (table_index.buckets.empty() || table_index.oldest != ws->hard_link_list.head) {
        rebuild_index(ws, table_index.entries);
    }
}

HARD_LINK_ENTRY* find(WS_CNTL* ws, const HARD_LINK_KEY& key) {
    ensure_index(ws);
    for (HARD_LINK_ENTRY* e = bucket_of(key); e != nullptr; e = e->next_in_bucket) {
        if (same_key(e->key, key)) return e;
    }
    return nullptr;
}

void free_entry(HARD_LINK_ENTRY* entry) {
    MYFREE(entry->path);
    MYFREE(entry);
}

// Takes the oldest entry off the queue and the index.
void drop_oldest(WS_CNTL* ws) {
    auto* oldest = reinterpret_cast<HARD_LINK_ENTRY*>(DeQueueElem(&ws->hard_link_list));
    if (oldest == nullptr) return;
    for (HARD_LINK_ENTRY** at = &bucket_of(oldest->key); *at != nullptr; at = &(*at)->next_in_bucket) {
        if (*at == oldest) {
            *at = oldest->next_in_bucket;
            break;
        }
    }
    table_index.oldest = ws->hard_link_list.head;
    --table_index.entries;
    table_index.bytes -= oldest->bytes;
    free_entry(oldest);
}

// Makes room for one more entry of `bytes` within the bound.
void make_room(WS_CNTL* ws, size_t bytes) {
    if (table_index.bytes + bytes <= kMaxBytes) return;
    if (!table_index.dropped) {
        DEBUG_PRINTF(DBG_DATA,
                     "Hard link table full (%d entries): dropping its oldest entries; later names of their files "
                     "are restored as separate files\n",
                     static_cast<int>(table_index.entries));
        table_index.dropped = true;
    }
    while (table_index.entries > 0 && table_index.bytes + bytes > kMaxBytes) drop_oldest(ws);
}

}  // namespace

void HardLinkersReset(WS_CNTL* ws) {
    DEBUG_PRINTF(DBG_DATA, "Resetting hard link info\n");
    while (QElem* e = DeQueueElem(&ws->hard_link_list)) free_entry(reinterpret_cast<HARD_LINK_ENTRY*>(e));
    // The memory of the index goes back too, not only its entries.
    std::vector<HARD_LINK_ENTRY*>().swap(table_index.buckets);
    table_index = Index{};
}

int HardLinkersAddLink(WS_CNTL* ws, const HARD_LINK_KEY& key, const char* path) {
    DEBUG_PRINTF(DBG_DATA, "Adding first hard link info for %s, inodeKey=<%d,%d>\n", path,
                 static_cast<int>(key.st_ino.msw), static_cast<int>(key.st_ino.lsw));
    if (find(ws, key) != nullptr) return 0;  // the first name recorded wins
    const size_t length = std::strlen(path) + 1;
    const size_t bytes = sizeof(HARD_LINK_ENTRY) + length + 2 * sizeof(HARD_LINK_ENTRY*) + kAllocatorOverhead;
    make_room(ws, bytes);
    auto* entry = static_cast<HARD_LINK_ENTRY*>(MYCALLOC(1, sizeof(HARD_LINK_ENTRY)));
    char* copy = entry != nullptr ? static_cast<char*>(MYMALLOC(length)) : nullptr;
    if (copy == nullptr) {
        DEBUG_PRINTF(DBG_DATA, "Malloc failed in HardLinkersAddLink\n");
        if (entry != nullptr) MYFREE(entry);
        return 1;
    }
    std::memcpy(copy, path, length);
    entry->key = key;
    entry->path = copy;
    entry->bytes = bytes;
    InitQElem(&entry->link);
    if (table_index.entries + 1 > table_index.buckets.size()) rebuild_index(ws, 2 * table_index.buckets.size());
    EnQueueElem(&ws->hard_link_list, &entry->link, 0);
    table_index.oldest = ws->hard_link_list.head;
    index_entry(entry);
    ++table_index.entries;
    table_index.bytes += bytes;
    return 0;
}

const char* HardLinkersLookup(WS_CNTL* ws, const HARD_LINK_KEY& key) {
    if (const HARD_LINK_ENTRY* entry = find(ws, key)) {
        DEBUG_PRINTF(DBG_DATA, "First hard link found for inodeKey=<%d,%d> is %s\n", static_cast<int>(key.st_ino.msw),
                     static_cast<int>(key.st_ino.lsw), entry->path);
        return entry->path;
    }
    DEBUG_PRINTF(DBG_DATA, "No hard links found for inodeKey=<%d,%d>\n", static_cast<int>(key.st_ino.msw),
                 static_cast<int>(key.st_ino.lsw));
    return nullptr;
}
