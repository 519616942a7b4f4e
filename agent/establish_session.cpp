// New connections: the accept, then, once the session-open request is whole,
// admission, the reply and the records of an admitted session.
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>

#include "agent/allow_list.h"
#include "agent/listener.h"
#include "agent/pending_exchanges.h"
#include "agent/session_refusal.h"
#include "agent/signals.h"
#include "nrl/nrl_function_table.h"
#include "nrl/nrl_session.h"
#include "nrl/tli.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/session/workstation.h"
#include "util/alloc.h"
#include "util/debug_print.h"

namespace {

// Room the session's buffers add to the object buffer for the message
// header and body fields.
constexpr int kMessageOverhead = 324;

// A connection that is not going to be a session: this process forgets the
// record (the session was never handed to anyone) and closes the endpoint.
// Accepted connections linger on close for the sake of sessions; the
// listener must not wait on a peer that stopped answering.
void drop_connection(NRL_SESSION* session, int fd) {
    if (session != nullptr) NRLDiscardSessionCopy(session);
    CloseEndpointAtOnce(fd);
}

}  // namespace

int IncomingSessionRequest(NRL_RESOURCE* resource, NRL_SESSION*, unsigned char*, unsigned char** reply_data,
                           NRLDeallocNotify* dealloc_notify) {
    DEBUG_PRINTF(DBG_PROCESS, "IncomingSessionRequest called\n");
    auto* ws = static_cast<WS_CNTL*>(gb_NRL_function_table_ptr->NRLGetResourceApplicationPtr(resource));
    if (ws == nullptr) {
        DEBUG_PRINTF(DBG_PROCESS, "ws_cntl is NULL\n");
        return 1;
    }
    if (ws->num_sessions_connected < gb_grfs_config.max_sessions) {
        *dealloc_notify = NotifySessionDealloc;
        *reply_data = ws->alloc_reply_data;
        return 0;
    }
    DEBUG_PRINTF(DBG_PROCESS, "Too many sessions.  Max=%d  Current=%d\n", gb_grfs_config.max_sessions,
                 ws->num_sessions_connected);
    return 1;
}

void NotifySessionDealloc(NRL_SESSION* session, uint16_t) {
    DEBUG_PRINTF(DBG_PROCESS, "NotifySessionDealloc called %p\n", static_cast<void*>(session));
    auto* ses = static_cast<GRFS_SESSION*>(gb_NRL_function_table_ptr->NRLGetSessionApplicationPtr(session));
    if (ses == nullptr) return;
    DEBUG_PRINTF(DBG_PROCESS, "Got NotifySessionDealloc for GRFS session=%p\n", static_cast<void*>(ses));
    WS_CNTL* ws = ses->ws != nullptr ? ses->ws : &ws_cntl;
    pid_t listener = static_cast<pid_t>(ws->listener_pid);
    if (listener > 0) kill(listener, SIGUSR2);
    RemoveQueueElem(&ws->session_list, &ses->link);
    // The layer frees the NRL record right after this; nothing may reach it
    // through the GRFS record any more.
    ses->nrl_session = nullptr;
}

void AcceptConnection(NRL_RESOURCE* resource, PendingExchanges& pending) {
    int fd = t_open_and_accept_v(resource->tlifd, resource->call);
    DEBUG_PRINTF(DBG_PROCESS, "establish_session: t_open_and_accept_v() rc=%d\n", fd);
    if (fd < 0) return;
    // The record is shared by every accept: keep this peer's address with
    // its exchange.
    sockaddr_in peer{};
    const netbuf& addr = resource->call->addr;
    if (addr.buf != nullptr) std::memcpy(&peer, addr.buf, std::min<size_t>(addr.len, sizeof peer));
    // A peer outside the allow list gets nothing of the agent but the
    // refusal: not even its request is read.
    const auto* ws = static_cast<const WS_CNTL*>(gb_NRL_function_table_ptr->NRLGetResourceApplicationPtr(resource));
    if (ws != nullptr && !PeerAllowed(ws, peer.sin_addr.s_addr)) {
        RefuseSessionOpen(fd, peer, kRefusedNotAllowed);
        DEBUG_PRINTF(DBG_PROCESS, "unable to establish a session\n");
        return;
    }
    pending.Add(fd, peer, gb_nrl_conn_timeout);
}

