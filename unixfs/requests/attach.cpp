#include "unixfs/requests/attach.h"
#include "unixfs/requests/change_dir.h"

#include <cerrno>
#include <cstring>

#include "grfs/messages.h"
#include "mount/mount_list.h"
#include "unixfs/session/attach_guard.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/host/confined_path.h"
#include "unixfs/session/credentials.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/session/hard_links.h"
#include "unixfs/session/session_tally.h"
#include "unixfs/session/workstation.h"
#include "util/alloc.h"
#include "util/debug_print.h"

namespace {

// A request field as a terminated text (the field may lack its zero).
void FieldText(char (&out)[GRFS_DLE_NAME_SIZE + 1], const char* field) {
    std::memcpy(out, field, GRFS_DLE_NAME_SIZE);
    out[GRFS_DLE_NAME_SIZE] = '\0';
}

// Answers a refused attach with -507, then counts and reports the refusal.
int Refuse(GRFS_SESSION* ses, GRFS_MESSAGE* req, AttachTarget target, const char* name, const char* reason) {
    RejectDLEAttach(ses, req, GRFS_RC_ACCESS_DENIED);
    AttachRefused(ses, target, name, reason);
    return 1;
}

const char* PasswordProblem(const char* password) {
    return password[0] == '\0' ? "missing password" : "wrong password";
}

uint16_t MaxObjBsize(uint16_t asked) {
    return gb_grfs_config.object_buffer_size < asked ? static_cast<uint16_t>(gb_grfs_config.object_buffer_size)
                                                     : asked;
}

int AttachWorkstation(GRFS_SESSION* ses, GRFS_MESSAGE* req, const char* name, const char* password) {
    WS_CNTL* ws = ses->ws;
    DEBUG_PRINTF(DBG_PROCESS, "attempting attach to workstation\n");
    if (!CredentialEquals(ws->workstation_name, req->body.attach_dle.dle_name, GRFS_DLE_NAME_SIZE)) {
        DEBUG_PRINTF(DBG_PROCESS, "rejecting attach, our name %s != request %s\n", ws->workstation_name, name);
        return Refuse(ses, req, AttachTarget::workstation, name, "unknown workstation");
    }
    if (!is_valid_password(ws, req)) {
        DEBUG_PRINTF(DBG_PROCESS, "Passwords don't match (<password> != <password>)\n");
        return Refuse(ses, req, AttachTarget::workstation, name, PasswordProblem(password));
    }
    auto* wsdle = static_cast<WSDLE*>(MYCALLOC(1, sizeof(WSDLE)));
    uint32_t handle = wsdle == nullptr ? 0 : IssueHandle(ses->handles, wsdle, HANDLE_KIND_WSDLE);
    if (handle == 0) {
        MYFREE(wsdle);
        RejectDLEAttach(ses, req, GRFS_RC_NO_MEMORY);
        return 1;
    }
    ses->attach_count++;
    wsdle->attached = 1;
    wsdle->kind_tag = WSDLE_KIND_TAG;
    wsdle->session = ses;
    wsdle->dle_cursor = nullptr;
    InitQueue(&wsdle->dle_attachments);
    wsdle->handle = handle;
    AcceptDLEAttach(ses, req, handle, MaxObjBsize(req->body.attach_dle.bsize), true, nullptr);
    EnQueueElem(&ses->attach_list, &wsdle->link, 0);
    return 0;
}

int AttachDrive(GRFS_SESSION* ses, GRFS_MESSAGE* req, const char* name, const char* password) {
    WS_CNTL* ws = ses->ws;
    const GRFS_ATTACH_DLE_BODY& body = req->body.attach_dle;
    DEBUG_PRINTF(DBG_PROCESS, "attempting attach to drive: %s\n", name);
    // The parent must be a live workstation attachment: a DLE attachment
    // hangs under it and is released with it.
    WSDLE* parent = LookupWsdle(ses, body.parent);
    if (parent == nullptr) {
        RejectDLEAttach(ses, req, GRFS_RC_BAD_DLE_HANDLE);
        return 1;
    }
    DLE_RECORD* dle = FindDrive(ws, name);
    if (dle == nullptr) {
        DEBUG_PRINTF(DBG_PROCESS, "Unable to find drive in export list\n");
        return Refuse(ses, req, AttachTarget::dle, name, "unknown export");
    }
    if (dle->password_required && !CredentialEquals(dle->dle_password, body.password, GRFS_PASSWORD_SIZE)) {
        DEBUG_PRINTF(DBG_PROCESS, "Passwords don't match (<password> != <password>)\n");
        return Refuse(ses, req, AttachTarget::dle, name, PasswordProblem(password));
    }
    auto* drvdle = static_cast<DRVDLE*>(MYCALLOC(1, sizeof(DRVDLE)));
    char* current_path = static_cast<char*>(MYMALLOC(kCurrentPathSize));
    uint32_t handle = 0;
    if (drvdle != nullptr && current_path != nullptr) {
        handle = IssueHandle(ses->handles, drvdle, HANDLE_KIND_DRVDLE);
    }
    if (handle == 0) {
        MYFREE(current_path);
        MYFREE(drvdle);
        RejectDLEAttach(ses, req, GRFS_RC_NO_MEMORY);
        return 1;
    }
    drvdle->kind_tag = DRVDLE_KIND_TAG;
    drvdle->parent = parent;
    drvdle->attach_reason = body.reason;
    DEBUG_PRINTF(DBG_PROCESS, "AttachDLE(): setting drvdle->attach_reason=0x%x\n", drvdle->attach_reason);
    drvdle->vsc_flags = body.vsc_flags;
    drvdle->dle = dle;
    drvdle->fs_type = dle->fs_type;
    drvdle->hdir = nullptr;
    drvdle->handle = handle;
    drvdle->current_path = current_path;
    // Every file-system call of this attachment resolves below this one
    // descriptor. An export that cannot be opened still attaches; its
    // listings then come back empty, as they would for a vanished tree.
    drvdle->root_fd = OpenExportRoot(dle->export_path).release();
    if (drvdle->root_fd < 0) {
        DEBUG_PRINTF(DBG_CONFIG, "opendir failed for path '%s' errno=%d\n", dle->export_path, errno);
    }
    ses->attach_count++;
    TallyAttach(ses->tally, name);
    current_path[0] = '\0';
    uint16_t bsize = MaxObjBsize(body.bsize);
    AcceptDLEAttach(ses, req, handle, bsize, false, current_path);
    EnQueueElem(&parent->dle_attachments, &drvdle->link, 0);
    drvdle->max_name_len = static_cast<uint16_t>(query_max_name_len(dle->export_path));
    DEBUG_PRINTF(DBG_DIR, "initial max_name_len of %s is %d\n", dle->export_path, drvdle->max_name_len);
    HardLinkersReset(ses->ws);
    DEBUG_PRINTF(DBG_CONFIG, "AttachDLE: initializing mount list for SOL_23\n");
    create_mount_list(3, 0);
    return 0;
}

}  // namespace

