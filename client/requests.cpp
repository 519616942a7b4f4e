#include "client/requests.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "client/credentials.h"
#include "client/retcodes.h"
#include "util/uint64.h"

namespace grfs_client {

namespace {


// Sends request (already filled) and checks the reply's retcode: 0 is
// success, anything else an error unless it is in `accepted`.
Status round_trip(Connection& c, std::initializer_list<int16_t> accepted = {}) {
    GRFS_MESSAGE& rq = c.request_scratch();
    GRFS_MESSAGE& rp = c.reply_scratch();
    if (Status s = c.transact(rq, rp); !s.ok()) return s;
    const int16_t rc = rp.hdr.retcode;
    if (rc == GRFS_RC_SUCCESS) return {};
    if (std::find(accepted.begin(), accepted.end(), rc) != accepted.end()) return {};
    return retcode_error(rq.hdr.msg_type, rc);
}

GRFS_MESSAGE& begin(Connection& c, uint8_t type) {
    GRFS_MESSAGE& rq = c.request_scratch();
    start_message(rq, type);
    return rq;
}

void fill_field(std::span<char, kCredentialFieldSize> field, std::string_view text) {
    std::fill(field.begin(), field.end(), '\0');
    std::copy_n(text.begin(), std::min(text.size(), kCredentialFieldSize - 1), field.begin());
}

Result<AttachInfo> attach(Connection& c, DLE_HANDLE parent, std::string_view name, std::string_view password,
                          const AttachOptions& options) {
    if (name.size() >= kCredentialFieldSize || password.size() >= kCredentialFieldSize)
        return make_error(ErrorKind::usage, "names and passwords hold at most 127 characters");
    GRFS_MESSAGE& rq = begin(c, GRFS_ATTACH_DLE);
    auto& b = rq.body.attach_dle;
    std::span<char, kCredentialFieldSize> name_field(b.dle_name);
    std::span<char, kCredentialFieldSize> password_field(b.password);
    fill_field(name_field, name);
    fill_field(password_field, password);
    scramble_credentials(name_field, password_field);
    b.parent = parent;
    b.vsc_flags = options.vsc_flags;
    b.reason = options.reason;
    b.bsize = options.bsize;
    b.cmpr_type = 0;
    std::memset(b.user, 0, sizeof b.user);
    if (Status s = round_trip(c); !s.ok()) {
        // The agent answers -507 alike for a name it does not know and for a
        // wrong password, so that neither can be probed on its own.
        if (s.kind == ErrorKind::retcode && s.retcode == GRFS_RC_ACCESS_DENIED)
            s.text = std::string(parent == 0 ? kWorkstationAccessDenied : kExportAccessDenied) + ", retcode -507";
        s.text = (parent == 0 ? "attach to workstation '" : "attach to export '") + std::string(name) + "': " + s.text;
        return s;
    }
    const auto& r = c.reply_scratch().body.attach_dle_stat;
    AttachInfo info;
    info.dle_id = r.dle_id;
    info.max_obj_bsize = r.max_obj_bsize;
    info.supports_children = r.supports_children != 0;
    const size_t n = std::min<size_t>(r.path_len, GRFS_ATTACH_PATH_MAX);
    info.path.assign(r.path, strnlen(r.path, n));
    return info;
}

Result<Dblk> dblk_request(Connection& c, uint8_t type, DLE_HANDLE dle, const Dblk& dblk) {
    GRFS_MESSAGE& rq = begin(c, type);
    rq.body.dblk_req.dle_id = dle;
    dblk.to_record(&rq.body.dblk_req.dblk);
    if (Status s = round_trip(c); !s.ok()) return s;
    return Dblk::from_record(c.reply_scratch().body.dblk_stat.dblk);
}

Result<int16_t> retcode_request(Connection& c, uint8_t type, DLE_HANDLE dle, const Dblk& dblk) {
    GRFS_MESSAGE& rq = begin(c, type);
    rq.body.dblk_req.dle_id = dle;
    dblk.to_record(&rq.body.dblk_req.dblk);
    if (Status s = c.transact(rq, c.reply_scratch()); !s.ok()) return s;
    return c.reply_scratch().hdr.retcode;
}

Result<std::optional<Dblk>> find_reply(Connection& c) {
    if (Status s = round_trip(c, {GRFS_RC_NOT_FOUND}); !s.ok()) return s;
    const GRFS_MESSAGE& rp = c.reply_scratch();
    if (rp.hdr.retcode != GRFS_RC_SUCCESS) return std::optional<Dblk>();
    return std::optional<Dblk>(Dblk::from_record(rp.body.find_obj_stat.dblk));
}

}  // namespace

std::string stream_name(uint32_t id) {
    char text[5];
    for (int i = 0; i < 4; ++i) {
        text[i] = static_cast<char>((id >> (8 * i)) & 0xFF);
        if (text[i] < 0x20 || text[i] > 0x7E) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%08X", id);
            return hex;
        }
    }
    text[4] = 0;
    return text;
}

