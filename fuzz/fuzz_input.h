// The input format of the session fuzz target, shared with the program that
// writes its seed corpus: a sequence of records, each
//   control (1 byte) | length (2 bytes, little-endian) | length bytes of one
//   GRFS request as it travels inside an NRL data message.
// Handles are issued by the agent at run time, so a request cannot carry
// them literally; the control byte asks the harness to patch them in.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz_input {

// Bits 0-1: which handle goes into the request's handle field (the parent of
// GRFS_ATTACH_DLE, otherwise the first body field).
constexpr uint8_t kHandleMask = 0x03;
constexpr uint8_t kHandleNone = 0;
constexpr uint8_t kHandleWorkstation = 1;  // latest workstation attachment
constexpr uint8_t kHandleDle = 2;          // latest DLE attachment
constexpr uint8_t kHandleObject = 3;       // latest open object
// Bit 2: the search handle of the latest GRFS_FIND_OBJ_STAT goes into the
// request DBLK's find information (block offset 176).
constexpr uint8_t kPatchSearch = 0x04;
// Bits 3-4: take the handle that many issues back instead of the latest.
constexpr int kAgeShift = 3;
constexpr uint8_t kAgeMask = 0x03;
// Bit 5 of the first record's control byte: every trace category is on and
// every message is dumped (the agent's "-d"), so that the traces meet
// hostile values too.
constexpr uint8_t kTraceAll = 0x20;
// Bit 6: the send of this request's reply fails (the peer went away).
constexpr uint8_t kFailSend = 0x40;
// Bit 7 of the first record's control byte: the configuration follows links
// to directories (follow_symdirs).
constexpr uint8_t kFollowSymdirs = 0x80;

constexpr size_t kRecordHeader = 3;
// Where the handle fields lie in a request (header included).
constexpr size_t kFirstBodyField = 8;
constexpr size_t kAttachParentField = 8 + 128;
constexpr size_t kDblkInRequest = 12;       // dle_id, then the DBLK
constexpr size_t kDblkInOpenRequest = 16;   // dle_id, mode, two reserved bytes
constexpr size_t kFindInfoInDblk = 176;

}  // namespace fuzz_input
