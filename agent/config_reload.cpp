#include "agent/config_reload.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "agent/config_file.h"
#include "agent/init_workstation.h"
#include "agent/listener.h"
#include "agent/session_process.h"
#include "agent/signals.h"
#include "agent/startup.h"
#include "nrl/advertise.h"
#include "unixfs/session/workstation.h"
#include "util/debug_print.h"

namespace {

volatile sig_atomic_t reload_requested = 0;
int wake_pipe[2] = {-1, -1};
std::string start_directory;

void reload_handler(int) {
    int saved_errno = errno;
    reload_requested = 1;
    if (wake_pipe[1] >= 0) {
        // A full pipe already holds a wake-up.
        [[maybe_unused]] ssize_t n = write(wake_pipe[1], "", 1);
    }
    errno = saved_errno;
}

// Settings the reader keeps outside the workstation record. A keyword the
// file leaves out must fall back to its default, not keep the running value.
struct ReaderGlobals {
    uint32_t interval;
    uint32_t conn_timeout;
    uint32_t idle_timeout;

    static ReaderGlobals current() { return {advertise_interval, gb_nrl_conn_timeout, gb_session_idle_timeout}; }
    static ReaderGlobals defaults() { return {0, 60, 0}; }
    void apply() const {
        advertise_interval = interval;
        gb_nrl_conn_timeout = conn_timeout;
        gb_session_idle_timeout = idle_timeout;
    }
};

// The configuration as the start read it, from the start-up directory.
bool read_from_start_directory(WS_CNTL* fresh) {
    // Should that directory be gone, relative names fail with the reader's
    // own messages.
    bool moved = !start_directory.empty() && chdir(start_directory.c_str()) == 0;
    bool ok = read_workstation_config(fresh, config_file) == 0;
    if (moved) {
        [[maybe_unused]] int rc = chdir("/");
    }
    return ok;
}

void report_restart_only(const char* setting) {
    std::fprintf(stderr, "%s: Setting '%s' changes only with a restart; keeping the running value\n", prog_name,
                 setting);
}

// What the running agent was started with and cannot change in place: the
// address its port is bound to, and the log file (sessions running may be
// writing to it).
void keep_restart_only_settings(const WS_CNTL& running, WS_CNTL* fresh) {
    if (fresh->force_address != running.force_address) report_restart_only("force_address");
    // A log file that could not be opened runs as "/dev/null".
    const char* wanted = fresh->log_file_name[0] != '\0' ? fresh->log_file_name : "/dev/null";
    if (std::strcmp(wanted, running.log_file_name) != 0) report_restart_only("logfile");
    fresh->force_address = running.force_address;
    std::memcpy(fresh->log_file_name, running.log_file_name, kLogFileNameSize);
}

// Everything of the record that is not the configuration's stays as it runs.
void keep_runtime_state(const WS_CNTL& running, WS_CNTL* fresh) {
    fresh->running = running.running;
    fresh->log_file = running.log_file;
    fresh->listening = running.listening;
    fresh->sessions_active = running.sessions_active;
    fresh->num_sessions_connected = running.num_sessions_connected;
    fresh->session_list = running.session_list;
    fresh->alloc_reply_data = running.alloc_reply_data;
    fresh->listener_pid = running.listener_pid;
    fresh->use_xdr = running.use_xdr;
    fresh->hard_link_list = running.hard_link_list;
    fresh->processingAcl = running.processingAcl;
}

void not_reloaded(WS_CNTL* fresh, const ReaderGlobals& running) {
    running.apply();
    free_config_lists(fresh);
    std::fprintf(stderr, "%s: Configuration not reloaded; keeping the running one\n", prog_name);
}

}  // namespace

void RememberStartDirectory() {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) != nullptr) start_directory = cwd;
}

void InstallReloadHandler() {
    if (wake_pipe[0] < 0 && pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        wake_pipe[0] = wake_pipe[1] = -1;  // requests are then seen at the next wake-up only
    }
    struct sigaction sa{};
    sa.sa_handler = reload_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &sa, nullptr);
}

int ReloadWakeFd() { return wake_pipe[0]; }

bool TakeReloadRequest() {
    if (reload_requested == 0) return false;
    reload_requested = 0;
    char drain[64];
    while (wake_pipe[0] >= 0 && read(wake_pipe[0], drain, sizeof drain) > 0) {
    }
    return true;
}

void IgnoreReloadRequests() {
    signal(SIGHUP, SIG_IGN);
    for (int& fd : wake_pipe) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

void ReloadConfiguration(WS_CNTL* ws, NRL_RESOURCE* resource) {
    DEBUG_PRINTF(DBG_PROCESS, "Reloading the configuration\n");
    const ReaderGlobals running_globals = ReaderGlobals::current();
    ReaderGlobals::defaults().apply();

    WS_CNTL fresh{};
    if (!read_from_start_directory(&fresh)) {
        not_reloaded(&fresh, running_globals);
        return;
    }

    char name[kAgentResourceNameSize];
    BuildResourceName(&fresh, name);
    // A tell host that does not resolve is kept and looked up again, as at
    // start; it does not stop the reload.
    uint16_t rc = RestartResourceAdvertiser(resource, name, fresh.tell_list,
                                            static_cast<int32_t>(advertise_interval));

    keep_restart_only_settings(*ws, &fresh);
    WS_CNTL old;
    {
        // child_died changes the session count; none of its changes may be
        // lost between the copy and the swap.
        ChildSignalHold hold;
        keep_runtime_state(*ws, &fresh);
        old = *ws;
        *ws = fresh;
    }
    gb_grfs_config.tell_list = ws->tell_list;
    // The listener's copy only: session processes hold their own.
    free_config_lists(&old);

    if (rc != 0) SendCommFailure(ws, COMM_ADVERTISE_FAILED);
    std::fprintf(stderr, "%s: Configuration reloaded\n", prog_name);
}
