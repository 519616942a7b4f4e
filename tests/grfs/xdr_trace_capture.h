// Captures the trace lines written while it lives, with the trace mask it
// was given; the process-id prefix is stripped from each line.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "util/debug_print.h"

class TraceCapture {
  public:
    explicit TraceCapture(uint16_t mask) : saved_(grfs_debug) {
        grfs_debug = mask;
        testing::internal::CaptureStderr();
    }
    ~TraceCapture() {
        if (!taken_) (void)testing::internal::GetCapturedStderr();
        grfs_debug = saved_;
    }
    std::string lines() {
        taken_ = true;
        grfs_debug = saved_;
        std::string raw = testing::internal::GetCapturedStderr();
        const std::string prefix = std::to_string(getpid()) + ":";
        std::string out;
        size_t pos = 0;
        while (pos < raw.size()) {
            size_t nl = raw.find('\n', pos);
            size_t end = nl == std::string::npos ? raw.size() : nl + 1;
            std::string line = raw.substr(pos, end - pos);
            if (line.rfind(prefix, 0) == 0) line.erase(0, prefix.size());
            out += line;
            pos = end;
        }
        return out;
    }

  private:
    uint16_t saved_;
    bool taken_ = false;
};
