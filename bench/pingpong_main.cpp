// bench_pingpong: the yardstick's server end, and a client for trying it by
// hand.
//   bench_pingpong serve PATTERN             listens on 127.0.0.1, prints "port N",
//                                            serves one connection
//   bench_pingpong run PORT PATTERN COUNT    times COUNT round trips against it
// PATTERN is REQUEST:REPLY[,REQUEST:REPLY...] in bytes.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/bench_util.h"
#include "bench/pingpong.h"

int main(int argc, char** argv) {
    using namespace bench;
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "serve" && argc == 3) {
        auto pattern = parse_pattern(argv[2]);
        if (pattern.empty()) die("bad pattern");
        // The same priority an agent session process takes.
        [[maybe_unused]] int niced = nice(-15);
        uint16_t port = 0;
        int lfd = listen_loopback("127.0.0.1", &port);
        if (lfd < 0) die("cannot listen on 127.0.0.1");
        std::printf("port %u\n", port);
        std::fflush(stdout);
        int fd = accept_one(lfd);
        close(lfd);
        if (fd < 0) die("accept failed");
        serve_pingpong(fd, pattern);
        close(fd);
        return 0;
    }
    if (mode == "run" && argc == 5) {
        auto pattern = parse_pattern(argv[3]);
        long count = std::strtol(argv[4], nullptr, 10);
        if (pattern.empty() || count <= 0) die("bad pattern or count");
        int fd = connect_loopback("127.0.0.1", static_cast<uint16_t>(std::atoi(argv[2])));
        if (fd < 0) die("cannot connect");
        double s = run_pingpong(fd, pattern, count);
        close(fd);
        if (s < 0) die("connection failed");
        std::printf("%ld round trips in %.3f s: %.1f us each\n", count, s, s * 1e6 / count);
        return 0;
    }
    std::fprintf(stderr, "usage: bench_pingpong serve PATTERN | run PORT PATTERN COUNT\n");
    return 2;
}
