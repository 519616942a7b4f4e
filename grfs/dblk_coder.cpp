#include <algorithm>

#include "grfs/dblk.h"
#include "util/debug_print.h"

namespace {

void code_fixed_part(GRFS_XDR* xdr, GRFS_GEN_DBLK* d) {
    grfs_xdr_INT8(xdr, &d->dblk_type);
    grfs_xdr_INT8(xdr, &d->dblk_reserved1);
    grfs_xdr_char_array(xdr, d->dblk_reserved2, sizeof d->dblk_reserved2);
    grfs_xdr_INT8(xdr, &d->os_id);
    grfs_xdr_INT8(xdr, &d->os_ver);
    grfs_xdr_char_array(xdr, d->dblk_reserved3, sizeof d->dblk_reserved3);
    grfs_xdr_DATE_TIME(xdr, &d->creation_time);
    grfs_xdr_DATE_TIME(xdr, &d->access_time);
    grfs_xdr_DATE_TIME(xdr, &d->archived_time);
    grfs_xdr_DATE_TIME(xdr, &d->modified_time);
    grfs_xdr_NET64(xdr, &d->size);
    grfs_xdr_NET32(xdr, &d->gen_attr);
    grfs_xdr_BOOLEAN(xdr, &d->os_info_complete);
    grfs_xdr_NET16(xdr, &d->min_ddb_info);
    grfs_xdr_NET16(xdr, &d->min_ddb_size);
    grfs_xdr_NET16(xdr, &d->os_spec_info);
    grfs_xdr_NET16(xdr, &d->os_spec_size);
    grfs_xdr_NET16(xdr, &d->dblk_actual_size);
    grfs_xdr_NET16(xdr, &d->tape_attribs);
    grfs_xdr_BOOLEAN(xdr, &d->dblk_reserved4);
    grfs_xdr_NET16(xdr, &d->find_info);
    grfs_xdr_NET16(xdr, &d->find_info_size);
    grfs_xdr_BOOLEAN(xdr, &d->translate);
    grfs_xdr_BOOLEAN(xdr, &d->special_flag);
    grfs_xdr_NET16(xdr, &d->obj_type);
    grfs_xdr_char_array(xdr, d->dblk_reserved5, sizeof d->dblk_reserved5);

    // The type part: what dblk_type (just decoded, when decoding) says.
    if (d->dblk_type == DDB_ID) {
        grfs_xdr_NET16(xdr, &d->type_part.ddb.os_path);
        grfs_xdr_NET16(xdr, &d->type_part.ddb.os_path_leng);
        grfs_xdr_NET16(xdr, &d->type_part.ddb.path_leng);
        grfs_xdr_NET16(xdr, &d->type_part.ddb.path);
    } else if (d->dblk_type == FDB_ID) {
        grfs_xdr_BOOLEAN(xdr, &d->type_part.fdb.in_use);
        grfs_xdr_NET16(xdr, &d->type_part.fdb.os_name);
        grfs_xdr_NET16(xdr, &d->type_part.fdb.name);
        grfs_xdr_NET16(xdr, &d->type_part.fdb.fdb_reserved);
    }
}

}  // namespace

int grfs_xdr_GRFS_GEN_DBLK(GRFS_XDR* xdr, GRFS_GEN_DBLK* dblk, size_t room) {
    room = std::min(room, sizeof(GRFS_GEN_DBLK));
    if (room < static_cast<size_t>(GRFS_DBLK_NET_SIZE)) {
        // No record to code into: a caller's fault, reported like a block
        // that does not fit.
        xdr->oversized = true;
        return 0;
    }
    const int start = xdr->cursor;
    code_fixed_part(xdr, dblk);

    if (xdr->direction == GRFS_XDR_ENCODE) ByteSwapOSInfo(dblk, room);

    int amount = xdr->cursor - start;
    if (amount != GRFS_DBLK_NET_SIZE)
        DEBUG_PRINTF(DBG_CONFIG, "amount_copied (%d) != GRFS_DBLK_NET_SIZE (%d)\n", amount,
                     GRFS_DBLK_NET_SIZE);

    // The variable area: offset 176 up to dblk_actual_size, for every block
    // type, never beyond the record. A block without a type part is whole
    // with its 168 coded bytes.
    const int actual = dblk->dblk_actual_size;
    const bool has_type_part = dblk->dblk_type == DDB_ID || dblk->dblk_type == FDB_ID;
    const int least = has_type_part ? GRFS_DBLK_NET_SIZE : GRFS_DBLK_COMMON_SIZE;
    if (actual < least) {
        xdr->short_dblk = true;
        DEBUG_PRINTF(DBG_CONFIG, "dblk_actual_size (%d) below GRFS_DBLK_NET_SIZE (%d)\n", actual, least);
    }
    int var = actual - GRFS_DBLK_NET_SIZE;
    grfs_xdr_char_array_bounded(xdr, dblk->var_area, var, static_cast<int>(room) - GRFS_DBLK_NET_SIZE);

    if (xdr->direction == GRFS_XDR_DECODE) ByteSwapOSInfo(dblk, room);
    return actual;
}
