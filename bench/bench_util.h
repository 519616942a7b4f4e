// Small helpers of the benchmark: clocks, little-endian bytes, blocking
// loopback sockets, process facts from /proc, and fatal errors.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace bench {

[[noreturn]] void die(const std::string& text);

using Clock = std::chrono::steady_clock;
inline double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline void put16(unsigned char* p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
inline void put32(unsigned char* p, uint32_t v) {
    put16(p, static_cast<uint16_t>(v));
    put16(p + 2, static_cast<uint16_t>(v >> 16));
}
inline void put64(unsigned char* p, uint64_t v) {
    put32(p, static_cast<uint32_t>(v));
    put32(p + 4, static_cast<uint32_t>(v >> 32));
}
inline uint16_t get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t get32(const unsigned char* p) { return get16(p) | static_cast<uint32_t>(get16(p + 2)) << 16; }

// Sockets: blocking, TCP_NODELAY, loopback only.
int listen_loopback(const std::string& address, uint16_t* port);  // port 0: any free port
int accept_one(int listen_fd);
int connect_loopback(const std::string& address, uint16_t port);
void set_nodelay(int fd);
void set_blocking(int fd);
// Whole transfers; false when the peer closed or an error occurred.
bool send_all(int fd, const unsigned char* p, size_t n);
bool recv_exact(int fd, unsigned char* p, size_t n);

// Facts from /proc.
long vm_hwm_kib(pid_t pid);             // peak resident size, -1 when unknown
// Nanoseconds the process ran on a CPU and waited for one (schedstat).
struct CpuTimes {
    double run_ns = 0;
    double wait_ns = 0;
};
CpuTimes cpu_times(pid_t pid);
std::vector<pid_t> children_of(pid_t pid);
// Scheduling priority as a nice value; pid 0 is this process.
int nice_of(pid_t pid);
// Sets this process's nice value; false when not allowed (only a privileged
// process may lower it).
bool set_own_nice(int nice);
// Restricts this process (and what it starts later) to the CPUs of a list
// such as "1" or "0,1"; false when the list is bad or refused.
bool pin_to_cpus(const std::string& list);
std::string cpu_model();
std::string kernel_release();
// The highest-numbered CPU this process may run on.
int last_allowed_cpu();
int cpu_count();
std::string load_average();             // the first three fields of /proc/loadavg
double load_1min();

// Statistics over the runs.
double median(std::vector<double> v);
double min_of(const std::vector<double>& v);
double max_of(const std::vector<double>& v);

// Text helpers.
std::string format_number(double v, int decimals);
std::string json_escape(const std::string& s);

}  // namespace bench
