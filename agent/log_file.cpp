#include "agent/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "grfs/message_trace.h"
#include "unixfs/session/workstation.h"
#include "util/debug_print.h"

namespace {

constexpr const char* kNullLog = "/dev/null";
constexpr mode_t kLogMode = 0600;

// The path the log was opened with, absolute: the listener leaves the start
// directory, and a reopening must find the same file.
std::string log_path;

std::string absolute(const char* name) {
    if (name[0] == '/') return name;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return name;
    return std::string(cwd) + "/" + name;
}

// Appends, never follows a symbolic link (the directory may be writable by
// others), never waits on a FIFO; a regular file is made root's alone, also
// one that existed with wider permissions.
FILE* open_for_appending(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kLogMode);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || (S_ISREG(st.st_mode) && (st.st_mode & 07777) != kLogMode && fchmod(fd, kLogMode) != 0)) {
        int err = errno;
        close(fd);
        errno = err;
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE* log = fdopen(fd, "a");
    if (log == nullptr) {
        int err = errno;
        close(fd);
        errno = err;
        return nullptr;
    }
    std::setvbuf(log, nullptr, _IONBF, 0);
    std::fprintf(log, "log_file %lx is open\n", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(log)));
    return log;
}

void use(WS_CNTL* ws, FILE* log) {
    ws->log_file = log;
    set_message_log_file(log);
}

}  // namespace

bool OpenLogFile(WS_CNTL* ws) {
    FILE* log = nullptr;
    if (ws->log_file_name[0] != '\0') {
        log_path = absolute(ws->log_file_name);
        log = open_for_appending(log_path);
    }
    if (log == nullptr) {
        // Not an error: the dumps are simply discarded.
        std::memset(ws->log_file_name, 0, kLogFileNameSize);
        std::strcpy(ws->log_file_name, kNullLog);
        log_path = kNullLog;
        log = std::fopen(kNullLog, "w");
        if (log == nullptr) {
            std::fprintf(stderr, "init_ws_structures: Couldn't open /dev/null\n");
            return false;
        }
    }
    use(ws, log);
    return true;
}

void ReopenLogFile(WS_CNTL* ws) {
    if (log_path.empty() || log_path == kNullLog) return;
    FILE* fresh = open_for_appending(log_path);
    if (fresh == nullptr) {
        std::fprintf(stderr, "%s: Unable to reopen log file '%s': %s; writing to the open one\n", prog_name,
                     log_path.c_str(), std::strerror(errno));
        return;
    }
    FILE* old = ws->log_file;
    use(ws, fresh);
    if (old != nullptr && old != fresh) std::fclose(old);
}
