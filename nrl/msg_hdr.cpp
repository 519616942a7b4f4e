// Wire form of the NRL message header and of the session-open reply.
#include <cstring>

#include "nrl/nrl_session.h"

void EncodeMsgHdr(const msg_hdr& hdr, std::span<unsigned char, kMsgHdrSize> out) {
    out[0] = hdr.type;
    out[1] = hdr.reserved;
    out[2] = static_cast<unsigned char>(hdr.size & 0xFF);
    out[3] = static_cast<unsigned char>(hdr.size >> 8);
}

msg_hdr DecodeMsgHdr(std::span<const unsigned char, kMsgHdrSize> in) {
    msg_hdr hdr{};
    hdr.type = in[0];
    hdr.reserved = in[1];
    hdr.size = static_cast<uint16_t>(in[2] | (in[3] << 8));
    return hdr;
}

void BuildSessionOpenReply(int status, const unsigned char* reply_data,
                           std::span<unsigned char, kSessionOpenReplySize> out) {
    out[0] = static_cast<unsigned char>(status & 0xFF);
    out[1] = static_cast<unsigned char>((status >> 8) & 0xFF);
    if (reply_data != nullptr)
        std::memcpy(out.data() + 2, reply_data, kAllocDataSize);
    else
        std::memset(out.data() + 2, 0, kAllocDataSize);
}
