#include <cstdio>

#include "agent/listener.h"
#include "unixfs/session/workstation.h"

size_t BuildResourceName(const WS_CNTL* ws, std::span<char> out) {
    if (out.empty()) return 0;
    int n = std::snprintf(out.data(), out.size(), "%X%X%X%X%.*s", 2, 0, 4, ws->password_required != 0 ? 5 : 4,
                          static_cast<int>(sizeof ws->workstation_name), ws->workstation_name);
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) < out.size() ? static_cast<size_t>(n) : out.size() - 1;
}
