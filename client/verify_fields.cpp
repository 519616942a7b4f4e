#include "client/verify_fields.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>

namespace grfs_client {

namespace {

using Differences = std::vector<std::string>;

void differ(Differences& out, const char* field, const std::string& now, const std::string& archived) {
    out.push_back(std::string(field) + " is " + now + ", the archive has " + archived);
}

bool both_have_unix_info(const Dblk& a, const Dblk& b) { return a.unix_info().present && b.unix_info().present; }

std::string octal(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0%o", v);
    return text;
}

std::string date_text(const DATE_TIME& d) {
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", d.year, d.month, d.day, d.hour, d.minute,
                  d.second);
    return text;
}

std::string device_text(uint32_t rdev) {
    const dev_t d = rdev;
    return std::to_string(major(d)) + "," + std::to_string(minor(d));
}

void compare_mode(const Dblk& a, const Dblk& b, Differences& out) {
    if (!both_have_unix_info(a, b)) return;
    const uint32_t was = a.unix_info().mode & 07777, is = b.unix_info().mode & 07777;
    if (was != is) differ(out, "mode", octal(is), octal(was));
}

void compare_owner(const Dblk& a, const Dblk& b, Differences& out) {
    if (!both_have_unix_info(a, b)) return;
    if (a.unix_info().uid != b.unix_info().uid)
        differ(out, "owner", std::to_string(b.unix_info().uid), std::to_string(a.unix_info().uid));
}

void compare_group(const Dblk& a, const Dblk& b, Differences& out) {
    if (!both_have_unix_info(a, b)) return;
    if (a.unix_info().gid != b.unix_info().gid)
        differ(out, "group", std::to_string(b.unix_info().gid), std::to_string(a.unix_info().gid));
}

// A directory's size is the file system's own bookkeeping: it grows with
// entries made and need not shrink when they go, and a restored directory
// starts small.
void compare_size(const Dblk& a, const Dblk& b, Differences& out) {
    if (a.is_directory()) return;
    if (a.size() != b.size()) differ(out, "size", std::to_string(b.size()), std::to_string(a.size()));
}

// To the second, as the block carries it; a symbolic link's too, since a
// restore gives a link its own times.
void compare_mtime(const Dblk& a, const Dblk& b, Differences& out) {
    const DATE_TIME &was = a.modified_time(), &is = b.modified_time();
    if (!was.date_valid || !is.date_valid) return;
    const bool same = was.year == is.year && was.month == is.month && was.day == is.day && was.hour == is.hour &&
                      was.minute == is.minute && was.second == is.second;
    if (!same) differ(out, "mtime", date_text(is), date_text(was));
}

void compare_device(const Dblk& a, const Dblk& b, Differences& out) {
    if (!a.is_device() || !both_have_unix_info(a, b)) return;
    if (a.unix_info().rdev != b.unix_info().rdev)
        differ(out, "device", device_text(b.unix_info().rdev), device_text(a.unix_info().rdev));
}

using BlockComparer = void (*)(const Dblk& archived, const Dblk& now, Differences& out);
constexpr BlockComparer kBlockComparers[] = {compare_mode, compare_owner, compare_group,
                                             compare_size, compare_mtime, compare_device};

}  // namespace

std::string object_kind(const Dblk& dblk) {
    if (dblk.is_directory()) return "directory";
    if (!dblk.unix_info().present) return "file";
    switch (dblk.unix_info().mode & S_IFMT) {
        case S_IFREG: return "regular file";
        case S_IFDIR: return "directory";
        case S_IFLNK: return "symbolic link";
        case S_IFIFO: return "FIFO";
        case S_IFSOCK: return "socket";
        case S_IFCHR: return "character device";
        case S_IFBLK: return "block device";
        default: return "object of mode " + octal(dblk.unix_info().mode);
    }
}

// A block without Unix information tells only a directory from a file.
bool same_kind(const Dblk& archived, const Dblk& now) {
    if (!both_have_unix_info(archived, now)) return archived.is_directory() == now.is_directory();
    return object_kind(archived) == object_kind(now);
}

std::vector<std::string> compare_blocks(const Dblk& archived, const Dblk& now) {
    Differences out;
    if (!same_kind(archived, now)) {
        differ(out, "type", object_kind(now), object_kind(archived));
        return out;
    }
    for (BlockComparer compare : kBlockComparers) compare(archived, now, out);
    return out;
}

}  // namespace grfs_client
