#include "unixfs/tree/search.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "unixfs/session/attach_records.h"
#include "unixfs/session/handle_table.h"
#include "unixfs/host/paths.h"
#include "unixfs/session/workstation.h"
#include "util/console.h"
#include "util/debug_print.h"

namespace {

constexpr int kNotFound = -505;
constexpr int kCannotOpen = -504;
constexpr int kIoError = -499;

// Marks kept to pass over entries read before a rest: the last ones read
// before it, and those of an earlier rest not met again yet.
constexpr size_t kMaxPassedMarks = 2 * kSearchMarks;
// What one search holds, counted from above: the record with every mark at
// its longest, and the read buffer of an open stream.
constexpr size_t kMarkBytes = sizeof(SEARCH_MARK) + NAME_MAX + 1;
// Its two path texts: the export path and a current directory with a name.
constexpr size_t kPathBytes = 2 * (kExportPathSize + 2 * (NAME_MAX + 1));
constexpr size_t kRestingBytes =
    sizeof(SEARCH_STATE) + kPathBytes + (2 * kSearchMarks + kMaxPassedMarks) * kMarkBytes;
constexpr size_t kStreamBytes = 32u << 10;

// Searches with an open stream, least recently used first; searches at rest,
// put to rest longest ago first; what all of them hold.
Queue open_searches;
Queue resting_searches;
size_t live_bytes = 0;
// Listings given up for the bound, told on the console a limited number of times.
ConsoleRepeats given_up_console{};

size_t Footprint(const SEARCH_STATE* state) { return kRestingBytes + (state->stream != nullptr ? kStreamBytes : 0); }

// A search is in one of the two queues from the moment it has a handle.
Queue* QueueOf(const SEARCH_STATE* state) { return state->stream != nullptr ? &open_searches : &resting_searches; }

void Unlink(SEARCH_STATE* state) {
    if (state->handle == 0) return;
    RemoveElem(QueueOf(state), &state->link);
    live_bytes -= Footprint(state);
}

void Link(SEARCH_STATE* state) {
    if (state->handle == 0) return;
    InsertElem(QueueOf(state), nullptr, &state->link, 0);
    live_bytes += Footprint(state);
}

void CopyText(char* out, size_t size, std::string_view text) {
    size_t len = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(out, text.data(), len);
    out[len] = '\0';
}

void ReleaseSearch(SEARCH_STATE* state) {
    Unlink(state);
    if (state->handle != 0) ReleaseHandle(state->handles, state->handle);
    if (state->owner != nullptr && state->owner->hdir == state) state->owner->hdir = nullptr;
    if (state->stream != nullptr) closedir(state->stream);
    delete state;
}

// A readable stream of the directory open as dir_fd (an O_PATH descriptor).
// nullptr and errno on failure.
DIR* OpenStream(int dir_fd) {
    int fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    DIR* stream = fdopendir(fd);
    if (stream == nullptr) {
        int err = errno;
        close(fd);
        errno = err;
    }
    return stream;
}

// The entries read last, in the order they were read.
std::vector<SEARCH_MARK> RecentMarks(const SEARCH_STATE* state) {
    uint32_t count = state->recent_count < kSearchMarks ? state->recent_count : kSearchMarks;
    std::vector<SEARCH_MARK> marks;
    marks.reserve(count);
    for (uint32_t i = state->recent_count - count; i < state->recent_count; ++i) {
        marks.push_back(state->recent[i % kSearchMarks]);
    }
    return marks;
}

void Remember(SEARCH_STATE* state, const dirent* entry) {
    SEARCH_MARK& mark = state->recent[state->recent_count % kSearchMarks];
    mark.ino = entry->d_ino;
    mark.name.assign(entry->d_name);
    state->recent_count++;
}

// Removes the mark that entry matches, if any; true when there was one.
bool TakeMark(std::vector<SEARCH_MARK>& marks, const dirent* entry) {
    for (auto it = marks.begin(); it != marks.end(); ++it) {
        if (it->ino == entry->d_ino && it->name == entry->d_name) {
            marks.erase(it);
            return true;
        }
    }
    return false;
}

// Gives up the stream of a search that was not used for longest. What it
// read last is kept: an entry whose name and inode are unchanged keeps its
// place among the other unchanged entries when the directory is read
// again, so reading can go on after the first of them met again. False
// (nothing changed) when memory is short.
bool PutToRest(SEARCH_STATE* state) {
    std::vector<SEARCH_MARK> last;
    std::vector<SEARCH_MARK> passed;
    try {
        last = RecentMarks(state);
        passed.reserve(state->passed.size() + last.size());
        passed.assign(state->passed.begin(), state->passed.end());
        passed.insert(passed.end(), last.begin(), last.end());
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (passed.size() > kMaxPassedMarks) passed.erase(passed.begin(), passed.end() - kMaxPassedMarks);
    DEBUG_PRINTF(DBG_DIR, "search of '%s' put to rest after %u entries\n", state->path.c_str(), state->entry_index);
    Unlink(state);
    state->passed = std::move(passed);
    state->resume = std::move(last);
    state->resume_index = state->entry_index;
    state->resume_cookie = telldir(state->stream);
    closedir(state->stream);
    state->stream = nullptr;
    Link(state);
    return true;
}

// Keeps abandoned searches from holding unbounded descriptors and memory:
// beyond the bounds the least recently used give way, first their streams,
// far later the searches themselves; never the one being served.
void EnforceBounds(const SEARCH_STATE* keep) {
    while (static_cast<size_t>(open_searches.count) > kMaxLiveSearches) {
        auto* lru = QueueHead<SEARCH_STATE>(open_searches);
        if (lru == keep) lru = QueueNext(lru);
        if (lru == nullptr) break;
        if (!PutToRest(lru)) ReleaseSearch(lru);
    }
    while (SearchCount() > kMaxSearches || live_bytes > kMaxLiveSearchBytes) {
        auto* lru = QueueHead<SEARCH_STATE>(resting_searches);
        if (lru == nullptr) {
            lru = QueueHead<SEARCH_STATE>(open_searches);
            if (lru == keep) lru = QueueNext(lru);
        }
        if (lru == nullptr) break;
        DEBUG_PRINTF(DBG_DIR, "releasing abandoned search of '%s'\n", lru->path.c_str());
        // The one way a listing can still end early: the administrator hears of it.
        if (!lru->end) {
            ConsoleMessage(&given_up_console,
                           "listing of '%s' given up: more than %zu searches were left unfinished\n", lru->path.c_str(),
                           kMaxSearches);
        }
        ReleaseSearch(lru);
    }
}

// Marks the search as the most recently used one.
void Touch(SEARCH_STATE* state) {
    if (open_searches.tail == &state->link) return;
    Unlink(state);
    Link(state);
}

// Opens a resting search's directory again: the same directory, reached
// the same way. 0, or -499 when it is gone or another one took its place.
int Reopen(SEARCH_STATE* state) {
    const DRVDLE* owner = state->owner;
    if (owner == nullptr || owner->root_fd < 0) return kIoError;
    UniqueFd dir = OpenDirBeneath(owner->root_fd, state->rel_path, state->follow.policy);
    DIR* stream = dir.valid() ? OpenStream(dir.get()) : nullptr;
    if (stream == nullptr) {
        DEBUG_PRINTF(DBG_CONFIG, "opendir failed for path '%s' errno=%d\n", state->path.c_str(), errno);
        return kIoError;
    }
    struct stat st {};
    if (fstat(dirfd(stream), &st) != 0 || st.st_dev != state->dir_dev || st.st_ino != state->dir_ino) {
        DEBUG_PRINTF(DBG_DIR, "directory '%s' was replaced while it was listed\n", state->path.c_str());
        closedir(stream);
        return kIoError;
    }
    Unlink(state);
    state->stream = stream;
    state->entry_index = 0;
    Link(state);
    DEBUG_PRINTF(DBG_DIR, "search of '%s' resumed after %u entries\n", state->path.c_str(), state->resume_index);
    EnforceBounds(state);
    return 0;
}

// None of the entries read last before the rest is there any more: go on
// from the position the stream had then, which the file system keeps for
// its directories; failing that, after as many entries as were read before
// them.
void ResumeAtPosition(SEARCH_STATE* state) {
    DEBUG_PRINTF(DBG_DIR, "Size of directory changed while reading it\n");
    uint32_t before = state->resume_index > state->resume.size()
                          ? state->resume_index - static_cast<uint32_t>(state->resume.size())
                          : 0;
    state->resume.clear();
    if (state->resume_cookie >= 0) {
        seekdir(state->stream, state->resume_cookie);
        state->entry_index = state->resume_index;
        return;
    }
    rewinddir(state->stream);
    state->entry_index = 0;
    while (state->entry_index < before) {
        const dirent* entry = readdir(state->stream);
        if (entry == nullptr) break;
        state->entry_index++;
        Remember(state, entry);
    }
}

bool IsDotEntry(const char* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

}  // namespace

int FindFirstUnix(SEARCH_STATE** hdir, const SEARCH_ROOT& root, const char* rel_path, DTA* dta) {
    *hdir = nullptr;
    auto* state = new (std::nothrow) SEARCH_STATE{};
    if (state == nullptr) {
        DEBUG_PRINTF(DBG_CONFIG, "Malloc failed for findfirstunix hdir\n");
        return kIoError;
    }
    // The ring of entries read last never allocates once it is made.
    try {
        for (SEARCH_MARK& mark : state->recent) mark.name.reserve(NAME_MAX);
    } catch (const std::bad_alloc&) {
        delete state;
        DEBUG_PRINTF(DBG_CONFIG, "Malloc failed for findfirstunix hdir\n");
        return kIoError;
    }
    state->owner = root.owner;

    // A last component with '*' selects the directory before it; the pattern
    // itself selects nothing.
    std::string_view dir_rel(rel_path);
    if (is_glob_needed(rel_path)) {
        size_t slash = dir_rel.rfind('/');
        std::string_view pattern = slash == std::string_view::npos ? dir_rel : dir_rel.substr(slash + 1);
        if (pattern != "*.*") DEBUG_PRINTF(DBG_CONFIG, "Detected globbing characters - path is '%s'\n", rel_path);
        CopyText(state->pattern, sizeof state->pattern, pattern);
        if (slash == std::string_view::npos) {
            dir_rel = std::string_view();
        } else {
            dir_rel = dir_rel.substr(0, slash == 0 ? 1 : slash);
        }
    }
    try {
        state->rel_path.assign(dir_rel);
        state->path = JoinPath(root.export_path, state->rel_path);
    } catch (const std::bad_alloc&) {
        delete state;
        DEBUG_PRINTF(DBG_CONFIG, "Malloc failed for findfirstunix hdir\n");
        return kIoError;
    }
    // The text stays as it is for the life of the search.
    state->follow = LINK_FOLLOW{root.policy, root.root_fd, state->rel_path.c_str()};
    if (state->rel_path.empty()) DEBUG_PRINTF(DBG_CONFIG, "using . for root\n");

    UniqueFd dir = OpenDirBeneath(root.root_fd, state->rel_path, root.policy);
    state->stream = dir.valid() ? OpenStream(dir.get()) : nullptr;
    struct stat st {};
    if (state->stream == nullptr || fstat(dirfd(state->stream), &st) != 0) {
        int err = errno;
        DEBUG_PRINTF(DBG_CONFIG, "opendir failed for path '%s' errno=%d\n", state->path.c_str(), err);
        ReleaseSearch(state);
        return err == ENOMEM ? kIoError : kCannotOpen;
    }
    state->dir_dev = st.st_dev;
    state->dir_ino = st.st_ino;
    state->handles = root.handles;
    state->handle = IssueHandle(state->handles, state, HANDLE_KIND_SEARCH);
    if (state->handle == 0) {
        ReleaseSearch(state);
        return kIoError;
    }
    Link(state);
    EnforceBounds(state);

    int result = FindNextUnix(state, dta);
    if (result != 0) {
        ReleaseSearch(state);
        return result;
    }
    *hdir = state;
    return 0;
}

int FindNextUnix(SEARCH_STATE* hdir, DTA* dta) {
    if (!hdir->end) {
        if (hdir->stream == nullptr) {
            int rc = Reopen(hdir);
            if (rc != 0) return rc;
        } else {
            Touch(hdir);
        }
    }
    while (!hdir->end) {
        errno = 0;
        const dirent* entry = readdir(hdir->stream);
        if (entry == nullptr) {
            if (errno != 0) {
                DEBUG_PRINTF(DBG_CONFIG, "readdir failed for path '%s' errno=%d\n", hdir->path.c_str(), errno);
                return kIoError;
            }
            if (!hdir->resume.empty()) {
                ResumeAtPosition(hdir);
                continue;
            }
            hdir->end = true;
            break;
        }
        hdir->entry_index++;
        Remember(hdir, entry);
        // Back from a rest: everything up to the first entry met again of
        // those read last was read before, and those read before are not
        // listed twice.
        if (!hdir->resume.empty()) {
            if (TakeMark(hdir->resume, entry)) {
                hdir->resume.clear();
                TakeMark(hdir->passed, entry);
            }
            continue;
        }
        if (!hdir->passed.empty() && TakeMark(hdir->passed, entry)) continue;
        if (IsDotEntry(entry->d_name)) continue;
        // A name that vanished since it was read (or cannot be described)
        // is passed over; the rest of the directory is still listed.
        if (FillinDTAAt(dirfd(hdir->stream), hdir->path.c_str(), entry->d_name, hdir->follow, dta) == 0) return 0;
    }
    DEBUG_PRINTF(DBG_DIR, "FindNextUnix: readdir returned NULL\n");
    return kNotFound;
}

void UnixFindClose(SEARCH_STATE** hdir) {
    if (*hdir != nullptr) ReleaseSearch(*hdir);
    *hdir = nullptr;
}

SEARCH_STATE* LookupSearch(const HANDLE_TABLE* handles, uint32_t handle) {
    return static_cast<SEARCH_STATE*>(LookupHandle(handles, handle, HANDLE_KIND_SEARCH));
}

void ReleaseSearchesOf(const DRVDLE* owner) {
    for (Queue* queue : {&open_searches, &resting_searches}) {
        auto* state = QueueHead<SEARCH_STATE>(*queue);
        while (state != nullptr) {
            auto* next = QueueNext(state);
            if (state->owner == owner) ReleaseSearch(state);
            state = next;
        }
    }
}

void ReleaseAllSearches() {
    for (Queue* queue : {&open_searches, &resting_searches}) {
        while (queue->head != nullptr) ReleaseSearch(QueueHead<SEARCH_STATE>(*queue));
    }
    ReportSuppressedConsole(&given_up_console);
}

size_t LiveSearchCount() { return static_cast<size_t>(open_searches.count); }
size_t SearchCount() { return static_cast<size_t>(open_searches.count) + static_cast<size_t>(resting_searches.count); }
size_t LiveSearchBytes() { return live_bytes; }
