#include "unixfs/host/paths.h"

#include <cstring>

#include "util/debug_print.h"

size_t ConcatPath(char* buffer, size_t buffer_size, const char* part) {
    if (buffer_size == 0) return 0;
    size_t len = strnlen(buffer, buffer_size - 1);
    if ((len == 0 || buffer[len - 1] != '/') && len + 1 < buffer_size) buffer[len++] = '/';
    // Cut where the buffer ends; copied in one piece, as every open and
    // every listed entry joins paths several times.
    if (part[0] == '/') ++part;
    const size_t n = strnlen(part, buffer_size - 1 - len);
    std::memcpy(buffer + len, part, n);
    len += n;
    buffer[len] = '\0';
    if (len == 1 && buffer[0] == '/') {
        buffer[0] = '\0';
        len = 0;
    }
    return len;
}

std::string JoinPath(std::string_view base, std::string_view part) {
    base = base.substr(0, base.find('\0'));
    part = part.substr(0, part.find('\0'));
    std::string out;
    out.reserve(base.size() + part.size() + 1);
    out.assign(base);
    if (out.empty() || out.back() != '/') out.push_back('/');
    if (!part.empty() && part.front() == '/') part.remove_prefix(1);
    out.append(part);
    if (out == "/") out.clear();
    return out;
}

const char* last_slash(const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (slash != nullptr) return slash;
    DEBUG_PRINTF(DBG_CONFIG, "last_slash called with non absolute path name '%s'\n", path);
    return path;
}
