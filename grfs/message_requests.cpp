// Body layouts of the requests (types 1 to 29).
#include <cstring>

#include "grfs/dblk.h"
#include "grfs/message_layouts.h"
#include "util/debug_print.h"

namespace {

int code_attach_dle(GRFS_XDR* xdr, GRFS_ATTACH_DLE_BODY* b) {
    grfs_xdr_char_array(xdr, b->dle_name, GRFS_DLE_NAME_SIZE);
    grfs_xdr_DLE_HANDLE(xdr, &b->parent);
    grfs_xdr_NET16(xdr, &b->vsc_flags);
    grfs_xdr_NET16(xdr, &b->reason);
    grfs_xdr_NET16(xdr, &b->bsize);
    grfs_xdr_NET16(xdr, &b->cmpr_type);
    grfs_xdr_char_array(xdr, b->user, GRFS_USER_SIZE);
    grfs_xdr_char_array(xdr, b->password, GRFS_PASSWORD_SIZE);
    return 316;
}

int code_dle_req(GRFS_XDR* xdr, GRFS_DLE_REQ_BODY* b) {
    grfs_xdr_DLE_HANDLE(xdr, &b->dle_id);
    return 4;
}

int code_find_first_obj(GRFS_XDR* xdr, GRFS_FIND_FIRST_OBJ_BODY* b) {
    grfs_xdr_DLE_HANDLE(xdr, &b->dle_id);
    grfs_xdr_NET16(xdr, &b->find_type);
    // A text of 12 bytes may arrive without its zero; the spare byte ends it.
    if (xdr->direction == GRFS_XDR_DECODE) std::memset(b->search_name, 0, sizeof b->search_name);
    int count = grfs_xdr_char_string(xdr, b->search_name, GRFS_SEARCH_NAME_MAX);
    if (xdr->direction == GRFS_XDR_DECODE) b->search_name[GRFS_SEARCH_NAME_MAX] = '\0';
    return count + 8;
}

int code_dblk_req(GRFS_XDR* xdr, GRFS_DBLK_REQ_BODY* b) {
    grfs_xdr_DLE_HANDLE(xdr, &b->dle_id);
    int length = grfs_xdr_GRFS_GEN_DBLK(xdr, &b->dblk) + 4;
    DEBUG_PRINTF(DBG_CONFIG, "after xdr_GRFS_GEN_DBLK(): should_be_size=%d\n", length);
    return length;
}

int code_open_obj(GRFS_XDR* xdr, GRFS_OPEN_OBJ_BODY* b) {
    grfs_xdr_DLE_HANDLE(xdr, &b->dle_id);
    grfs_xdr_INT16(xdr, &b->mode);
    grfs_xdr_INT8(xdr, &b->open_reserved1);
    grfs_xdr_INT8(xdr, &b->open_reserved2);
    return grfs_xdr_GRFS_GEN_DBLK(xdr, &b->dblk) + 8;
}

int code_read_obj(GRFS_XDR* xdr, GRFS_READ_OBJ_BODY* b) {
    grfs_xdr_OBJ_HANDLE(xdr, &b->obj_id);
    grfs_xdr_NET16(xdr, &b->size);
    grfs_xdr_NET32(xdr, &b->offset);
    return 12;  // two bytes more than are coded; the sender pads them
}

int code_write_obj(GRFS_XDR* xdr, GRFS_WRITE_OBJ_BODY* b) {
    grfs_xdr_OBJ_HANDLE(xdr, &b->obj_id);
    grfs_xdr_NET32(xdr, &b->offset);
    grfs_xdr_GRFS_STREAM_INFO(xdr, &b->stream_info);
    grfs_xdr_NET16(xdr, &b->size);
    grfs_xdr_char_array_bounded(xdr, b->data, b->size, GRFS_MSG_DATA_MAX);
    return b->size + 28;
}

int code_seek_obj(GRFS_XDR* xdr, GRFS_SEEK_OBJ_BODY* b) {
    grfs_xdr_OBJ_HANDLE(xdr, &b->obj_id);
    grfs_xdr_NET32(xdr, &b->offset);
    return 8;
}

int code_close_obj(GRFS_XDR* xdr, GRFS_CLOSE_OBJ_BODY* b) {
    grfs_xdr_OBJ_HANDLE(xdr, &b->obj_id);
    return 4;
}

int code_change_dir(GRFS_XDR* xdr, GRFS_CHANGE_DIR_BODY* b) {
    grfs_xdr_DLE_HANDLE(xdr, &b->dle_id);
    grfs_xdr_NET16(xdr, &b->size);
    // A size of 0 or below carries no path.
    grfs_xdr_char_array_bounded(xdr, b->net_path, b->size, GRFS_MSG_DATA_MAX);
    return b->size + 9;
}

int code_read_obj_large(GRFS_XDR* xdr, GRFS_READ_OBJ_LARGE_BODY* b) {
    grfs_xdr_OBJ_HANDLE(xdr, &b->obj_id);
    grfs_xdr_NET32(xdr, &b->size);
    grfs_xdr_NET64(xdr, &b->offset);
    return 16;
}

int code_write_obj_large(GRFS_XDR* xdr, GRFS_WRITE_OBJ_LARGE_BODY* b) {
    grfs_xdr_OBJ_HANDLE(xdr, &b->obj_id);
    grfs_xdr_NET64(xdr, &b->offset);
    grfs_xdr_GRFS_STREAM_INFO(xdr, &b->stream_info);
    grfs_xdr_NET32(xdr, &b->size);
    grfs_xdr_char_array_bounded(xdr, b->data, clamp_count(b->size), GRFS_MSG_DATA_MAX);
    return body_length_plus(32, b->size);
}

int code_seek_obj_large(GRFS_XDR* xdr, GRFS_SEEK_OBJ_LARGE_BODY* b) {
    grfs_xdr_OBJ_HANDLE(xdr, &b->obj_id);
    grfs_xdr_NET64(xdr, &b->offset);
    return 12;
}

int code_get_info(GRFS_XDR* xdr, GRFS_GET_INFO_BODY* b) {
    grfs_xdr_NET32(xdr, &b->reserved1);
    grfs_xdr_NET32(xdr, &b->reserved2);
    grfs_xdr_NET64(xdr, &b->reserved3);
    return 16;
}

}  // namespace

