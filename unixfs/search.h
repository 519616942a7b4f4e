// Directory searches. A search reads the names of its directory once, when
// it starts, into one compact buffer, and keeps a descriptor of the
// directory; each step describes the next name through that descriptor. So a
// walk costs time linear in the directory's size, every entry that exists
// throughout the walk is returned exactly once whatever is added or removed
// meanwhile, and an entry that vanished before it could be described is
// skipped. Searches are named on the wire by session handles of kind SEARCH
// and stay resumable in any order; the live ones are bounded in number and
// memory, the oldest giving way first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "unixfs/confined_path.h"
#include "unixfs/object_describe.h"
#include "unixfs/paths.h"
#include "util/queue.h"

struct DRVDLE;

constexpr size_t kSearchPatternSize = 64;
// A recursive walk keeps one search per level alive; a 256-character path
// has at most 128 levels.
constexpr size_t kMaxLiveSearches = 160;
constexpr size_t kMaxLiveSearchBytes = 64u << 20;

struct SEARCH_STATE {
    QElem link;                        // element of the live searches, oldest first
    uint32_t handle;                   // search handle stored in the DBLKs it returns
    DRVDLE* owner;                     // attachment that started it (nullptr: none)
    int dir_fd;                        // O_PATH descriptor of the directory
    LINK_FOLLOW follow;                // which links to directories are described as directories
    uint16_t find_type;                // find_type of the GRFS_FIND_FIRST_OBJ that started it
    bool end;                          // every name has been handed out
    char path[UNIX_MAX_PSIZE + 1];     // the directory as a full path text
    char rel_path[UNIX_MAX_PSIZE + 1]; // the same relative to the DLE's root
    char pattern[kSearchPatternSize];  // wildcard component, kept but not applied
    std::vector<char> names;           // the entry names, each with its zero
    size_t next_name;                  // offset of the next name to hand out
};

// Where a search may look: a descriptor of the export root and its path
// text, and whether links below it may be followed.
struct SEARCH_ROOT {
    int root_fd;
    const char* export_path;
    LinkPolicy policy;
    DRVDLE* owner;
};

// Starts a search of rel_path (relative to the root; a last component holding
// '*' selects the directory before it) and fills dta with its first entry.
// On success *hdir is the new live search; on failure no search is left
// (*hdir is nullptr). 0, -504 (the directory cannot be opened), -505 (no
// entry, or rel_path climbs out with ".."), -499 (no memory, unreadable).
int FindFirstUnix(SEARCH_STATE** hdir, const SEARCH_ROOT& root, const char* rel_path, DTA* dta);

// Fills dta with the next entry that can be described. 0, or -505 when the
// directory is exhausted.
int FindNextUnix(SEARCH_STATE* hdir, DTA* dta);

// Ends a search and releases it; *hdir becomes nullptr.
void UnixFindClose(SEARCH_STATE** hdir);

// The live search a handle names, or nullptr.
SEARCH_STATE* LookupSearch(uint32_t handle);

// Releases every search an attachment started (detach).
void ReleaseSearchesOf(const DRVDLE* owner);
// Releases every live search (session end).
void ReleaseAllSearches();

// What the live searches hold now.
size_t LiveSearchCount();
size_t LiveSearchBytes();
