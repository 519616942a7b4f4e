#include "fuzz/fuzz_export_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace fuzz_tree {

namespace {

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "fuzz_session: %s: %s\n", what.c_str(), std::strerror(errno));
    std::abort();
}

void write_file(const std::string& path, const std::string& content, mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) die("create " + path);
    if (!content.empty() && write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        die("write " + path);
    if (fchmod(fd, mode) != 0) die("chmod " + path);
    close(fd);
}

void make_dir(const std::string& path, mode_t mode = 0755) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) die("mkdir " + path);
    if (chmod(path.c_str(), mode) != 0) die("chmod " + path);
}

void make_link(const std::string& target, const std::string& path) {
    if (symlink(target.c_str(), path.c_str()) != 0) die("symlink " + path);
}

// Removes everything below the directory dirfd, whatever its modes.
void clear_dir(int dirfd) {
    DIR* d = fdopendir(dirfd);
    if (d == nullptr) die("fdopendir");
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    }
    for (const std::string& n : names) {
        struct stat st;
        if (fstatat(dirfd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            fchmodat(dirfd, n.c_str(), 0700, 0);
            int sub = openat(dirfd, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0) clear_dir(sub);
            if (unlinkat(dirfd, n.c_str(), AT_REMOVEDIR) != 0) die("rmdir " + n);
        } else if (unlinkat(dirfd, n.c_str(), 0) != 0) {
            die("unlink " + n);
        }
    }
    closedir(d);
}

// FNV-1a over everything fed to it.
struct Digest {
    uint64_t h = 1469598103934665603ull;
    void add(const void* p, size_t n) {
        const auto* b = static_cast<const unsigned char*>(p);
        for (size_t i = 0; i < n; ++i) {
            h ^= b[i];
            h *= 1099511628211ull;
        }
    }
    void add(const std::string& s) { add(s.data(), s.size() + 1); }
    template <typename T>
    void add_value(T v) {
        add(&v, sizeof v);
    }
};

void fingerprint(const std::string& path, const std::string& rel, const std::string& skip, Digest& dg) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        dg.add("missing:" + rel);
        return;
    }
    dg.add(rel);
    dg.add_value(st.st_mode);
    dg.add_value(st.st_uid);
    dg.add_value(st.st_gid);
    dg.add_value(st.st_nlink);
    dg.add_value(st.st_rdev);
    dg.add_value(st.st_size);
    dg.add_value(st.st_mtim.tv_sec);
    dg.add_value(st.st_mtim.tv_nsec);
    dg.add_value(st.st_ctim.tv_sec);
    dg.add_value(st.st_ctim.tv_nsec);
    if (S_ISLNK(st.st_mode)) {
        char target[4096];
        ssize_t n = readlink(path.c_str(), target, sizeof target);
        if (n > 0) dg.add(target, static_cast<size_t>(n));
    } else if (S_ISREG(st.st_mode)) {
        int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            char buf[8192];
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0) dg.add(buf, static_cast<size_t>(n));
            close(fd);
        }
    } else if (S_ISDIR(st.st_mode)) {
        std::vector<std::string> names;
        if (DIR* d = opendir(path.c_str())) {
            while (dirent* e = readdir(d)) {
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
            }
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        for (const std::string& n : names) {
            const std::string child_rel = rel.empty() ? n : rel + "/" + n;
            if (child_rel == skip) continue;
            fingerprint(path + "/" + n, child_rel, skip, dg);
        }
    }
}

}  // namespace

std::string ExportPath(const std::string& root) { return root + "/export"; }

const std::string& SentinelSecret() {
    static const std::string secret = [] {
        unsigned char raw[16] = {};
        int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
        if (fd < 0 || read(fd, raw, sizeof raw) != static_cast<ssize_t>(sizeof raw)) die("urandom");
        close(fd);
        std::string hex;
        for (unsigned char b : raw) {
            hex.push_back("0123456789abcdef"[b >> 4]);
            hex.push_back("0123456789abcdef"[b & 15]);
        }
        return hex;
    }();
    return secret;
}

bool Contains(const unsigned char* bytes, size_t size, const std::string& secret) {
    const size_t n = secret.size();
    if (n == 0) return true;
    const unsigned char first = static_cast<unsigned char>(secret[0]);
    for (size_t i = 0; i + n <= size; ++i) {
        if (bytes[i] != first) continue;
        unsigned diff = 0;
        for (size_t k = 0; k < n; ++k) diff |= static_cast<unsigned>(bytes[i + k] ^ static_cast<unsigned char>(secret[k]));
        if (diff == 0) return true;
    }
    return false;
}

void CreateWorkTree(const std::string& root) {
    make_dir(ExportPath(root));
    make_dir(root + "/sentinel");
    const std::string secret = SentinelSecret() + "\n";
    write_file(root + "/sentinel/secret.txt", secret, 0644);
    make_dir(root + "/sentinel/dir");
    write_file(root + "/sentinel/dir/nested.txt", secret, 0600);
    write_file(root + "/sentinel/readonly.txt", secret, 0444);
    write_file(root + "/outside.txt", secret, 0644);
    // Where the links to directories lead: with follow_symdirs on, reading
    // here is allowed (changing never is), so no secret lives here.
    make_dir(root + "/linked");
    write_file(root + "/linked/shared.txt", "reached through a link to a directory\n", 0644);
    make_dir(root + "/linked/deeper");
    write_file(root + "/linked/deeper/more.txt", "and below it\n", 0600);
    ResetExport(root);
}

void ResetExport(const std::string& root) {
    const std::string ex = ExportPath(root);
    int fd = open(ex.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) die("open " + ex);
    clear_dir(fd);
    if (chmod(ex.c_str(), 0755) != 0) die("chmod " + ex);

    write_file(ex + "/data.txt", "hello", 0644);
    std::string big(40000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    write_file(ex + "/big.bin", big, 0644);
    write_file(ex + "/empty", "", 0644);
    write_file(ex + "/readonly.txt", "cannot write\n", 0444);
    write_file(ex + "/noaccess.txt", "no access\n", 0000);
    make_dir(ex + "/sub");
    write_file(ex + "/sub/inner.txt", "inner\n", 0640);
    make_dir(ex + "/sub/deeper");
    make_link("../../linked", ex + "/sub/up");
    make_dir(ex + "/ro_dir", 0755);
    write_file(ex + "/ro_dir/kept.txt", "kept\n", 0644);
    chmod((ex + "/ro_dir").c_str(), 0555);
    // Links to files outside: never followed, whatever the configuration.
    make_link("../sentinel/secret.txt", ex + "/link_rel");
    make_link(root + "/sentinel/secret.txt", ex + "/link_abs");
    // Links to directories outside: followed for reading with follow_symdirs.
    make_link("../linked", ex + "/link_dir");
    make_link(root + "/linked", ex + "/link_dir_abs");
    make_link("data.txt", ex + "/link_in");
    if (mkfifo((ex + "/pipe").c_str(), 0644) != 0) die("mkfifo");
}

std::string FingerprintOutside(const std::string& root) {
    Digest dg;
    fingerprint(root, "", "export", dg);
    char out[32];
    std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(dg.h));
    return out;
}

}  // namespace fuzz_tree
