#include "nrl/nrl_trace.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "util/stderr_lines.h"

void nrl_trace(const char* format, ...) {
    char piece[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(piece, sizeof piece, format, args);
    va_end(args);
    if (n <= 0) return;
    // The process id goes before the first piece of a line only; the pieces
    // are held until their line ends, so no other line runs on from them.
    if (StderrAtLineStart())
        WriteStderrPiece(std::to_string(static_cast<int>(getpid())) + ": " + piece);
    else
        WriteStderrPiece(piece);
}