int AttachDLE(GRFS_SESSION* ses, GRFS_MESSAGE* req, int /*length*/) {
    AwaitAttachTurn(ses);
    GRFS_ATTACH_DLE_BODY& body = req->body.attach_dle;
    GRFSDecrypt(body.dle_name, body.password, GRFS_DLE_NAME_SIZE);
    char name[GRFS_DLE_NAME_SIZE + 1];
    char password[GRFS_PASSWORD_SIZE + 1];
    FieldText(name, body.dle_name);
    FieldText(password, body.password);
    if (body.parent == 0) return AttachWorkstation(ses, req, name, password);
    return AttachDrive(ses, req, name, password);
}

int AcceptDLEAttach(GRFS_SESSION* ses, const GRFS_MESSAGE* req, uint32_t handle, uint16_t max_obj_bsize,
                    bool supports_children, const char* path) {
    GRFS_MESSAGE* reply = StartReply(ses, req->hdr.request_id, GRFS_ATTACH_DLE_STAT);
    GRFS_ATTACH_DLE_STAT_BODY& stat = reply->body.attach_dle_stat;
    stat.dle_id = handle;
    stat.max_connects = 1;
    stat.opens_per_connect = 1;
    stat.dle_capability = 0x000C;
    stat.max_obj_bsize = max_obj_bsize;
    stat.supports_children = supports_children ? 1 : 0;
    stat.cmpr_type = 0;
    size_t len = path == nullptr ? 0 : strnlen(path, GRFS_ATTACH_PATH_MAX - 1);
    if (len != 0) std::memcpy(stat.path, path, len);
    stat.path[len] = '\0';
    stat.path_len = static_cast<uint16_t>(len + 1);
    return SendMessage(ses, reply, stat.path_len + 21) != 0;
}

int RejectDLEAttach(GRFS_SESSION* ses, const GRFS_MESSAGE* req, int16_t retcode) {
    GRFS_MESSAGE* reply = StartReply(ses, req->hdr.request_id, GRFS_ATTACH_DLE_STAT);
    reply->hdr.retcode = retcode;
    return SendMessage(ses, reply, 0) != 0;
}
