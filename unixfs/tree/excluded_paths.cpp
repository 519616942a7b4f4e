#include "unixfs/tree/excluded_paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "unixfs/session/workstation.h"
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include "util/debug_print.h"

namespace {

// True when path has no empty and no "." component to drop (a lone "/" is
// the root): it is its own normal form.
bool IsNormal(std::string_view path) {
    if (path.empty()) return true;
    if (path == "/") return true;
    if (path.back() == '/') return false;
    size_t start = 0;
    if (path.front() == '/') start = 1;
    for (size_t k = start; k <= path.size(); ++k) {
        if (k < path.size() && path[k] != '/') continue;
        const size_t len = k - start;
        if (len == 0 || (len == 1 && path[start] == '.')) return false;
        start = k + 1;
    }
    return true;
}

// True when path (normalised) is entry (normalised) or lies below it. Asked
// for every entry on every open: a mismatch mostly shows at the first
// character after the leading "/", so the bytes are compared in place.
bool Covers(const char* entry, std::string_view path) {
    if (entry[0] == '\0') return false;
    size_t k = 0;
    while (entry[k] != '\0' && k < path.size() && entry[k] == path[k]) ++k;
    if (entry[k] != '\0') return false;
    return k == path.size() || path[k] == '/' || entry[k - 1] == '/';
}

// The name under which the directory whose status is child stands in the
// directory open as parent_fd; false when none does.
bool NameIn(int parent_fd, const struct stat& child, std::string* name) {
    UniqueFd again(openat(parent_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* stream = again.valid() ? fdopendir(again.get()) : nullptr;
    if (stream == nullptr) return false;
    (void)again.release();
    bool found = false;
    while (const dirent* e = readdir(stream)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        if (e->d_type != DT_DIR && e->d_type != DT_UNKNOWN) continue;
        // A mount point's entry carries the inode below the mount: the
        // status decides.
        struct stat st;
        if (fstatat(parent_fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == child.st_dev &&
            st.st_ino == child.st_ino) {
            name->assign(e->d_name);
            found = true;
            break;
        }
    }
    closedir(stream);
    return found;
}

// Where the directory open as dir_fd is, as an absolute path. The kernel
// tells it through /proc only below PATH_MAX; a deeper directory is named
// by climbing through ".." to an ancestor it tells, finding each level's
// name in its parent on the way.
bool WhereIs(int dir_fd, std::string* out) {
    char where[PATH_MAX];
    std::vector<std::string> names;
    UniqueFd cur(fcntl(dir_fd, F_DUPFD_CLOEXEC, 0));
    struct stat cur_st;
    if (!cur.valid() || fstat(cur.get(), &cur_st) != 0) return false;
    for (;;) {
        const ssize_t n = readlink(FdPath(cur.get()).c_str(), where, sizeof where);
        if (n > 0 && static_cast<size_t>(n) < sizeof where) {
            if (where[0] != '/') return false;  // not reachable from this process's root
            out->assign(where, static_cast<size_t>(n));
            break;
        }
        if (n >= 0 || errno != ENAMETOOLONG) return false;
        UniqueFd parent(openat(cur.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat parent_st;
        if (!parent.valid() || fstat(parent.get(), &parent_st) != 0) return false;
        if (parent_st.st_dev == cur_st.st_dev && parent_st.st_ino == cur_st.st_ino) return false;
        std::string name;
        if (!NameIn(parent.get(), cur_st, &name)) return false;
        names.push_back(std::move(name));
        cur = std::move(parent);
        cur_st = parent_st;
    }
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (out->empty() || out->back() != '/') out->push_back('/');
        out->append(*it);
    }
    return true;
}

}  // namespace

std::string ExcludeEntryForm(std::string_view path) {
    const bool absolute = !path.empty() && path.front() == '/';
    std::string out;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string_view::npos) slash = path.size();
        std::string_view part = path.substr(pos, slash - pos);
        pos = slash + 1;
        if (part.empty() || part == ".") continue;
        if (absolute || !out.empty()) out.push_back('/');
        out.append(part);
    }
    if (absolute && out.empty()) out.push_back('/');
    return out;
}

bool IsExcludedAt(const WS_CNTL* ws, int dir_fd, std::string_view name) {
    if (ws->exclude_list == nullptr) return false;
    std::string path;
    if (!WhereIs(dir_fd, &path)) return false;
    if (!name.empty()) {
        path += '/';
        path.append(name);
    }
    return IsExcludedPath(ws, path);
}

bool IsExcludedDirectoryBeneath(const WS_CNTL* ws, int root_fd, std::string_view rel, LinkPolicy policy) {
    if (ws->exclude_list == nullptr) return false;
    UniqueFd dir = OpenDirBeneath(root_fd, rel, policy);
    return dir.valid() && IsExcludedAt(ws, dir.get(), {});
}

bool IsExcludedPath(const WS_CNTL* ws, std::string_view full_path) {
    if (ws->exclude_list == nullptr) return false;
    // The paths of requests are mostly normal already; only others are copied.
    std::string normalised;
    std::string_view path = full_path;
    if (!IsNormal(full_path)) {
        normalised = ExcludeEntryForm(full_path);
        path = normalised;
    }
    for (const EXCLUDE_ENTRY* entry = ws->exclude_list; entry != nullptr; entry = entry->next) {
        if (entry->name == nullptr) continue;
        std::string made;
        const char* normal = entry->normal;
        if (normal == nullptr) {
            made = ExcludeEntryForm(entry->name);
            normal = made.c_str();
        }
        if (Covers(normal, path)) {
            DEBUG_PRINTF(DBG_CONFIG, "%s is excluded by %s: answered as not found\n", std::string(path).c_str(),
                         entry->name);
            return true;
        }
    }
    return false;
}
