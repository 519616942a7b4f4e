// The one coder between host records and the packed little-endian wire form.
// A coder state carries a direction; every field routine either writes the
// field from memory into the buffer (encode) or reads it from the buffer into
// memory (decode), so a layout is written once and serves both ways.
//
// Bounds: no byte of the buffer at an index at or past `limit` is ever read
// or written. An attempt to code such a byte writes the trace line
// "xdr buffer not big enough (%d) - aborting\n" (class DBG_CONFIG), leaves the
// memory field as it was, and sets `overrun`; coding goes on (later fields
// meet the same bound). When decoding received bytes, set `limit` to the
// number of bytes received, so that `overrun` means "the request is shorter
// than its layout".
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

#include "grfs/byte_order.h"
#include "util/uint64.h"

enum GrfsXdrDirection : int32_t {
    GRFS_XDR_DECODE = 1,  // wire to memory
    GRFS_XDR_ENCODE = 2,  // memory to wire
};

struct GRFS_XDR {
    int32_t direction;      // GRFS_XDR_DECODE or GRFS_XDR_ENCODE
    int32_t cursor;         // bytes coded so far; index of the next byte
    int32_t limit;          // bytes that buffer may hold
    unsigned char* buffer;  // owned by the caller
    // Set by the coder, cleared by grfs_set_xdr_buffer:
    bool overrun;           // a byte at or past limit was asked for
    bool oversized;         // a length field claimed more than the record holds
    bool short_dblk;        // a DBLK claimed less than its fixed part
    // Encoding only: the char array whose memory starts at defer_array is not
    // copied. Its bytes are left out of the buffer (the cursor moves past
    // them) and their place is noted in deferred_at and deferred_len, so that
    // the caller can send them from wherever they already are. Set by the
    // caller; grfs_set_xdr_buffer clears the note, not defer_array.
    const void* defer_array;
    // Decoding only: the char array whose memory starts at view_array is not
    // copied either. Its bytes stay where they are in the buffer and their
    // place is noted the same way, so that the caller can use them there.
    // Set by the caller.
    const void* view_array;
    int32_t deferred_at;    // -1: no deferred (or viewed) array coded
    int32_t deferred_len;
};

// Composite wire values.
using DLE_HANDLE = uint32_t;  // an attachment, coded as NET32
using OBJ_HANDLE = uint32_t;  // an open object, coded as NET32
using BOOLEAN = uint16_t;     // 0 false, nonzero true (1 written), 2 bytes

// One data stream of an object; 16 bytes in memory and on the wire.
struct GRFS_STREAM_INFO {
    uint32_t id;        // four-character stream code
    uint16_t attrib;
    uint16_t reserved;  // 0 in the agent's replies
    UINT64 size;        // size.lsw, size.msw
};

// A date; eight 16-bit words, 16 bytes in memory and on the wire.
struct DATE_TIME {
    uint16_t date_valid;   // 1 holds a value, 0 absent
    uint16_t year;         // four digits
    uint16_t month;        // 1..12
    uint16_t day;          // 1..31
    uint16_t hour;         // 0..23
    uint16_t minute;       // 0..59
    uint16_t second;       // 0..61
    uint16_t day_of_week;  // 0 Sunday .. 6 Saturday
};

static_assert(sizeof(GRFS_STREAM_INFO) == 16);
static_assert(sizeof(DATE_TIME) == 16);

// Set-up. grfs_set_xdr_buffer sets buffer and limit, resets cursor and the
// fault flags; the direction is left alone.
void grfs_set_xdr_buffer(GRFS_XDR* xdr, unsigned char* buffer, int size);
void grfs_set_xdr_buffer(GRFS_XDR* xdr, std::span<unsigned char> buffer);
void grfs_set_xdr_direction(GRFS_XDR* xdr, int direction);
int grfs_get_xdr_length(const GRFS_XDR* xdr);  // cursor

// True when any fault flag is set.
inline bool grfs_xdr_failed(const GRFS_XDR* xdr) {
    return xdr->overrun || xdr->oversized || xdr->short_dblk;
}

// Field routines: 1, 2, 4 and 8 bytes, little-endian. A field that runs past
// limit while decoding is left as it was (no half-received values).
void grfs_xdr_INT8(GRFS_XDR* xdr, uint8_t* p);
void grfs_xdr_NET64(GRFS_XDR* xdr, UINT64* p);  // low half, then high half

// A block holds some fifty 16- and 32-bit fields, coded on every request and
// reply: a field that fits whole before limit is coded inline, and only the
// rest takes the bounded routine.
void grfs_xdr_INT16_bounded(GRFS_XDR* xdr, uint16_t* p);
void grfs_xdr_INT32_bounded(GRFS_XDR* xdr, uint32_t* p);

