// Address texts, host and service lookup, and the transport device name.
#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "nrl/nrl.h"
#include "nrl/nrl_trace.h"
#include "nrl/tli.h"

namespace {
char uaddress_text[32];
unsigned char netaddr_buf[kTliAddrSize];
netbuf netaddr;
const char kTliDevice[] = "/dev/tcp";
}  // namespace

bool LookupHostIPv4(const char* host, uint32_t* address) {
    if (host == nullptr) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0 || list == nullptr) return false;
    bool found = false;
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr != nullptr) {
            *address = reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
            found = true;
            break;
        }
    }
    freeaddrinfo(list);
    return found;
}

uint16_t LookupServicePort(const char* service) {
    if (service == nullptr) return 0;
    servent* se = getservbyname(service, "tcp");
    return se != nullptr ? static_cast<uint16_t>(se->s_port) : 0;
}

bool EndpointPeerText(int fd, char* out, size_t size) {
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    if (size == 0 || getpeername(fd, reinterpret_cast<sockaddr*>(&sin), &len) != 0 || sin.sin_family != AF_INET)
        return false;
    return inet_ntop(AF_INET, &sin.sin_addr, out, static_cast<socklen_t>(size)) != nullptr;
}

EndpointText AddressPortText(uint32_t address, uint16_t port) {
    in_addr a{};
    a.s_addr = address;
    char dotted[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a, dotted, sizeof dotted);
    EndpointText out{};
    std::snprintf(out.text, sizeof out.text, "%s:%u", dotted, static_cast<unsigned>(port));
    return out;
}

const char* uaddress(const netbuf* addr) {
    sockaddr_in sin{};
    if (addr != nullptr && addr->buf != nullptr) std::memcpy(&sin, addr->buf, sizeof sin);
    unsigned port = ntohs(sin.sin_port);
    char dotted[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &sin.sin_addr, dotted, sizeof dotted);
    std::snprintf(uaddress_text, sizeof uaddress_text, "%s.%u.%u", dotted, port / 256, port % 256);
    if (std::strcmp(uaddress_text, "0.0.0.0.0.0") == 0) uaddress_text[0] = '\0';
    return uaddress_text;
}

netbuf* getnetaddrbyname(const char* host) {
    uint32_t address = 0;
    if (!LookupHostIPv4(host, &address)) {
        // The host has no IPv4 address or cannot be resolved at all.
        nrl_error("Unable to get host address for %s\n", host != nullptr ? host : "");
        return nullptr;
    }
    NRL_TRACE("gethostbyname returned %p\n", static_cast<const void*>(host));
    uint16_t port = LookupServicePort(uw_nrl_def.service);
    if (port == 0) {
        nrl_error("**** getservbyname(%s, tcp) failed! ****\n",
                  uw_nrl_def.service != nullptr ? uw_nrl_def.service : "");
        nrl_error("**** using default port number(6101) for resource advertising ****\n");
        port = htons(kDefaultAdvertisementPort);
    }
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = port;
    sin.sin_addr.s_addr = address;
    std::memcpy(netaddr_buf, &sin, sizeof sin);
    char dotted[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &sin.sin_addr, dotted, sizeof dotted);
    NRL_TRACE("address of %s is ", host);
    NRL_TRACE("%s\n", dotted);
    netaddr.maxlen = kTliAddrSize;
    netaddr.len = kTliAddrSize;
    netaddr.buf = netaddr_buf;
    NRL_TRACE("len and maxlen are %d\n", static_cast<int>(kTliAddrSize));
    return &netaddr;
}

const char* merged_addr(const netbuf* addr) {
    unsigned char local_buf[kTliAddrSize] = {};
    if (addr != nullptr && addr->buf != nullptr)
        std::memcpy(local_buf, addr->buf, std::min<size_t>(kTliAddrSize, addr->len));
    netbuf local{kTliAddrSize, kTliAddrSize, local_buf};
    sockaddr_in sin{};
    std::memcpy(&sin, local_buf, sizeof sin);
    if (sin.sin_addr.s_addr == 0) {
        uint32_t address = 0;
        if (!LookupHostIPv4(uw_local_host_name, &address)) {
            nrl_error("merged_addr() gethostbyname(%s) failed!!\n", uw_local_host_name);
            return nullptr;
        }
        sin.sin_addr.s_addr = address;
        std::memcpy(local_buf, &sin, sizeof sin);
    }
    return uaddress(&local);
}

const char* FindTLIDevice() {
    NRL_TRACE("NRL TCP SPECIFIC\n");
    uw_nrl_state.tli_device = kTliDevice;
    return kTliDevice;
}
