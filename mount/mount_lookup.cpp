#include <cstring>

#include "mount/mount_list.h"

namespace {

// The mount point covers the path: it is a prefix that ends at the end of
// the path or at a "/"; the root covers every absolute path.
bool covers(const MOUNT_ENTRY* e, const char* path) {
    if (std::strncmp(path, e->mount_point, e->mount_point_len) != 0) return false;
    char after = path[e->mount_point_len];
    return after == '\0' || after == '/' || std::strcmp(e->mount_point, "/") == 0;
}

}  // namespace

MOUNT_ENTRY* get_local_mount_entry(const char* path) {
    MOUNT_ENTRY* best = nullptr;
    uint32_t best_len = 0;
    for (MOUNT_ENTRY* e = local_mount_list.head; e != nullptr; e = e->next) {
        if (e->mount_point_len > best_len && covers(e, path)) {
            best = e;
            best_len = e->mount_point_len;
        }
    }
    return best;
}

// A path under a remote mount is remote unless a local file system mounted
// at or below that mount point holds it (a loop-back mount over local
// disks, or a local disk mounted inside a network file system).
int NFS(const char* path) {
    if (path == nullptr) return 0;
    for (const MOUNT_ENTRY* e = nfs_mount_list.head; e != nullptr; e = e->next) {
        if (!covers(e, path)) continue;
        const MOUNT_ENTRY* local = get_local_mount_entry(path);
        if (local == nullptr || std::strncmp(e->mount_point, local->mount_point, e->mount_point_len) != 0) return 1;
    }
    return 0;
}
