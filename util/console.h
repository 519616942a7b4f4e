// Console messages of a session process: standard error, the program name
// first, every text argument escaped (util/printable.h), since what a
// session reports mostly names what a backup server sent. A session that
// repeats a message is cut short: past kConsoleRepeatLimit lines of one
// format, further ones are only counted, and at session end one line per
// such format says how many more there were.
#pragma once

#include <cstdint>

constexpr uint32_t kConsoleRepeatLimit = 20;

// What one session has printed, per format; zero-filled at session start.
struct ConsoleRepeats {
    struct Kind {
        const char* format;
        uint32_t printed;
        uint32_t suppressed;
    };
    // More formats than this are printed without limit (the agent has fewer).
    Kind kinds[16];
};

// Prints "<program>: " and the formatted text, unless this format has been
// printed kConsoleRepeatLimit times already for repeats.
void ConsoleMessage(ConsoleRepeats* repeats, const char* format, ...) __attribute__((format(printf, 2, 3)));

// At session end: one line for each format that was cut short, then the
// counts start again.
void ReportSuppressedConsole(ConsoleRepeats* repeats);
