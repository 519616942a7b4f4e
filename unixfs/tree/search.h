// Directory searches. A search keeps its directory stream open and reads on
// with each step, so a walk costs time linear in the directory's size and
// every entry that exists throughout the walk is returned exactly once
// whatever is added or removed meanwhile; an entry that vanished before it
// could be described is skipped. Starting a search reads no more than one
// buffer of names.
//
// Searches are named on the wire by session handles of kind SEARCH and stay
// resumable in any order. Open streams are bounded: beyond the bound the
// least recently used search is put to rest (its stream closed, the last
// entries it read kept), and the step that resumes it opens the directory
// again, reads it in the same order and goes on after those entries. Only
// beyond a far larger bound on all searches is the least recently used one
// released; never the one being served.
#pragma once

#include <dirent.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "unixfs/host/confined_path.h"
#include "unixfs/session/handle_table.h"
#include "unixfs/tree/object_describe.h"
#include "unixfs/host/paths.h"
#include "util/queue.h"

struct DRVDLE;

constexpr size_t kSearchPatternSize = 64;
// A recursive walk keeps one search per level alive; a current directory
// (at most 256 bytes on the wire) has at most 128 levels.
constexpr size_t kMaxLiveSearches = 160;
// Searches at rest hold no descriptor and about a kilobyte each; half of the
// session's handles may name searches.
constexpr size_t kMaxSearches = 2048;
constexpr size_t kMaxLiveSearchBytes = 64u << 20;
// Entries remembered to find a search's place again after a rest.
constexpr size_t kSearchMarks = 8;

// One entry read from a directory, as it is known again: name and inode.
struct SEARCH_MARK {
    uint64_t ino;
    std::string name;
};

struct SEARCH_STATE {
    QElem link;                        // element of the open or the resting searches, least recently used first
    uint32_t handle;                   // search handle stored in the DBLKs it returns
    DRVDLE* owner;                     // attachment that started it (nullptr: none)
    HANDLE_TABLE* handles;             // the session's table that holds its handle
    DIR* stream;                       // the open directory; nullptr while at rest
    dev_t dir_dev;                     // the directory's identity, checked when it is opened again
    ino_t dir_ino;
    LINK_FOLLOW follow;                // which links to directories are described as directories
    uint16_t find_type;                // find_type of the GRFS_FIND_FIRST_OBJ that started it
    bool end;                          // every entry has been read
    uint32_t entry_index;              // entries read from the current stream
    std::string path;                  // the directory as a full path text (traces, the exclude list)
    std::string rel_path;              // the same relative to the DLE's root: what the search opens
    char pattern[kSearchPatternSize];  // wildcard component, kept but not applied
    SEARCH_MARK recent[kSearchMarks];  // the entries read last, a ring
    uint32_t recent_count;             // entries ever put into the ring
    // After a rest: the entries read last before it (reading goes on after
    // the first of them met again), and entries read before it that are
    // passed over when met again.
    std::vector<SEARCH_MARK> resume;
    std::vector<SEARCH_MARK> passed;
    uint32_t resume_index;             // entry_index when it was put to rest
    long resume_cookie;                // the stream's position then (telldir), -1 when unknown
};

// Where a search may look: a descriptor of the export root and its path
// text, and whether links below it may be followed; the session's table
// that names the search.
struct SEARCH_ROOT {
    int root_fd;
    const char* export_path;
    LinkPolicy policy;
    DRVDLE* owner;
    HANDLE_TABLE* handles;
};

// Starts a search of rel_path (relative to the root; a last component holding
// '*' selects the directory before it) and fills dta with its first entry.
// On success *hdir is the new live search; on failure no search is left
// (*hdir is nullptr). 0, -504 (the directory cannot be opened), -505 (no
// entry, or rel_path climbs out with ".."), -499 (no memory, unreadable).
int FindFirstUnix(SEARCH_STATE** hdir, const SEARCH_ROOT& root, const char* rel_path, DTA* dta);

// Fills dta with the next entry that can be described, opening a resting
// search's directory again first. 0, -505 when the directory is exhausted
// (or gone), -499 when it cannot be read.
int FindNextUnix(SEARCH_STATE* hdir, DTA* dta);

// Ends a search and releases it; *hdir becomes nullptr.
void UnixFindClose(SEARCH_STATE** hdir);

// The search a handle names (open or at rest), or nullptr.
SEARCH_STATE* LookupSearch(const HANDLE_TABLE* handles, uint32_t handle);

// Releases every search an attachment started (detach).
void ReleaseSearchesOf(const DRVDLE* owner);
// Releases every search (session end).
void ReleaseAllSearches();

// Searches holding an open directory stream; all searches, at rest included;
// what all of them hold.
size_t LiveSearchCount();
size_t SearchCount();
size_t LiveSearchBytes();
