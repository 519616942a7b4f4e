#include "unixfs/excluded_paths.h"

#include <string>

#include "unixfs/workstation.h"
#include "util/debug_print.h"

namespace {

// The path with empty and "." components dropped and one "/" between the
// rest; a path that starts with "/" keeps it.
std::string Normalized(std::string_view path) {
    const bool absolute = !path.empty() && path.front() == '/';
    std::string out;
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
    return out;
}

// True when path is entry or lies below it.
bool Covers(const std::string& entry, const std::string& path) {
    if (entry.empty() || path.compare(0, entry.size(), entry) != 0) return false;
    return path.size() == entry.size() || entry.back() == '/' || path[entry.size()] == '/';
}

}  // namespace

bool IsExcludedPath(std::string_view full_path) {
    if (ws_cntl.exclude_list == nullptr) return false;
    const std::string path = Normalized(full_path);
    for (const EXCLUDE_ENTRY* entry = ws_cntl.exclude_list; entry != nullptr; entry = entry->next) {
        if (entry->name == nullptr) continue;
        const std::string excluded = Normalized(entry->name);
        if (Covers(excluded, path)) {
            DEBUG_PRINTF(DBG_CONFIG, "%s is excluded by %s: answered as not found\n", path.c_str(), entry->name);
            return true;
        }
    }
    return false;
}
