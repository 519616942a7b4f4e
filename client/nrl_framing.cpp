#include "client/nrl_framing.h"

namespace grfs_client {

std::array<unsigned char, kSessionOpenRequestSize> session_open_request() {
    std::array<unsigned char, kSessionOpenRequestSize> bytes{};
    bytes[0] = NRL_DATA;
    return bytes;
}

SessionOpenReply parse_session_open_reply(std::span<const unsigned char, kSessionOpenReplySize> bytes) {
    SessionOpenReply reply;
    reply.status = static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
    for (int i = 0; i < kSessionOpenDataSize; ++i) reply.data[i] = bytes[2 + i];
    return reply;
}

void put_nrl_header(unsigned char* out, uint8_t type, uint16_t size) {
    out[0] = type;
    out[1] = 0;
    out[2] = static_cast<unsigned char>(size & 0xFF);
    out[3] = static_cast<unsigned char>(size >> 8);
}

NrlHeader parse_nrl_header(const unsigned char* in) {
    NrlHeader h;
    h.type = in[0];
    h.reserved = in[1];
    h.size = static_cast<uint16_t>(in[2] | (in[3] << 8));
    return h;
}

}  // namespace grfs_client
