// The current directory of a DLE attachment.
#include <cerrno>
#include <cstring>
#include <string>
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
#include "util/debug_print.h"
#include "util/unique_fd.h"

namespace {

constexpr int kMaxNetPath = 256;
constexpr int kDefaultNameMax = 14;

// The path a GRFS_CHANGE_DIR names: components separated by zero bytes,
// a leading zero byte skipped, the terminating zero dropped.
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
        return SendMessage(ses, reply, 0) != 0;
    }
    if (size == 0) {
        std::memcpy(new_path, drvdle->current_path, kCurrentPathSize);
    } else {
        NetPathToText(body.net_path, size, new_path);
    }
    DEBUG_PRINTF(DBG_DIR, "ChangeDir: current_path is %s\n", new_path);

    char full_path[UNIX_MAX_PSIZE + 1];
    std::strncpy(full_path, drvdle->dle->export_path, sizeof full_path - 1);
    full_path[sizeof full_path - 1] = '\0';
    ConcatPath(full_path, sizeof full_path, new_path);

    UniqueFd dir;
    if (std::strcmp(new_path, "/proc") == 0) {
        reply->hdr.retcode = GRFS_RC_CHANGE_DIR_FAILED;
    } else if (new_path[0] != '\0' && IsExcludedPath(ses->ws, std::string(drvdle->dle->export_path) + "/" + new_path)) {
        reply->hdr.retcode = GRFS_RC_CHANGE_DIR_FAILED;
    } else if (new_path[0] != '\0') {
        dir = OpenSearchableDir(drvdle, new_path);
        if (!dir.valid()) reply->hdr.retcode = GRFS_RC_CHANGE_DIR_FAILED;
    }
    int16_t retcode = reply->hdr.retcode;
    int failed = SendMessage(ses, reply, 0) != 0;
    if (retcode == 0) {
        std::memcpy(drvdle->current_path, new_path, kCurrentPathSize);
        int max = dir.valid() ? query_max_name_len_fd(dir.get(), full_path) : query_max_name_len(full_path);
        if (max != drvdle->max_name_len) {
            drvdle->max_name_len = static_cast<uint16_t>(max);
            DEBUG_PRINTF(DBG_DIR, "new max_name_len of %d at %s\n", max, full_path);
        }
    }
    return failed;
}
