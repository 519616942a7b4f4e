#include "nrl/nrl_trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {
// Whether the last piece written ended its line, and by which process: a
// process forked in the middle of a line starts its own lines afresh.
bool at_line_start = true;
pid_t line_writer = 0;
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
    const pid_t self = getpid();
    // One write per piece keeps lines of different processes from interleaving.
    if (at_line_start || line_writer != self)
        std::fprintf(stderr, "%d: %s", static_cast<int>(self), piece);
    else
        std::fputs(piece, stderr);
    std::fflush(stderr);
    at_line_start = ends_line;
    line_writer = self;
}
