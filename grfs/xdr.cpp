#include "grfs/xdr.h"

#include <cstring>

#include "grfs/byte_order.h"
#include "util/debug_print.h"

void grfs_set_xdr_buffer(GRFS_XDR* xdr, unsigned char* buffer, int size) {
    xdr->buffer = buffer;
    xdr->limit = size;
    xdr->cursor = 0;
    xdr->overrun = false;
    xdr->oversized = false;
    xdr->short_dblk = false;
    xdr->deferred_at = -1;
    xdr->deferred_len = 0;
}

void grfs_set_xdr_buffer(GRFS_XDR* xdr, std::span<unsigned char> buffer) {
    grfs_set_xdr_buffer(xdr, buffer.data(), static_cast<int>(buffer.size()));
}

void grfs_set_xdr_direction(GRFS_XDR* xdr, int direction) { xdr->direction = direction; }

int grfs_get_xdr_length(const GRFS_XDR* xdr) { return xdr->cursor; }

namespace {

// Bytes left before limit; never negative, and 0 for a cursor that somebody
// moved below the buffer's start.
int room_left(const GRFS_XDR* xdr) {
    if (xdr->cursor < 0 || xdr->cursor >= xdr->limit) return 0;
    return xdr->limit - xdr->cursor;
}

void note_overrun(GRFS_XDR* xdr) {
    xdr->overrun = true;
    DEBUG_PRINTF(DBG_CONFIG, "xdr buffer not big enough (%d) - aborting\n", xdr->cursor);
}

// Codes the n bytes of a scalar at wire (its wire image, host memory order).
// Bytes past limit are not transferred; each one writes the trace line, as
// byte-by-byte coding would. Returns true when all n bytes were coded.
bool code_scalar(GRFS_XDR* xdr, unsigned char* wire, int n) {
    int k = room_left(xdr);
    if (k > n) k = n;
    if (k > 0) {
        if (xdr->direction == GRFS_XDR_ENCODE)
            std::memcpy(xdr->buffer + xdr->cursor, wire, static_cast<size_t>(k));
        else
            std::memcpy(wire, xdr->buffer + xdr->cursor, static_cast<size_t>(k));
        xdr->cursor += k;
    }
    for (int i = k; i < n; ++i) note_overrun(xdr);
    return k == n;
}

}  // namespace

void grfs_xdr_INT8(GRFS_XDR* xdr, uint8_t* p) {
    if (room_left(xdr) == 0) {
        note_overrun(xdr);
        return;
    }
    if (xdr->direction == GRFS_XDR_ENCODE)
        xdr->buffer[xdr->cursor] = *p;
    else
        *p = xdr->buffer[xdr->cursor];
    ++xdr->cursor;
}

namespace {

// Where a field of n bytes lies when it fits whole before limit (the usual
// case, taken without the byte-wise bound handling); null otherwise.
unsigned char* whole_field(const GRFS_XDR* xdr, int n) {
    return xdr->cursor >= 0 && xdr->cursor <= xdr->limit - n ? xdr->buffer + xdr->cursor : nullptr;
}

}  // namespace

void grfs_xdr_INT16_bounded(GRFS_XDR* xdr, uint16_t* p) {
    if (unsigned char* at = whole_field(xdr, 2)) {
        uint16_t t;
        if (xdr->direction == GRFS_XDR_ENCODE) {
            t = IntelSwapWord(*p);
            std::memcpy(at, &t, 2);
        } else if (xdr->direction == GRFS_XDR_DECODE) {
            std::memcpy(&t, at, 2);
            *p = IntelSwapWord(t);
        }
        xdr->cursor += 2;
        return;
    }
    uint16_t t = 0;
    if (xdr->direction == GRFS_XDR_ENCODE) t = IntelSwapWord(*p);
    bool whole = code_scalar(xdr, reinterpret_cast<unsigned char*>(&t), 2);
    if (xdr->direction == GRFS_XDR_DECODE && whole) *p = IntelSwapWord(t);
}

void grfs_xdr_INT32_bounded(GRFS_XDR* xdr, uint32_t* p) {
    if (unsigned char* at = whole_field(xdr, 4)) {
        uint32_t t;
        if (xdr->direction == GRFS_XDR_ENCODE) {
            t = IntelSwapLong(*p);
            std::memcpy(at, &t, 4);
        } else if (xdr->direction == GRFS_XDR_DECODE) {
            std::memcpy(&t, at, 4);
            *p = IntelSwapLong(t);
        }
        xdr->cursor += 4;
        return;
    }
    uint32_t t = 0;
    if (xdr->direction == GRFS_XDR_ENCODE) t = IntelSwapLong(*p);
    bool whole = code_scalar(xdr, reinterpret_cast<unsigned char*>(&t), 4);
    if (xdr->direction == GRFS_XDR_DECODE && whole) *p = IntelSwapLong(t);
}

