#include "util/debug_print.h"

#include <cstdarg>
#include <cstdio>
#include <unistd.h>

uint16_t grfs_debug = 0;
const char* prog_name = "agent";

void debug_printf(uint16_t category, const char* format, ...) {
    if ((grfs_debug & category) == 0) return;
    // One buffer and one write, so lines of several processes do not interleave.
    char line[2048];
    int n = std::snprintf(line, sizeof line, "%d:", static_cast<int>(getpid()));
    if (n < 0) return;
    va_list ap;
    va_start(ap, format);
    int m = std::vsnprintf(line + n, sizeof line - static_cast<size_t>(n), format, ap);
    va_end(ap);
    if (m < 0) return;
    size_t len = static_cast<size_t>(n) + static_cast<size_t>(m);
    if (len >= sizeof line) len = sizeof line - 1;
    fflush(stderr);
    ssize_t w = write(STDERR_FILENO, line, len);
    (void)w;
}
