// Hands a request record to ProcessGRFSMsg as the bytes a server sends, so
// that a test sees what the whole dispatch answers, not only its handler.
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "agent/request_dispatch.h"
#include "grfs/messages.h"
#include "grfs/xdr.h"
#include "unixfs/session/grfs_session.h"

// Same shape as a handler: (ses, req, length); the length is the coder's.
inline int DispatchRecord(GRFS_SESSION* ses, GRFS_MESSAGE* req, int /*length*/) {
    // Encoding turns parts of a DBLK to wire order: the caller's record stays.
    auto copy = std::make_unique<GRFS_MESSAGE>(*req);
    std::vector<unsigned char> wire(GRFS_MAX_MSG_SIZE + 100, 0);
    GRFS_XDR xdr{};
    grfs_set_xdr_direction(&xdr, GRFS_XDR_ENCODE);
    grfs_set_xdr_buffer(&xdr, wire.data(), static_cast<int>(wire.size()));
    const int length = GRFS_MSG_HEADER_SIZE + grfs_xdr_message(&xdr, copy.get(), 1);
    std::vector<unsigned char> decoded(sizeof(GRFS_MESSAGE) + GRFS_MAX_MSG_SIZE);
    unsigned char* const saved = ses->coding_buf;
    ses->coding_buf = decoded.data();
    const int rc = ProcessGRFSMsg(ses, wire.data(), length);
    ses->coding_buf = saved;
    return rc;
}
