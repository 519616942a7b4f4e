// What went wrong with one object, for the summaries of backup, restore
// and verify.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace grfs_client {

struct ObjectProblem {
    std::string path;    // relative to the DLE root; "/" for the root
    std::string reason;  // one line
};

// Called with the objects and data bytes done so far.
using ProgressCallback = std::function<void(uint64_t objects, uint64_t bytes)>;

inline std::string shown_path(const std::string& path) { return path.empty() ? "/" : path; }

}  // namespace grfs_client
