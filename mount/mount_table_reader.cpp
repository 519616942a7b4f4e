#include "mount/mount_table_reader.h"

MountTableReader::MountTableReader(const char* path) : table_(setmntent(path, "r")), line_(16384) {}

MountTableReader::~MountTableReader() {
    if (table_ != nullptr) endmntent(table_);
}

MountTableReader::Result MountTableReader::next(mntent* entry) {
    if (table_ == nullptr) return END;
    for (;;) {
        mntent* e = getmntent_r(table_, entry, line_.data(), static_cast<int>(line_.size()));
        if (e == nullptr) return ferror(table_) != 0 ? READ_ERROR : END;
        // A line without a mount point or type would otherwise read as an
        // empty mount point, which is a prefix of every path.
        if (e->mnt_dir != nullptr && e->mnt_dir[0] != '\0' && e->mnt_type != nullptr && e->mnt_type[0] != '\0' &&
            e->mnt_fsname != nullptr)
            return ENTRY;
    }
}
