// A session as the listener hands it to a session process, without a
// listener: an NRL resource and session linked into this process's NRL
// state over one end of a socket pair, and the GRFS session record on top.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "agent/listener.h"
#include "grfs/messages.h"
#include "nrl/nrl.h"
#include "nrl/nrl_function_table.h"
#include "nrl/nrl_session.h"
#include "nrl/tli.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/session/workstation.h"
#include "util/alloc.h"

namespace agent_test {

class LinkedSession {
public:
    LinkedSession() {
        NRLGetFunctionTablePtr();
        InitQueue(&uw_nrl_state.local_resources);
        InitQueue(&uw_nrl_state.remote_resources);
        socketpair(AF_UNIX, SOCK_STREAM, 0, fds_);
        resource_ = static_cast<NRL_RESOURCE*>(MYCALLOC(1, NRLResourceSize()));
        InitQueue(&resource_->sessions);
        resource_->tlifd = -1;
        EnQueueElem(&uw_nrl_state.local_resources, &resource_->link, 0);
        nrl_ = static_cast<NRL_SESSION*>(MYCALLOC(1, NRLSessionSize()));
        nrl_->resource = resource_;
        nrl_->tlifd = fds_[0];
        nrl_->max_tsnd = kMaxTliSend;
        EnQueueElem(&resource_->sessions, &nrl_->link, 0);

        ses_.ws = &ws_cntl;
        ses_.nrl_resource = resource_;
        ses_.nrl_session = nrl_;
        ses_.max_msg_size = GRFS_MAX_MSG_SIZE;
        InitQueue(&ses_.attach_list);
        InitQueue(&ses_.object_list);
        NRLSetSessionApplicationPtr(nrl_, &ses_);
        nrl_->dealloc_notify = NotifySessionDealloc;
    }
    ~LinkedSession() {
        // A session the layer killed took its record and descriptor with it;
        // one it did not goes without notification.
        if (ValidateSession(nrl_) != nullptr) {
            NRLDiscardSessionCopy(nrl_);
            close(fds_[0]);
        }
        RemoveQueueElem(&uw_nrl_state.local_resources, &resource_->link);
        MYFREE(resource_);
        if (fds_[1] >= 0) close(fds_[1]);
    }
    LinkedSession(const LinkedSession&) = delete;
    LinkedSession& operator=(const LinkedSession&) = delete;

    GRFS_SESSION* ses() { return &ses_; }
    NRL_SESSION* nrl() { return nrl_; }
    int peer() const { return fds_[1]; }
    void close_peer() {
        close(fds_[1]);
        fds_[1] = -1;
    }
    // One NRL data message with the given GRFS bytes, from the peer.
    bool send_request(const std::vector<unsigned char>& grfs) {
        std::vector<unsigned char> wire(4 + grfs.size());
        wire[0] = 0;
        wire[1] = 0;
        wire[2] = static_cast<unsigned char>(grfs.size() & 0xFF);
        wire[3] = static_cast<unsigned char>(grfs.size() >> 8);
        std::memcpy(wire.data() + 4, grfs.data(), grfs.size());
        return write(fds_[1], wire.data(), wire.size()) == static_cast<ssize_t>(wire.size());
    }

    // Reads exactly n bytes from the peer end; fewer when it closes.
    std::vector<unsigned char> read_peer(size_t n) {
        std::vector<unsigned char> out(n);
        size_t got = 0;
        while (got < n) {
            ssize_t r = read(fds_[1], out.data() + got, n - got);
            if (r <= 0) break;
            got += static_cast<size_t>(r);
        }
        out.resize(got);
        return out;
    }

    // One NRL data message from the agent: header and GRFS bytes.
    std::vector<unsigned char> read_reply() {
        std::vector<unsigned char> hdr = read_peer(4);
        if (hdr.size() != 4) return {};
        size_t size = hdr[2] | (static_cast<size_t>(hdr[3]) << 8);
        std::vector<unsigned char> body = read_peer(size);
        hdr.insert(hdr.end(), body.begin(), body.end());
        return hdr;
    }

private:
    int fds_[2] = {-1, -1};
    NRL_RESOURCE* resource_ = nullptr;
    NRL_SESSION* nrl_ = nullptr;
    GRFS_SESSION ses_{};
};

inline std::vector<unsigned char> Bytes(std::initializer_list<int> list) {
    std::vector<unsigned char> v;
    for (int b : list) v.push_back(static_cast<unsigned char>(b));
    return v;
}

// Little-endian pieces for hand-built request images.
inline void put16(std::vector<unsigned char>& v, uint16_t x) {
    v.push_back(static_cast<unsigned char>(x));
    v.push_back(static_cast<unsigned char>(x >> 8));
}
inline void put32(std::vector<unsigned char>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<unsigned char>(x >> (8 * i)));
}

// GRFS_VERIFY_OBJ (13): header, obj_id, offset, stream header, size, then
// data_bytes bytes of data (fewer than size makes it incomplete).
inline std::vector<unsigned char> VerifyRequest(uint32_t request_id, uint16_t size, size_t data_bytes) {
    std::vector<unsigned char> v{GRFS_VERIFY_OBJ, 0, 0, 0};
    put32(v, request_id);
    put32(v, 0);   // obj_id
    put32(v, 0);   // offset
    v.insert(v.end(), 16, 0);  // stream header
    put16(v, size);
    v.insert(v.end(), data_bytes, 0x5A);
    return v;
}

// GRFS_VERIFY_OBJ_LARGE (28): offset is 64-bit, size 32-bit.
inline std::vector<unsigned char> VerifyLargeRequest(uint32_t request_id, uint32_t size, size_t data_bytes) {
    std::vector<unsigned char> v{GRFS_VERIFY_OBJ_LARGE, 0, 0, 0};
    put32(v, request_id);
    put32(v, 0);   // obj_id
    put32(v, 0);   // offset, low half
    put32(v, 0);   // offset, high half
    v.insert(v.end(), 16, 0);
    put32(v, size);
    v.insert(v.end(), data_bytes, 0xA5);
    return v;
}

// A request of any type with the given body bytes.
inline std::vector<unsigned char> RawRequest(uint8_t type, uint32_t request_id, std::vector<unsigned char> body = {}) {
    std::vector<unsigned char> v{type, 0, 0, 0};
    put32(v, request_id);
    v.insert(v.end(), body.begin(), body.end());
    return v;
}

}  // namespace agent_test
