#include "unixfs/requests/find.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "grfs/messages.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/host/confined_path.h"
#include "unixfs/tree/dblk_fill.h"
#include "unixfs/tree/dblk_texts.h"
#include "unixfs/tree/excluded_paths.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/object/object_location.h"
#include "unixfs/host/paths.h"
#include "unixfs/tree/search.h"
#include "util/debug_print.h"

namespace {

constexpr uint32_t kNoSearchHandle = 0xFFFFFFFF;

int SendFindFailure(GRFS_SESSION* ses, GRFS_MESSAGE* reply, int16_t retcode) {
    reply->hdr.retcode = retcode;
    reply->body.find_obj_stat.more = 0;
    return SendMessage(ses, reply, 2);
}

int SendHeaderOnly(GRFS_SESSION* ses, GRFS_MESSAGE* reply, int16_t retcode) {
    reply->hdr.retcode = retcode;
    return SendMessage(ses, reply, 0);
}

// A failed resolution below the export root as a describe answers it: a
// link or ".." on the way is a refusal, anything else "not found".
int16_t DescribeFailure(int err) {
    return err == ELOOP || err == EXDEV ? GRFS_RC_ACCESS_DENIED : GRFS_RC_NOT_FOUND;
}

// A listing that links led into names its entries by other paths than the
// exclude list does: an entry excluded where it really is stays out too.
bool ExcludedThroughLinks(const WS_CNTL* ws, const SEARCH_STATE* state, const DTA& dta) {
    if (state->follow.policy == LinkPolicy::kNoLinks || state->stream == nullptr) return false;
    if (IsExcludedAt(ws, dirfd(state->stream), dta.achName)) return true;
    if ((dta.attrFile & FILE_DIRECTORY) == 0) return false;
    return IsExcludedDirectoryBeneath(ws, state->follow.root_fd, state->rel_path + "/" + dta.achName,
                                      state->follow.policy);
}

uint32_t HandleOf(const SEARCH_STATE* state) { return state != nullptr ? state->handle : kNoSearchHandle; }

}  // namespace

