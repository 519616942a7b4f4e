// The session process: set-up, the receive loop and the cleanup at its end.
#include "agent/session_process.h"

#include <unistd.h>

#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "agent/listener.h"
#include "agent/request_dispatch.h"
#include "agent/session_lines.h"
#include "grfs/messages.h"
#include "nrl/nrl_function_table.h"
#include "nrl/nrl_session.h"
#include "nrl/tli.h"
#include "unixfs/host/confined_path.h"
#include "unixfs/requests/detach.h"
#include "unixfs/object/file_memory.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/session/handle_table.h"
#include "unixfs/session/workstation.h"
#include "util/alloc.h"
#include "util/console.h"
#include "util/debug_print.h"
#include "util/signal_guard.h"

uint32_t gb_session_idle_timeout = 0;

namespace {

constexpr int kSessionNice = -15;
// Slack of the decoding buffer over the largest message.
constexpr int kCodingSlack = 100;

WS_CNTL* session_ws(GRFS_SESSION* ses) { return ses->ws != nullptr ? ses->ws : &ws_cntl; }

// The decoded request and the reply record are host-form messages; they
// must hold a whole GRFS_MESSAGE whatever max_msg_size says.
size_t record_size(int wire_size) { return std::max(static_cast<size_t>(wire_size), sizeof(GRFS_MESSAGE)); }

template <typename T>
bool allocate(GRFS_SESSION* ses, T** field, size_t size) {
    *field = static_cast<T*>(MYMALLOC(size));
    if (*field == nullptr) SendCommFailure(session_ws(ses), COMM_NO_MEMORY);
    return *field != nullptr;
}

// One console line for a session ended by the idle limit (what the peer did
// not do, and for how long); the peer is named while its connection is
// still open.
void report_idle_end(NRL_SESSION* session, const char* what, unsigned seconds) {
    char peer[INET_ADDRSTRLEN];
    if (EndpointPeerText(session->tlifd, peer, sizeof peer))
        std::fprintf(stderr, "%s: Session with %s ended: %s for %u seconds.\n", prog_name, peer, what, seconds);
    else
        std::fprintf(stderr, "%s: Session ended: %s for %u seconds.\n", prog_name, what, seconds);
}

// After a send that failed the session can only end: the peer got part of
// a message at most. Its connection is closed at once, without waiting for
// the peer to take what is queued, so that its slot is free at once.
bool ended_by_failed_send(GRFS_SESSION* ses) {
    NRL_SESSION* session = ses->nrl_session;
    if (session == nullptr || session->snd_failed == 0) return false;
    if (session->snd_failed == NRL_SEND_STALLED)
        report_idle_end(session, "no reply could be sent", gb_session_idle_timeout);
    ses->end_cause = SESSION_END_TRANSFER_FAILED;
    KillSession(session);
    return true;
}

SessionEndCause end_cause_of(const NRL_SESSION* session) {
    if (session->rcv_idle_expired != 0) return SESSION_END_IDLE_TIMEOUT;
    if (session->rcv_peer_end == NRL_PEER_CLOSED) return SESSION_END_PEER_CLOSED;
    if (session->rcv_peer_end == NRL_PEER_DEALLOC) return SESSION_END_DEALLOC;
    return SESSION_END_TRANSFER_FAILED;
}

}  // namespace

const char* SessionEndText(uint16_t cause) {
    switch (cause) {
        case SESSION_END_PEER_CLOSED:
            return "peer_closed";
        case SESSION_END_DEALLOC:
            return "dealloc";
        case SESSION_END_IDLE_TIMEOUT:
            return "idle_timeout";
        default:
            return "transfer_failed";
    }
}

bool AllocateSessionBuffers(GRFS_SESSION* ses) {
    const int max = ses->max_msg_size;
    bool ok = allocate(ses, &ses->recv_buf, static_cast<size_t>(max)) &&
              allocate(ses, &ses->reply, record_size(max)) &&
              allocate(ses, &ses->coding_buf, record_size(max + kCodingSlack)) &&
              allocate(ses, &ses->handles, sizeof(HANDLE_TABLE));
    if (ok) {
        *ses->handles = HANDLE_TABLE{};
        ses->default_object = AllocFileMemory(MEM_KIND_DEFAULT, OPEN_MODE_READ);
        if (ses->default_object == nullptr) {
            SendCommFailure(session_ws(ses), COMM_NO_MEMORY);
            ok = false;
        }
    }
    ses->default_object_in_use = 0;
    return ok;
}

