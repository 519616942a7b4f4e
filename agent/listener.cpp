// The listener process: the agent's resource, the accept loop and the fork
// of one session process per admitted session.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "agent/config_reload.h"
#include "agent/listener.h"
#include "agent/log_file.h"
#include "agent/pending_exchanges.h"
#include "agent/session_lines.h"
#include "agent/session_process.h"
#include "agent/session_refusal.h"
#include "agent/signals.h"
#include "nrl/nrl_function_table.h"
#include "nrl/nrl_session.h"
#include "nrl/tli.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/session/workstation.h"
#include "util/alloc.h"
#include "util/debug_print.h"
#include "util/process_utils.h"

namespace {

constexpr uint16_t kMaxRemoteBuffers = 10;
// A session reaped just before the listener starts waiting is reported
// within this time at the latest.
constexpr int kReapedReportMs = 1000;

void remove_nrl_through_table() {
    if (gb_NRL_function_table_ptr != nullptr) gb_NRL_function_table_ptr->RemoveNRL();
}

// Stopping the listener (a signal): the layer goes, and refusals that were
// counted rather than reported are reported.
void shut_down_listener() {
    remove_nrl_through_table();
    ReportUnreportedRefusalsAtExit();
}

// The listener's own copies of a session handed to its session process: the
// connection (closed) and both records. Forgetting them is not the end of
// the session: that is counted when the session process is reaped.
void release_listener_copies(WS_CNTL* ws, GRFS_SESSION* ses) {
    NRL_SESSION* session = ses->nrl_session;
    t_close_v(session->tlifd);
    NRLDiscardSessionCopy(session);
    RemoveQueueElem(&ws->session_list, &ses->link);
    MYFREE(ses);
}

// Forks the session process; false when the fork failed.
bool start_session_process(WS_CNTL* ws, GRFS_SESSION* ses, const sockaddr_in& peer, PendingExchanges& pending) {
    pid_t pid;
    {
        // The session must be in the table before child_died can reap it.
        ChildSignalHold hold;
        SessionTally* tally = ClaimSessionTally(peer);
        pid = fork_v();
        if (pid == 0) {
            ses->tally = tally;
            sigprocmask(SIG_SETMASK, &hold.previous(), nullptr);
            // A session works with its own connection only. Should the
            // listener go while sessions run, its port must not stay
            // open in them, taking connections nobody accepts.
            t_close_v(ses->nrl_resource->tlifd);
            ses->nrl_resource->tlifd = -1;
            pending.CloseCopies();
            IgnoreReloadRequests();
            Session_Handler_Process(ses);  // never returns
        }
        if (pid > 0) RegisterSessionProcess(pid);
        SessionTallyForked(tally, pid);
    }
    if (pid < 0) {
        DEBUG_PRINTF(DBG_PROCESS, "fork SessionHandler failed errno %d\n", errno);
        SendCommFailure(ws, COMM_FORK_FAILED);
        return false;
    }
    return true;
}

}  // namespace

int Listen_Process(WS_CNTL* ws) {
    RememberStartDirectory();
    // Holds no directory busy; nothing depends on the result.
    [[maybe_unused]] int cd = chdir("/");
    if (setpgid(0, 0) != 0) DEBUG_PRINTF(DBG_CONFIG, "Listen_Process: setpgid() failed, errno=%d\n", errno);

    NRL_DEF def{};
    def.cli_sig = SIGUSR1;
    def.transport = "tcp";
    def.service = "grfs";
    def.receivers = gb_grfs_config.tell_list;
    def.reserved = 0;
    def.max_remote_buffers = kMaxRemoteBuffers;
    def.error_stream = stderr;
    def.adv_interval = static_cast<int32_t>(advertise_interval);
    def.app_name = ws->workstation_name;
    def.force_address = ws->force_address;

    const NRL_FUNC_TABLE* nrl = NRLGetFunctionTablePtr();
    if (nrl->NRLInitialize(&def) != 0) {
        SendCommFailure(ws, COMM_NRL_INIT_FAILED);
        nrl->RemoveNRL();
        return 1;
    }

    char name[kAgentResourceNameSize];
    BuildResourceName(ws, name);
    auto* resource = static_cast<NRL_RESOURCE*>(MYCALLOC(1, nrl->NRLResourceSize()));
    if (resource == nullptr) {
        SendCommFailure(ws, COMM_NO_MEMORY);
        nrl->RemoveNRL();
        return 1;
    }
    if (nrl->NRLAddResource(resource, name, kGrfsResourceType, IncomingSessionRequest) != 0) {
        SendCommFailure(ws, COMM_ADVERTISE_FAILED);
        nrl->RemoveNRL();
        MYFREE(resource);
        return 1;
    }

    on_interrupt_shutdown = shut_down_listener;
    signal(SIGINT, interrupt_handler);
    signal(SIGTERM, interrupt_handler);
    InstallChildDiedHandler();
    InstallReloadHandler();
    SessionLinesInit();

    nrl->NRLSetResourceApplicationPtr(resource, ws);

    ws->alloc_reply_data = static_cast<unsigned char*>(MYCALLOC(1, kAllocDataSize));
    if (ws->alloc_reply_data == nullptr) {
        SendCommFailure(ws, COMM_NO_MEMORY);
        nrl->NRLRemoveResource(resource);
        nrl->RemoveNRL();
        return 1;
    }

    ws->listening = 1;
    ws->num_sessions_connected = 0;
    ws->sessions_active = 0;
    InitQueue(&ws->session_list);
    // Connections are taken only when poll says one is there; should it be
    // gone by the accept, the accept must fail rather than wait.
    SetEndpointNonBlocking(resource->tlifd, true);
    std::fprintf(stderr, "%s: Vestrel Agent ready to service requests.\n", prog_name);
    ReportListeningAddress(resource);

    bool layer_removed = false;
    {
        PendingExchanges pending;
        while (ws->running != 0 && !layer_removed) {
            ReportReapedSessions();
            ReportUnreportedRefusals();
            if (TakeReloadRequest()) {
                // A rotated log is opened again whether or not the file
                // reloads: the rotation does not depend on it.
                ReopenLogFile(ws);
                ReloadConfiguration(ws, resource);
            }
            if (pending.Wait(resource->tlifd, ReloadWakeFd(), kReapedReportMs)) {
                DEBUG_PRINTF(DBG_PROCESS, "Session Listener: t_listen_v() rc=%d\n", 0);
                AcceptConnection(resource, pending);
            }
            pending.Progress([&](PendingExchange& exchange) {
                DEBUG_PRINTF(DBG_PROCESS, "Calling establish_session()\n");
                GRFS_SESSION* ses = establish_session(ws, resource, exchange);
                if (ses == nullptr) {
                    DEBUG_PRINTF(DBG_PROCESS, "unable to establish a session\n");
                    return true;
                }
                EnQueueElem(&ws->session_list, &ses->link, 0);
                nrl->NRLSetSessionApplicationPtr(ses->nrl_session, ses);
                if (!start_session_process(ws, ses, exchange.peer, pending)) {
                    nrl->RemoveNRL();
                    layer_removed = true;
                    MYFREE(ses);
                    return false;
                }
                release_listener_copies(ws, ses);
                return true;
            });
        }
    }

    // After a failed fork the layer is gone already, resource included.
    if (!layer_removed) {
        nrl->NRLRemoveResource(resource);
        nrl->RemoveNRL();
    }
    MYFREE(ws->alloc_reply_data);
    ws->alloc_reply_data = nullptr;
    ws->listening = 0;
    return layer_removed ? 1 : 0;
}
