#include <cstdio>

#include "agent/listener.h"
#include "util/debug_print.h"

void SendCommFailure(WS_CNTL*, int code) {
    const char* cause;
    switch (code) {
        case COMM_NO_MEMORY: cause = "Unable to allocate memory."; break;
        case COMM_NRL_INIT_FAILED: cause = "NRL initialization failed."; break;
        case COMM_NRL_RECEIVE_FAILED: cause = "NRL Receive Failed."; break;
        case COMM_ADVERTISE_FAILED: cause = "Unable to advertise resource.  Check TCP/IP status."; break;
        case COMM_FORK_FAILED: cause = "Unable to fork() process."; break;
        default: cause = "Unknown cause."; break;
    }
    std::fprintf(stderr, "%s: Communication System Failure:\n%s\n", prog_name, cause);
}
