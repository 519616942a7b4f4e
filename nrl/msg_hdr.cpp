// Wire form of the session-open reply.
#include <cstring>

#include "nrl/nrl_session.h"

void BuildSessionOpenReply(int status, const unsigned char* reply_data,
                           std::span<unsigned char, kSessionOpenReplySize> out) {
    out[0] = static_cast<unsigned char>(status & 0xFF);
    out[1] = static_cast<unsigned char>((status >> 8) & 0xFF);
    if (reply_data != nullptr)
        std::memcpy(out.data() + 2, reply_data, kAllocDataSize);
    else
        std::memset(out.data() + 2, 0, kAllocDataSize);
}