int FindObject(GRFS_SESSION* ses, GRFS_MESSAGE* req, int /*length*/, int type) {
    // Everything the step needs from the request, before the reply is built.
    uint32_t dle_id = req->body.dle_req.dle_id;
    uint16_t find_type = 0;
    char search_name[GRFS_SEARCH_NAME_MAX + 1] = "";
    uint32_t search_handle = 0;
    int16_t handle_rc = 0;
    if (type == GRFS_FIND_FIRST_OBJ) {
        find_type = req->body.find_first_obj.find_type;
        std::memcpy(search_name, req->body.find_first_obj.search_name, GRFS_SEARCH_NAME_MAX);
        search_name[GRFS_SEARCH_NAME_MAX] = '\0';
    } else {
        const GRFS_GEN_DBLK& in = req->body.dblk_req.dblk;
        DEBUG_PRINTF(DBG_DATA, "FindObject: inp_grdblk->dblk_actual_size=%d\n", in.dblk_actual_size);
        DEBUG_PRINTF(DBG_DATA, "FindObject: find_info=%d find_info_size=%d\n", in.find_info, in.find_info_size);
        handle_rc = DblkFindHandle(&in, &search_handle);
    }
    GRFS_MESSAGE* reply = StartReply(ses, req->hdr.request_id, GRFS_FIND_OBJ_STAT);
    DRVDLE* drvdle = LookupDrvdle(ses, dle_id);
    if (drvdle == nullptr) return SendHeaderOnly(ses, reply, GRFS_RC_BAD_DLE_HANDLE);

    GRFS_FIND_OBJ_STAT_BODY& stat = reply->body.find_obj_stat;
    stat.more = 0;
    stat.find_reserved1 = 0;
    stat.find_reserved2 = 0;
    std::memset(&stat.dblk, 0, GRFS_DBLK_NET_SIZE);
    DEBUG_PRINTF(DBG_DATA, "FindObject: hdir=%x\n", HandleOf(drvdle->hdir));

    DTA dta{};
    SEARCH_STATE* state = nullptr;
    int rc = 0;
    if (type == GRFS_FIND_FIRST_OBJ) {
        // The attachment's earlier search stays resumable by its handle: a
        // server that descends comes back to it.
        drvdle->hdir = nullptr;
        drvdle->find_type = find_type;
        // The search goes from the export root's descriptor: however long the
        // export's own path, a directory the server could change to is listed.
        const char* export_path = drvdle->dle->export_path;
        const std::string rel = JoinPath(drvdle->current_path, search_name);
        if ((grfs_debug & DBG_DATA) != 0) {
            DEBUG_PRINTF(DBG_DATA, "FindFirstUnix(%s)\n", JoinPath(export_path, rel).c_str());
        }
        const SEARCH_ROOT root{drvdle->root_fd, export_path, ReadLinkPolicy(drvdle), drvdle, ses->handles};
        rc = FindFirstUnix(&state, root, rel.c_str(), &dta);
        if (state != nullptr) state->find_type = find_type;
        // An excluded directory is listed as one that does not exist, also
        // when links led to it.
        if (rc == 0 && (IsExcludedPath(ses->ws, state->path) ||
                        (state->follow.policy != LinkPolicy::kNoLinks && state->stream != nullptr &&
                         IsExcludedAt(ses->ws, dirfd(state->stream), {})))) {
            rc = GRFS_RC_NOT_FOUND;
        }
    } else {
        if (handle_rc != 0) return SendFindFailure(ses, reply, handle_rc);
        state = LookupSearch(ses->handles, search_handle);
        // A search is resumed only through the attachment that started it.
        if (state == nullptr || state->owner != drvdle) return SendFindFailure(ses, reply, GRFS_RC_NOT_FOUND);
        rc = FindNextUnix(state, &dta);
    }
    drvdle->hdir = state;
    if (state != nullptr) {
        DEBUG_PRINTF(DBG_DATA, "hdir->path is '%s' dta.achName is '%s'\n", state->path.c_str(), dta.achName);
        while (rc == 0 && (SkipObject(ses->ws, &dta, state->path.c_str(), state->find_type, drvdle) ||
                           ExcludedThroughLinks(ses->ws, state, dta))) {
            rc = FindNextUnix(state, &dta);
        }
    }
    if (rc == 0) {
        uint16_t extra = 0;
        rc = FillinDBLKInfo(state->rel_path.c_str(), &stat.dblk, &dta, &extra, state->handle, false, true, false, nullptr);
        stat.dblk.dblk_actual_size = static_cast<uint16_t>(GRFS_DBLK_NET_SIZE + extra);
    }
    if (rc != 0) {
        // An exhausted search is finished with: its handle names nothing from now on.
        UnixFindClose(&state);
        return SendFindFailure(ses, reply, GRFS_RC_NOT_FOUND);
    }
    DEBUG_PRINTF(DBG_DATA, "FindObject: returning DBLK dblk_actual_size=%d find_info=%d find_info_size=%d, hdir=%x\n",
                 stat.dblk.dblk_actual_size, stat.dblk.find_info, stat.dblk.find_info_size, state->handle);
    stat.more = 1;
    return SendMessage(ses, reply, stat.dblk.dblk_actual_size + 4);
}

int FindClose(GRFS_SESSION* ses, GRFS_MESSAGE* req) {
    uint32_t dle_id = req->body.dblk_req.dle_id;
    uint32_t handle = 0;
    bool named = DblkFindHandle(&req->body.dblk_req.dblk, &handle) == 0;
    GRFS_MESSAGE* reply = StartReply(ses, req->hdr.request_id, GRFS_FIND_CLOSE_STAT);
    // The server is done with the search its DBLK names; nothing else changes.
    DRVDLE* drvdle = LookupDrvdle(ses, dle_id);
    SEARCH_STATE* state = named ? LookupSearch(ses->handles, handle) : nullptr;
    if (drvdle != nullptr && state != nullptr && state->owner == drvdle) UnixFindClose(&state);
    return SendHeaderOnly(ses, reply, GRFS_RC_SUCCESS);
}

int GetCurrentDDB(GRFS_SESSION* ses, GRFS_MESSAGE* req) {
    uint32_t dle_id = req->body.dle_req.dle_id;
    GRFS_MESSAGE* reply = StartReply(ses, req->hdr.request_id, GRFS_GET_CUR_DDB_STAT);
    DRVDLE* drvdle = LookupDrvdle(ses, dle_id);
    if (drvdle == nullptr) return SendHeaderOnly(ses, reply, GRFS_RC_BAD_DLE_HANDLE);
    const std::string full = JoinPath(drvdle->dle->export_path, drvdle->current_path);
    DEBUG_PRINTF(DBG_DIR, "GetCurrentDDB: path_string is '%s'\n", full.c_str());

    UniqueFd dir = OpenDirBeneath(drvdle->root_fd, drvdle->current_path, ReadLinkPolicy(drvdle));
    if (!dir.valid()) return SendHeaderOnly(ses, reply, DescribeFailure(errno));
    DTA dta{};
    if (FillinDTAAt(dir.get(), full.c_str(), "", LINK_FOLLOW{}, &dta) != 0) {
        return SendHeaderOnly(ses, reply, GRFS_RC_NOT_FOUND);
    }

    GRFS_GEN_DBLK& dblk = reply->body.dblk_stat.dblk;
    std::memset(&dblk, 0, GRFS_DBLK_NET_SIZE + kFindInfoSize);
    uint16_t extra = 0;
    if (FillinDBLKInfo(drvdle->current_path, &dblk, &dta, &extra, 0, true, false, false, nullptr) != 0) {
        return SendHeaderOnly(ses, reply, GRFS_RC_NOT_FOUND);
    }
    dblk.dblk_actual_size = static_cast<uint16_t>(GRFS_DBLK_NET_SIZE + extra);
    return SendMessage(ses, reply, dblk.dblk_actual_size);
}

