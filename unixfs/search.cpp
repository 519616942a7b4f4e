#include "unixfs/search.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <unistd.h>

#include "unixfs/attach_records.h"
#include "unixfs/handle_table.h"
#include "util/debug_print.h"

namespace {

constexpr int kNotFound = -505;
constexpr int kCannotOpen = -504;
constexpr int kIoError = -499;

// Live searches, oldest at the head; what they hold in all.
Queue live_searches;
size_t live_bytes = 0;

size_t Footprint(const SEARCH_STATE* state) { return sizeof(SEARCH_STATE) + state->names.capacity(); }

void CopyText(char* out, size_t size, std::string_view text) {
    size_t len = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(out, text.data(), len);
    out[len] = '\0';
}

void ReleaseSearch(SEARCH_STATE* state) {
    if (state->handle != 0) {
        RemoveElem(&live_searches, &state->link);
        live_bytes -= Footprint(state);
        ReleaseHandle(session_handles(), state->handle);
    }
    if (state->owner != nullptr && state->owner->hdir == state) state->owner->hdir = nullptr;
    if (state->dir_fd >= 0) close(state->dir_fd);
    delete state;
}

// Keeps abandoned searches from holding unbounded descriptors and memory:
// beyond the bounds the oldest give way, never the one just started.
void EnforceBounds(const SEARCH_STATE* keep) {
    while (live_searches.head != nullptr &&
           (static_cast<size_t>(live_searches.count) > kMaxLiveSearches || live_bytes > kMaxLiveSearchBytes)) {
        auto* oldest = reinterpret_cast<SEARCH_STATE*>(live_searches.head);
        if (oldest == keep) break;
        DEBUG_PRINTF(DBG_DIR, "releasing abandoned search of '%s'\n", oldest->path);
        ReleaseSearch(oldest);
    }
}

// Reads every name of the directory once, "." and ".." left out, into the
// state's one buffer. 0, or the errno of the failure.
int ReadNames(SEARCH_STATE* state) {
    int fd = openat(state->dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        int err = errno;
        close(fd);
        return err;
    }
    int err = 0;
    try {
        for (;;) {
            errno = 0;
            const dirent* entry = readdir(dir);
            if (entry == nullptr) {
                err = errno;
                break;
            }
            const char* name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
            state->names.insert(state->names.end(), name, name + std::strlen(name) + 1);
        }
        state->names.shrink_to_fit();
    } catch (const std::bad_alloc&) {
        err = ENOMEM;
    }
    closedir(dir);
    return err;
}

}  // namespace

int FindFirstUnix(SEARCH_STATE** hdir, const SEARCH_ROOT& root, const char* rel_path, DTA* dta) {
    *hdir = nullptr;
    auto* state = new (std::nothrow) SEARCH_STATE{};
    if (state == nullptr) {
        DEBUG_PRINTF(DBG_CONFIG, "Malloc failed for findfirstunix hdir\n");
        return kIoError;
    }
    state->dir_fd = -1;
    state->owner = root.owner;
    state->follow = LINK_FOLLOW{root.policy, root.root_fd, state->rel_path};

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
    CopyText(state->rel_path, sizeof state->rel_path, dir_rel);
    CopyText(state->path, sizeof state->path, root.export_path);
    ConcatPath(state->path, sizeof state->path, state->rel_path);
    if (state->rel_path[0] == '\0') DEBUG_PRINTF(DBG_CONFIG, "using . for root\n");

    UniqueFd dir = OpenDirBeneath(root.root_fd, state->rel_path, root.policy);
    int err = dir.valid() ? 0 : errno;
    state->dir_fd = dir.release();
    if (err == 0) err = ReadNames(state);
    if (err != 0) {
        DEBUG_PRINTF(DBG_CONFIG, "opendir failed for path '%s' errno=%d\n", state->path, err);
        ReleaseSearch(state);
        return err == ENOMEM ? kIoError : kCannotOpen;
    }
    state->handle = IssueHandle(session_handles(), state, HANDLE_KIND_SEARCH);
    if (state->handle == 0) {
        ReleaseSearch(state);
        return kIoError;
    }
    EnQueueElem(&live_searches, &state->link, 0);
    live_bytes += Footprint(state);
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
    while (!hdir->end && hdir->next_name < hdir->names.size()) {
        const char* name = hdir->names.data() + hdir->next_name;
        hdir->next_name += std::strlen(name) + 1;
        // A name that vanished since it was read (or cannot be described)
        // is passed over; the rest of the directory is still listed.
        if (FillinDTAAt(hdir->dir_fd, hdir->path, name, hdir->follow, dta) == 0) return 0;
    }
    hdir->end = true;
    DEBUG_PRINTF(DBG_DIR, "FindNextUnix: readdir returned NULL\n");
    return kNotFound;
}

void UnixFindClose(SEARCH_STATE** hdir) {
    if (*hdir != nullptr) ReleaseSearch(*hdir);
    *hdir = nullptr;
}

SEARCH_STATE* LookupSearch(uint32_t handle) {
    return static_cast<SEARCH_STATE*>(LookupHandle(session_handles(), handle, HANDLE_KIND_SEARCH));
}

void ReleaseSearchesOf(const DRVDLE* owner) {
    auto* state = reinterpret_cast<SEARCH_STATE*>(live_searches.head);
    while (state != nullptr) {
        auto* next = reinterpret_cast<SEARCH_STATE*>(state->link.next);
        if (state->owner == owner) ReleaseSearch(state);
        state = next;
    }
}

void ReleaseAllSearches() {
    while (live_searches.head != nullptr) ReleaseSearch(reinterpret_cast<SEARCH_STATE*>(live_searches.head));
}

size_t LiveSearchCount() { return static_cast<size_t>(live_searches.count); }
size_t LiveSearchBytes() { return live_bytes; }
