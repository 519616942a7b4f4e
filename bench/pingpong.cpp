#include "bench/pingpong.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "bench/bench_util.h"

namespace bench {

namespace {

constexpr size_t kBufferSize = 65536 + 16;

}  // namespace

std::vector<Exchange> parse_pattern(const std::string& text) {
    std::vector<Exchange> out;
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        size_t colon = item.find(':');
        if (colon == std::string::npos) return {};
        Exchange e;
        e.request = static_cast<uint32_t>(std::strtoul(item.substr(0, colon).c_str(), nullptr, 10));
        e.reply = static_cast<uint32_t>(std::strtoul(item.substr(colon + 1).c_str(), nullptr, 10));
        if (e.request == 0 || e.reply == 0 || e.request > 65535 || e.reply > 65535) return {};
        out.push_back(e);
    }
    return out;
}

std::string pattern_text(const std::vector<Exchange>& pattern) {
    std::string out;
    for (const Exchange& e : pattern) {
        if (!out.empty()) out += ',';
        out += std::to_string(e.request) + ":" + std::to_string(e.reply);
    }
    return out;
}

long serve_pingpong(int fd, const std::vector<Exchange>& pattern) {
    std::vector<unsigned char> in(kBufferSize), out(kBufferSize, 0x5A);
    long served = 0;
    for (size_t i = 0;; i = (i + 1) % pattern.size()) {
        if (!recv_exact(fd, in.data(), pattern[i].request)) break;
        if (!send_all(fd, out.data(), pattern[i].reply)) break;
        ++served;
    }
    return served;
}

double run_pingpong(int fd, const std::vector<Exchange>& pattern, long round_trips) {
    std::vector<unsigned char> out(kBufferSize, 0xA5), in(kBufferSize);
    const auto start = Clock::now();
    size_t i = 0;
    for (long n = 0; n < round_trips; ++n) {
        const Exchange& e = pattern[i];
        if (!send_all(fd, out.data(), e.request)) return -1;
        // As much as has arrived, until the reply is whole: the same receive
        // loop the GRFS client uses.
        size_t have = 0;
        while (have < e.reply) {
            ssize_t k = recv(fd, in.data() + have, in.size() - have, 0);
            if (k <= 0) return -1;
            have += static_cast<size_t>(k);
        }
        if (++i == pattern.size()) i = 0;
    }
    return seconds_since(start);
}

PingPong::PingPong(const PingPongServer& server, std::vector<Exchange> pattern) : pattern_(std::move(pattern)) {
    const std::string& server_binary = server.binary;
    int port_pipe[2];
    if (pipe(port_pipe) != 0) die("pipe failed");
    const std::string pattern_arg = pattern_text(pattern_);
    pid_ = fork();
    if (pid_ < 0) die("fork failed");
    if (pid_ == 0) {
        dup2(port_pipe[1], STDOUT_FILENO);
        close(port_pipe[0]);
        close(port_pipe[1]);
        // Raising the nice value needs no privilege.
        setpriority(PRIO_PROCESS, 0, server.start_nice);
        execl(server_binary.c_str(), server_binary.c_str(), "serve", pattern_arg.c_str(), static_cast<char*>(nullptr));
        std::perror(server_binary.c_str());
        _exit(127);
    }
    close(port_pipe[1]);
    char line[64] = {};
    ssize_t n = read(port_pipe[0], line, sizeof line - 1);
    close(port_pipe[0]);
    unsigned port = 0;
    if (n <= 0 || std::sscanf(line, "port %u", &port) != 1) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        die("the ping-pong server did not start: " + server_binary);
    }
    fd_ = connect_loopback("127.0.0.1", static_cast<uint16_t>(port));
    if (fd_ < 0) die("cannot connect to the ping-pong server");
    cpu_start_ = cpu_times(pid_).run_ns;
}

PingPong::~PingPong() {
    if (fd_ >= 0) close(fd_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
}

double PingPong::run(long round_trips) {
    // Rotate the pattern so that it continues where the last slice stopped.
    std::vector<Exchange> rotated(pattern_.begin() + static_cast<long>(next_), pattern_.end());
    rotated.insert(rotated.end(), pattern_.begin(), pattern_.begin() + static_cast<long>(next_));
    const double t = run_pingpong(fd_, rotated, round_trips);
    if (t < 0) die("the ping-pong connection failed");
    next_ = (next_ + static_cast<size_t>(round_trips)) % pattern_.size();
    return t;
}

double PingPong::server_cpu_ns() const { return cpu_times(pid_).run_ns - cpu_start_; }

int PingPong::server_nice() const { return nice_of(pid_); }

double measure_pingpong(const PingPongServer& server, const std::vector<Exchange>& pattern, long round_trips,
                        double* server_cpu_ns) {
    PingPong pp(server, pattern);
    const double t = pp.run(round_trips);
    if (server_cpu_ns != nullptr) *server_cpu_ns = pp.server_cpu_ns();
    return t;
}

}  // namespace bench
