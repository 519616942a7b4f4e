#include "client/interrupt_removal.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace grfs_client {

namespace {

constexpr std::array<int, 3> kSignals = {SIGINT, SIGTERM, SIGHUP};

// Read by the handler: only what is safe there (unlink, signal, raise).
char g_path[PATH_MAX];
volatile sig_atomic_t g_armed = 0;
bool g_installed = false;
struct sigaction g_previous[kSignals.size()];

extern "C" void remove_and_die(int sig) {
    if (g_armed != 0) unlink(g_path);
    // The default action then ends the program with this signal, once the
    // handler returns and unblocks it.
    signal(sig, SIG_DFL);
    raise(sig);
}

void block(bool on) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kSignals) sigaddset(&set, sig);
    sigprocmask(on ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

}  // namespace

int create_removed_on_interrupt(std::string& name_template) {
    if (name_template.size() >= sizeof g_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    block(true);
    const int fd = mkostemp(name_template.data(), O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        block(false);
        errno = err;
        return -1;
    }
    std::memcpy(g_path, name_template.c_str(), name_template.size() + 1);
    g_armed = 1;
    if (!g_installed) {
        struct sigaction action {};
        action.sa_handler = remove_and_die;
        sigemptyset(&action.sa_mask);
        for (int sig : kSignals) sigaddset(&action.sa_mask, sig);
        for (size_t i = 0; i < kSignals.size(); ++i) {
            sigaction(kSignals[i], &action, &g_previous[i]);
            // A signal the program was started to ignore stays ignored.
            if (g_previous[i].sa_handler == SIG_IGN) sigaction(kSignals[i], &g_previous[i], nullptr);
        }
        g_installed = true;
    }
    block(false);
    return fd;
}

void keep_on_interrupt() {
    block(true);
    g_armed = 0;
    if (g_installed) {
        for (size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
        g_installed = false;
    }
    block(false);
}

}  // namespace grfs_client
