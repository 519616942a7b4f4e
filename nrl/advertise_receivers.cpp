// The table of advertisement receivers, filled once at initialisation.
#include <cstdio>
#include <cstring>

#include "nrl/advertise.h"
#include "nrl/nrl_trace.h"
#include "nrl/tli.h"
#include "util/alloc.h"

AdvReceiver adv_receivers[kMaxAdvReceivers];
int adv_receiver_count = 0;

void ClearAdvertisementReceivers() {
    for (int i = 0; i < adv_receiver_count; ++i) {
        MYFREE(adv_receivers[i].addr);
        adv_receivers[i] = AdvReceiver{};
    }
    adv_receiver_count = 0;
}

uint16_t FindAdvertisementReceivers() {
    ClearAdvertisementReceivers();

    for (auto* r = QueueHead<NRL_RECEIVER>(uw_nrl_def.receivers); r != nullptr; r = QueueNext(r)) {
        const char* host = r->name != nullptr ? r->name : "";
        netbuf* nb = getnetaddrbyname(host);
        if (nb == nullptr) {
            nrl_error("NRLInit: net/service address not found for %s/%s\n", host,
                      uw_nrl_def.service != nullptr ? uw_nrl_def.service : "");
            continue;
        }
        if (adv_receiver_count >= static_cast<int>(kMaxAdvReceivers)) {
            std::printf("Maximum number of servers exceeded.  Will not add host:%s\n", host);
            std::fflush(stdout);
            continue;
        }
        NRL_TRACE("NRL: IP Address of host (%s)", host);
        NRL_TRACE(" is (%s)\n", uaddress(nb));
        auto* copy = static_cast<unsigned char*>(MYMALLOC(nb->len));
        if (copy == nullptr) continue;
        std::memcpy(copy, nb->buf, nb->len);
        adv_receivers[adv_receiver_count].len = nb->len;
        adv_receivers[adv_receiver_count].addr = copy;
        ++adv_receiver_count;
    }
    return static_cast<uint16_t>(adv_receiver_count);
}
