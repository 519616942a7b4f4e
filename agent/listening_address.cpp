// The address the listener took, for the administrator's firewall rules.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

#include "agent/listener.h"
#include "nrl/nrl.h"
#include "nrl/tli.h"
#include "util/debug_print.h"

void ReportListeningAddress(const NRL_RESOURCE* resource) {
    if (resource->addr == nullptr || resource->addr_len < sizeof(sockaddr_in)) return;
    sockaddr_in sin{};
    std::memcpy(&sin, resource->addr, sizeof sin);
    char dotted[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &sin.sin_addr, dotted, sizeof dotted);
    const unsigned port = ntohs(sin.sin_port);
    // The bind moves up from the first port only past ports that are taken.
    if (port != kFirstBindPort) {
        std::fprintf(stderr, "%s: Listening on %s port %u (port %u is in use).\n", prog_name, dotted, port,
                     static_cast<unsigned>(kFirstBindPort));
    } else {
        std::fprintf(stderr, "%s: Listening on %s port %u.\n", prog_name, dotted, port);
    }
}
