#include "tree_builder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace e2e {

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void check(int rc, const std::string& what) {
    if (rc != 0) fail(what);
}

std::string join(const std::string& a, const std::string& b) { return a.empty() ? b : a + "/" + b; }

void make_dir(const std::string& root, const std::string& rel, mode_t mode = 0755) {
    check(mkdir((root + "/" + rel).c_str(), mode), "mkdir " + rel);
    check(chmod((root + "/" + rel).c_str(), mode), "chmod " + rel);
}

void make_link(const std::string& root, const std::string& rel, const std::string& target) {
    check(symlink(target.c_str(), (root + "/" + rel).c_str()), "symlink " + rel);
}

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Children before their directory, so that setting a directory's times
// comes after everything that changes them.
void post_order(const std::string& root, const std::string& rel, std::vector<std::string>& out) {
    const std::string path = rel.empty() ? root : root + "/" + rel;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) fail("lstat " + path);
    if (S_ISDIR(st.st_mode)) {
        DIR* d = opendir(path.c_str());
        if (d == nullptr) fail("opendir " + path);
        std::vector<std::string> children;
        while (dirent* e = readdir(d)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) children.push_back(e->d_name);
        }
        closedir(d);
        std::sort(children.begin(), children.end());
        for (const auto& c : children) post_order(root, join(rel, c), out);
    }
    out.push_back(rel);
}

}  // namespace

TempDir::TempDir(const std::string& prefix) {
    std::string templ = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) fail("mkdtemp");
    path_ = buf.data();
    // mkdtemp makes it 0700; a tree restored into it is compared by its
    // entries, not by this directory.
    chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
    std::error_code ec;
    // Directories without write or search permission would stop the removal.
    std::filesystem::path p(path_);
    for (auto it = std::filesystem::recursive_directory_iterator(p, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) chmod(it->path().c_str(), 0700);
    }
    std::filesystem::remove_all(p, ec);
}

void pattern(uint64_t offset, unsigned char* out, size_t n, uint32_t seed) {
    // Each 8-byte word depends on its position, so bytes delivered at the
    // wrong offset never compare equal.
    uint64_t word_index = offset / 8;
    uint64_t word = mix(word_index ^ (static_cast<uint64_t>(seed) << 40));
    for (size_t i = 0; i < n; ++i) {
        const uint64_t at = offset + i;
        if (at / 8 != word_index) {
            word_index = at / 8;
            word = mix(word_index ^ (static_cast<uint64_t>(seed) << 40));
        }
        out[i] = static_cast<unsigned char>(word >> (8 * (at % 8)));
    }
}

void write_pattern_file(const std::string& path, uint64_t size, uint32_t seed) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) fail("create " + path);
    std::vector<unsigned char> buf(1 << 20);
    for (uint64_t done = 0; done < size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - done));
        pattern(done, buf.data(), n, seed);
        ssize_t w = write(fd, buf.data(), n);
        if (w != static_cast<ssize_t>(n)) {
            close(fd);
            fail("write " + path);
        }
        done += n;
    }
    close(fd);
    check(chmod(path.c_str(), 0644), "chmod " + path);
}

std::vector<unsigned char> read_file_bytes(const std::string& path) {
    std::vector<unsigned char> out;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) fail("open " + path);
    unsigned char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            close(fd);
            fail("read " + path);
        }
        if (n == 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    close(fd);
    return out;
}

