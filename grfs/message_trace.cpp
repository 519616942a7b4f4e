// Field-by-field dump of one message record into the message log.
#include "grfs/message_trace.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "grfs/dates.h"
#include "util/printable.h"

FILE* dbg_file = nullptr;

void set_message_log_file(FILE* stream) { dbg_file = stream; }

namespace {

// A fixed-size text field as a terminated copy; a field filled to the brim
// travels without its zero.
template <size_t N>
struct FieldText {
    char text[N + 1];
    explicit FieldText(const char (&field)[N]) {
        std::memcpy(text, field, N);
        text[N] = '\0';
    }
};

uint16_t byte_sum(const unsigned char* p, int n) {
    uint16_t s = 0;
    for (int i = 0; i < n; ++i) s = static_cast<uint16_t>(s + p[i]);
    return s;
}

void xor_words(unsigned char* p, int n, uint16_t key) {
    for (int i = 0; i + 1 < n; i += 2) {
        p[i] ^= static_cast<unsigned char>(key & 0xFF);
        p[i + 1] ^= static_cast<unsigned char>(key >> 8);
    }
}

// The attach credentials travel scrambled, each with the other's byte sum as
// key; the dump shows them plain without touching the request.
void unscramble_credentials(unsigned char* name, unsigned char* password, int length) {
    xor_words(name, length, byte_sum(password, length));
    xor_words(password, length, byte_sum(name, length));
}

const char* yes_no(bool flag) { return flag ? "YES" : "NO"; }

const char* open_mode_name(uint16_t mode) {
    switch (mode) {
    case GRFS_OPEN_READ: return "READ";
    case GRFS_OPEN_WRITE: return "WRITE";
    case GRFS_OPEN_VERIFY: return "VERIFY";
    default: return "BAD OPEN MODE";
    }
}

void print_stream_info(FILE* out, const GRFS_STREAM_INFO& s) {
    std::fprintf(out, "\tstream_info: id 0x%08x attrib 0x%08x size_lsw %d size_msw %d\n", s.id, s.attrib,
                 static_cast<int>(s.size.lsw), static_cast<int>(s.size.msw));
}

void print_attach_dle(FILE* out, const GRFS_ATTACH_DLE_BODY& b) {
    FieldText name(b.dle_name);
    FieldText password(b.password);
    unscramble_credentials(reinterpret_cast<unsigned char*>(name.text),
                           reinterpret_cast<unsigned char*>(password.text), GRFS_DLE_NAME_SIZE);
    FieldText user(b.user);
    std::fprintf(out, "\tdle_name %s\n", Escaped(name.text).c_str());
    std::fprintf(out, "\tvsc_flags 0x%04x reason 0x%04x bsize %-4d parent 0x%08x\n", b.vsc_flags, b.reason,
                 b.bsize, b.parent);
    // The password itself is never written: the log may be read by others
    // than the administrator, and old logs are kept.
    std::fprintf(out, "\tcmpr_type 0x%02x\n\tuser %-48s password %s\n", b.cmpr_type, Escaped(user.text).c_str(),
                 password.text[0] != '\0' ? "<password>" : "");
}

void print_attach_dle_stat(FILE* out, const GRFS_ATTACH_DLE_STAT_BODY& b) {
    std::fprintf(out, "\tdle_id 0x%08x max_connects %-4d opens_per_connect %-4d\n", b.dle_id, b.max_connects,
                 b.opens_per_connect);
    std::fprintf(out, "\tdle_capability 0x%x max_obj_bsize %-4d cmpr_type 0x%x\n", b.dle_capability,
                 b.max_obj_bsize, b.cmpr_type);
    std::fprintf(out, "\tsupports_children %-3s path_len %d\n", yes_no(b.supports_children == 1), b.path_len);
    std::fprintf(out, "\tpath %s\n", Escaped(FieldText(b.path).text).c_str());
}

void print_find_dle_stat(FILE* out, const GRFS_FIND_DLE_STAT_BODY& b) {
    std::fprintf(out, "\tdle_name %s\n", Escaped(FieldText(b.dle_name).text).c_str());
    std::fprintf(out, "\tpath_delim '%c' password_req %-3s user_req %-3s writable %-3s\n", b.path_delim,
                 yes_no(b.password_req != 0), yes_no(b.user_req != 0), yes_no(b.writable != 0));
    std::fprintf(out, "\tos_id %d os_ver %d fs_type %d crypt_type %d cmpr_type %d\n", b.os_id, b.os_ver,
                 b.fs_type, b.crypt_type, b.cmpr_type);
    std::fprintf(out, "\tmore %-3s\n", yes_no(b.more != 0));
}

void print_get_info_stat(FILE* out, const GRFS_GET_INFO_STAT_BODY& b) {
    std::fprintf(out, "\tver %d len%d\n", static_cast<int>(b.ver), static_cast<int>(b.len));
    struct tm tm;
    char text[64];
    ConvertTmStructFromStdDate(&b.local_time, &tm);
    std::fprintf(out, "\tasctime(localtime) %s\n", asctime_r(&tm, text) ? text : "Invalid Date\n");
    ConvertTmStructFromStdDate(&b.universal_time, &tm);
    std::fprintf(out, "\tasctime(gmtime) %s\n", asctime_r(&tm, text) ? text : "Invalid Date\n");
}

// The fields of a request body, by the record it travels in.
void print_request_fields(FILE* out, RequestBody layout, const decltype(GRFS_MESSAGE::body)& b) {
    switch (layout) {
    case RequestBody::attach_dle:
        print_attach_dle(out, b.attach_dle);
        break;
    case RequestBody::dle_req:
        std::fprintf(out, "\tdle_id 0x%08x\n", b.dle_req.dle_id);
        break;
    case RequestBody::find_first_obj:
        std::fprintf(out, "\tdle_id 0x%08x find_type %-3s search name %s\n", b.find_first_obj.dle_id,
                     b.find_first_obj.find_type == 1 ? "DIR" : "ALL",
                     Escaped(FieldText(b.find_first_obj.search_name).text).c_str());
        break;
    case RequestBody::dblk_req:
        std::fprintf(out, "\tdle_id 0x%08x\n", b.dblk_req.dle_id);
        print_dblk(&b.dblk_req.dblk);
        break;
    case RequestBody::open_obj:
        std::fprintf(out, "\tdle_id 0x%08x mode %s\n", b.open_obj.dle_id, open_mode_name(b.open_obj.mode));
        print_dblk(&b.open_obj.dblk);
        break;
    case RequestBody::read_obj:
        std::fprintf(out, "\tobj_id 0x%08x size %d offset %d\n", b.read_obj.obj_id, b.read_obj.size,
                     static_cast<int>(b.read_obj.offset));
        break;
    case RequestBody::write_obj:
        std::fprintf(out, "\tobj_id 0x%08x size %d offset %d\n", b.write_obj.obj_id, b.write_obj.size,
                     static_cast<int>(b.write_obj.offset));
        print_stream_info(out, b.write_obj.stream_info);
        break;
    case RequestBody::seek_obj:
        std::fprintf(out, "\tobj_id 0x%08x offset %d\n", b.seek_obj.obj_id, static_cast<int>(b.seek_obj.offset));
        break;
    case RequestBody::close_obj:
        std::fprintf(out, "\tobj_id 0x%08x\n", b.close_obj.obj_id);
        break;
    case RequestBody::change_dir: {
        // The path up to its first zero byte, never past the record.
        const char* path = b.change_dir.net_path;
        int shown = static_cast<int>(strnlen(path, sizeof b.change_dir.net_path));
        std::fprintf(out, "\tdle_id 0x%08x size %d net_path %s\n", b.change_dir.dle_id, b.change_dir.size,
                     Escaped(std::string_view(path, static_cast<size_t>(shown))).c_str());
        break;
    }
    case RequestBody::read_obj_large:
        std::fprintf(out, "\tobj_id 0x%08x size %d offset <%d,%d>\n", b.read_obj_large.obj_id,
                     static_cast<int>(b.read_obj_large.size), static_cast<int>(b.read_obj_large.offset.msw),
                     static_cast<int>(b.read_obj_large.offset.lsw));
        break;
    case RequestBody::write_obj_large:
        std::fprintf(out, "\tobj_id 0x%08x size %d offset <%d,%d>\n", b.write_obj_large.obj_id,
                     static_cast<int>(b.write_obj_large.size), static_cast<int>(b.write_obj_large.offset.msw),
                     static_cast<int>(b.write_obj_large.offset.lsw));
        print_stream_info(out, b.write_obj_large.stream_info);
        break;
    case RequestBody::seek_obj_large:
        std::fprintf(out, "\tobj_id 0x%08x offset <%d,%d>\n", b.seek_obj_large.obj_id,
                     static_cast<int>(b.seek_obj_large.offset.msw), static_cast<int>(b.seek_obj_large.offset.lsw));
        break;
    case RequestBody::get_info:
        std::fprintf(out, "\treserved1 %d reserved2 %d reserved3 <%d,%d>\n", static_cast<int>(b.get_info.reserved1),
                     static_cast<int>(b.get_info.reserved2), static_cast<int>(b.get_info.reserved3.msw),
                     static_cast<int>(b.get_info.reserved3.lsw));
        break;
    case RequestBody::none:
        break;
    }
}

}  // namespace

