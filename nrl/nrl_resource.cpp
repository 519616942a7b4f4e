// Adding and removing local resources: a named listening endpoint with its
// advertisement process and its sessions.
#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <netinet/in.h>

#include "nrl/advertise.h"
#include "nrl/nrl.h"
#include "nrl/nrl_session.h"
#include "nrl/nrl_trace.h"
#include "nrl/tli.h"

namespace {
constexpr uint32_t kListenBacklog = 10;
}

uint16_t NRLAddResource(NRL_RESOURCE* resource, const char* name, uint16_t type, NRLNotifyRoutine notify) {
    NRL_TRACE("Add Resource function called\n");
    if (notify == nullptr || resource == nullptr) return INVALID_PARAM;

    std::memset(static_cast<void*>(resource), 0, sizeof *resource);
    resource->kind = RSRC_LOCAL;
    resource->notify = notify;
    if (name != nullptr) std::strncpy(resource->rsrc_name, name, kRsrcNameMax);
    resource->rsrc_name[kRsrcNameMax] = '\0';
    resource->rsrc_type = type;
    InitQueue(&resource->sessions);

    uint16_t result = NRL_SUCCESS;
    int fd = t_open_v(uw_nrl_state.tli_device, 2, nullptr);
    // Descriptor 0 is a valid endpoint too (a daemon started without
    // standard input gets it).
    if (fd < 0) {
        result = TRANSPORT_FAILURE;
    } else {
        NRL_TRACE("resource local tlifd is ** %d **\n", fd);
        resource->tlifd = fd;
        resource->bind = static_cast<t_bind*>(t_alloc_v(fd, T_BIND, T_ALL));
        if (resource->bind != nullptr) resource->call = static_cast<t_call*>(t_alloc_v(fd, T_CALL, T_ADDR));
        if (resource->bind == nullptr || resource->call == nullptr) result = RESOURCE_EXHAUSTED;
    }

    if (result == NRL_SUCCESS) {
        t_bind* bind = resource->bind;
        bind->addr.len = kTliAddrSize;
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        if (uw_nrl_def.force_address != 0) {
            in_addr a{uw_nrl_def.force_address};
            char dotted[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &a, dotted, sizeof dotted);
            NRL_TRACE("Attempting to bind a specific address=%s\n", dotted);
            sin.sin_addr.s_addr = uw_nrl_def.force_address;
        } else {
            NRL_TRACE("Binding to all interfaces\n");
            sin.sin_addr.s_addr = htonl(INADDR_ANY);
        }
        std::memcpy(bind->addr.buf, &sin, sizeof sin);
        bind->qlen = kListenBacklog;
        NRL_TRACE("resource_ptr->info.local.call=%x\n",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(resource->call)));

        int rc = t_bind_v(resource->tlifd, bind, bind);
        if (rc < 0) {
            result = RESOURCE_EXHAUSTED;
        } else {
            NRL_TRACE("AddRes bind returned %d\n", rc);
            NRL_TRACE("address=%s\n", uaddress(&bind->addr));
            resource->addr = bind->addr.buf;
            resource->addr_len = static_cast<uint16_t>(bind->addr.len);
            result = StartResourceAdvertiser(resource);
        }
    }

    if (result != NRL_SUCCESS) {
        if (resource->call != nullptr) t_free_v(resource->call, T_CALL);
        if (resource->bind != nullptr) t_free_v(resource->bind, T_BIND);
        if (fd >= 0) t_close_v(fd);
        resource->call = nullptr;
        resource->bind = nullptr;
        resource->addr = nullptr;
        resource->tlifd = -1;
        NRL_TRACE("NRLAddResource failed. (%d)\n", result);
        return result;
    }
    EnQueueElem(&uw_nrl_state.local_resources, &resource->link, 0);
    return NRL_SUCCESS;
}

uint16_t NRLRemoveResource(NRL_RESOURCE* resource) {
    NRL_TRACE("NRLRemoveResource\n");
    StopResourceAdvertiser(resource);
    if (resource->aux_pid > 0) kill(resource->aux_pid, SIGKILL);
    // KillSession leaves alone a session that someone else is killing (or
    // that it cannot find); such a session is only unlinked here, so that
    // the loop always ends.
    while (resource->sessions.head != nullptr) {
        auto* session = QueueHead<NRL_SESSION>(resource->sessions);
        if (session->dying != 0 || ValidateSession(session) == nullptr)
            RemoveQueueElem(&resource->sessions, &session->link);
        else
            KillSession(session);
    }
    t_free_v(resource->bind, T_BIND);
    t_free_v(resource->call, T_CALL);
    resource->bind = nullptr;
    resource->call = nullptr;
    resource->addr = nullptr;
    t_close_v(resource->tlifd);
    resource->tlifd = -1;
    RemoveQueueElem(&uw_nrl_state.local_resources, &resource->link);
    return 0;
}
