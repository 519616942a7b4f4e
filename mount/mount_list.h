// The mount lists of a session process: one of remote-like mounts, one of
// local mounts, built from the mount table at each attach, and the question
// whether a path lies on a remote file system.
#pragma once

#include <cstdint>

// File-system type codes.
enum FsTypeCode : uint32_t {
    FS_OTHER = 0,
    FS_NFS = 1,
    FS_LOFS = 2,     // loop-back
    FS_AUTOFS = 3,
    FS_PROC = 4,
    FS_FD = 5,
    FS_HSFS = 6,     // CD-ROM
    FS_TMPFS = 7,
    FS_VXFS = 8,
    FS_CACHEFS = 10,
    FS_UFS = 13,
    FS_AFS = 15,
    FS_MVFS = 16,
    FS_NETWORK = 17, // any other network file system (cifs, 9p, ceph, ...)
};

struct MOUNT_ENTRY {
    uint32_t fs_type;
    char* mount_point_read;   // exactly as the mount table gives it
    char* mount_point;        // without one trailing "/", unless it is "/"
    uint32_t mount_point_len;
    char* special;            // the mounted resource
    MOUNT_ENTRY* prev;        // towards the head
    MOUNT_ENTRY* next;        // towards the tail
};

struct MOUNT_LIST {
    MOUNT_ENTRY* head;
    MOUNT_ENTRY* tail;
};

extern MOUNT_LIST nfs_mount_list;
extern MOUNT_LIST local_mount_list;

// Code of a mount-table type field.
uint32_t fs_type_code(const char* fs_type);
// The code an entry ends with: the type's code, then the overrides by the
// mounted resource and, for local entries, by the mount point.
uint32_t mount_entry_code(const char* fs_type, const char* special, const char* mount_point);
bool is_remote_code(uint32_t code);

// The table read by build_mount_list; "/proc/self/mounts" unless changed.
void set_mount_table_path(const char* path);
const char* get_mount_table_path();

// Builds or extends the lists from the mount table; always 0.
int create_mount_list(int retries, int mode);
int build_mount_list();
// Makes an entry and links it into its list; none when memory ran out.
MOUNT_ENTRY* add_to_mount_list(const char* special, const char* mount_point, const char* fs_type);
// Drops remote entries whose mount point is also a local entry's.
void automount_check();
// Frees both lists (a fresh session process starts with them empty).
void free_mount_lists();

// 1 when the absolute path lies on a remote-like mount, else 0.
int NFS(const char* path);
// The local entry whose mount point is the longest prefix of the path.
MOUNT_ENTRY* get_local_mount_entry(const char* path);
