#include "fuzz/fuzz_sandbox.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fuzz_sandbox {

namespace {

// Mount points from /proc/self/mountinfo (field 5), octal escapes undone.
std::vector<std::pair<std::string, std::string>> mounts() {
    std::vector<std::pair<std::string, std::string>> out;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string id, parent, devno, root, point, rest;
        f >> id >> parent >> devno >> root >> point;
        std::string fstype;
        // The file-system type follows the " - " separator.
        size_t sep = line.find(" - ");
        if (sep != std::string::npos) {
            std::istringstream t(line.substr(sep + 3));
            t >> fstype;
        }
        std::string unescaped;
        for (size_t i = 0; i < point.size(); ++i) {
            if (point[i] == '\\' && i + 3 < point.size()) {
                unescaped.push_back(static_cast<char>(std::stoi(point.substr(i + 1, 3), nullptr, 8)));
                i += 3;
            } else {
                unescaped.push_back(point[i]);
            }
        }
        out.emplace_back(unescaped, fstype);
    }
    return out;
}

// Kernel interfaces stay as they are; only stored files are protected.
bool pseudo(const std::string& fstype) {
    static const char* const kinds[] = {"proc", "sysfs", "devtmpfs", "devpts", "mqueue", "cgroup", "cgroup2",
                                        "securityfs", "debugfs", "tracefs", "pstore", "bpf", "hugetlbfs",
                                        "fusectl", "configfs", "binfmt_misc", "autofs", "efivarfs"};
    return std::any_of(std::begin(kinds), std::end(kinds), [&](const char* k) { return fstype == k; });
}

unsigned long kept_flags(const std::string& point) {
    struct statvfs sv;
    unsigned long flags = 0;
    if (statvfs(point.c_str(), &sv) == 0) {
        if (sv.f_flag & ST_NOSUID) flags |= MS_NOSUID;
        if (sv.f_flag & ST_NODEV) flags |= MS_NODEV;
        if (sv.f_flag & ST_NOEXEC) flags |= MS_NOEXEC;
        if (sv.f_flag & ST_NOATIME) flags |= MS_NOATIME;
        if (sv.f_flag & ST_NODIRATIME) flags |= MS_NODIRATIME;
        if (sv.f_flag & ST_RELATIME) flags |= MS_RELATIME;
    }
    return flags;
}

bool refuse(const char* what) {
    std::fprintf(stderr, "fuzz_session: no sandbox (%s: %s); running unconfined\n", what, std::strerror(errno));
    return false;
}

}  // namespace

bool Enter(const std::string& work_dir, const std::vector<std::string>& writable) {
    if (geteuid() != 0) {
        errno = EPERM;
        return refuse("not root");
    }
    if (unshare(CLONE_NEWNS) != 0) return refuse("unshare");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return refuse("private mounts");

    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return refuse("working directory");
    std::vector<std::string> keep;
    for (const std::string& dir : writable) {
        char real[PATH_MAX];
        if (realpath(dir.c_str(), real) == nullptr) continue;
        if (mount(real, real, nullptr, MS_BIND | MS_REC, nullptr) != 0) return refuse("bind writable directory");
        keep.emplace_back(real);
    }
    char work[PATH_MAX];
    if (realpath(work_dir.c_str(), work) == nullptr) return refuse("work directory");
    if (mount("agent-fuzz", work, "tmpfs", MS_NODEV | MS_NOSUID, "size=256m,mode=0755") != 0)
        return refuse("work tmpfs");
    keep.emplace_back(work);

    // Deepest mount points first, so no remount is hidden by a later one.
    auto all = mounts();
    std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
    for (const auto& entry : all) {
        const std::string& point = entry.first;
        if (pseudo(entry.second)) continue;
        if (std::find(keep.begin(), keep.end(), point) != keep.end()) continue;
        bool below_kept = std::any_of(keep.begin(), keep.end(), [&](const std::string& k) {
            return point.size() > k.size() && point.compare(0, k.size(), k) == 0 && point[k.size()] == '/';
        });
        if (below_kept) continue;
        // A mount point that vanished or cannot be reached stays as it is;
        // every other must become read-only.
        if (mount(nullptr, point.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | kept_flags(point), nullptr) != 0 &&
            errno != ENOENT && errno != EACCES && errno != EINVAL) {
            return refuse(("read-only " + point).c_str());
        }
    }
    // The working directory still refers to the mount it was entered
    // through, now read-only; enter it again through the new mounts, so
    // that relative corpus and artifact paths reach the writable ones.
    if (chdir(cwd) != 0) return refuse("working directory");
    return true;
}

}  // namespace fuzz_sandbox
