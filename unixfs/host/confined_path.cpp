#include "unixfs/host/confined_path.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <linux/openat2.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

bool openat2_missing = false;

// One call where the kernel has openat2; -1 with ENOSYS otherwise.
int try_openat2(int dirfd, const std::string& path, uint64_t resolve, uint64_t flags = O_PATH | O_DIRECTORY | O_CLOEXEC) {
    if (openat2_missing) {
        errno = ENOSYS;
        return -1;
    }
    open_how how{};
    how.flags = flags;
    how.resolve = resolve;
    int fd = static_cast<int>(syscall(SYS_openat2, dirfd, path.c_str(), &how, sizeof how));
    if (fd < 0 && (errno == ENOSYS || errno == EPERM)) {
        // EPERM: a seccomp filter that refuses unknown calls.
        openat2_missing = true;
        errno = ENOSYS;
    }
    return fd;
}

// Component walk for kernels without openat2: each step opens one name from
// the previous directory, never following a link.
int walk_no_links(int root_fd, std::string_view rel) {
    int cur = fcntl(root_fd, F_DUPFD_CLOEXEC, 0);
    if (cur < 0) return -1;
    size_t pos = 0;
    while (pos <= rel.size()) {
        size_t slash = rel.find('/', pos);
        if (slash == std::string_view::npos) slash = rel.size();
        std::string part(rel.substr(pos, slash - pos));
        pos = slash + 1;
        if (part.empty() || part == ".") continue;
        int next = openat(cur, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            int err = errno;
            struct stat st;
            if (err == ENOTDIR && fstatat(cur, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode)) {
                err = ELOOP;
            }
            close(cur);
            errno = err;
            return -1;
        }
        close(cur);
        cur = next;
    }
    return cur;
}

// This process's own descriptor table in /proc, opened at the first reopen:
// reopening relative to it spares the walk through "/proc" and "self" on
// every open. A forked child drops the parent's (it names the parent's
// table) and opens its own when it needs one.
int proc_fd_dir = -1;

void ForgetProcFdDir() {
    if (proc_fd_dir >= 0) close(proc_fd_dir);
    proc_fd_dir = -1;
}

int ProcFdDir() {
    static bool registered = false;
    // Without /proc it is not looked for again on every open.
    static bool proc_missing = false;
    if (proc_fd_dir >= 0 || proc_missing) return proc_fd_dir;
    if (!registered) {
        if (pthread_atfork(nullptr, nullptr, ForgetProcFdDir) != 0) return -1;
        registered = true;
    }
    proc_fd_dir = open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (proc_fd_dir < 0 && errno == ENOENT) proc_missing = true;
    return proc_fd_dir;
}

// The kernel takes at most PATH_MAX bytes of a path in one call: a longer
// one is resolved piece by piece, each piece from the directory the one
// before it reached, so that a depth the wire can name is reached whatever
// its length. Splits rel after its last '/' within reach; false when rel
// needs no split (or no '/' lies within reach: no such name exists).
bool SplitLong(std::string_view rel, std::string_view* head, std::string_view* tail) {
    constexpr size_t kReach = PATH_MAX - 1;
    if (rel.size() <= kReach) return false;
    size_t slash = rel.rfind('/', kReach);
    if (slash == std::string_view::npos || slash == 0) return false;
    *head = rel.substr(0, slash);
    *tail = rel.substr(slash + 1);
    return true;
}

}  // namespace

void ReleaseReopenTable() { ForgetProcFdDir(); }

bool HasDotDotComponent(std::string_view path) {
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string_view::npos) slash = path.size();
        if (path.substr(pos, slash - pos) == "..") return true;
        pos = slash + 1;
    }
    return false;
}

UniqueFd OpenExportRoot(const char* export_path) {
    return UniqueFd(open(export_path, O_PATH | O_DIRECTORY | O_CLOEXEC));
}

UniqueFd OpenDirBeneath(int root_fd, std::string_view rel, LinkPolicy policy) {
    if (HasDotDotComponent(rel)) {
        errno = EXDEV;
        return UniqueFd();
    }
    // Strip leading slashes: request paths are relative to the root.
    while (!rel.empty() && rel.front() == '/') rel.remove_prefix(1);
    if (rel.empty()) return UniqueFd(fcntl(root_fd, F_DUPFD_CLOEXEC, 0));
    std::string_view head;
    std::string_view tail;
    if (SplitLong(rel, &head, &tail)) {
        // Each piece stays below the directory it starts from, so the
        // whole stays below the root.
        UniqueFd part = OpenDirBeneath(root_fd, head, policy);
        if (!part.valid()) return part;
        return OpenDirBeneath(part.get(), tail, policy);
    }

    std::string path(rel);
    if (policy == LinkPolicy::kFollowLinks) {
        // The administrator allowed links to be followed; ".." was refused above.
        return UniqueFd(openat(root_fd, path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    if (policy == LinkPolicy::kFollowLinksBeneath) {
        // Links are followed, but the kernel keeps the whole resolution, the
        // links' targets included, below the root.
        int fd = try_openat2(root_fd, path, RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS);
        if (fd >= 0 || errno != ENOSYS) return UniqueFd(fd);
        return UniqueFd(walk_no_links(root_fd, rel));
    }
    int fd = try_openat2(root_fd, path, RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
    if (fd >= 0 || errno != ENOSYS) return UniqueFd(fd);
    return UniqueFd(walk_no_links(root_fd, rel));
}

UniqueFd OpenFileBeneath(int root_fd, std::string_view rel, int flags) {
    if (HasDotDotComponent(rel)) {
        errno = EXDEV;
        return UniqueFd();
    }
    while (!rel.empty() && rel.front() == '/') rel.remove_prefix(1);
    if (rel.empty()) {
        errno = EISDIR;
        return UniqueFd();
    }
    std::string_view head;
    std::string_view tail;
    if (SplitLong(rel, &head, &tail)) {
        UniqueFd part = OpenDirBeneath(root_fd, head, LinkPolicy::kNoLinks);
        if (!part.valid()) return part;
        return OpenFileBeneath(part.get(), tail, flags);
    }
    return UniqueFd(try_openat2(root_fd, std::string(rel), RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS,
                                static_cast<uint64_t>(flags)));
}

FdPath::FdPath(int fd) { std::snprintf(text_, sizeof text_, "/proc/self/fd/%d", fd); }

UniqueFd ReopenChecked(int path_fd, int flags) {
    // The descriptor's entry in /proc leads to the inode itself, not to the
    // name it was found by.
    const int open_flags = (flags & ~(O_CREAT | O_EXCL | O_NOFOLLOW)) | O_CLOEXEC;
    const int table = ProcFdDir();
    if (table < 0) return UniqueFd(open(FdPath(path_fd).c_str(), open_flags));
    char entry[16] = {};
    std::to_chars(entry, entry + sizeof entry - 1, path_fd);
    return UniqueFd(openat(table, entry, open_flags));
}

UniqueFd OpenParentBeneath(int root_fd, std::string_view rel, LinkPolicy policy, std::string& name) {
    while (!rel.empty() && rel.back() == '/') rel.remove_suffix(1);
    while (!rel.empty() && rel.front() == '/') rel.remove_prefix(1);
    size_t slash = rel.rfind('/');
    std::string_view parent = slash == std::string_view::npos ? std::string_view() : rel.substr(0, slash);
    std::string_view last = slash == std::string_view::npos ? rel : rel.substr(slash + 1);
    if (last == "..") {
        errno = EXDEV;
        return UniqueFd();
    }
    name.assign(last);
    return OpenDirBeneath(root_fd, parent, policy);
}
