#include "client/dblk_info.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "grfs/xdr.h"
#include "util/uint64.h"

namespace grfs_client {

namespace {

// The longest directory path a block holds: the text travels twice, with
// the find information and the Unix information beside it.
constexpr size_t kMaxPath = (kMaxDblkSize - GRFS_DBLK_NET_SIZE - 64 - kUnixDirOsInfoSize) / 2 - 1;

GRFS_GEN_DBLK& scratch_record() {
    thread_local std::unique_ptr<GRFS_GEN_DBLK> record = std::make_unique<GRFS_GEN_DBLK>();
    return *record;
}


bool has_unix_info(const GRFS_GEN_DBLK& d) {
    return d.os_id == DBLK_OS_ID_UNIX && d.os_ver == DBLK_OS_VER_UNIX && d.os_spec_info != 0;
}

// Either Unix information record, by the fields both hold.
template <class Info>
UnixInfo unix_info_of(const Info& info) {
    return UnixInfo{.present = true, .mode = info.st_mode, .uid = info.st_uid, .gid = info.st_gid,
                    .dev = info.st_dev, .rdev = info.st_rdev, .nlink = info.st_nlink,
                    .ino = AsU64(info.st_ino), .version = info.os_info_version};
}

void put16(unsigned char* p, uint16_t v) { std::memcpy(p, &v, sizeof v); }

}  // namespace

std::string join_path(std::string_view dir, std::string_view name) {
    if (dir.empty()) return std::string(name);
    if (name.empty()) return std::string(dir);
    std::string out(dir);
    if (out.back() != '/') out += '/';
    out += name;
    return out;
}

std::string strip_slashes(std::string_view path) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    return std::string(path);
}

std::vector<unsigned char> dblk_to_wire(const GRFS_GEN_DBLK& record) {
    GRFS_GEN_DBLK& copy = scratch_record();
    copy_dblk(&copy, &record);
    const size_t size = dblk_extent(&copy);
    std::vector<unsigned char> wire(std::max(size, static_cast<size_t>(GRFS_DBLK_NET_SIZE)));
    GRFS_XDR xdr{};
    grfs_set_xdr_direction(&xdr, GRFS_XDR_ENCODE);
    grfs_set_xdr_buffer(&xdr, wire.data(), static_cast<int>(wire.size()));
    grfs_xdr_GRFS_GEN_DBLK(&xdr, &copy);
    return wire;
}

Result<Dblk> Dblk::from_wire(std::span<const unsigned char> wire) {
    if (wire.size() < static_cast<size_t>(GRFS_DBLK_NET_SIZE) || wire.size() > sizeof(GRFS_GEN_DBLK))
        return make_error(ErrorKind::protocol, "DBLK of " + std::to_string(wire.size()) + " bytes");
    GRFS_GEN_DBLK& record = scratch_record();
    std::memset(&record, 0, sizeof record);
    GRFS_XDR xdr{};
    grfs_set_xdr_direction(&xdr, GRFS_XDR_DECODE);
    grfs_set_xdr_buffer(&xdr, const_cast<unsigned char*>(wire.data()), static_cast<int>(wire.size()));
    const int size = grfs_xdr_GRFS_GEN_DBLK(&xdr, &record);
    if (grfs_xdr_failed(&xdr) || size != static_cast<int>(wire.size()))
        return make_error(ErrorKind::protocol, "DBLK states " + std::to_string(size) + " bytes, holds " +
                                                   std::to_string(wire.size()));
    Dblk d;
    d.wire_.assign(wire.begin(), wire.end());
    d.take_fields(record);
    return d;
}

Dblk Dblk::from_record(const GRFS_GEN_DBLK& record) {
    Dblk d;
    d.wire_ = dblk_to_wire(record);
    d.take_fields(record);
    return d;
}

void Dblk::to_record(GRFS_GEN_DBLK* record) const {
    std::memset(record, 0, GRFS_DBLK_NET_SIZE);
    GRFS_XDR xdr{};
    grfs_set_xdr_direction(&xdr, GRFS_XDR_DECODE);
    grfs_set_xdr_buffer(&xdr, const_cast<unsigned char*>(wire_.data()), static_cast<int>(wire_.size()));
    grfs_xdr_GRFS_GEN_DBLK(&xdr, record);
}

void Dblk::take_fields(const GRFS_GEN_DBLK& r) {
    type_ = r.dblk_type;
    size_ = AsU64(r.size);
    gen_attr_ = r.gen_attr;
    modified_ = r.modified_time;
    accessed_ = r.access_time;
    const char* text = nullptr;
    if (type_ == DDB_ID) text = dblk_text_at(&r, r.type_part.ddb.path);
    if (type_ == FDB_ID) text = dblk_text_at(&r, r.type_part.fdb.name);
    text_ = text != nullptr ? text : "";
    unix_ = UnixInfo{};
    if (!has_unix_info(r)) return;
    if (type_ == DDB_ID) {
        UNIX_DIR_OS_INFO info{};
        FillDirInfoFromDblk(&info, &r);
        unix_ = unix_info_of(info);
    } else {
        UNIX_FILE_OS_INFO info{};
        FillFileInfoFromDblk(&info, &r);
        unix_ = unix_info_of(info);
    }
}