void print_message(const GRFS_MESSAGE* msg, int size) {
    FILE* out = dbg_file;
    if (out == nullptr) return;
    const GRFS_MSG_HEADER& h = msg->hdr;
    const auto& b = msg->body;
    std::fprintf(out, "MESSAGE: %s retcode %d request_id %d - size %d\n", type_to_str(h.msg_type), h.retcode,
                 static_cast<int>(h.request_id), size);
    // Fields are shown as they stand in the record, whatever the retcode.
    if (const RequestBody layout = request_body(h.msg_type); layout != RequestBody::none) {
        print_request_fields(out, layout, b);
        return;
    }
    switch (h.msg_type) {
    case GRFS_ATTACH_DLE_STAT:
        if (h.retcode == GRFS_RC_SUCCESS) print_attach_dle_stat(out, b.attach_dle_stat);
        break;
    case GRFS_FIND_DLE_STAT:
        print_find_dle_stat(out, b.find_dle_stat);
        break;
    case GRFS_FIND_OBJ_STAT:
        std::fprintf(out, "\tmore %-3s\n", yes_no(b.find_obj_stat.more != 0));
        print_dblk(&b.find_obj_stat.dblk);
        break;
    case GRFS_OPEN_OBJ_STAT:
        std::fprintf(out, "\tobj_id 0x%08x\n", b.open_obj_stat.obj_id);
        print_dblk(&b.open_obj_stat.dblk);
        break;
    case GRFS_READ_OBJ_STAT:
        std::fprintf(out, "\tsize %d blk_size %d\n", b.read_obj_stat.size, b.read_obj_stat.blk_size);
        print_stream_info(out, b.read_obj_stat.stream_info);
        break;
    case GRFS_WRITE_OBJ_STAT:
    case GRFS_VERIFY_OBJ_STAT:
        std::fprintf(out, "\tsize %d blk_size %d\n", b.write_obj_stat.size, b.write_obj_stat.blk_size);
        break;
    case GRFS_WRITE_OBJ_LARGE_STAT:
    case GRFS_VERIFY_OBJ_LARGE_STAT:
        std::fprintf(out, "\tsize %d blk_size %d\n", static_cast<int>(b.write_obj_large_stat.size),
                     static_cast<int>(b.write_obj_large_stat.blk_size));
        break;
    case GRFS_SEEK_OBJ_STAT:
        std::fprintf(out, "\tseek_offset %d\n", static_cast<int>(b.seek_obj_stat.seek_offset));
        break;
    case GRFS_GET_OBJ_INFO_STAT:
    case GRFS_GET_CUR_DDB_STAT:
    case GRFS_PREPARE_DBLK_STAT:
        print_dblk(&b.dblk_stat.dblk);
        break;
    case GRFS_READ_OBJ_LARGE_STAT:
        std::fprintf(out, "\tsize %d blk_size %d\n", static_cast<int>(b.read_obj_large_stat.size),
                     static_cast<int>(b.read_obj_large_stat.blk_size));
        print_stream_info(out, b.read_obj_large_stat.stream_info);
        break;
    case GRFS_SEEK_OBJ_LARGE_STAT:
        std::fprintf(out, "\tseek_offset <%d,%d>\n", static_cast<int>(b.seek_obj_large_stat.seek_offset.msw),
                     static_cast<int>(b.seek_obj_large_stat.seek_offset.lsw));
        break;
    case GRFS_GET_INFO_STAT:
        print_get_info_stat(out, b.get_info_stat);
        break;
    default:
        break;  // the first line only
    }
}
