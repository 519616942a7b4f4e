#include "bench/blkio_cgroup.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "bench/bench_util.h"

namespace bench {

namespace {

namespace fs = std::filesystem;

constexpr const char* kBlkioRoot = "/sys/fs/cgroup/blkio";

bool write_text(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// The whole disk ("major:minor") under a file: throttling takes disks, not
// partitions.
std::string disk_of(const std::string& path, std::string* why) {
    struct stat st{};
    if (stat(path.c_str(), &st) != 0) {
        *why = path + ": " + strerror(errno);
        return "";
    }
    const std::string dev = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    const fs::path sys = fs::path("/sys/dev/block") / dev;
    std::error_code ec;
    if (!fs::exists(sys, ec)) {
        *why = path + " lies on device " + dev + ", which is not a block device";
        return "";
    }
    if (!fs::exists(sys / "partition", ec)) return dev;
    std::ifstream parent(fs::canonical(sys, ec).parent_path() / "dev");
    std::string whole;
    if (!(parent >> whole)) *why = "cannot find the disk of partition " + dev;
    return whole;
}

// The group a process is in, below the blkio hierarchy ("/" for the root).
std::string group_of(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        // hierarchy-ID:controller-list:path
        const size_t a = line.find(':');
        const size_t b = line.find(':', a + 1);
        if (a == std::string::npos || b == std::string::npos) continue;
        const std::string controllers = line.substr(a + 1, b - a - 1);
        if (("," + controllers + ",").find(",blkio,") != std::string::npos) return line.substr(b + 1);
    }
    return "/";
}

}  // namespace

ThrottledDisk::ThrottledDisk(const std::string& path, uint64_t bytes_per_second) {
    if (geteuid() != 0) {
        reason_ = "not root";
        return;
    }
    if (!fs::exists(std::string(kBlkioRoot) + "/blkio.throttle.read_bps_device")) {
        reason_ = std::string("no cgroup v1 blkio throttling at ") + kBlkioRoot;
        return;
    }
    device_ = disk_of(path, &reason_);
    if (!reason_.empty()) return;
    parent_ = std::string(kBlkioRoot) + group_of(getpid());
    group_ = std::string(kBlkioRoot) + "/grfs-bench-" + std::to_string(getpid());
    if (mkdir(group_.c_str(), 0755) != 0 && errno != EEXIST) {
        reason_ = "cannot make " + group_ + ": " + strerror(errno);
        group_.clear();
        return;
    }
    if (!write_text(group_ + "/blkio.throttle.read_bps_device", device_ + " " + std::to_string(bytes_per_second)))
        reason_ = "cannot throttle device " + device_ + " in " + group_ + ": " + strerror(errno);
}

ThrottledDisk::~ThrottledDisk() {
    if (group_.empty()) return;
    // The group can go once its last process has left or ended.
    for (int i = 0; i < 100 && rmdir(group_.c_str()) != 0 && errno == EBUSY; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

bool ThrottledDisk::enter(pid_t pid) { return ok() && write_text(group_ + "/cgroup.procs", std::to_string(pid)); }

void ThrottledDisk::leave(pid_t pid) {
    if (ok()) write_text(parent_ + "/cgroup.procs", std::to_string(pid));
}

bool drop_cached(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    struct stat st{};
    fstat(fd, &st);
    bool dropped = false;
    const size_t len = static_cast<size_t>(st.st_size);
    void* map = len > 0 ? mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0) : MAP_FAILED;
    if (map != MAP_FAILED) {
        const long page = sysconf(_SC_PAGESIZE);
        std::vector<unsigned char> resident((len + static_cast<size_t>(page) - 1) / static_cast<size_t>(page));
        if (mincore(map, len, resident.data()) == 0) {
            size_t in = 0;
            for (unsigned char r : resident) in += r & 1;
            dropped = in * 100 <= resident.size();  // at most 1% left
        }
        munmap(map, len);
    }
    close(fd);
    return dropped;
}

double read_cold(ThrottledDisk& disk, const std::string& path) {
    if (!drop_cached(path)) die("cannot drop " + path + " from the page cache");
    int times[2];
    if (pipe(times) != 0) die("pipe failed");
    pid_t pid = fork();
    if (pid < 0) die("fork failed");
    if (pid == 0) {
        close(times[0]);
        double t = -1;
        if (disk.enter(getpid())) {
            int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
                std::vector<unsigned char> buf(1 << 20);
                const auto start = Clock::now();
                while (read(fd, buf.data(), buf.size()) > 0) {
                }
                t = seconds_since(start);
                close(fd);
            }
        }
        (void)!write(times[1], &t, sizeof t);
        _exit(0);
    }
    close(times[1]);
    double t = -1;
    if (read(times[0], &t, sizeof t) != sizeof t) t = -1;
    close(times[0]);
    waitpid(pid, nullptr, 0);
    if (t < 0) die("the cold read of " + path + " in the throttled group failed");
    return t;
}

}  // namespace bench
