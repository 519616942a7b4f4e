#include "mount/pseudo_fs.h"

#include <algorithm>
#include <cstring>

namespace {

const char* const kPseudoTypes[] = {
    "proc",      "sysfs",  "devpts",    "cgroup",  "cgroup2",     "debugfs",  "tracefs",
    "securityfs", "pstore", "bpf",      "configfs", "mqueue",     "hugetlbfs", "fusectl",
    "binfmt_misc", "efivarfs", "rpc_pipefs", "nsfs", "autofs",
};

}  // namespace

bool is_pseudo_fs_type(const char* fs_type) {
    for (const char* t : kPseudoTypes)
        if (std::strcmp(fs_type, t) == 0) return true;
    return false;
}

std::vector<std::string> pseudo_fs_mount_points(const char* table_path) {
    std::vector<std::string> points;
    MountTableReader table(table_path);
    mntent ent;
    while (table.next(&ent) == MountTableReader::ENTRY) {
        if (!is_pseudo_fs_type(ent.mnt_type)) continue;
        std::string mp = ent.mnt_dir;
        if (mp.size() > 1 && mp.back() == '/') mp.pop_back();
        if (std::find(points.begin(), points.end(), mp) == points.end()) points.push_back(std::move(mp));
    }
    return points;
}
