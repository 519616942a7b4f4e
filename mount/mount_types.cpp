#include <cstring>
#include <string_view>

#include "mount/mount_list.h"

namespace {

struct TypeName {
    const char* name;
    uint32_t code;
};

const TypeName kTypes[] = {
    {"lofs", FS_LOFS},   {"autofs", FS_AUTOFS}, {"proc", FS_PROC},     {"fd", FS_FD},
    {"hsfs", FS_HSFS},   {"tmpfs", FS_TMPFS},   {"vxfs", FS_VXFS},     {"cachefs", FS_CACHEFS},
    {"ufs", FS_UFS},     {"mvfs", FS_MVFS},
    // Linux network file systems.
    {"cifs", FS_NETWORK}, {"smb3", FS_NETWORK}, {"smbfs", FS_NETWORK}, {"9p", FS_NETWORK},
    {"ceph", FS_NETWORK}, {"glusterfs", FS_NETWORK}, {"fuse.sshfs", FS_NETWORK}, {"afs", FS_AFS},
    {"ncpfs", FS_NETWORK}, {"davfs", FS_NETWORK},
};

bool starts_with(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

}  // namespace

uint32_t fs_type_code(const char* fs_type) {
    // nfs, nfs3, nfs4, nfsd ...: every name that begins with "nfs" counts.
    if (std::strncmp(fs_type, "nfs", 3) == 0) return FS_NFS;
    for (const TypeName& t : kTypes)
        if (std::strcmp(fs_type, t.name) == 0) return t.code;
    return FS_OTHER;
}

bool is_remote_code(uint32_t code) {
    return code == FS_NFS || code == FS_LOFS || code == FS_AUTOFS || code == FS_AFS || code == FS_NETWORK;
}

uint32_t mount_entry_code(const char* fs_type, const char* special, const char* mount_point) {
    uint32_t code = fs_type_code(fs_type);
    if (std::strcmp(special, "AFS") == 0) {
        code = FS_AFS;
    } else if (starts_with(special, "mvfs=")) {
        code = FS_MVFS;
    }
    if (is_remote_code(code)) return code;
    std::string_view mp = mount_point;
    if (mp.size() > 1 && mp.back() == '/') mp.remove_suffix(1);
    if (mp == "/tmp") return FS_TMPFS;
    if (mp == "/cdrom" || mp == "/CDROM" || mp.starts_with("/cdrom/") || mp.starts_with("/CDROM/")) return FS_HSFS;
    return code;
}
