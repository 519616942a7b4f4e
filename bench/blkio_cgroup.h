// A disk slower than the wire, for the cold-cache rows: a cgroup v1 blkio
// group whose reads from the disk under a file are throttled, processes
// moved into it and back, and a file's pages dropped from the page cache.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace bench {

class ThrottledDisk {
public:
    // Prepares a group reading at most bytes_per_second from the disk that
    // holds path. On failure (no root, no cgroup v1 blkio, a file not on a
    // block device) reason() says why and nothing is made.
    ThrottledDisk(const std::string& path, uint64_t bytes_per_second);
    ~ThrottledDisk();
    ThrottledDisk(const ThrottledDisk&) = delete;
    ThrottledDisk& operator=(const ThrottledDisk&) = delete;

    bool ok() const { return reason_.empty(); }
    const std::string& reason() const { return reason_; }
    const std::string& device() const { return device_; }  // "major:minor"

    // Moves a process into the group, or back to where it was.
    bool enter(pid_t pid);
    void leave(pid_t pid);

private:
    std::string reason_;
    std::string device_;
    std::string group_;   // its directory
    std::string parent_;  // where processes go back to
};

// Writes back and drops the pages of a file from the page cache; false when
// more than a few of them stay.
bool drop_cached(const std::string& path);

// Seconds a process in the group takes to read the file whole from the disk
// (the cache dropped first), in blocks of 1 MiB: the disk alone.
double read_cold(ThrottledDisk& disk, const std::string& path);

}  // namespace bench
