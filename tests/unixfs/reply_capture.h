// The replies a test session sends, observed through its reply sink.
#pragma once

#include <span>
#include <vector>

#include "grfs/messages.h"
#include "grfs/xdr.h"
#include "unixfs/session/grfs_session.h"

struct ReplyCapture {
    int last_body_size = -1;  // body bytes of the last reply sent; -1: none yet

    // Routes the session's replies here; sink_context then names this capture.
    void Install(GRFS_SESSION* ses) {
        ses->reply_sink = &ReplyCapture::Sink;
        ses->sink_context = this;
    }

    // Encoding turns parts of the reply record (a DBLK's OS information) to
    // wire order; decoding the sent bytes back leaves the record as a peer
    // reads it, in host order.
    static int Sink(GRFS_SESSION* ses, std::span<const unsigned char> encoded) {
        static_cast<ReplyCapture*>(ses->sink_context)->last_body_size =
            static_cast<int>(encoded.size()) - GRFS_MSG_HEADER_SIZE;
        std::vector<unsigned char> bytes(encoded.begin(), encoded.end());
        GRFS_XDR xdr{};
        grfs_set_xdr_direction(&xdr, GRFS_XDR_DECODE);
        grfs_set_xdr_buffer(&xdr, bytes);
        grfs_xdr_message(&xdr, ses->reply, static_cast<int>(bytes.size()));
        return 0;
    }
};
