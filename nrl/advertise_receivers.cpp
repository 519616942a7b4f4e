// The table of advertisement receivers, filled at initialisation and again
// when the advertisement process is restarted with a new list; names that
// did not resolve are looked up again by the advertisement process.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "nrl/advertise.h"
#include "nrl/nrl_trace.h"
#include "nrl/tli.h"
#include "util/alloc.h"
#include "util/debug_print.h"

AdvReceiver adv_receivers[kMaxAdvReceivers];
int adv_receiver_count = 0;

namespace {

void clear_table(AdvReceiver (&table)[kMaxAdvReceivers], int& count) {
    for (int i = 0; i < count; ++i) {
        if (table[i].addr != nullptr) MYFREE(table[i].addr);
        table[i] = AdvReceiver{};
    }
    count = 0;
}

// The address of a receiver, quietly: a name that does not resolve is
// tried again and again, and a line each time would flood the console.
bool lookup_quietly(const char* host, unsigned char* out) {
    uint32_t address = 0;
    if (!LookupHostIPv4(host, &address)) return false;
    uint16_t port = LookupServicePort(uw_nrl_def.service);
    if (port == 0) port = htons(kDefaultAdvertisementPort);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = port;
    sin.sin_addr.s_addr = address;
    std::memcpy(out, &sin, sizeof sin);
    return true;
}

// Looks every host of receivers up into an empty table; returns how many
// were recorded. A host that does not resolve is reported and recorded
// without an address: a name server that is down at start must not leave
// the server without advertisements for the agent's whole life.
int resolve_receivers(const Queue& receivers, AdvReceiver (&table)[kMaxAdvReceivers]) {
    int count = 0;
    for (auto* r = QueueHead<NRL_RECEIVER>(receivers); r != nullptr; r = QueueNext(r)) {
        const char* host = r->name != nullptr ? r->name : "";
        if (count >= static_cast<int>(kMaxAdvReceivers)) {
            std::printf("Maximum number of servers exceeded.  Will not add host:%s\n", host);
            std::fflush(stdout);
            continue;
        }
        table[count].host = host;
        netbuf* nb = getnetaddrbyname(host);
        if (nb == nullptr) {
            nrl_error("NRLInit: net/service address not found for %s/%s\n", host,
                      uw_nrl_def.service != nullptr ? uw_nrl_def.service : "");
            table[count].next_lookup = time(nullptr) + kAdvLookupRetrySeconds;
            ++count;
            continue;
        }
        NRL_TRACE("NRL: IP Address of host (%s)", host);
        NRL_TRACE(" is (%s)\n", uaddress(nb));
        auto* copy = static_cast<unsigned char*>(MYMALLOC(nb->len));
        if (copy == nullptr) continue;
        std::memcpy(copy, nb->buf, nb->len);
        table[count].len = nb->len;
        table[count].addr = copy;
        ++count;
    }
    return count;
}

}  // namespace

void ClearAdvertisementReceivers() { clear_table(adv_receivers, adv_receiver_count); }

bool ResolvePendingReceiver(int i) {
    AdvReceiver& r = adv_receivers[i];
    if (r.addr != nullptr) return true;
    const time_t now = time(nullptr);
    if (now < r.next_lookup) return false;
    r.next_lookup = now + kAdvLookupRetrySeconds;
    unsigned char address[kTliAddrSize];
    if (!lookup_quietly(r.host, address)) {
        NRL_TRACE("NRLAdvertisementSender: %s still does not resolve\n", r.host);
        return false;
    }
    auto* copy = static_cast<unsigned char*>(MYMALLOC(kTliAddrSize));
    if (copy == nullptr) return false;
    std::memcpy(copy, address, kTliAddrSize);
    r.addr = copy;
    r.len = kTliAddrSize;
    sockaddr_in sin{};
    std::memcpy(&sin, address, sizeof sin);
    char dotted[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &sin.sin_addr, dotted, sizeof dotted);
    std::fprintf(stderr, "%s: Backup server %s resolves now, to %s; advertising to it\n", prog_name, r.host, dotted);
    return true;
}

uint16_t FindAdvertisementReceivers() {
    ClearAdvertisementReceivers();
    adv_receiver_count = resolve_receivers(uw_nrl_def.receivers, adv_receivers);
    return static_cast<uint16_t>(adv_receiver_count);
}

uint16_t RestartResourceAdvertiser(NRL_RESOURCE* resource, const char* name, const Queue& receivers,
                                   int32_t interval) {
    // The new hosts are looked up before anything is stopped; one that does
    // not resolve is kept, to be tried again like at start.
    AdvReceiver table[kMaxAdvReceivers] = {};
    int count = resolve_receivers(receivers, table);

    StopResourceAdvertiser(resource);
    ClearAdvertisementReceivers();
    for (int i = 0; i < count; ++i) adv_receivers[i] = table[i];
    adv_receiver_count = count;
    uw_nrl_def.receivers = receivers;
    uw_nrl_def.adv_interval = interval;
    std::memset(resource->rsrc_name, 0, sizeof resource->rsrc_name);
    std::strncpy(resource->rsrc_name, name, kRsrcNameMax);
    return StartResourceAdvertiser(resource);
}
