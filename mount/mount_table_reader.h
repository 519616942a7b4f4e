// Reads a mount table ("/proc/self/mounts" format) entry by entry. The
// system reader decodes the octal escapes (\040 for a space) of the texts.
#pragma once

#include <cstdio>
#include <mntent.h>
#include <vector>

constexpr const char* kDefaultMountTable = "/proc/self/mounts";

class MountTableReader {
public:
    enum Result { ENTRY, END, READ_ERROR };

    explicit MountTableReader(const char* path);
    ~MountTableReader();
    MountTableReader(const MountTableReader&) = delete;
    MountTableReader& operator=(const MountTableReader&) = delete;

    bool is_open() const { return table_ != nullptr; }
    // Fills entry with the next well-formed entry (one with a mount point and
    // a type); the texts stay valid until the next call.
    Result next(mntent* entry);

private:
    FILE* table_;
    // Lines longer than this are cut by the reader and the rest skipped; only
    // the options field, which is not used, gets that long.
    std::vector<char> line_;
};
