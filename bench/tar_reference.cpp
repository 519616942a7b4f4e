#include "bench/tar_reference.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "bench/bench_util.h"

namespace bench {

namespace {

// Starts tar with one end of a loopback connection as its standard output
// (create) or input (extract).
pid_t spawn_tar(const std::vector<std::string>& args, int socket_fd, bool as_output) {
    pid_t pid = fork();
    if (pid < 0) die("fork failed");
    if (pid == 0) {
        dup2(socket_fd, as_output ? STDOUT_FILENO : STDIN_FILENO);
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) dup2(null, as_output ? STDIN_FILENO : STDOUT_FILENO);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>("tar"));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp("tar", argv.data());
        std::perror("tar");
        _exit(127);
    }
    return pid;
}

void wait_ok(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("tar failed");
}

// A connected TCP pair over loopback, so that tar's bytes take the path the
// agent's do: write to out, read from in.
void loopback_pair(int* out, int* in) {
    uint16_t port = 0;
    int lfd = listen_loopback("127.0.0.1", &port);
    if (lfd < 0) die("cannot listen for tar");
    *out = connect_loopback("127.0.0.1", port);
    *in = accept_one(lfd);
    close(lfd);
    if (*out < 0 || *in < 0) die("cannot connect tar's socket");
}

// tar -c of names below dir into a socket that we drain; seconds taken.
// nice receives tar's priority.
double tar_create(const std::string& dir, const std::string& name, uint64_t* bytes, int* nice = nullptr) {
    const auto start = Clock::now();
    int out = -1;
    int in = -1;
    loopback_pair(&out, &in);
    pid_t pid = spawn_tar({"-cf", "-", "-C", dir, name}, out, true);
    if (nice != nullptr) *nice = nice_of(pid);
    close(out);
    std::vector<unsigned char> buf(1 << 16);
    uint64_t total = 0;
    for (;;) {
        ssize_t k = read(in, buf.data(), buf.size());
        if (k <= 0) break;
        total += static_cast<uint64_t>(k);
    }
    close(in);
    wait_ok(pid);
    *bytes = total;
    return seconds_since(start);
}

}  // namespace

void tar_reference(const Dataset& d, std::map<std::string, double>& out) {
    uint64_t bytes = 0;
    int nice = 0;
    double t = tar_create(d.data, d.big_name, &bytes, &nice);
    out["tar_nice"] = nice;
    if (bytes < kBigFileSize) die("tar sent too few bytes");
    out["tar_backup_mbps"] = static_cast<double>(kBigFileSize) / 1e6 / t;

    t = tar_create(d.data, d.small_dir, &bytes);
    out["tar_small_fps"] = kSmallFiles / t;
    t = tar_create(d.data, d.list_small_dir, &bytes);
    out["tar_list2k_eps"] = kListSmall / t;
    t = tar_create(d.data, d.list_large_dir, &bytes);
    out["tar_list20k_eps"] = kListLarge / t;
}

double tar_copy(const std::string& dir, const std::string& name, const std::string& into, int* nice) {
    std::filesystem::create_directories(into);
    const auto start = Clock::now();
    int out = -1;
    int in = -1;
    loopback_pair(&out, &in);
    pid_t writer = spawn_tar({"-cf", "-", "-C", dir, name}, out, true);
    pid_t reader = spawn_tar({"-xf", "-", "-C", into}, in, false);
    *nice = nice_of(reader);
    close(out);
    close(in);
    wait_ok(writer);
    wait_ok(reader);
    return seconds_since(start);
}

double tar_restore_copy(const Dataset& d, int* nice) {
    const std::string into = d.root + "/tar-restore";
    const double t = tar_copy(d.data, d.big_name, into, nice);
    std::error_code ec;
    if (std::filesystem::file_size(into + "/" + d.big_name, ec) != kBigFileSize) die("tar restored the wrong size");
    // Removed before write-back starts, so the disk stays quiet.
    std::filesystem::remove_all(into, ec);
    return t;
}

}  // namespace bench
