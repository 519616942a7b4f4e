#include "util/debug_print.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "util/printable.h"
#include "util/stderr_lines.h"

uint16_t grfs_debug = 0;
const char* prog_name = "agent";

namespace {

// Longest trace line written; longer ones are cut.
constexpr size_t kMaxTraceLine = 2047;

}  // namespace

void debug_printf(uint16_t category, const char* format, ...) {
    if ((grfs_debug & category) == 0) return;
    // Names in traces come from the network as often as not: every text
    // argument is escaped, the format is written as it is.
    std::string line = std::to_string(static_cast<int>(getpid())) + ":";
    va_list ap;
    va_start(ap, format);
    line += FormatEscaped(format, ap);
    va_end(ap);
    if (line.size() > kMaxTraceLine) line.resize(kMaxTraceLine);
    // One write, so lines of several processes do not interleave; a trace
    // without its line end waits for the rest of its line.
    if (line.back() == '\n')
        WriteStderrLine(line);
    else
        WriteStderrPiece(line);
}
