#include "unixfs/tree/excluded_paths.h"

#include <cstdio>
#include <string>
#include <unistd.h>

#include "unixfs/session/workstation.h"
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
    char where[4096];
    const ssize_t n = readlink(FdPath(dir_fd).c_str(), where, sizeof where);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof where || where[0] != '/') return false;
    std::string path(where, static_cast<size_t>(n));
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