Result<AttachInfo> attach_workstation(Connection& c, std::string_view workstation, std::string_view password,
                                      const AttachOptions& options) {
    return attach(c, 0, workstation, password, options);
}

Result<AttachInfo> attach_dle(Connection& c, DLE_HANDLE workstation, std::string_view dle, std::string_view password,
                              const AttachOptions& options) {
    if (workstation == 0) return make_error(ErrorKind::usage, "a DLE attach needs a workstation attachment");
    return attach(c, workstation, dle, password, options);
}

Status detach(Connection& c, DLE_HANDLE id) {
    GRFS_MESSAGE& rq = begin(c, GRFS_DETACH_DLE);
    rq.body.dle_req.dle_id = id;
    return round_trip(c);
}

Result<std::vector<DleInfo>> list_dles(Connection& c, DLE_HANDLE workstation) {
    std::vector<DleInfo> dles;
    uint8_t type = GRFS_FIND_FIRST_DLE;
    // The agent cycles back to its first DLE after the last; `more` ends
    // the listing, the bound guards against a peer that never clears it.
    for (int i = 0; i < 100000; ++i) {
        GRFS_MESSAGE& rq = begin(c, type);
        rq.body.dle_req.dle_id = workstation;
        if (Status s = round_trip(c, {GRFS_RC_NOT_FOUND}); !s.ok()) return s;
        const GRFS_MESSAGE& rp = c.reply_scratch();
        if (rp.hdr.retcode == GRFS_RC_NOT_FOUND) return dles;
        const auto& b = rp.body.find_dle_stat;
        DleInfo d;
        d.name.assign(b.dle_name, strnlen(b.dle_name, sizeof b.dle_name));
        d.password_required = b.password_req != 0;
        d.writable = b.writable != 0;
        d.fs_type = b.fs_type;
        dles.push_back(std::move(d));
        if (b.more == 0) return dles;
        type = GRFS_FIND_NEXT_DLE;
    }
    return make_error(ErrorKind::protocol, "the DLE listing does not end");
}

std::vector<char> net_path(std::string_view path) {
    std::vector<char> bytes;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) slash = path.size();
        if (slash > start) {
            bytes.insert(bytes.end(), path.begin() + static_cast<long>(start), path.begin() + static_cast<long>(slash));
            bytes.push_back('\0');
        }
        start = slash + 1;
    }
    if (bytes.empty()) bytes.push_back('\0');
    return bytes;
}

std::string change_dir_length_problem(std::string_view path, std::string_view subject) {
    const size_t bytes = net_path(path).size();
    if (bytes <= kMaxChangeDirBytes) return {};
    // Counted as the path text: its net form is one byte longer.
    return std::string(subject) + " from the export root is " + std::to_string(bytes - 1) + " bytes, GRFS_CHANGE_DIR carries at most " +
           std::to_string(kMaxChangeDirBytes - 1);
}

Status change_dir(Connection& c, DLE_HANDLE dle, std::string_view path) {
    const std::vector<char> bytes = net_path(path);
    // Past what a message holds it is refused here as the agent refuses
    // any path deeper than it takes: the object's failure, not the session's.
    if (bytes.size() > static_cast<size_t>(GRFS_MSG_DATA_MAX))
        return make_error(ErrorKind::retcode, "change to '" + std::string(path) + "': path too long",
                          GRFS_RC_CHANGE_DIR_FAILED);
    GRFS_MESSAGE& rq = begin(c, GRFS_CHANGE_DIR);
    rq.body.change_dir.dle_id = dle;
    rq.body.change_dir.size = static_cast<int16_t>(bytes.size());
    std::memcpy(rq.body.change_dir.net_path, bytes.data(), bytes.size());
    if (Status s = round_trip(c); !s.ok()) {
        s.text = "change to '" + std::string(path.empty() ? "/" : path) + "': " + s.text;
        return s;
    }
    return {};
}

