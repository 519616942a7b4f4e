// grfsclient ping: time verify round trips on one session.
#include <chrono>
#include <cstdio>

#include "client/command_line.h"
#include "client/connection.h"
#include "client/requests.h"

namespace grfs_client {

namespace {

const char* const kHelp =
    "usage: grfsclient ping HOST[:PORT] [--count N] [--size BYTES] [--timeout SECONDS]\n"
    "\n"
    "Open a session with the agent at HOST (port 8192 unless given) and time N\n"
    "request-and-reply round trips (GRFS_VERIFY_OBJ, which the agent answers without\n"
    "an attach); print the rate. No workstation name or password is needed.\n"
    "\n"
    "Options:\n"
    "  --count N        round trips (default 1000)\n"
    "  --size BYTES     data bytes in each request (default 0, at most 31744)\n"
    "  --timeout SECONDS  longest wait for a reply (default 300)\n";

}  // namespace

int command_ping(const std::vector<std::string>& args, const CommandIo& io) {
    auto parsed = parse_args(args, {{"--count", true}, {"--size", true}, {"--timeout", true}});
    if (!parsed.ok()) return report_error(io, "ping", parsed.error().text, kExitUsage);
    if (parsed->help) {
        std::fputs(kHelp, io.out);
        return kExitOk;
    }
    if (parsed->positional.size() != 1) return report_error(io, "ping", "usage: grfsclient ping HOST[:PORT] [--count N]", kExitUsage);
    auto endpoint = parse_endpoint(parsed->positional[0], kDefaultSessionPort);
    if (!endpoint.ok()) return report_error(io, "ping", endpoint.error().text, kExitUsage);
    long count = 1000, size = 0;
    if (auto c = parsed->value("--count")) {
        auto n = parse_number("--count", *c, 1, 100000000);
        if (!n.ok()) return report_error(io, "ping", n.error().text, kExitUsage);
        count = *n;
    }
    if (auto s = parsed->value("--size")) {
        auto n = parse_number("--size", *s, 0, GRFS_OBJECT_BUFFER_SIZE);
        if (!n.ok()) return report_error(io, "ping", n.error().text, kExitUsage);
        size = *n;
    }
    ConnectOptions options;
    if (auto t = parsed->value("--timeout")) {
        auto n = parse_number("--timeout", *t, 1, 86400);
        if (!n.ok()) return report_error(io, "ping", n.error().text, kExitUsage);
        options.reply_timeout_ms = static_cast<int>(*n * 1000);
    }

    auto connection = Connection::open(*endpoint, options);
    if (!connection.ok()) return report_error(io, "ping", connection.error().text, kExitFailed);
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
        if (Status s = verify_echo(*connection, static_cast<uint16_t>(size)); !s.ok())
            return report_error(io, "ping", "round trip " + std::to_string(i + 1) + ": " + s.text, kExitFailed);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    connection->end();
    const double rate = seconds > 0 ? static_cast<double>(count) / seconds : 0;
    std::fprintf(io.out, "%ld round trips of %ld data bytes to %s in %.3f s: %.0f round trips/s, %.1f us each\n", count, size,
                 endpoint->text().c_str(), seconds, rate, seconds * 1e6 / static_cast<double>(count));
    return kExitOk;
}

}  // namespace grfs_client