RequestBody request_body(int msg_type) {
    switch (msg_type) {
    case GRFS_ATTACH_DLE:
        return RequestBody::attach_dle;
    case GRFS_FIND_FIRST_DLE:
    case GRFS_FIND_NEXT_DLE:
    case GRFS_DETACH_DLE:
    case GRFS_GET_CUR_DDB:
        return RequestBody::dle_req;
    case GRFS_FIND_FIRST_OBJ:
        return RequestBody::find_first_obj;
    case GRFS_FIND_NEXT_OBJ:
    case GRFS_FIND_CLOSE:
    case GRFS_CREATE_OBJ:
    case GRFS_DELETE_OBJ:
    case GRFS_GET_OBJ_INFO:
    case GRFS_VERIFY_OBJ_INFO:
    case GRFS_SET_OBJ_INFO:
    case GRFS_PREPARE_DBLK:
        return RequestBody::dblk_req;
    case GRFS_OPEN_OBJ:
        return RequestBody::open_obj;
    case GRFS_READ_OBJ:
        return RequestBody::read_obj;
    case GRFS_WRITE_OBJ:
    case GRFS_VERIFY_OBJ:
        return RequestBody::write_obj;
    case GRFS_SEEK_OBJ:
        return RequestBody::seek_obj;
    case GRFS_CLOSE_OBJ:
        return RequestBody::close_obj;
    case GRFS_CHANGE_DIR:
        return RequestBody::change_dir;
    case GRFS_READ_OBJ_LARGE:
        return RequestBody::read_obj_large;
    case GRFS_WRITE_OBJ_LARGE:
    case GRFS_VERIFY_OBJ_LARGE:
        return RequestBody::write_obj_large;
    case GRFS_SEEK_OBJ_LARGE:
        return RequestBody::seek_obj_large;
    case GRFS_GET_INFO:
        return RequestBody::get_info;
    default:
        return RequestBody::none;
    }
}

bool code_request_body(GRFS_XDR* xdr, GRFS_MESSAGE* msg, int* length) {
    auto& body = msg->body;
    switch (request_body(msg->hdr.msg_type)) {
    case RequestBody::attach_dle:
        *length = code_attach_dle(xdr, &body.attach_dle);
        return true;
    case RequestBody::dle_req:
        *length = code_dle_req(xdr, &body.dle_req);
        return true;
    case RequestBody::find_first_obj:
        *length = code_find_first_obj(xdr, &body.find_first_obj);
        return true;
    case RequestBody::dblk_req:
        *length = code_dblk_req(xdr, &body.dblk_req);
        return true;
    case RequestBody::open_obj:
        *length = code_open_obj(xdr, &body.open_obj);
        return true;
    case RequestBody::read_obj:
        *length = code_read_obj(xdr, &body.read_obj);
        return true;
    case RequestBody::write_obj:
        *length = code_write_obj(xdr, &body.write_obj);
        return true;
    case RequestBody::seek_obj:
        *length = code_seek_obj(xdr, &body.seek_obj);
        return true;
    case RequestBody::close_obj:
        *length = code_close_obj(xdr, &body.close_obj);
        return true;
    case RequestBody::change_dir:
        *length = code_change_dir(xdr, &body.change_dir);
        return true;
    case RequestBody::read_obj_large:
        *length = code_read_obj_large(xdr, &body.read_obj_large);
        return true;
    case RequestBody::write_obj_large:
        *length = code_write_obj_large(xdr, &body.write_obj_large);
        return true;
    case RequestBody::seek_obj_large:
        *length = code_seek_obj_large(xdr, &body.seek_obj_large);
        return true;
    case RequestBody::get_info:
        *length = code_get_info(xdr, &body.get_info);
        return true;
    case RequestBody::none:
        break;
    }
    return false;
}
