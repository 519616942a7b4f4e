// A fake mount table in a temporary file, removed when the object goes.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

class MountTableFile {
public:
    explicit MountTableFile(const std::string& text) {
        char name[] = "/tmp/mount_table_XXXXXX";
        int fd = mkstemp(name);
        path_ = name;
        if (fd >= 0) {
            ssize_t n = write(fd, text.data(), text.size());
            (void)n;
            close(fd);
        }
    }
    ~MountTableFile() { unlink(path_.c_str()); }
    MountTableFile(const MountTableFile&) = delete;
    MountTableFile& operator=(const MountTableFile&) = delete;

    // Replaces the contents, as a later mount or unmount would.
    void rewrite(const std::string& text) const {
        FILE* f = std::fopen(path_.c_str(), "w");
        if (f == nullptr) return;
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
};