std::string Dblk::base_name() const {
    auto slash = text_.rfind('/');
    return slash == std::string::npos ? text_ : text_.substr(slash + 1);
}

bool Dblk::is_symlink() const { return unix_.present && S_ISLNK(unix_.mode); }
bool Dblk::is_regular() const { return is_file() && (!unix_.present || S_ISREG(unix_.mode)); }
bool Dblk::is_fifo_or_socket() const { return unix_.present && (S_ISFIFO(unix_.mode) || S_ISSOCK(unix_.mode)); }
bool Dblk::is_device() const { return unix_.present && (S_ISCHR(unix_.mode) || S_ISBLK(unix_.mode)); }

Result<Dblk> with_directory_path(const Dblk& directory, std::string_view path) {
    if (!directory.is_directory()) return make_error(ErrorKind::usage, "not a directory block");
    if (path.size() > kMaxPath)
        return make_error(ErrorKind::usage, "path longer than a directory block holds (" + std::to_string(kMaxPath) +
                                                " bytes): " + std::string(path));
    auto in = std::make_unique<GRFS_GEN_DBLK>();
    directory.to_record(in.get());
    auto out = std::make_unique<GRFS_GEN_DBLK>();
    std::memset(out.get(), 0, sizeof *out);
    std::memcpy(out.get(), in.get(), GRFS_DBLK_NET_SIZE);
    unsigned char* o = dblk_bytes(out.get());
    const unsigned char* i = dblk_bytes(in.get());
    const size_t in_end = dblk_extent(in.get());

    size_t pos = GRFS_DBLK_NET_SIZE;
    // The find information stays where the agent put it, in front.
    if (in->find_info == GRFS_DBLK_NET_SIZE && in->find_info_size <= 64 &&
        in->find_info + in->find_info_size <= in_end) {
        std::memcpy(o + pos, i + in->find_info, in->find_info_size);
        pos += in->find_info_size;
    } else {
        out->find_info = 0;
        out->find_info_size = 0;
    }
    const uint16_t path_leng = static_cast<uint16_t>(path.size() + 1);
    out->type_part.ddb.path = out->type_part.ddb.os_path = static_cast<uint16_t>(pos);
    out->type_part.ddb.path_leng = out->type_part.ddb.os_path_leng = path_leng;
    std::memcpy(o + pos, path.data(), path.size());
    o[pos + path.size()] = 0;
    pos += path_leng;

    out->os_spec_info = 0;
    out->os_spec_size = 0;
    if (has_unix_info(*in)) {
        int info_size = static_cast<int>(in->os_spec_size) - static_cast<int>(in->type_part.ddb.path_leng);
        if (info_size > kUnixDirOsInfoSize) info_size = kUnixDirOsInfoSize;
        if (info_size >= kUnixDirOsInfoOldSize && in->os_spec_info + static_cast<size_t>(info_size) <= in_end) {
            std::memcpy(o + pos, i + in->os_spec_info, static_cast<size_t>(info_size));
            put16(o + pos + offsetof(UNIX_DIR_OS_INFO, dir_path_offset), static_cast<uint16_t>(info_size));
            put16(o + pos + offsetof(UNIX_DIR_OS_INFO, dir_path_length), path_leng);
            out->os_spec_info = static_cast<uint16_t>(pos);
            pos += static_cast<size_t>(info_size);
            std::memcpy(o + pos, path.data(), path.size());
            o[pos + path.size()] = 0;
            pos += path_leng;
            out->os_spec_size = static_cast<uint16_t>(info_size + path_leng);
        }
    }
    out->dblk_actual_size = static_cast<uint16_t>(pos);
    out->min_ddb_info = out->find_info;
    out->min_ddb_size = static_cast<uint16_t>(out->find_info_size + path_leng);
    return Dblk::from_record(*out);
}

Dblk minimal_directory(std::string_view path) {
    auto r = std::make_unique<GRFS_GEN_DBLK>();
    std::memset(r.get(), 0, sizeof *r);
    r->dblk_type = DDB_ID;
    r->gen_attr = 0x30;
    r->find_info = GRFS_DBLK_NET_SIZE;
    r->find_info_size = 4;
    const size_t n = std::min(path.size(), kMaxPath);
    const uint16_t pos = GRFS_DBLK_NET_SIZE + 4;
    std::memcpy(dblk_bytes(r.get()) + pos, path.data(), n);
    r->type_part.ddb.path = r->type_part.ddb.os_path = pos;
    r->type_part.ddb.path_leng = r->type_part.ddb.os_path_leng = static_cast<uint16_t>(n + 1);
    r->dblk_actual_size = static_cast<uint16_t>(pos + n + 1);
    r->min_ddb_info = r->find_info;
    r->min_ddb_size = static_cast<uint16_t>(4 + n + 1);
    return Dblk::from_record(*r);
}

}  // namespace grfs_client
