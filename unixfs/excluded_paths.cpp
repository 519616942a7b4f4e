#include "unixfs/excluded_paths.h"

#include <cstdio>
#include <string>
#include <vector>
#include <unistd.h>

#include "unixfs/workstation.h"
#include "util/debug_print.h"

namespace {

// The path with empty and "." components dropped and one "/" between the
// rest; a path that starts with "/" keeps it. Written into out, whose memory
// is reused.
void Normalize(std::string_view path, std::string& out) {
    const bool absolute = !path.empty() && path.front() == '/';
    out.clear();
    out.reserve(path.size() + 1);
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
}

std::string Normalized(std::string_view path) {
    std::string out;
    Normalize(path, out);
    return out;
}

// True when path is entry or lies below it.
bool Covers(const std::string& entry, const std::string& path) {
    if (entry.empty() || path.compare(0, entry.size(), entry) != 0) return false;
    return path.size() == entry.size() || entry.back() == '/' || path[entry.size()] == '/';
}

}  // namespace

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
    // The list changes only when the configuration is read: its entries are normalised once,
    // not on every request (and again only should the list differ).
    struct Normal {
        std::string name;    // as configured
        std::string normal;  // normalised
    };
    static std::vector<Normal> excluded;
    size_t k = 0;
    bool same = true;
    for (const EXCLUDE_ENTRY* entry = ws->exclude_list; entry != nullptr && same; entry = entry->next) {
        if (entry->name == nullptr) continue;
        same = k < excluded.size() && excluded[k].name == entry->name;
        ++k;
    }
    if (!same || k != excluded.size()) {
        excluded.clear();
        for (const EXCLUDE_ENTRY* entry = ws->exclude_list; entry != nullptr; entry = entry->next) {
            if (entry->name != nullptr) excluded.push_back(Normal{entry->name, Normalized(entry->name)});
        }
    }
    // Asked on every open: the normalised path's buffer is kept, so that the
    // question allocates nothing.
    static std::string path;
    Normalize(full_path, path);
    for (const Normal& entry : excluded) {
        if (Covers(entry.normal, path)) {
            DEBUG_PRINTF(DBG_CONFIG, "%s is excluded by %s: answered as not found\n", path.c_str(), entry.name.c_str());
            return true;
        }
    }
    return false;
}