void grfs_xdr_NET64(GRFS_XDR* xdr, UINT64* p) {
    grfs_xdr_INT32(xdr, &p->lsw);
    grfs_xdr_INT32(xdr, &p->msw);
}

void grfs_xdr_GRFS_STREAM_INFO(GRFS_XDR* xdr, GRFS_STREAM_INFO* p) {
    grfs_xdr_NET32(xdr, &p->id);
    grfs_xdr_NET16(xdr, &p->attrib);
    grfs_xdr_NET16(xdr, &p->reserved);
    grfs_xdr_NET64(xdr, &p->size);
}

void grfs_xdr_DATE_TIME(GRFS_XDR* xdr, DATE_TIME* p) {
    // Eight little-endian words: on a little-endian host the record's own
    // bytes, moved at once.
    if constexpr (!kHostBigEndian) {
        static_assert(sizeof(DATE_TIME) == 16);
        if (unsigned char* at = whole_field(xdr, 16)) {
            if (xdr->direction == GRFS_XDR_ENCODE)
                std::memcpy(at, p, 16);
            else if (xdr->direction == GRFS_XDR_DECODE)
                std::memcpy(p, at, 16);
            xdr->cursor += 16;
            return;
        }
    }
    grfs_xdr_INT16(xdr, &p->date_valid);
    grfs_xdr_INT16(xdr, &p->year);
    grfs_xdr_INT16(xdr, &p->month);
    grfs_xdr_INT16(xdr, &p->day);
    grfs_xdr_INT16(xdr, &p->hour);
    grfs_xdr_INT16(xdr, &p->minute);
    grfs_xdr_INT16(xdr, &p->second);
    grfs_xdr_INT16(xdr, &p->day_of_week);
}

void grfs_xdr_char_array(GRFS_XDR* xdr, void* p, int n) {
    if (n <= 0) return;
    int k = room_left(xdr);
    if (k > n) k = n;
    const void* left_in_place = xdr->direction == GRFS_XDR_ENCODE ? xdr->defer_array : xdr->view_array;
    if (k > 0 && left_in_place != nullptr && p == left_in_place) {
        // The caller takes these bytes from where they already are.
        xdr->deferred_at = xdr->cursor;
        xdr->deferred_len = k;
        xdr->cursor += k;
    } else if (k > 0) {
        // One block copy; the wire bytes are those of a byte-by-byte run.
        if (xdr->direction == GRFS_XDR_ENCODE)
            std::memcpy(xdr->buffer + xdr->cursor, p, static_cast<size_t>(k));
        else
            std::memcpy(p, xdr->buffer + xdr->cursor, static_cast<size_t>(k));
        xdr->cursor += k;
    }
    // A shortfall is reported once per array rather than once per byte.
    if (k < n) note_overrun(xdr);
}

void grfs_xdr_char_array_bounded(GRFS_XDR* xdr, void* p, int n, int room) {
    if (n > room) {
        xdr->oversized = true;
        DEBUG_PRINTF(DBG_CONFIG, "xdr length %d exceeds room %d\n", n, room);
        n = room;
    }
    grfs_xdr_char_array(xdr, p, n);
}

int grfs_xdr_char_string(GRFS_XDR* xdr, char* p, int max) {
    if (max <= 0) return max;
    int avail = room_left(xdr);
    if (xdr->direction == GRFS_XDR_ENCODE) {
        auto* z = static_cast<const char*>(std::memchr(p, 0, static_cast<size_t>(max)));
        int count = z != nullptr ? static_cast<int>(z - p) + 1 : max;
        // The count is the text's, whether or not the buffer held it all:
        // past limit each memory byte is still tested for the zero.
        int k = count < avail ? count : avail;
        if (k > 0) std::memcpy(xdr->buffer + xdr->cursor, p, static_cast<size_t>(k));
        xdr->cursor += k;
        if (k < count) note_overrun(xdr);
        return count;
    }
    // Decode: the received bytes decide where the text ends.
    int window = max < avail ? max : avail;
    const unsigned char* src = xdr->buffer + (window > 0 ? xdr->cursor : 0);
    int k = window;
    if (window > 0) {
        auto* z = static_cast<const unsigned char*>(std::memchr(src, 0, static_cast<size_t>(window)));
        if (z != nullptr) k = static_cast<int>(z - src) + 1;
        std::memcpy(p, src, static_cast<size_t>(k));
        xdr->cursor += k;
        if (z != nullptr || k == max) return k;
    }
    // The buffer ended inside the text: bytes not received leave memory as
    // it was, and the count ends at the first zero already in memory there.
    note_overrun(xdr);
    auto* z = static_cast<const char*>(std::memchr(p + k, 0, static_cast<size_t>(max - k)));
    return z != nullptr ? static_cast<int>(z - p) + 1 : max;
}
