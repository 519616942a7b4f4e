// grfsclient adverts: receive advertisements as a backup server does.
#include <cstdio>

#include "client/advertisement.h"
#include "client/command_line.h"

namespace grfs_client {

namespace {

const char* const kHelp =
    "usage: grfsclient adverts [--listen ADDR[:PORT]] [--count N] [--timeout SECONDS]\n"
    "\n"
    "Listen where a backup server listens for advertisements and print each one\n"
    "received, one line per advertisement:\n"
    "  resource=NAME type=N address=UADDR session=IP:PORT host=HOST workstation=W password=yes|no from=IP:PORT\n"
    "UADDR is the universal address the agent sends (four address bytes and two port\n"
    "bytes); session is the same as an address and port for the other commands.\n"
    "\n"
    "Options:\n"
    "  --listen ADDR[:PORT]  address to listen on (default: every address, on the port\n"
    "                        of the 'grfs' tcp service, or 6101 when there is none)\n"
    "  --count N             stop after N advertisements (default: run until stopped)\n"
    "  --timeout SECONDS     fail when no advertisement arrives for this long\n";

}  // namespace

int command_adverts(const std::vector<std::string>& args, const CommandIo& io) {
    auto parsed = parse_args(args, {{"--listen", true}, {"--count", true}, {"--timeout", true}});
    if (!parsed.ok()) return report_error(io, "adverts", parsed.error().text, kExitUsage);
    if (parsed->help) {
        std::fputs(kHelp, io.out);
        return kExitOk;
    }
    if (!parsed->positional.empty()) return report_error(io, "adverts", "unexpected argument '" + parsed->positional[0] + "'", kExitUsage);
    Endpoint where{"", grfs_service_port()};
    if (auto listen = parsed->value("--listen")) {
        auto e = parse_endpoint(*listen, grfs_service_port());
        if (!e.ok()) return report_error(io, "adverts", e.error().text, kExitUsage);
        where = *e;
    }
    long count = 0;
    if (auto c = parsed->value("--count")) {
        auto n = parse_number("--count", *c, 1, 1000000000);
        if (!n.ok()) return report_error(io, "adverts", n.error().text, kExitUsage);
        count = *n;
    }
    int timeout_ms = -1;
    if (auto t = parsed->value("--timeout")) {
        auto n = parse_number("--timeout", *t, 1, 86400);
        if (!n.ok()) return report_error(io, "adverts", n.error().text, kExitUsage);
        timeout_ms = static_cast<int>(*n * 1000);
    }

    auto listener = AdvertListener::listen(where);
    if (!listener.ok()) return report_error(io, "adverts", listener.error().text, kExitFailed);
    std::fprintf(io.err, "grfsclient adverts: listening on %s:%u\n", where.host.empty() ? "*" : where.host.c_str(),
                 listener->port());
    for (long received = 0; count == 0 || received < count;) {
        auto advert = listener->receive(timeout_ms);
        if (!advert.ok()) {
            if (advert.error().kind == ErrorKind::protocol) {
                // Someone else's bytes on the port: say so and keep listening.
                report_error(io, "adverts", advert.error().text, kExitFailed);
                continue;
            }
            return report_error(io, "adverts", advert.error().text, kExitFailed);
        }
        auto session = parse_universal_address(advert->address);
        const ResourceName resource = parse_resource_name(advert->resource_name);
        std::fprintf(io.out, "resource=%s type=%u address=%s session=%s host=%s workstation=%s password=%s from=%s\n",
                     advert->resource_name.c_str(), advert->resource_type, advert->address.c_str(),
                     session.ok() ? session->text().c_str() : "?", advert->host.c_str(),
                     resource.valid ? resource.workstation.c_str() : "?",
                     resource.valid ? (resource.password_required ? "yes" : "no") : "?", advert->sender.c_str());
        std::fflush(io.out);
        ++received;
    }
    return kExitOk;
}

}  // namespace grfs_client