Result<std::optional<Dblk>> find_first(Connection& c, DLE_HANDLE dle, std::string_view pattern, uint16_t find_type) {
    if (pattern.size() >= static_cast<size_t>(GRFS_SEARCH_NAME_MAX))
        return make_error(ErrorKind::usage, "search name longer than 11 characters");
    GRFS_MESSAGE& rq = begin(c, GRFS_FIND_FIRST_OBJ);
    rq.body.find_first_obj.dle_id = dle;
    rq.body.find_first_obj.find_type = find_type;
    std::memset(rq.body.find_first_obj.search_name, 0, sizeof rq.body.find_first_obj.search_name);
    std::memcpy(rq.body.find_first_obj.search_name, pattern.data(), pattern.size());
    return find_reply(c);
}

Result<std::optional<Dblk>> find_next(Connection& c, DLE_HANDLE dle, const Dblk& last) {
    GRFS_MESSAGE& rq = begin(c, GRFS_FIND_NEXT_OBJ);
    rq.body.dblk_req.dle_id = dle;
    last.to_record(&rq.body.dblk_req.dblk);
    return find_reply(c);
}

Status find_close(Connection& c, DLE_HANDLE dle, const Dblk& last) {
    GRFS_MESSAGE& rq = begin(c, GRFS_FIND_CLOSE);
    rq.body.dblk_req.dle_id = dle;
    last.to_record(&rq.body.dblk_req.dblk);
    return round_trip(c);
}

Result<Dblk> get_current_ddb(Connection& c, DLE_HANDLE dle) {
    GRFS_MESSAGE& rq = begin(c, GRFS_GET_CUR_DDB);
    rq.body.dle_req.dle_id = dle;
    if (Status s = round_trip(c); !s.ok()) return s;
    return Dblk::from_record(c.reply_scratch().body.dblk_stat.dblk);
}

Result<Dblk> get_object_info(Connection& c, DLE_HANDLE dle, const Dblk& dblk) {
    return dblk_request(c, GRFS_GET_OBJ_INFO, dle, dblk);
}

Result<Dblk> prepare_dblk(Connection& c, DLE_HANDLE dle, const Dblk& dblk) {
    return dblk_request(c, GRFS_PREPARE_DBLK, dle, dblk);
}

Result<int16_t> create_object(Connection& c, DLE_HANDLE dle, const Dblk& dblk) {
    return retcode_request(c, GRFS_CREATE_OBJ, dle, dblk);
}

Result<int16_t> set_object_info(Connection& c, DLE_HANDLE dle, const Dblk& dblk) {
    return retcode_request(c, GRFS_SET_OBJ_INFO, dle, dblk);
}

Result<int16_t> verify_object_info(Connection& c, DLE_HANDLE dle, const Dblk& dblk) {
    return retcode_request(c, GRFS_VERIFY_OBJ_INFO, dle, dblk);
}

Result<int16_t> delete_object(Connection& c, DLE_HANDLE dle, const Dblk& dblk) {
    return retcode_request(c, GRFS_DELETE_OBJ, dle, dblk);
}

Result<OpenInfo> open_object(Connection& c, DLE_HANDLE dle, const Dblk& dblk, uint16_t mode) {
    GRFS_MESSAGE& rq = begin(c, GRFS_OPEN_OBJ);
    rq.body.open_obj.dle_id = dle;
    rq.body.open_obj.mode = mode;
    dblk.to_record(&rq.body.open_obj.dblk);
    if (Status s = round_trip(c, {GRFS_RC_OPEN_WARNING}); !s.ok()) return s;
    const GRFS_MESSAGE& rp = c.reply_scratch();
    return OpenInfo{rp.body.open_obj_stat.obj_id, rp.hdr.retcode};
}

Status close_object(Connection& c, OBJ_HANDLE obj) {
    GRFS_MESSAGE& rq = begin(c, GRFS_CLOSE_OBJ);
    rq.body.close_obj.obj_id = obj;
    return round_trip(c);
}