int GetObjectInfo(GRFS_SESSION* ses, GRFS_MESSAGE* req) {
    uint32_t dle_id = req->body.dblk_req.dle_id;
    const GRFS_GEN_DBLK& in = req->body.dblk_req.dblk;
    GRFS_MESSAGE* reply = StartReply(ses, req->hdr.request_id, GRFS_GET_OBJ_INFO_STAT);
    DRVDLE* drvdle = LookupDrvdle(ses, dle_id);
    if (drvdle == nullptr) return SendHeaderOnly(ses, reply, GRFS_RC_BAD_DLE_HANDLE);

    // The texts are checked inside the received block and kept aside before
    // the reply (a copy of the block) is rewritten.
    int16_t rc = CheckDblkSize(&in);
    std::string_view found;
    if (rc == 0) rc = DblkConfinedObjectText(&in, &found);
    if (rc == GRFS_RC_WRONG_DBLK_TYPE) rc = GRFS_RC_NOT_FOUND;
    if (rc != 0) return SendHeaderOnly(ses, reply, rc);
    std::string text(found);
    bool is_dir_block = in.dblk_type == DDB_ID;
    uint32_t find_handle = 0;
    DblkFindHandle(&in, &find_handle);
    GRFS_GEN_DBLK& dblk = reply->body.dblk_stat.dblk;
    std::memcpy(&dblk, &in, in.dblk_actual_size);

    // Resolved below the root: the parent through the descriptor walk, the
    // last component with fstatat; no length of the export's own path or of
    // the block's text stops it.
    const char* export_path = drvdle->dle->export_path;
    const char* base = is_dir_block ? "" : drvdle->current_path;
    const std::string rel = JoinPath(base, text);
    std::string last;
    const LinkPolicy policy = ReadLinkPolicy(drvdle);
    UniqueFd parent = OpenParentBeneath(drvdle->root_fd, rel, policy, last);
    if (!parent.valid()) return SendHeaderOnly(ses, reply, DescribeFailure(errno));
    std::string_view rel_view(rel);
    while (!rel_view.empty() && rel_view.back() == '/') rel_view.remove_suffix(1);
    size_t slash = rel_view.rfind('/');
    std::string parent_rel(slash == std::string_view::npos ? std::string_view() : rel_view.substr(0, slash));
    const std::string parent_text = JoinPath(export_path, parent_rel);
    if (IsExcludedPath(ses->ws, parent_text + "/" + last) ||
        (policy != LinkPolicy::kNoLinks &&
         (IsExcludedAt(ses->ws, parent.get(), last) ||
          IsExcludedDirectoryBeneath(ses->ws, drvdle->root_fd, rel, policy)))) {
        return SendHeaderOnly(ses, reply, GRFS_RC_NOT_FOUND);
    }
    DTA dta{};
    if (FillinDTAAt(parent.get(), parent_text.c_str(), last.c_str(), LINK_FOLLOW{policy, drvdle->root_fd, parent_rel.c_str()},
                    &dta) != 0) {
        return SendHeaderOnly(ses, reply, GRFS_RC_NOT_FOUND);
    }
    // A file block carries the name as the request gave it.
    if (!is_dir_block) {
        if (text.size() >= sizeof dta.achName) return SendHeaderOnly(ses, reply, GRFS_RC_NOT_FOUND);
        std::memcpy(dta.achName, text.c_str(), text.size() + 1);
    }
    uint16_t extra = 0;
    if (FillinDBLKInfo(drvdle->current_path, &dblk, &dta, &extra, find_handle, false, true, true, text.c_str()) != 0) {
        return SendHeaderOnly(ses, reply, GRFS_RC_NOT_FOUND);
    }
    dblk.dblk_actual_size = static_cast<uint16_t>(GRFS_DBLK_NET_SIZE + extra);
    return SendMessage(ses, reply, dblk.dblk_actual_size);
}
