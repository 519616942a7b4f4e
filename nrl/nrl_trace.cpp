#include "nrl/nrl_trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {
// Whether the last piece written ended its line; per process, inherited by forks.
bool at_line_start = true;
}  // namespace

void nrl_trace(const char* format, ...) {
    char piece[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(piece, sizeof piece, format, args);
    va_end(args);
    if (n <= 0) return;
    size_t len = std::strlen(piece);
    bool ends_line = piece[len - 1] == '\n';
    // One write per piece keeps lines of different processes from interleaving.
    if (at_line_start)
        std::fprintf(stderr, "%d: %s", static_cast<int>(getpid()), piece);
    else
        std::fputs(piece, stderr);
    std::fflush(stderr);
    at_line_start = ends_line;
}
