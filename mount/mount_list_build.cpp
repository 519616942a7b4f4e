#include <cstring>
#include <string>

#include "mount/mount_list.h"
#include "mount/mount_table_reader.h"
#include "util/alloc.h"

MOUNT_LIST nfs_mount_list = {nullptr, nullptr};
MOUNT_LIST local_mount_list = {nullptr, nullptr};

namespace {

std::string table_path = kDefaultMountTable;

char* copy_text(const char* text, size_t len) {
    auto* copy = static_cast<char*>(MYMALLOC(len + 1));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, text, len);
    copy[len] = '\0';
    return copy;
}

void free_entry(MOUNT_ENTRY* e) {
    MYFREE(e->mount_point_read);
    MYFREE(e->mount_point);
    MYFREE(e->special);
    MYFREE(e);
}

void push_head(MOUNT_LIST* list, MOUNT_ENTRY* e) {
    e->prev = nullptr;
    e->next = list->head;
    if (list->head != nullptr) list->head->prev = e;
    list->head = e;
    if (list->tail == nullptr) list->tail = e;
}

void unlink_entry(MOUNT_LIST* list, MOUNT_ENTRY* e) {
    if (e->prev != nullptr) {
        e->prev->next = e->next;
    } else {
        list->head = e->next;
    }
    if (e->next != nullptr) {
        e->next->prev = e->prev;
    } else {
        list->tail = e->prev;
    }
    e->prev = nullptr;
    e->next = nullptr;
}

bool already_listed(uint32_t code, const char* mount_point_read) {
    const MOUNT_LIST& list = is_remote_code(code) ? nfs_mount_list : local_mount_list;
    for (const MOUNT_ENTRY* e = list.head; e != nullptr; e = e->next)
        if (e->fs_type == code && std::strcmp(e->mount_point_read, mount_point_read) == 0) return true;
    return false;
}

void free_list(MOUNT_LIST* list) {
    MOUNT_ENTRY* e = list->head;
    while (e != nullptr) {
        MOUNT_ENTRY* next = e->next;
        free_entry(e);
        e = next;
    }
    list->head = nullptr;
    list->tail = nullptr;
}

}  // namespace

void set_mount_table_path(const char* path) { table_path = path != nullptr ? path : kDefaultMountTable; }

const char* get_mount_table_path() { return table_path.c_str(); }

int create_mount_list(int /*retries*/, int /*mode*/) {
    // A build cannot fail, so one is enough whatever the retry count.
    build_mount_list();
    return 0;
}

int build_mount_list() {
    MountTableReader table(table_path.c_str());
    if (!table.is_open()) return 0;
    const bool lists_already_built = nfs_mount_list.head != nullptr || local_mount_list.head != nullptr;
    bool automounted = false;
    mntent ent;
    for (;;) {
        MountTableReader::Result r = table.next(&ent);
        if (r == MountTableReader::READ_ERROR) return 0;
        if (r == MountTableReader::END) break;
        // Compared with the code the entry would finally get, so that an
        // entry renamed by its resource or mount point is not added again
        // at every attach.
        uint32_t code = mount_entry_code(ent.mnt_type, ent.mnt_fsname, ent.mnt_dir);
        if (lists_already_built && already_listed(code, ent.mnt_dir)) continue;
        MOUNT_ENTRY* e = add_to_mount_list(ent.mnt_fsname, ent.mnt_dir, ent.mnt_type);
        if (e != nullptr && (e->fs_type == FS_NFS || e->fs_type == FS_AUTOFS)) automounted = true;
    }
    if (automounted) automount_check();
    return 0;
}

MOUNT_ENTRY* add_to_mount_list(const char* special, const char* mount_point, const char* fs_type) {
    auto* e = static_cast<MOUNT_ENTRY*>(MYCALLOC(1, sizeof(MOUNT_ENTRY)));
    if (e == nullptr) return nullptr;
    size_t len = std::strlen(mount_point);
    size_t stripped = len > 1 && mount_point[len - 1] == '/' ? len - 1 : len;
    e->mount_point_read = copy_text(mount_point, len);
    e->mount_point = copy_text(mount_point, stripped);
    e->special = copy_text(special, std::strlen(special));
    if (e->mount_point_read == nullptr || e->mount_point == nullptr || e->special == nullptr) {
        free_entry(e);
        return nullptr;
    }
    e->mount_point_len = static_cast<uint32_t>(stripped);
    e->fs_type = mount_entry_code(fs_type, special, mount_point);
    push_head(is_remote_code(e->fs_type) ? &nfs_mount_list : &local_mount_list, e);
    return e;
}

void automount_check() {
    MOUNT_ENTRY* e = nfs_mount_list.head;
    while (e != nullptr) {
        MOUNT_ENTRY* next = e->next;
        for (const MOUNT_ENTRY* l = local_mount_list.head; l != nullptr; l = l->next) {
            if (std::strcmp(e->mount_point, l->mount_point) == 0) {
                unlink_entry(&nfs_mount_list, e);
                free_entry(e);
                break;
            }
        }
        e = next;
    }
}

void free_mount_lists() {
    free_list(&nfs_mount_list);
    free_list(&local_mount_list);
}
