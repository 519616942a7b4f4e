#include "client/ls_format.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>

namespace grfs_client {

std::string mode_string(uint32_t mode) {
    std::string s(10, '-');
    switch (mode & S_IFMT) {
    case S_IFREG: s[0] = '-'; break;
    case S_IFDIR: s[0] = 'd'; break;
    case S_IFLNK: s[0] = 'l'; break;
    case S_IFCHR: s[0] = 'c'; break;
    case S_IFBLK: s[0] = 'b'; break;
    case S_IFIFO: s[0] = 'p'; break;
    case S_IFSOCK: s[0] = 's'; break;
    default: s[0] = '?'; break;
    }
    const char* rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i)
        if (mode & (1u << (8 - i))) s[1 + i] = rwx[i];
    if (mode & S_ISUID) s[3] = (mode & S_IXUSR) ? 's' : 'S';
    if (mode & S_ISGID) s[6] = (mode & S_IXGRP) ? 's' : 'S';
    if (mode & S_ISVTX) s[9] = (mode & S_IXOTH) ? 't' : 'T';
    return s;
}

std::string date_string(const DATE_TIME& d) {
    if (d.date_valid == 0) return "-               ";
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u", d.year, d.month, d.day, d.hour, d.minute);
    return text;
}

std::string long_listing(const Dblk& dblk, const std::string& name, const std::string& link_target) {
    const UnixInfo& u = dblk.unix_info();
    std::string mode;
    if (u.present) {
        mode = mode_string(u.mode);
    } else {
        mode = dblk.is_directory() ? "d?????????" : "-?????????";
    }
    char size[48];
    if (dblk.is_device()) {
        std::snprintf(size, sizeof size, "%4u, %4u", major(u.rdev), minor(u.rdev));
    } else {
        std::snprintf(size, sizeof size, "%10llu", static_cast<unsigned long long>(dblk.size()));
    }
    char line[256];
    std::snprintf(line, sizeof line, "%s %3u %-8u %-8u %s %s ", mode.c_str(), u.present ? u.nlink : 1u, u.uid, u.gid, size,
                  date_string(dblk.modified_time()).c_str());
    std::string out = line + name;
    if (!link_target.empty()) out += " -> " + link_target;
    return out;
}

std::string byte_count_text(uint64_t bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    else
        std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

}  // namespace grfs_client
