// The current directory of a DLE attachment.
#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_set>
#include <fcntl.h>
#include <unistd.h>

#include "grfs/messages.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/requests/change_dir.h"
#include "unixfs/host/confined_path.h"
#include "unixfs/tree/excluded_paths.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/object/object_location.h"
#include "unixfs/host/paths.h"
#include "util/console.h"
#include "util/debug_print.h"
#include "util/unique_fd.h"

namespace {

constexpr int kMaxNetPath = 256;
constexpr int kDefaultNameMax = 14;
// Paths already named on the console in this session; past this many, the
// console's own limit on repeated lines has long taken over.
constexpr size_t kMaxNamedPaths = 4096;

// The path a GRFS_CHANGE_DIR names: components separated by zero bytes,
// a leading zero byte skipped, the terminating zero dropped. out holds
// size bytes at least.
void NetPathToText(const char* net_path, int size, char* out) {
    if (size <= 1) {
        out[0] = '\0';
        return;
    }
    int start = net_path[0] == '\0' ? 1 : 0;
    int count = size - 1;
    for (int i = 0; i < count; ++i) {
        char c = net_path[start + i];
        out[i] = c == '\0' ? '/' : c;
    }
    out[count] = '\0';
}

// The directories refused for the length of their path in this session.
std::unordered_set<std::string> named_too_long;

// A directory deeper than the request can carry: the server cannot list
// what it holds, and a backup of it would silently lack it. The
// administrator hears of each such path once a session.
void ReportTooLong(GRFS_SESSION* ses, const DRVDLE* drvdle, const GRFS_CHANGE_DIR_BODY& body) {
    const int size = body.size < GRFS_MSG_DATA_MAX ? body.size : GRFS_MSG_DATA_MAX;
    std::string text(static_cast<size_t>(size) + 1, '\0');
    NetPathToText(body.net_path, size, text.data());
    text.resize(std::strlen(text.c_str()));
    while (!text.empty() && text.back() == '/') text.pop_back();
    DEBUG_PRINTF(DBG_DIR, "ChangeDir: path of %zu bytes refused: %s\n", text.size(), text.c_str());
    if (named_too_long.size() >= kMaxNamedPaths || !named_too_long.insert(text).second) return;
    ConsoleMessage(&ses->console_repeats,
                   "directory '%s' of export %s not entered: its path from the export root is %zu bytes, "
                   "GRFS_CHANGE_DIR carries at most %d; what it holds cannot be backed up\n",
                   text.c_str(), drvdle->dle->resource_name, text.size(), kMaxNetPath - 1);
}

// A directory the attachment may make current: reached below the export
// root without "..", and through links only as follow_symdirs allows, and readable
// as a directory. Returns its descriptor, or an invalid one.
UniqueFd OpenSearchableDir(const DRVDLE* drvdle, const char* rel) {
    if (HasDotDotComponent(rel)) return UniqueFd();
    const LinkPolicy policy = ReadLinkPolicy(drvdle);
    UniqueFd dir = OpenDirBeneath(drvdle->root_fd, rel, policy);
    if (!dir.valid()) return dir;
    // Reached through links: excluded by where it really is, too.
    if (policy != LinkPolicy::kNoLinks && IsExcludedAt(AttachmentWs(drvdle), dir.get(), {})) return UniqueFd();
    UniqueFd readable(openat(dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!readable.valid()) return readable;
    return dir;
}

}  // namespace

void ForgetTooLongDirectories() { named_too_long.clear(); }

int query_max_name_len(const char* path) {
    long max = pathconf(path, _PC_NAME_MAX);
    int result = max <= 0 ? kDefaultNameMax : static_cast<int>(max);
    DEBUG_PRINTF(DBG_CONFIG, "setting max_name_len=%d for [%s]\n", result, path);
    return result;
}

int query_max_name_len_fd(int dir_fd, const char* path) {
    long max = fpathconf(dir_fd, _PC_NAME_MAX);
    int result = max <= 0 ? kDefaultNameMax : static_cast<int>(max);
    DEBUG_PRINTF(DBG_CONFIG, "setting max_name_len=%d for [%s]\n", result, path);
    return result;
}

int ChangeDir(GRFS_SESSION* ses, GRFS_MESSAGE* req, int /*length*/) {
    const GRFS_CHANGE_DIR_BODY& body = req->body.change_dir;
    GRFS_MESSAGE* reply = StartReply(ses, req->hdr.request_id, GRFS_CHANGE_DIR_STAT);
    DRVDLE* drvdle = LookupDrvdle(ses, body.dle_id);
    if (drvdle == nullptr) {
        reply->hdr.retcode = GRFS_RC_BAD_DLE_HANDLE;
        return SendMessage(ses, reply, 0) != 0;
    }
    // The new path is built aside; the attachment keeps its old one unless
    // every check passes.
    char new_path[kCurrentPathSize];
    int size = body.size;
    if (size > kMaxNetPath) {
        reply->hdr.retcode = GRFS_RC_CHANGE_DIR_FAILED;
        ReportTooLong(ses, drvdle, body);
        return SendMessage(ses, reply, 0) != 0;
    }
    if (size == 0) {
        std::memcpy(new_path, drvdle->current_path, kCurrentPathSize);
    } else {
        NetPathToText(body.net_path, size, new_path);
    }
    DEBUG_PRINTF(DBG_DIR, "ChangeDir: current_path is %s\n", new_path);

    // The full path names the directory in traces and for the exclude list
    // only; every call goes from the export root's descriptor.
    const std::string full_path = JoinPath(drvdle->dle->export_path, new_path);

    UniqueFd dir;
    if (std::strcmp(new_path, "/proc") == 0) {
        reply->hdr.retcode = GRFS_RC_CHANGE_DIR_FAILED;
    } else if (new_path[0] != '\0' && IsExcludedPath(ses->ws, full_path)) {
        reply->hdr.retcode = GRFS_RC_CHANGE_DIR_FAILED;
    } else {
        // The root is the export's own: its name limit comes from its descriptor too.
        const bool root = new_path[0] == '\0';
        dir = root ? OpenDirBeneath(drvdle->root_fd, "", LinkPolicy::kNoLinks) : OpenSearchableDir(drvdle, new_path);
        if (!dir.valid() && !root) reply->hdr.retcode = GRFS_RC_CHANGE_DIR_FAILED;
    }
    int16_t retcode = reply->hdr.retcode;
    int failed = SendMessage(ses, reply, 0) != 0;
    if (retcode == 0) {
        std::memcpy(drvdle->current_path, new_path, kCurrentPathSize);
        int max = dir.valid() ? query_max_name_len_fd(dir.get(), full_path.c_str())
                              : query_max_name_len(full_path.c_str());
        if (max != drvdle->max_name_len) {
            drvdle->max_name_len = static_cast<uint16_t>(max);
            DEBUG_PRINTF(DBG_DIR, "new max_name_len of %d at %s\n", max, full_path.c_str());
        }
    }
    return failed;
}
