#include "bench/host_trees.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "bench/bench_util.h"

namespace bench {

namespace {

namespace fs = std::filesystem;

// Bump when the generated layout changes, so that an old tree is rebuilt.
constexpr const char* kHostMarker = ".host-tree-v1";
constexpr const char* kEtcMarker = ".etc-copy-v1";
constexpr uint64_t kHostSeed = 0x5DEECE66Dull;
constexpr double kMedianSize = 3000;
constexpr double kSigma = 2.0;  // a long tail: the mean is about seven times the median
constexpr uint64_t kLargestFile = 4ull << 20;

struct XorShift {
    uint64_t state;
    uint64_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    // Uniform in (0, 1).
    double unit() { return (static_cast<double>(next() >> 11) + 0.5) / 9007199254740992.0; }
    // Standard normal (Box-Muller).
    double normal() { return std::sqrt(-2.0 * std::log(unit())) * std::cos(6.283185307179586 * unit()); }
};

void write_bytes(const std::string& path, uint64_t size, XorShift& rng, std::vector<unsigned char>& buf) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) die("cannot create " + path + ": " + strerror(errno));
    for (uint64_t done = 0; done < size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - done));
        for (size_t i = 0; i < n; i += 8) {
            const uint64_t v = rng.next();
            std::memcpy(buf.data() + i, &v, std::min<size_t>(8, n - i));
        }
        if (write(fd, buf.data(), n) != static_cast<ssize_t>(n)) die("cannot write " + path + ": " + strerror(errno));
        done += n;
    }
    close(fd);
}

void build_host_tree(const std::string& dir) {
    std::printf("Generating the host-shaped tree under %s ...\n", dir.c_str());
    std::fflush(stdout);
    std::error_code ec;
    fs::remove_all(dir, ec);
    std::vector<std::string> dirs;
    for (int t = 0; t < kHostTopDirs; ++t) {
        char top[32];
        std::snprintf(top, sizeof top, "/d%02d", t);
        dirs.push_back(dir + top);
        for (int s = 0; s < kHostSubDirs; ++s) {
            char sub[32];
            std::snprintf(sub, sizeof sub, "/s%02d", s);
            dirs.push_back(dir + top + sub);
        }
    }
    for (const std::string& d : dirs) fs::create_directories(d);
    XorShift rng{kHostSeed};
    std::vector<unsigned char> buf(1 << 20);
    for (int i = 0; i < kHostFiles; ++i) {
        const double size = std::exp(std::log(kMedianSize) + kSigma * rng.normal());
        const uint64_t bytes = std::min<uint64_t>(kLargestFile, static_cast<uint64_t>(size));
        const std::string& d = dirs[rng.next() % dirs.size()];
        char name[32];
        std::snprintf(name, sizeof name, "/f%05d", i);
        write_bytes(d + name, bytes, rng, buf);
    }
}

void copy_etc(const std::string& to) {
    std::printf("Copying /etc to %s ...\n", to.c_str());
    std::fflush(stdout);
    std::error_code ec;
    fs::remove_all(to, ec);
    fs::create_directories(to);
    // tar keeps owners, modes, times and links as they are.
    const std::string command = "tar -C / -cf - etc | tar -C '" + to + "' --strip-components=1 -xf -";
    if (std::system(command.c_str()) != 0) die("cannot copy /etc to " + to);
}

TreeFacts count_tree(const std::string& path) {
    TreeFacts f;
    f.path = path;
    f.objects = 1;
    for (auto it = fs::recursive_directory_iterator(path); it != fs::recursive_directory_iterator(); ++it) {
        ++f.objects;
        struct stat st{};
        if (lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) f.bytes += static_cast<uint64_t>(st.st_size);
    }
    return f;
}

void touch(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) die("cannot create " + path);
    close(fd);
}

}  // namespace

HostTrees prepare_host_trees(const std::string& root) {
    const std::string trees = root + "/trees";
    fs::create_directories(trees);
    HostTrees t;
    // The markers lie outside the exported trees.
    if (!fs::exists(trees + "/" + kHostMarker)) {
        build_host_tree(trees + "/host");
        sync();
        touch(trees + "/" + kHostMarker);
    }
    if (!fs::exists(trees + "/" + kEtcMarker)) {
        copy_etc(trees + "/etc");
        sync();
        touch(trees + "/" + kEtcMarker);
    }
    t.host = count_tree(trees + "/host");
    t.etc = count_tree(trees + "/etc");
    return t;
}

void warm_tree(const TreeFacts& tree) {
    std::vector<unsigned char> buf(1 << 20);
    for (auto it = fs::recursive_directory_iterator(tree.path); it != fs::recursive_directory_iterator(); ++it) {
        struct stat st{};
        if (lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        int fd = open(it->path().c_str(), O_RDONLY | O_CLOEXEC | O_NOATIME);
        if (fd < 0) fd = open(it->path().c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        while (read(fd, buf.data(), buf.size()) > 0) {
        }
        close(fd);
    }
}

}  // namespace bench
