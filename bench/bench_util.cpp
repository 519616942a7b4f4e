#include "bench/bench_util.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

namespace bench {

void die(const std::string& text) {
    std::cerr << "grfs_bench: " << text << std::endl;
    std::exit(1);
}

namespace {

sockaddr_in loopback_address(const std::string& address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) die("bad address " + address);
    // Benchmark traffic never leaves the host.
    if ((ntohl(sa.sin_addr.s_addr) >> 24) != 127) die(address + " is not a loopback address");
    return sa;
}

}  // namespace

void set_nodelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void set_blocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

int listen_loopback(const std::string& address, uint16_t* port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) die("socket: " + std::string(strerror(errno)));
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = loopback_address(address, *port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    *port = ntohs(sa.sin_port);
    return fd;
}

int accept_one(int listen_fd) {
    int fd;
    do {
        fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) set_nodelay(fd);
    return fd;
}

int connect_loopback(const std::string& address, uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) die("socket: " + std::string(strerror(errno)));
    sockaddr_in sa = loopback_address(address, port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    set_nodelay(fd);
    return fd;
}

bool send_all(int fd, const unsigned char* p, size_t n) {
    while (n > 0) {
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

bool recv_exact(int fd, unsigned char* p, size_t n) {
    while (n > 0) {
        ssize_t k = recv(fd, p, n, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

long vm_hwm_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

CpuTimes cpu_times(pid_t pid) {
    CpuTimes t;
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    in >> t.run_ns >> t.wait_ns;
    return t;
}

std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> out;
    DIR* d = opendir("/proc");
    if (d == nullptr) return out;
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        long p = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0') continue;
        std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
        std::string stat;
        std::getline(in, stat);
        // The command name may hold blanks; the fields after it do not.
        size_t close_paren = stat.rfind(')');
        if (close_paren == std::string::npos) continue;
        std::istringstream rest(stat.substr(close_paren + 1));
        std::string state;
        long ppid = 0;
        rest >> state >> ppid;
        if (ppid == pid && state != "Z") out.push_back(static_cast<pid_t>(p));
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

int nice_of(pid_t pid) {
    errno = 0;
    const int n = getpriority(PRIO_PROCESS, static_cast<id_t>(pid));
    if (n == -1 && errno != 0) die("cannot read the priority of process " + std::to_string(pid));
    return n;
}

bool set_own_nice(int nice) { return setpriority(PRIO_PROCESS, 0, nice) == 0 && nice_of(0) == nice; }

bool pin_to_cpus(const std::string& list) {
    cpu_set_t set;
    CPU_ZERO(&set);
    std::istringstream in(list);
    std::string item;
    while (std::getline(in, item, ',')) {
        char* end = nullptr;
        const long cpu = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || cpu < 0 || cpu >= CPU_SETSIZE) return false;
        CPU_SET(static_cast<int>(cpu), &set);
    }
    return CPU_COUNT(&set) > 0 && sched_setaffinity(0, sizeof set, &set) == 0;
}

std::string cpu_model() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            size_t colon = line.find(':');
            if (colon != std::string::npos) {
                size_t start = line.find_first_not_of(' ', colon + 1);
                return start == std::string::npos ? "" : line.substr(start);
            }
        }
    }
    return "unknown";
}

std::string kernel_release() {
    utsname u{};
    if (uname(&u) != 0) return "unknown";
    return std::string(u.sysname) + " " + u.release;
}

int last_allowed_cpu() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) die("cannot read the CPUs this process may run on");
    for (int cpu = CPU_SETSIZE - 1; cpu > 0; --cpu) {
        if (CPU_ISSET(cpu, &set)) return cpu;
    }
    return 0;
}

int cpu_count() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

double load_1min() {
    std::ifstream in("/proc/loadavg");
    double a = 0;
    in >> a;
    return a;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double min_of(const std::vector<double>& v) { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }
double max_of(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

std::string format_number(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string json_escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace bench