void FreeSessionBuffers(GRFS_SESSION* ses) {
    if (ses->recv_buf != nullptr) MYFREE(ses->recv_buf);
    if (ses->reply != nullptr) MYFREE(ses->reply);
    if (ses->coding_buf != nullptr) MYFREE(ses->coding_buf);
    if (ses->handles != nullptr) MYFREE(ses->handles);
    ses->recv_buf = nullptr;
    ses->reply = nullptr;
    ses->coding_buf = nullptr;
    ses->handles = nullptr;
}

void Session_Handler_Process(GRFS_SESSION* ses) {
    // Refused without privilege; the session runs all the same.
    errno = 0;
    [[maybe_unused]] int niced = nice(kSessionNice);
    DEBUG_PRINTF(DBG_PROCESS, "Session_Handler_Process entered\n");
    ses->active = 1;
    WriteSessionStart(ses->tally);
    // This process alone uses its copy of the NRL lists, and nothing handles
    // the guard signal: holding the guard for the life of the process spares
    // every guarded step on the request path its two mask changes (a dozen
    // system calls per request).
    DisableInterrupts();

    bool serving = AllocateSessionBuffers(ses);
    // Until a receive says otherwise: a session that cannot serve, or one
    // the agent deallocated itself.
    ses->end_cause = ses->nrl_session != nullptr && serving ? SESSION_END_DEALLOC : SESSION_END_TRANSFER_FAILED;
    if (ses->nrl_session != nullptr) {
        ses->nrl_session->rcv_idle_limit = gb_session_idle_timeout;
        // A peer that takes no reply for as long is as gone as one that sends nothing.
        if (gb_session_idle_timeout != 0) SetEndpointSendLimit(ses->nrl_session->tlifd, gb_session_idle_timeout);
    }
    while (serving) {
        if (SubmitGRFSRecvMsg(ses) != 0) serving = false;
        if (ses->msg_arrived != 0) {
            ses->msg_arrived = 0;
            ses->busy = 1;
            ProcessGRFSMsg(ses, ses->recv_buf, ses->msg_len);
            ses->busy = 0;
            if (ended_by_failed_send(ses)) serving = false;
        }
    }

    CleanupSessionResources(ses);
    FreeSessionBuffers(ses);
    WriteSessionEnd(ses->tally, SessionEndText(ses->end_cause));
    DEBUG_PRINTF(DBG_PROCESS, "Session_Handler_Process %d exiting\n", static_cast<int>(getpid()));
    std::exit(0);
}

int SubmitGRFSRecvMsg(GRFS_SESSION* ses) {
    uint16_t rc = gb_NRL_function_table_ptr->NRLReceiveMessage(
        ses->nrl_session, ses->recv_buf, static_cast<uint16_t>(ses->max_msg_size), 0, IncomingGRFSMessage);
    return rc != 0 ? 1 : 0;
}

void IncomingGRFSMessage(NRL_SESSION* session, uint16_t status, unsigned char*, uint16_t length) {
    if (status != 0 && session->rcv_idle_expired != 0)
        report_idle_end(session, "nothing received", session->rcv_idle_limit);
    auto* ses = static_cast<GRFS_SESSION*>(gb_NRL_function_table_ptr->NRLGetSessionApplicationPtr(session));
    if (ses != nullptr && status != 0) ses->end_cause = end_cause_of(session);
    if (ses == nullptr || status != 0) return;
    ses->msg_status = 0;
    ses->msg_len = length;
    ses->msg_arrived = 1;
}

void CleanupSessionResources(GRFS_SESSION* ses) {
    DEBUG_PRINTF(DBG_PROCESS, "Cleaning up session resources for ses_ptr %p\n", static_cast<void*>(ses));
    ReleaseAllObjects(ses);
    ReleaseAllAttachments(ses);
    FreeDefaultObject(ses);
    ReleaseReopenTable();
    if (ses->handles != nullptr) ResetHandleTable(ses->handles);
    RemoveQueueElem(&session_ws(ses)->session_list, &ses->link);
    ReportSuppressedConsole(&ses->console_repeats);
}
