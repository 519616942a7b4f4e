// The bytes a session starts with, and the 4-byte header in front of every
// message on an open session.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace grfs_client {

constexpr int kSessionOpenDataSize = 512;
constexpr int kSessionOpenRequestSize = 1 + kSessionOpenDataSize;  // type byte, allocation data
constexpr int kSessionOpenReplySize = 2 + kSessionOpenDataSize;    // status, reply data
constexpr int kNrlHeaderSize = 4;
// Header and data of one message must fit the 16-bit size.
constexpr int kNrlMaxMessage = 65535;
constexpr int kNrlMaxData = kNrlMaxMessage - kNrlHeaderSize;

enum NrlMessageType : uint8_t {
    NRL_DATA = 0,       // one GRFS message follows
    NRL_DEALLOC = 1,    // the sender ends the session; size carries the reason
    NRL_ADVERTISE = 2,  // only on advertisement connections
    NRL_ABORT = 3,
};

// The agent does not examine the type byte; the peer sends NRL_DATA and
// zero allocation data.
std::array<unsigned char, kSessionOpenRequestSize> session_open_request();

struct SessionOpenReply {
    uint16_t status = 0;  // 0 accepted; the agent refuses with 1
    std::array<unsigned char, kSessionOpenDataSize> data{};
};
SessionOpenReply parse_session_open_reply(std::span<const unsigned char, kSessionOpenReplySize> bytes);

struct NrlHeader {
    uint8_t type = 0;
    uint8_t reserved = 0;
    uint16_t size = 0;  // data bytes for NRL_DATA, reason for NRL_DEALLOC
};

// Writes the 4 header bytes: type, 0, size little-endian.
void put_nrl_header(unsigned char* out, uint8_t type, uint16_t size);
NrlHeader parse_nrl_header(const unsigned char* in);

}  // namespace grfs_client
