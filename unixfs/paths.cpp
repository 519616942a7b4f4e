#include "unixfs/paths.h"

#include <cstring>

#include "util/debug_print.h"

size_t ConcatPath(char* buffer, size_t buffer_size, const char* part) {
    if (buffer_size == 0) return 0;
    size_t len = strnlen(buffer, buffer_size - 1);
    buffer[len] = '\0';
    auto append = [&](const char* text) {
        while (*text != '\0' && len + 1 < buffer_size) buffer[len++] = *text++;
        buffer[len] = '\0';
    };
    if (len == 0 || buffer[len - 1] != '/') append("/");
    append(part[0] == '/' ? part + 1 : part);
    if (len == 1 && buffer[0] == '/') {
        buffer[0] = '\0';
        len = 0;
    }
    return len;
}

const char* last_slash(const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (slash != nullptr) return slash;
    DEBUG_PRINTF(DBG_CONFIG, "last_slash called with non absolute path name '%s'\n", path);
    return path;
}
