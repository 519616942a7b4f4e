#include "util/console.h"

#include <cstdarg>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>

#include "util/debug_print.h"
#include "util/printable.h"
#include "util/stderr_lines.h"

namespace {

void write_line(const char* format, va_list args) {
    // One write, so that lines of several processes do not interleave.
    WriteStderrLine(std::string(prog_name) + ": " + FormatEscaped(format, args));
}

void console_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
void console_line(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    write_line(format, ap);
    va_end(ap);
}

ConsoleRepeats::Kind* kind_of(ConsoleRepeats* repeats, const char* format) {
    for (auto& kind : repeats->kinds) {
        if (kind.format == nullptr) {
            kind.format = format;
            return &kind;
        }
        if (kind.format == format || std::strcmp(kind.format, format) == 0) return &kind;
    }
    return nullptr;
}

}  // namespace

void ConsoleMessage(ConsoleRepeats* repeats, const char* format, ...) {
    ConsoleRepeats::Kind* kind = repeats != nullptr ? kind_of(repeats, format) : nullptr;
    if (kind != nullptr) {
        if (kind->printed >= kConsoleRepeatLimit) {
            ++kind->suppressed;
            return;
        }
        ++kind->printed;
    }
    va_list ap;
    va_start(ap, format);
    write_line(format, ap);
    va_end(ap);
}

void ReportSuppressedConsole(ConsoleRepeats* repeats) {
    for (auto& kind : repeats->kinds) {
        if (kind.format != nullptr && kind.suppressed != 0) {
            std::string_view text(kind.format);
            if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
            console_line("%u more messages like \"%s\" suppressed in this session.\n", kind.suppressed,
                         std::string(text).c_str());
        }
        kind = ConsoleRepeats::Kind{};
    }
}
