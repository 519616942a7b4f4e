#include "bench/dataset.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "bench/bench_util.h"

namespace bench {

namespace {

namespace fs = std::filesystem;

// Bump when the layout changes, so that an old scratch tree is rebuilt.
constexpr const char* kMarker = ".bench-dataset-v1";

// Bytes that do not compress: xorshift, seeded per file.
void fill_random(std::vector<unsigned char>& buf, uint64_t& state) {
    for (size_t i = 0; i + 8 <= buf.size(); i += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::memcpy(buf.data() + i, &state, 8);
    }
}

void write_file(const std::string& path, const unsigned char* p, size_t n) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) die("cannot create " + path + ": " + strerror(errno));
    while (n > 0) {
        ssize_t k = write(fd, p, n);
        if (k <= 0) die("cannot write " + path + ": " + strerror(errno));
        p += k;
        n -= static_cast<size_t>(k);
    }
    close(fd);
}

std::string numbered(const char* prefix, int i) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%05d", prefix, i);
    return name;
}

void make_empty_files(const std::string& dir, int count) {
    fs::create_directories(dir);
    for (int i = 0; i < count; ++i) write_file(dir + "/" + numbered("e", i), nullptr, 0);
}

// Four extents of 1 MiB spread over kBigFileSize, the rest holes. Made
// apart from the marked set, so that an older set gains it.
void make_sparse_file(const std::string& path, uint64_t& state) {
    struct stat st{};
    if (stat(path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) == kBigFileSize) return;
    std::vector<unsigned char> block(kSparseData / 4);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) die("cannot create the sparse file: " + std::string(strerror(errno)));
    for (uint64_t k = 0; k < 4; ++k) {
        fill_random(block, state);
        const off_t at = static_cast<off_t>(k * (kBigFileSize / 4) + (k * 5 << 20));
        if (pwrite(fd, block.data(), block.size(), at) != static_cast<ssize_t>(block.size()))
            die("cannot write the sparse file: " + std::string(strerror(errno)));
    }
    if (ftruncate(fd, static_cast<off_t>(kBigFileSize)) != 0) die("cannot size the sparse file");
    close(fd);
}

}  // namespace

Dataset prepare_dataset(const std::string& root) {
    Dataset d;
    d.root = root;
    d.data = root + "/data";
    d.restore = root + "/restore";
    fs::create_directories(d.restore);
    const std::string marker = d.data + "/" + kMarker;
    if (fs::exists(marker)) {
        uint64_t sparse_state = 0x243F6A8885A308D3ull;
        make_sparse_file(d.data + "/" + d.sparse_name, sparse_state);
        return d;
    }

    std::printf("Building the data set under %s ...\n", d.data.c_str());
    std::fflush(stdout);
    std::error_code ec;
    fs::remove_all(d.data, ec);
    fs::create_directories(d.data);

    uint64_t state = 0x9E3779B97F4A7C15ull;
    {
        std::vector<unsigned char> block(1 << 20);
        int fd = open((d.data + "/" + d.big_name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) die("cannot create the large file: " + std::string(strerror(errno)));
        for (uint64_t done = 0; done < kBigFileSize; done += block.size()) {
            fill_random(block, state);
            if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size()))
                die("cannot write the large file: " + std::string(strerror(errno)));
        }
        close(fd);
    }
    {
        const std::string dir = d.data + "/" + d.small_dir;
        fs::create_directories(dir);
        std::vector<unsigned char> block(kSmallFileSize);
        for (int i = 0; i < kSmallFiles; ++i) {
            fill_random(block, state);
            write_file(dir + "/" + numbered("f", i), block.data(), block.size());
        }
    }
    make_sparse_file(d.data + "/" + d.sparse_name, state);
    make_empty_files(d.data + "/" + d.list_small_dir, kListSmall);
    make_empty_files(d.data + "/" + d.list_large_dir, kListLarge);
    // The marker lies outside every measured directory.
    write_file(marker, nullptr, 0);
    sync();
    return d;
}

void warm_page_cache(const Dataset& d) {
    std::vector<unsigned char> buf(1 << 20);
    auto read_all = [&](const std::string& path) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        while (read(fd, buf.data(), buf.size()) > 0) {
        }
        close(fd);
    };
    read_all(d.data + "/" + d.big_name);
    for (const std::string& sub : {d.small_dir, d.list_small_dir, d.list_large_dir}) {
        const std::string dir = d.data + "/" + sub;
        DIR* dp = opendir(dir.c_str());
        if (dp == nullptr) die("cannot list " + dir);
        while (dirent* e = readdir(dp)) {
            if (e->d_name[0] == '.') continue;
            const std::string path = dir + "/" + e->d_name;
            struct stat st{};
            lstat(path.c_str(), &st);
            if (st.st_size > 0) read_all(path);
        }
        closedir(dp);
    }
}

}  // namespace bench
