// Body layouts of the replies (types 65 to 93).
#include "grfs/dblk.h"
#include "grfs/message_layouts.h"

namespace {

int code_attach_dle_stat(GRFS_XDR* xdr, GRFS_ATTACH_DLE_STAT_BODY* b) {
    grfs_xdr_DLE_HANDLE(xdr, &b->dle_id);
    grfs_xdr_NET16(xdr, &b->max_connects);
    grfs_xdr_NET16(xdr, &b->opens_per_connect);
    grfs_xdr_NET16(xdr, &b->dle_capability);
    grfs_xdr_NET16(xdr, &b->max_obj_bsize);
    grfs_xdr_BOOLEAN(xdr, &b->supports_children);
    grfs_xdr_NET16(xdr, &b->path_len);
    grfs_xdr_NET16(xdr, &b->cmpr_type);
    grfs_xdr_char_array_bounded(xdr, b->path, b->path_len, GRFS_ATTACH_PATH_MAX);
    return b->path_len + 21;
}

int code_find_dle_stat(GRFS_XDR* xdr, GRFS_FIND_DLE_STAT_BODY* b) {
    grfs_xdr_char_array(xdr, b->dle_name, GRFS_DLE_NAME_SIZE);
    grfs_xdr_INT8(xdr, &b->path_delim);
    grfs_xdr_INT8(xdr, &b->dle_reserved);
    grfs_xdr_BOOLEAN(xdr, &b->password_req);
    grfs_xdr_BOOLEAN(xdr, &b->user_req);
    grfs_xdr_BOOLEAN(xdr, &b->writable);
    grfs_xdr_BOOLEAN(xdr, &b->reserved_flag);
    grfs_xdr_INT8(xdr, &b->os_id);
    grfs_xdr_INT8(xdr, &b->os_ver);
    grfs_xdr_NET16(xdr, &b->fs_type);
    grfs_xdr_INT8(xdr, &b->crypt_type);
    grfs_xdr_INT8(xdr, &b->cmpr_type);
    grfs_xdr_BOOLEAN(xdr, &b->more);
    return 146;
}

int code_find_obj_stat(GRFS_XDR* xdr, GRFS_FIND_OBJ_STAT_BODY* b, int16_t retcode) {
    grfs_xdr_BOOLEAN(xdr, &b->more);
    if (retcode != GRFS_RC_SUCCESS) return 2;
    grfs_xdr_INT8(xdr, &b->find_reserved1);
    grfs_xdr_INT8(xdr, &b->find_reserved2);
    return grfs_xdr_GRFS_GEN_DBLK(xdr, &b->dblk) + 4;
}

int code_open_obj_stat(GRFS_XDR* xdr, GRFS_OPEN_OBJ_STAT_BODY* b, int16_t retcode) {
    grfs_xdr_OBJ_HANDLE(xdr, &b->obj_id);
    // An open with a warning still counts as done and describes the object.
    if (retcode != GRFS_RC_SUCCESS && retcode != GRFS_RC_OPEN_WARNING) return 4;
    return grfs_xdr_GRFS_GEN_DBLK(xdr, &b->dblk) + 4;
}

int code_read_obj_stat(GRFS_XDR* xdr, GRFS_READ_OBJ_STAT_BODY* b) {
    grfs_xdr_NET16(xdr, &b->size);
    grfs_xdr_NET16(xdr, &b->blk_size);
    grfs_xdr_GRFS_STREAM_INFO(xdr, &b->stream_info);
    grfs_xdr_char_array_bounded(xdr, b->data, b->size, GRFS_MSG_DATA_MAX);
    return b->size + 20;
}

int code_write_obj_stat(GRFS_XDR* xdr, GRFS_WRITE_OBJ_STAT_BODY* b) {
    grfs_xdr_NET16(xdr, &b->size);
    grfs_xdr_NET16(xdr, &b->blk_size);
    return 4;
}

int code_seek_obj_stat(GRFS_XDR* xdr, GRFS_SEEK_OBJ_STAT_BODY* b) {
    grfs_xdr_NET32(xdr, &b->seek_offset);
    return 4;
}

int code_dblk_stat(GRFS_XDR* xdr, GRFS_DBLK_STAT_BODY* b) {
    return grfs_xdr_GRFS_GEN_DBLK(xdr, &b->dblk);
}

int code_read_obj_large_stat(GRFS_XDR* xdr, GRFS_READ_OBJ_LARGE_STAT_BODY* b) {
    grfs_xdr_NET32(xdr, &b->size);
    grfs_xdr_NET32(xdr, &b->blk_size);
    grfs_xdr_GRFS_STREAM_INFO(xdr, &b->stream_info);
    grfs_xdr_char_array_bounded(xdr, b->data, clamp_count(b->size), GRFS_MSG_DATA_MAX);
    return body_length_plus(24, b->size);
}

int code_write_obj_large_stat(GRFS_XDR* xdr, GRFS_WRITE_OBJ_LARGE_STAT_BODY* b) {
    grfs_xdr_NET32(xdr, &b->size);
    grfs_xdr_NET32(xdr, &b->blk_size);
    return 8;
}

int code_seek_obj_large_stat(GRFS_XDR* xdr, GRFS_SEEK_OBJ_LARGE_STAT_BODY* b) {
    grfs_xdr_NET64(xdr, &b->seek_offset);
    return 8;
}

int code_get_info_stat(GRFS_XDR* xdr, GRFS_GET_INFO_STAT_BODY* b) {
    grfs_xdr_NET32(xdr, &b->ver);
    grfs_xdr_NET32(xdr, &b->len);
    grfs_xdr_DATE_TIME(xdr, &b->local_time);
    grfs_xdr_DATE_TIME(xdr, &b->universal_time);
    grfs_xdr_char_array(xdr, b->info_reserved, GRFS_INFO_RESERVED_SIZE);
    return GRFS_GET_INFO_STAT_BODY_SIZE;
}

}  // namespace