GRFS_SESSION* establish_session(WS_CNTL* ws, NRL_RESOURCE* resource, PendingExchange& exchange) {
    const NRL_FUNC_TABLE* nrl = gb_NRL_function_table_ptr;
    const int fd = exchange.fd;
    DEBUG_PRINTF(DBG_PROCESS, "Rcv for alloc data returned %d\n", 0);
    // The allow list in force now decides: a reload may have removed the
    // peer's address while its request was still arriving.
    if (!PeerAllowed(ws, exchange.peer.sin_addr.s_addr)) {
        RefuseSessionOpen(fd, exchange.peer, kRefusedNotAllowed);
        return nullptr;
    }
    unsigned char* request = exchange.request.data();

    auto* session = static_cast<NRL_SESSION*>(MYCALLOC(1, nrl->NRLSessionSize()));
    DEBUG_PRINTF(DBG_PROCESS, "Allocated new session %p\n", static_cast<void*>(session));
    if (session == nullptr) {
        drop_connection(nullptr, fd);
        return nullptr;
    }
    session->resource = resource;
    session->tlifd = fd;
    session->max_tsnd = static_cast<uint32_t>(MaxTLISend(fd));
    DEBUG_PRINTF(DBG_PROCESS, "MaxTLISend() returned %d\n", static_cast<int>(session->max_tsnd));
    session->dealloc_notify = nullptr;
    EnQueueElem(&resource->sessions, &session->link, 0);

    DEBUG_PRINTF(DBG_PROCESS, "calling session notification routine\n");
    unsigned char* reply_data = nullptr;
    int status = resource->notify(resource, session, request + 1, &reply_data, &session->dealloc_notify);
    DEBUG_PRINTF(DBG_PROCESS, "notification routine returned %d\n", status);

    // Counted before the peer can know: a stop that follows at once still
    // reports it.
    if (status != 0) ReportRefusedSession(exchange.peer, kRefusedTooManySessions);
    unsigned char reply[kSessionOpenReplySize];
    BuildSessionOpenReply(status, reply_data, reply);
    unsigned unsent = loop_t_snd(fd, reply, sizeof reply, session->max_tsnd != 0 ? session->max_tsnd : kMaxTliSend);
    DEBUG_PRINTF(DBG_PROCESS, "t_snd_v for alloc response returned %d\n", static_cast<int>(unsent));

    if (status != 0) {
        drop_connection(session, fd);
        return nullptr;
    }
    // The session process works with ordinary, waiting transfers.
    SetEndpointNonBlocking(fd, false);

    auto* ses = static_cast<GRFS_SESSION*>(MYCALLOC(1, sizeof(GRFS_SESSION)));
    if (ses == nullptr) {
        drop_connection(session, fd);
        return nullptr;
    }
    DEBUG_PRINTF(DBG_PROCESS, "NEW_SESSION -pid %d - %x\n", static_cast<int>(getpid()),
                 static_cast<unsigned>(reinterpret_cast<uintptr_t>(ses)));
    {
        ChildSignalHold hold;  // child_died changes the count too
        ws->num_sessions_connected = static_cast<int16_t>(ws->num_sessions_connected + 1);
        ws->sessions_active = 1;
    }
    DEBUG_PRINTF(DBG_PROCESS, "++num_sessions_connected = %d\n", ws->num_sessions_connected);

    ses->ws = ws;
    ses->nrl_resource = resource;
    ses->nrl_session = session;
    ses->max_msg_size = static_cast<int16_t>(gb_grfs_config.object_buffer_size + kMessageOverhead);
    InitQueue(&ses->attach_list);
    InitQueue(&ses->object_list);
    return ses;
}
