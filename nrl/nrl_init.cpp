// Initialisation and removal of the whole layer.
#include <cerrno>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "nrl/advertise.h"
#include "nrl/nrl.h"
#include "nrl/nrl_trace.h"
#include "nrl/tli.h"
#include "util/signal_guard.h"

NRL_DEF uw_nrl_def;
NRL_State uw_nrl_state;

uint16_t NRLInitialize(NRL_DEF* def) {
    gethostname(uw_local_host_name, sizeof uw_local_host_name);
    uw_local_host_name[sizeof uw_local_host_name - 1] = '\0';
    if (def == nullptr) {
        NRL_TRACE("NRLInitialize was passed NULL\n");
        return INVALID_PARAM;
    }

    uw_nrl_def = *def;
    SetCliSig(uw_nrl_def.cli_sig);
    uw_nrl_state.owner_pid = getpid();
    InitQueue(&uw_nrl_state.local_resources);
    InitQueue(&uw_nrl_state.remote_resources);

    // The transport must at least open an endpoint.
    const char* device = FindTLIDevice();
    NRL_TRACE("Opening TLI device %s\n", device);
    int fd = t_open_v(device, 2, nullptr);
    if (fd < 0) {
        int err = errno;
        nrl_error("NRLInitialize: t_open_v %s failed. t_errno=%d\n", device, t_errno);
        if (t_errno == TSYSERR) nrl_error("errno = %d\n", err);
        nrl_error("NRLInitialize: CheckTLI failed - returned %d\n", TRANSPORT_FAILURE);
        return TRANSPORT_FAILURE;
    }
    t_close_v(fd);

    uint16_t result = NRL_SUCCESS;
    ClearAdvertisementReceivers();
    if (uw_nrl_def.receivers.count != 0) {
        // Receivers that do not resolve yet are kept and tried again by the
        // advertisement process; they do not fail the layer.
        NRL_TRACE("Initializing Advertisement Sending Process\n");
        FindAdvertisementReceivers();
    }
    if (result == NRL_SUCCESS) {
        if (pipe(uw_nrl_state.nrl_pipe) < 0) {
            nrl_error("NRLInitialize: error creating pipe.  errno=%d\n", errno);
            result = RESOURCE_EXHAUSTED;
        } else {
            int flags = fcntl(uw_nrl_state.nrl_pipe[0], F_GETFL);
            if (flags < 0 || fcntl(uw_nrl_state.nrl_pipe[0], F_SETFL, flags | O_NONBLOCK) < 0)
                nrl_error("NRLInitialize: fcntl failed. errno=%d\n", errno);
        }
    }
    if (result != NRL_SUCCESS) RemoveNRL();
    NRL_TRACE("NRLInitialize returning %d\n", result);
    return result;
}

uint16_t RemoveNRL() {
    NRL_TRACE("Inside RemoveNRL\n");
    NRL_TRACE("removing local resources\n");
    while (uw_nrl_state.local_resources.head != nullptr)
        NRLRemoveResource(QueueHead<NRL_RESOURCE>(uw_nrl_state.local_resources));

    NRL_TRACE("removing remote resources\n");
    for (auto* r = QueueHead<NRL_RESOURCE>(uw_nrl_state.remote_resources); r != nullptr; r = QueueNext(r))
        if (r->kind != RSRC_FREE_BUFFER && r->kind != RSRC_REMOVED) RemoveRemoteResource(r);

    NRL_TRACE("Waiting for NRL child processes to complete\n");
    for (;;) {
        pid_t pid = wait(nullptr);
        if (pid > 0 || (pid < 0 && errno == EINTR)) continue;
        break;
    }
    NRL_TRACE("All child processes have now completed\n");

    CloseFile(&uw_nrl_state.nrl_pipe[0]);
    CloseFile(&uw_nrl_state.nrl_pipe[1]);
    SetCliSig(0);
    return 0;
}