bool code_reply_body(GRFS_XDR* xdr, GRFS_MESSAGE* msg, int* length) {
    auto& body = msg->body;
    const int16_t retcode = msg->hdr.retcode;
    const bool success = retcode == GRFS_RC_SUCCESS;
    switch (msg->hdr.msg_type) {
    case GRFS_ATTACH_DLE_STAT:
        *length = success ? code_attach_dle_stat(xdr, &body.attach_dle_stat) : 0;
        return true;
    case GRFS_FIND_DLE_STAT:
        *length = success ? code_find_dle_stat(xdr, &body.find_dle_stat) : 0;
        return true;
    case GRFS_FIND_OBJ_STAT:
        *length = code_find_obj_stat(xdr, &body.find_obj_stat, retcode);
        return true;
    case GRFS_OPEN_OBJ_STAT:
        *length = code_open_obj_stat(xdr, &body.open_obj_stat, retcode);
        return true;
    case GRFS_READ_OBJ_STAT:
        *length = code_read_obj_stat(xdr, &body.read_obj_stat);
        return true;
    case GRFS_WRITE_OBJ_STAT:
    case GRFS_VERIFY_OBJ_STAT:
        *length = code_write_obj_stat(xdr, &body.write_obj_stat);
        return true;
    case GRFS_SEEK_OBJ_STAT:
        *length = success ? code_seek_obj_stat(xdr, &body.seek_obj_stat) : 0;
        return true;
    case GRFS_GET_OBJ_INFO_STAT:
    case GRFS_GET_CUR_DDB_STAT:
    case GRFS_PREPARE_DBLK_STAT:
        *length = success ? code_dblk_stat(xdr, &body.dblk_stat) : 0;
        return true;
    case GRFS_READ_OBJ_LARGE_STAT:
        *length = code_read_obj_large_stat(xdr, &body.read_obj_large_stat);
        return true;
    case GRFS_WRITE_OBJ_LARGE_STAT:
    case GRFS_VERIFY_OBJ_LARGE_STAT:
        *length = code_write_obj_large_stat(xdr, &body.write_obj_large_stat);
        return true;
    case GRFS_SEEK_OBJ_LARGE_STAT:
        *length = success ? code_seek_obj_large_stat(xdr, &body.seek_obj_large_stat) : 0;
        return true;
    case GRFS_GET_INFO_STAT:
        *length = code_get_info_stat(xdr, &body.get_info_stat);
        return true;
    case GRFS_DETACH_DLE_STAT:
    case GRFS_FIND_CLOSE_STAT:
    case GRFS_CREATE_OBJ_STAT:
    case GRFS_CLOSE_OBJ_STAT:
    case GRFS_DELETE_OBJ_STAT:
    case GRFS_VERIFY_OBJ_INFO_STAT:
    case GRFS_CHANGE_DIR_STAT:
    case GRFS_SET_OBJ_INFO_STAT:
        *length = 0;  // header alone whatever the retcode
        return true;
    default:
        return false;  // 85, 87 and the unnamed types
    }
}