template <typename T>
inline bool grfs_xdr_whole_scalar(GRFS_XDR* xdr, T* p, T (*to_wire)(T)) {
    if (xdr->cursor < 0 || xdr->cursor > xdr->limit - static_cast<int32_t>(sizeof(T))) return false;
    unsigned char* at = xdr->buffer + xdr->cursor;
    if (xdr->direction == GRFS_XDR_ENCODE) {
        const T t = to_wire(*p);
        std::memcpy(at, &t, sizeof t);
    } else if (xdr->direction == GRFS_XDR_DECODE) {
        T t;
        std::memcpy(&t, at, sizeof t);
        *p = to_wire(t);
    } else {
        return false;
    }
    xdr->cursor += static_cast<int32_t>(sizeof(T));
    return true;
}

inline void grfs_xdr_INT16(GRFS_XDR* xdr, uint16_t* p) {
    if (!grfs_xdr_whole_scalar<uint16_t>(xdr, p, IntelSwapWord)) grfs_xdr_INT16_bounded(xdr, p);
}
inline void grfs_xdr_INT32(GRFS_XDR* xdr, uint32_t* p) {
    if (!grfs_xdr_whole_scalar<uint32_t>(xdr, p, IntelSwapLong)) grfs_xdr_INT32_bounded(xdr, p);
}

inline void grfs_xdr_INT8(GRFS_XDR* xdr, int8_t* p) { grfs_xdr_INT8(xdr, reinterpret_cast<uint8_t*>(p)); }
inline void grfs_xdr_INT8(GRFS_XDR* xdr, char* p) { grfs_xdr_INT8(xdr, reinterpret_cast<uint8_t*>(p)); }
inline void grfs_xdr_INT16(GRFS_XDR* xdr, int16_t* p) { grfs_xdr_INT16(xdr, reinterpret_cast<uint16_t*>(p)); }
inline void grfs_xdr_INT32(GRFS_XDR* xdr, int32_t* p) { grfs_xdr_INT32(xdr, reinterpret_cast<uint32_t*>(p)); }
inline void grfs_xdr_NET16(GRFS_XDR* xdr, uint16_t* p) { grfs_xdr_INT16(xdr, p); }
inline void grfs_xdr_NET16(GRFS_XDR* xdr, int16_t* p) { grfs_xdr_INT16(xdr, p); }
inline void grfs_xdr_NET32(GRFS_XDR* xdr, uint32_t* p) { grfs_xdr_INT32(xdr, p); }
inline void grfs_xdr_NET32(GRFS_XDR* xdr, int32_t* p) { grfs_xdr_INT32(xdr, p); }
inline void grfs_xdr_BOOLEAN(GRFS_XDR* xdr, BOOLEAN* p) { grfs_xdr_INT16(xdr, p); }
inline void grfs_xdr_DLE_HANDLE(GRFS_XDR* xdr, DLE_HANDLE* p) { grfs_xdr_INT32(xdr, p); }
inline void grfs_xdr_OBJ_HANDLE(GRFS_XDR* xdr, OBJ_HANDLE* p) { grfs_xdr_INT32(xdr, p); }

// id (NET32), attrib, reserved (NET16), size (NET64).
void grfs_xdr_GRFS_STREAM_INFO(GRFS_XDR* xdr, GRFS_STREAM_INFO* p);
// Eight INT16 in field order.
void grfs_xdr_DATE_TIME(GRFS_XDR* xdr, DATE_TIME* p);

// Exactly n bytes as they are (nothing when n <= 0), copied as one block.
// The bytes before limit are coded; a shortfall writes the trace line once
// and sets overrun.
void grfs_xdr_char_array(GRFS_XDR* xdr, void* p, int n);

// As grfs_xdr_char_array, for a length n taken from the wire into a record
// field of room bytes: when n exceeds room only room bytes are coded and
// oversized is set, so a hostile length can never reach past the field.
void grfs_xdr_char_array_bounded(GRFS_XDR* xdr, void* p, int n, int room);

// A text of at most max bytes up to and including its zero byte (no length
// prefix, no padding; a text filling max bytes travels without a zero).
// Returns the byte count the layout adds to its length: the text length + 1,
// or max when no zero byte came within max; max itself when max <= 0 (and
// nothing is coded). A decoded text is not terminated when max bytes arrived
// without a zero, nor when the buffer ended first.
int grfs_xdr_char_string(GRFS_XDR* xdr, char* p, int max);