std::string compare_file(const std::string& path, uint64_t size,
                         const std::function<bool(uint64_t offset, unsigned char* out, size_t n)>& source) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return "cannot open " + path + ": " + std::strerror(errno);
    struct stat st {};
    fstat(fd, &st);
    if (static_cast<uint64_t>(st.st_size) != size) {
        close(fd);
        return "file is " + std::to_string(st.st_size) + " bytes, expected " + std::to_string(size);
    }
    std::vector<unsigned char> mine(1 << 20), theirs(1 << 20);
    for (uint64_t done = 0; done < size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(mine.size(), size - done));
        ssize_t got = pread(fd, mine.data(), n, static_cast<off_t>(done));
        if (got != static_cast<ssize_t>(n)) {
            close(fd);
            return "short read of " + path + " at " + std::to_string(done);
        }
        if (!source(done, theirs.data(), n)) {
            close(fd);
            return "the other side has no bytes at " + std::to_string(done);
        }
        if (std::memcmp(mine.data(), theirs.data(), n) != 0) {
            size_t i = 0;
            while (mine[i] == theirs[i]) ++i;
            close(fd);
            return "bytes differ at offset " + std::to_string(done + i);
        }
        done += n;
    }
    close(fd);
    return {};
}

std::string parent_of(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

BuiltTree build_tree(const std::string& root, const TreeOptions& options) {
    BuiltTree tree;
    tree.root = root;
    const bool root_user = geteuid() == 0;
    auto at = [&](const std::string& rel) { return root + "/" + rel; };
    using namespace names;

    write_pattern_file(at(kEmpty), 0, 1);
    write_pattern_file(at(kOne), 1, 2);
    write_pattern_file(at(kBuffer), 31744, 3);
    write_pattern_file(at(kBufferPlusOne), 31745, 4);
    make_dir(root, "big");
    if (options.large_file) {
        write_pattern_file(at(kLarge), kLargeSize, 5);
    } else {
        write_pattern_file(at(kLarge), 100000, 5);
        tree.skipped.push_back("large file: only 100000 bytes");
    }
    make_dir(root, kDirOne);
    make_dir(root, parent_of(kDeep));
    make_dir(root, kDeep);
    write_pattern_file(at(kLeaf), 4321, 6);
    write_pattern_file(at(kSpaced), 777, 7);
    make_dir(root, kNonAsciiDir);
    write_pattern_file(at(kNonAsciiFile), 2048, 8);
    make_link(root, kLinkToFile, kOne);
    make_link(root, kLinkToDir, "../big");
    make_link(root, kDanglingLink, "no such target");
    check(mkfifo(at(kFifo).c_str(), 0640), "mkfifo");
    check(chmod(at(kFifo).c_str(), 0640), "chmod fifo");
    if (root_user) {
        check(mknod(at(kCharDevice).c_str(), S_IFCHR | 0620, makedev(1, 3)), "mknod");
        check(chmod(at(kCharDevice).c_str(), 0620), "chmod device");
        tree.has_device = true;
    } else {
        tree.skipped.push_back("character device: making one needs root");
    }
    write_pattern_file(at(kHardA), 5000, 9);
    check(link(at(kHardA).c_str(), at(kHardB).c_str()), "link");
    if (options.excluded_dir) {
        make_dir(root, kExcluded);
        write_pattern_file(at(kExcludedFile), 10, 10);
        tree.has_excluded = true;
    }
    if (options.unreadable_file) {
        write_pattern_file(at(kUnreadable), 100, 11);
        check(chmod(at(kUnreadable).c_str(), 0), "chmod unreadable");
        tree.has_unreadable = true;
    }
    if (options.special_modes) {
        write_pattern_file(at(kSetuid), 3000, 12);
        make_dir(root, kSetgidDir);
        make_dir(root, kStickyDir);
        write_pattern_file(at(kOddMode), 64, 13);
    }

    if (options.foreign_owners) {
        if (root_user) {
            const std::vector<std::string> owned = {kDirOne, kSpaced, kLinkToFile, kFifo, kHardA, kLeaf, kNonAsciiFile};
            for (const auto& rel : owned) {
                check(lchown(at(rel).c_str(), kForeignUid, kForeignGid), "lchown " + rel);
            }
            // Owner only, group only.
            check(lchown(at(kBuffer).c_str(), kForeignUid, static_cast<gid_t>(-1)), "lchown buffer");
            check(lchown(at(kOne).c_str(), static_cast<uid_t>(-1), kForeignGid), "lchown one");
            if (tree.has_device) check(lchown(at(kCharDevice).c_str(), kForeignUid, kForeignGid), "lchown device");
            if (options.special_modes) {
                for (const auto& rel : {kSetuid, kSetgidDir, kStickyDir, kOddMode})
                    check(lchown(at(rel).c_str(), kForeignUid, kForeignGid), "lchown " + rel);
            }
            tree.has_foreign_owners = true;
        } else {
            tree.skipped.push_back("foreign owners: changing owners needs root");
        }
    }
    // Modes after owners: a change of owner clears set-user-id.
    if (options.special_modes) {
        check(chmod(at(kSetuid).c_str(), 04755), "chmod setuid");
        check(chmod(at(kSetgidDir).c_str(), 02750), "chmod setgid dir");
        check(chmod(at(kStickyDir).c_str(), 01777), "chmod sticky dir");
        check(chmod(at(kOddMode).c_str(), 0641), "chmod odd mode");
        check(chmod(at(kBufferPlusOne).c_str(), 0604), "chmod buffer plus one");
        check(chmod(at(kNonAsciiDir).c_str(), 0711), "chmod non-ASCII dir");
    }

    if (options.old_times) {
        std::vector<std::string> order;
        post_order(root, "", order);
        // 2001-02-03 04:05:06 UTC, then an hour further for every object;
        // each access time a week after its modification time.
        time_t base = 981173106;
        for (const auto& rel : order) {
            if (rel.empty()) continue;  // the root is not restored
            struct stat st {};
            check(lstat(at(rel).c_str(), &st), "lstat " + rel);
            if (S_ISLNK(st.st_mode)) continue;
            timespec times[2] = {{base + 7 * 86400, 0}, {base, 0}};
            check(utimensat(AT_FDCWD, at(rel).c_str(), times, AT_SYMLINK_NOFOLLOW), "utimensat " + rel);
            base += 3600;
        }
    }
    return tree;
}

namespace {

void snap(const std::string& root, const std::string& rel, std::map<std::string, Entry>& out) {
    const std::string path = rel.empty() ? root : root + "/" + rel;
    Entry e;
    if (lstat(path.c_str(), &e.st) != 0) fail("lstat " + path);
    if (S_ISLNK(e.st.st_mode)) {
        std::vector<char> buf(4096);
        ssize_t n = readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0) fail("readlink " + path);
        e.link_target.assign(buf.data(), static_cast<size_t>(n));
        // Reading a fresh link moves its access time (relatime); describe it as
        // it stands afterwards, which is what the agent will list.
        if (lstat(path.c_str(), &e.st) != 0) fail("lstat " + path);
    }
    out[rel] = e;
    if (!S_ISDIR(e.st.st_mode)) return;
    // Listing a directory would move its access time (relatime updates
    // times older than a day); O_NOATIME keeps the tree as the agent finds it.
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOATIME | O_CLOEXEC);
    if (fd < 0 && errno == EPERM) fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) fail("open " + path);
    DIR* d = fdopendir(fd);
    if (d == nullptr) fail("opendir " + path);
    std::vector<std::string> children;
    while (dirent* de = readdir(d)) {
        if (std::strcmp(de->d_name, ".") != 0 && std::strcmp(de->d_name, "..") != 0) children.push_back(de->d_name);
    }
    closedir(d);
    // Every child is described before any of them is listed.
    std::vector<std::string> dirs;
    for (const auto& c : children) {
        const std::string child = join(rel, c);
        Entry ce;
        if (lstat((root + "/" + child).c_str(), &ce.st) != 0) fail("lstat " + child);
        if (S_ISDIR(ce.st.st_mode))
            dirs.push_back(child);
        else
            snap(root, child, out);
    }
    for (const auto& child : dirs) snap(root, child, out);
}

}  // namespace

std::map<std::string, Entry> snapshot(const std::string& root) {
    std::map<std::string, Entry> out;
    snap(root, "", out);
    return out;
}

}  // namespace e2e
