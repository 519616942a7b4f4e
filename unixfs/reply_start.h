// Starting a reply in the session's reply record.
#pragma once

#include <cstdint>

#include "grfs/messages.h"
#include "unixfs/grfs_session.h"
#include "unixfs/workstation.h"

// Sets the reply's header: the given type, retcode 0 and the request's
// request_id. The body is left for the handler to fill.
inline GRFS_MESSAGE* StartReply(GRFS_SESSION* ses, uint32_t request_id, uint8_t reply_type) {
    GRFS_MESSAGE* reply = ses->reply;
    reply->hdr.msg_type = reply_type;
    reply->hdr.msg_reserved = 0;
    reply->hdr.retcode = GRFS_RC_SUCCESS;
    reply->hdr.request_id = request_id;
    return reply;
}

// The workstation record a session works on (the process's own copy).
inline WS_CNTL* SessionWs(const GRFS_SESSION* ses) { return ses->ws != nullptr ? ses->ws : &ws_cntl; }
