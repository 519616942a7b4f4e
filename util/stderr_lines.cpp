#include "util/stderr_lines.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Longer runs of pieces are written as a line of their own.
constexpr size_t kMaxHeldBack = 1024;

std::string held_back;
// Pieces held by a parent at a fork are the parent's to write.
pid_t held_by = 0;
bool flush_at_exit = false;

std::string& held() {
    pid_t self = getpid();
    if (held_by != self) {
        held_back.clear();
        held_by = self;
    }
    return held_back;
}

void write_all(std::string_view text);

// A process that ends with a piece held writes it, ended, as it goes.
void write_held_at_exit() {
    if (held_by == getpid() && !held_back.empty()) {
        held_back += '\n';
        write_all(held_back);
        held_back.clear();
    }
}

void write_all(std::string_view text) {
    fflush(stderr);
    while (!text.empty()) {
        ssize_t w = write(STDERR_FILENO, text.data(), text.size());
        if (w <= 0) return;
        text.remove_prefix(static_cast<size_t>(w));
    }
}

}  // namespace

void WriteStderrLine(std::string_view line) {
    std::string& pieces = held();
    if (pieces.empty()) {
        write_all(line);
        return;
    }
    pieces += '\n';
    pieces += line;
    write_all(pieces);
    pieces.clear();
}

void WriteStderrPiece(std::string_view piece) {
    if (!flush_at_exit) {
        flush_at_exit = true;
        std::atexit(write_held_at_exit);
    }
    std::string& pieces = held();
    pieces += piece;
    if (pieces.empty()) return;
    if (pieces.back() != '\n' && pieces.size() < kMaxHeldBack) return;
    if (pieces.back() != '\n') pieces += '\n';
    write_all(pieces);
    pieces.clear();
}

bool StderrAtLineStart() { return held().empty(); }
