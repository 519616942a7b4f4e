// The yardstick: a raw TCP ping-pong over loopback with the message sizes
// of a GRFS exchange, one message in flight, both ends TCP_NODELAY. It does
// nothing but move the bytes, so it is the most any request/reply protocol
// can do on this host with these sizes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// One round trip: bytes the client sends, bytes the server answers with
// (NRL header included, as they travel).
struct Exchange {
    uint32_t request = 0;
    uint32_t reply = 0;
};

// "28:31780,40:16" <-> the exchanges.
std::vector<Exchange> parse_pattern(const std::string& text);
std::string pattern_text(const std::vector<Exchange>& pattern);

// Server end: answers the exchanges of pattern in turn, cyclically, until
// the client closes. Returns the number of round trips served.
long serve_pingpong(int fd, const std::vector<Exchange>& pattern);

// Client end: round_trips exchanges of pattern in turn; seconds taken, or a
// negative value when the connection failed.
double run_pingpong(int fd, const std::vector<Exchange>& pattern, long round_trips);

// The server program, and the nice value it is started at: the listener's,
// so that the server, which lowers it by the step a session process takes
// (bench_pingpong serve), ends at the session's priority even when the
// client runs at that priority already.
struct PingPongServer {
    std::string binary;
    int start_nice = 0;
};

// The server end as a process of its own (like an agent session), connected
// and ready; run() may be called several times, so that the yardstick can be
// measured in slices interleaved with the agent's.
class PingPong {
public:
    PingPong(const PingPongServer& server, std::vector<Exchange> pattern);
    ~PingPong();
    PingPong(const PingPong&) = delete;
    PingPong& operator=(const PingPong&) = delete;

    // Seconds for the next round_trips exchanges (continuing the pattern).
    double run(long round_trips);
    // CPU time of the server process so far, nanoseconds.
    double server_cpu_ns() const;
    int server_nice() const;

private:
    std::vector<Exchange> pattern_;
    size_t next_ = 0;
    pid_t pid_ = -1;
    int fd_ = -1;
    double cpu_start_ = 0;
};

// Runs bench_pingpong (the server, a process of its own like an agent
// session) and the client end here; seconds for round_trips exchanges.
// server_cpu_ns, when given, receives the CPU time of the server process.
double measure_pingpong(const PingPongServer& server, const std::vector<Exchange>& pattern, long round_trips,
                        double* server_cpu_ns = nullptr);

}  // namespace bench
