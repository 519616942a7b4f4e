// The table of advertisement receivers, filled at initialisation and again
// when the advertisement process is restarted with a new list.
#include <cstdio>
#include <cstring>

#include "nrl/advertise.h"
#include "nrl/nrl_trace.h"
#include "nrl/tli.h"
#include "util/alloc.h"

AdvReceiver adv_receivers[kMaxAdvReceivers];
int adv_receiver_count = 0;

namespace {

void clear_table(AdvReceiver (&table)[kMaxAdvReceivers], int& count) {
    for (int i = 0; i < count; ++i) {
        MYFREE(table[i].addr);
        table[i] = AdvReceiver{};
    }
    count = 0;
}

// Looks every host of receivers up into an empty table; returns how many
// were recorded.
int resolve_receivers(const Queue& receivers, AdvReceiver (&table)[kMaxAdvReceivers]) {
    int count = 0;
    for (auto* r = QueueHead<NRL_RECEIVER>(receivers); r != nullptr; r = QueueNext(r)) {
        const char* host = r->name != nullptr ? r->name : "";
        netbuf* nb = getnetaddrbyname(host);
        if (nb == nullptr) {
            nrl_error("NRLInit: net/service address not found for %s/%s\n", host,
                      uw_nrl_def.service != nullptr ? uw_nrl_def.service : "");
            continue;
        }
        if (count >= static_cast<int>(kMaxAdvReceivers)) {
            std::printf("Maximum number of servers exceeded.  Will not add host:%s\n", host);
            std::fflush(stdout);
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

uint16_t FindAdvertisementReceivers() {
    ClearAdvertisementReceivers();
    adv_receiver_count = resolve_receivers(uw_nrl_def.receivers, adv_receivers);
    return static_cast<uint16_t>(adv_receiver_count);
}

uint16_t RestartResourceAdvertiser(NRL_RESOURCE* resource, const char* name, const Queue& receivers,
                                   int32_t interval) {
    // The new hosts are looked up before anything is stopped, so that a
    // list none of which resolves leaves the running advertiser alone.
    AdvReceiver table[kMaxAdvReceivers] = {};
    int count = resolve_receivers(receivers, table);
    if (receivers.count != 0 && count == 0) {
        nrl_error("FindAdvertisementReceivers failed\n");
        return TRANSPORT_FAILURE;
    }

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