Result<ReadPiece> read_piece(Connection& c, OBJ_HANDLE obj, uint64_t offset, uint32_t size) {
    GRFS_MESSAGE& rq = begin(c, GRFS_READ_OBJ_LARGE);
    rq.body.read_obj_large.obj_id = obj;
    rq.body.read_obj_large.size = size;
    rq.body.read_obj_large.offset = ToU64(offset);
    if (Status s = round_trip(c, {GRFS_RC_END_OF_DATA}); !s.ok()) return s;
    const GRFS_MESSAGE& rp = c.reply_scratch();
    ReadPiece piece;
    piece.retcode = rp.hdr.retcode;
    // A header-only reply carries no body at all.
    const auto& b = rp.body.read_obj_large_stat;
    piece.stream = b.stream_info;
    piece.blk_size = b.blk_size;
    if (b.size > static_cast<uint32_t>(GRFS_MSG_DATA_MAX))
        return make_error(ErrorKind::protocol, "read reply claims " + std::to_string(b.size) + " bytes");
    piece.data = std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(b.data), b.size);
    return piece;
}

Status read_object(Connection& c, OBJ_HANDLE obj, uint32_t piece_size,
                   const std::function<Status(const ReadPiece&)>& on_piece) {
    if (piece_size == 0) piece_size = GRFS_OBJECT_BUFFER_SIZE;
    uint64_t offset = 0;
    uint32_t size = piece_size;
    int stalls = 0;
    for (;;) {
        auto piece = read_piece(c, obj, offset, size);
        if (!piece.ok()) return piece.error();
        if (!piece->data.empty() || piece->stream.id != 0) {
            if (Status s = on_piece(*piece); !s.ok()) return s;
        }
        offset += piece->data.size();
        if (piece->retcode == GRFS_RC_END_OF_DATA) return {};
        if (!piece->data.empty()) {
            stalls = 0;
            size = piece_size;
            continue;
        }
        // No bytes: the agent wants a larger buffer for a stream that goes
        // out whole, or it has nothing and never says so.
        if (piece->blk_size > size && piece->blk_size <= static_cast<uint32_t>(GRFS_MSG_DATA_MAX) && stalls == 0) {
            size = piece->blk_size;
        } else if (++stalls > 2) {
            return make_error(ErrorKind::protocol, "reading makes no progress at offset " + std::to_string(offset) +
                                                       " (blk_size " + std::to_string(piece->blk_size) + ")");
        }
    }
}

std::function<Status(const ReadPiece&)> collect_streams(std::vector<StreamBytes>& streams) {
    return [&streams](const ReadPiece& piece) -> Status {
        if (piece.stream.id != 0 || streams.empty()) {
            streams.emplace_back();
            streams.back().header = piece.stream;
        }
        streams.back().bytes.insert(streams.back().bytes.end(), piece.data.begin(), piece.data.end());
        return {};
    };
}

Result<std::vector<StreamBytes>> read_object_streams(Connection& c, OBJ_HANDLE obj, uint32_t piece_size) {
    std::vector<StreamBytes> streams;
    Status s = read_object(c, obj, piece_size, collect_streams(streams));
    if (!s.ok()) return s;
    return streams;
}

Result<WriteReply> write_piece(Connection& c, OBJ_HANDLE obj, uint64_t offset, const GRFS_STREAM_INFO& stream,
                               std::span<const unsigned char> data) {
    if (data.size() > static_cast<size_t>(GRFS_MSG_DATA_MAX))
        return make_error(ErrorKind::usage, "write piece of " + std::to_string(data.size()) + " bytes is too large");
    GRFS_MESSAGE& rq = begin(c, GRFS_WRITE_OBJ_LARGE);
    auto& b = rq.body.write_obj_large;
    b.obj_id = obj;
    b.offset = ToU64(offset);
    b.stream_info = stream;
    b.size = static_cast<uint32_t>(data.size());
    if (!data.empty()) std::memcpy(b.data, data.data(), data.size());
    if (Status s = round_trip(c); !s.ok()) return s;
    const auto& r = c.reply_scratch().body.write_obj_large_stat;
    return WriteReply{r.size, r.blk_size};
}

Status verify_echo(Connection& c, uint16_t size) {
    if (size > GRFS_MSG_DATA_MAX) return make_error(ErrorKind::usage, "echo size too large");
    GRFS_MESSAGE& rq = begin(c, GRFS_VERIFY_OBJ);
    rq.body.write_obj.size = size;
    std::memset(rq.body.write_obj.data, 0, size);
    if (Status s = round_trip(c); !s.ok()) return s;
    const auto& r = c.reply_scratch().body.write_obj_stat;
    if (r.size != size)
        return make_error(ErrorKind::protocol, "verify echo answered " + std::to_string(r.size) + " bytes for " +
                                                   std::to_string(size));
    return {};
}

}  // namespace grfs_client
