// A progress line on a terminal: objects, bytes and rate, rewritten in
// place a few times a second, cleared when the work ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace grfs_client {

class Progress {
public:
    // Shown only when enabled (commands pass whether stderr is a terminal).
    Progress(bool enabled, std::FILE* out = stderr);
    ~Progress();

    void update(uint64_t objects, uint64_t bytes);
    void finish();  // clears the line

    double elapsed_seconds() const;
    // "12 objects, 1.5 MiB in 2.0 s (768.0 KiB/s)".
    std::string summary(uint64_t objects, uint64_t bytes) const;

private:
    bool enabled_;
    std::FILE* out_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_;
    size_t width_ = 0;
};

}  // namespace grfs_client
