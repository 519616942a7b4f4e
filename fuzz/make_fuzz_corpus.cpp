// Writes the seed corpus of the fuzz targets: valid requests of every type,
// built as host records and encoded with the agent's own coder.
//   make_fuzz_corpus <dir>   writes <dir>/decode_request/ and <dir>/session/
// The session seeds name the objects of the tree the session target lays out
// (fuzz_export_tree.h): a backup walk, a restore of every kind of object,
// the streams a restore collects, and requests that try to leave the export.
#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "grfs/dblk.h"
#include "grfs/messages.h"
#include "grfs/xdr.h"
#include "unixfs/session/credentials.h"

namespace {

using Bytes = std::vector<unsigned char>;
using namespace fuzz_input;

constexpr uint32_t kStreamStandard = 0x4E415453;
constexpr uint32_t kStreamUnixEa = 0x554E324F;
constexpr uint32_t kStreamSolX86Acl = 0x4C434149;
constexpr uint32_t kStreamLinuxXattr = 0x5441584C;

void put_le(std::string* s, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) s->push_back(static_cast<char>(v >> (8 * i)));
}

// An ACL stream of this (little-endian) host: count, then {type, id, perm}.
std::string acl_stream(std::initializer_list<std::array<uint32_t, 3>> entries) {
    std::string s;
    put_le(&s, static_cast<uint32_t>(entries.size()), 4);
    for (const auto& e : entries) {
        put_le(&s, e[0], 4);
        put_le(&s, e[1], 4);
        put_le(&s, e[2], 2);
        put_le(&s, 0, 2);
    }
    return s;
}

// An LXAT stream of one attribute.
std::string lxat_stream(const std::string& name, const std::string& value) {
    std::string s;
    put_le(&s, 1, 4);
    put_le(&s, static_cast<uint32_t>(name.size()), 2);
    put_le(&s, static_cast<uint32_t>(value.size()), 4);
    return s + name + value;
}

std::unique_ptr<GRFS_MESSAGE> message(uint8_t type, uint32_t request_id) {
    auto m = std::make_unique<GRFS_MESSAGE>();
    std::memset(m.get(), 0, sizeof *m);
    m->hdr.msg_type = type;
    m->hdr.request_id = request_id;
    return m;
}

// The bytes that travel: header and stated body, encoded by the coder (the
// padding a layout states beyond its coded fields stays zero).
Bytes encode(GRFS_MESSAGE* m, int body) {
    Bytes out(static_cast<size_t>(body) + GRFS_MSG_HEADER_SIZE + 100, 0);
    GRFS_XDR xdr{};
    grfs_set_xdr_direction(&xdr, GRFS_XDR_ENCODE);
    grfs_set_xdr_buffer(&xdr, out.data(), static_cast<int>(out.size()));
    int stated = grfs_xdr_message(&xdr, m, body);
    out.resize(static_cast<size_t>(stated) + GRFS_MSG_HEADER_SIZE);
    return out;
}

struct Info {
    uint32_t mode = 0100644;
    uint64_t size = 0;
    uint64_t ino = 0;
    uint32_t nlink = 1;
    uint32_t rdev = 0;
};

// The fixed part both block types share: find information at 176, one date
// for all three; returns the block's bytes for the variable area.
uint8_t* start_dblk(GRFS_GEN_DBLK* d, uint8_t type, uint32_t gen_attr) {
    std::memset(d, 0, sizeof *d);
    d->dblk_type = type;
    d->find_info = 176;
    d->find_info_size = 4;
    d->gen_attr = gen_attr;
    DATE_TIME t{1, 2020, 5, 17, 12, 30, 0, 0};
    d->creation_time = t;
    d->access_time = t;
    d->modified_time = t;
    return dblk_bytes(d);
}

// The Unix information fields a file and a directory fill alike; marks the
// block as carrying it.
template <class OsInfo>
void start_unix_info(GRFS_GEN_DBLK* d, OsInfo* os, const Info* info) {
    d->os_id = DBLK_OS_ID_UNIX;
    d->os_ver = DBLK_OS_VER_UNIX;
    os->st_dev = 1;
    os->st_mode = info->mode;
    os->os_info_version = kOsInfoVersion;
    os->st_ino = ToU64(info->ino);
    os->st_nlink = info->nlink;
}

// A file DBLK as the agent lays out its own: find information at 176, the
// name at 180, the versioned Unix information behind it.
void file_dblk(GRFS_GEN_DBLK* d, const std::string& name, const Info* info) {
    uint8_t* b = start_dblk(d, FDB_ID, 0x20);
    std::memcpy(b + 180, name.c_str(), name.size() + 1);
    d->type_part.fdb.name = 180;
    d->type_part.fdb.os_name = 180;
    size_t end = 180 + name.size() + 1;
    if (info != nullptr) {
        UNIX_FILE_OS_INFO os{};
        start_unix_info(d, &os, info);
        os.st_rdev = info->rdev;
        os.st_size = ToU64(info->size);
        std::memcpy(b + end, &os, sizeof os);
        d->os_spec_info = static_cast<uint16_t>(end);
        d->os_spec_size = sizeof os;
        end += sizeof os;
        d->size = ToU64(info->size);
    }
    d->min_ddb_info = 176;
    d->min_ddb_size = static_cast<uint16_t>(4 + name.size() + 1);
    d->dblk_actual_size = static_cast<uint16_t>(end);
}

void dir_dblk(GRFS_GEN_DBLK* d, const std::string& path, const Info* info) {
    uint8_t* b = start_dblk(d, DDB_ID, 0x30);
    const auto len = static_cast<uint16_t>(path.size() + 1);
    std::memcpy(b + 180, path.c_str(), len);
    d->type_part.ddb.path = 180;
    d->type_part.ddb.os_path = 180;
    d->type_part.ddb.path_leng = len;
    d->type_part.ddb.os_path_leng = len;
    size_t end = 180 + len;
    if (info != nullptr) {
        UNIX_DIR_OS_INFO os{};
        start_unix_info(d, &os, info);
        os.access_date = d->access_time;
        os.dir_path_offset = 56;
        os.dir_path_length = len;
        std::memcpy(b + end, &os, sizeof os);
        std::memcpy(b + end + sizeof os, path.c_str(), len);
        d->os_spec_info = static_cast<uint16_t>(end);
        d->os_spec_size = static_cast<uint16_t>(sizeof os + len);
        end += sizeof os + len;
    }
    d->dblk_actual_size = static_cast<uint16_t>(end);
}

// ---- requests ----

Bytes attach(const std::string& name, const std::string& password, uint16_t reason, uint32_t parent = 0) {
    auto m = message(GRFS_ATTACH_DLE, 1);
    auto& b = m->body.attach_dle;
    std::strncpy(b.dle_name, name.c_str(), sizeof b.dle_name - 1);
    std::strncpy(b.password, password.c_str(), sizeof b.password - 1);
    GRFSEncrypt(b.dle_name, b.password, GRFS_DLE_NAME_SIZE);
    b.parent = parent;
    b.reason = reason;
    b.bsize = GRFS_OBJECT_BUFFER_SIZE;
    std::strncpy(b.user, "backup", sizeof b.user - 1);
    return encode(m.get(), 316);
}

Bytes dle_req(uint8_t type, uint32_t id = 0) {
    auto m = message(type, 2);
    m->body.dle_req.dle_id = id;
    return encode(m.get(), 4);
}

Bytes find_first(uint16_t find_type, const std::string& pattern) {
    auto m = message(GRFS_FIND_FIRST_OBJ, 3);
    m->body.find_first_obj.find_type = find_type;
    std::strncpy(m->body.find_first_obj.search_name, pattern.c_str(), GRFS_SEARCH_NAME_MAX);
    int count = static_cast<int>(pattern.size() + 1 > GRFS_SEARCH_NAME_MAX ? GRFS_SEARCH_NAME_MAX : pattern.size() + 1);
    return encode(m.get(), count + 8);
}

Bytes dblk_req(uint8_t type, const GRFS_GEN_DBLK& d) {
    auto m = message(type, 4);
    std::memcpy(&m->body.dblk_req.dblk, &d, sizeof d);
    return encode(m.get(), d.dblk_actual_size + 4);
}

Bytes open_obj(uint16_t mode, const GRFS_GEN_DBLK& d) {
    auto m = message(GRFS_OPEN_OBJ, 5);
    m->body.open_obj.mode = mode;
    std::memcpy(&m->body.open_obj.dblk, &d, sizeof d);
    return encode(m.get(), d.dblk_actual_size + 8);
}

Bytes read_obj(uint16_t size, uint32_t offset) {
    auto m = message(GRFS_READ_OBJ, 6);
    m->body.read_obj.size = size;
    m->body.read_obj.offset = offset;
    return encode(m.get(), 12);
}

Bytes read_large(uint32_t size, uint64_t offset) {
    auto m = message(GRFS_READ_OBJ_LARGE, 7);
    m->body.read_obj_large.size = size;
    m->body.read_obj_large.offset = ToU64(offset);
    return encode(m.get(), 16);
}

Bytes write_obj(uint8_t type, uint32_t stream, const std::string& data, uint32_t offset = 0) {
    auto m = message(type, 8);
    auto& b = m->body.write_obj;
    b.offset = offset;
    b.stream_info.id = stream;
    b.stream_info.size = ToU64(data.size());
    b.size = static_cast<uint16_t>(data.size());
    std::memcpy(b.data, data.data(), data.size());
    return encode(m.get(), static_cast<int>(data.size()) + 28);
}

Bytes write_large(uint8_t type, uint32_t stream, const std::string& data, uint64_t offset = 0) {
    auto m = message(type, 9);
    auto& b = m->body.write_obj_large;
    b.offset = ToU64(offset);
    b.stream_info.id = stream;
    b.stream_info.size = ToU64(data.size());
    b.size = static_cast<uint32_t>(data.size());
    std::memcpy(b.data, data.data(), data.size());
    return encode(m.get(), static_cast<int>(data.size()) + 32);
}

Bytes seek_obj(uint32_t n) {
    auto m = message(GRFS_SEEK_OBJ, 10);
    m->body.seek_obj.offset = n;
    return encode(m.get(), 8);
}

Bytes seek_large(uint64_t n) {
    auto m = message(GRFS_SEEK_OBJ_LARGE, 11);
    m->body.seek_obj_large.offset = ToU64(n);
    return encode(m.get(), 12);
}

Bytes close_obj() {
    auto m = message(GRFS_CLOSE_OBJ, 12);
    return encode(m.get(), 4);
}

// net_path: components each followed by a zero byte; one zero byte for the root.
Bytes change_dir(const std::string& path) {
    auto m = message(GRFS_CHANGE_DIR, 13);
    auto& b = m->body.change_dir;
    std::string net;
    size_t start = 0;
    while (start <= path.size() && !path.empty()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        net.append(path, start, slash - start);
        net.push_back('\0');
        start = slash + 1;
    }
    if (net.empty()) net.push_back('\0');
    b.size = static_cast<int16_t>(net.size());
    std::memcpy(b.net_path, net.data(), net.size());
    return encode(m.get(), static_cast<int>(net.size()) + 9);
}

Bytes get_info() {
    auto m = message(GRFS_GET_INFO, 14);
    return encode(m.get(), 16);
}

Bytes header_only(uint8_t type) {
    auto m = message(type, 15);
    return encode(m.get(), 0);
}

// ---- output ----

void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::perror(path.c_str());
        std::exit(1);
    }
}

class Sequence {
  public:
    Sequence& add(const Bytes& request, uint8_t control = kHandleNone) {
        bytes_.push_back(control);
        bytes_.push_back(static_cast<unsigned char>(request.size() & 0xFF));
        bytes_.push_back(static_cast<unsigned char>(request.size() >> 8));
        bytes_.insert(bytes_.end(), request.begin(), request.end());
        return *this;
    }
    // Workstation attach, then the DLE attach under it.
    Sequence& attach_export(uint16_t reason) {
        add(attach("FUZZWS", "", 0));
        return add(attach("FUZZDLE", "", reason, 0), kHandleWorkstation);
    }
    const Bytes& bytes() const { return bytes_; }

  private:
    Bytes bytes_;
};

constexpr uint16_t kReasonRestore = 0x4;

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    const std::string one = root + "/decode_request";
    const std::string seq = root + "/session";
    mkdir(root.c_str(), 0755);
    mkdir(one.c_str(), 0755);
    mkdir(seq.c_str(), 0755);

    auto dblk = std::make_unique<GRFS_GEN_DBLK>();
    auto dir = std::make_unique<GRFS_GEN_DBLK>();
    Info file_info;
    file_info.size = 5;
    file_info.ino = 77;
    file_dblk(dblk.get(), "data.txt", &file_info);
    Info dir_info;
    dir_info.mode = 040755;
    dir_info.ino = 78;
    dir_info.nlink = 2;
    dir_dblk(dir.get(), "sub/deeper", &dir_info);

    // One request of every type.
    struct Named {
        const char* name;
        Bytes bytes;
    };
    std::vector<Named> singles = {
        {"01_attach_workstation", attach("FUZZWS", "SECRET", 0)},
        {"01_attach_dle", attach("FUZZDLE", "", kReasonRestore, 0x00010001)},
        {"02_find_first_dle", dle_req(GRFS_FIND_FIRST_DLE, 1)},
        {"03_find_next_dle", dle_req(GRFS_FIND_NEXT_DLE, 1)},
        {"04_detach_dle", dle_req(GRFS_DETACH_DLE, 2)},
        {"05_find_first_obj", find_first(0, "*")},
        {"05_find_first_obj_dirs", find_first(1, "sub")},
        {"06_find_next_obj", dblk_req(GRFS_FIND_NEXT_OBJ, *dblk)},
        {"07_find_close", dblk_req(GRFS_FIND_CLOSE, *dblk)},
        {"08_create_file", dblk_req(GRFS_CREATE_OBJ, *dblk)},
        {"08_create_dir", dblk_req(GRFS_CREATE_OBJ, *dir)},
        {"09_open_read", open_obj(GRFS_OPEN_READ, *dblk)},
        {"09_open_dir", open_obj(GRFS_OPEN_VERIFY, *dir)},
        {"10_read", read_obj(512, 0)},
        {"11_write", write_obj(GRFS_WRITE_OBJ, kStreamStandard, "hello")},
        {"12_seek", seek_obj(1000)},
        {"13_verify", write_obj(GRFS_VERIFY_OBJ, kStreamStandard, "hello")},
        {"14_close", close_obj()},
        {"15_delete", dblk_req(GRFS_DELETE_OBJ, *dblk)},
        {"16_get_obj_info", dblk_req(GRFS_GET_OBJ_INFO, *dblk)},
        {"17_verify_obj_info", dblk_req(GRFS_VERIFY_OBJ_INFO, *dblk)},
        {"18_change_dir", change_dir("sub/deeper")},
        {"18_change_dir_root", change_dir("")},
        {"19_get_cur_ddb", dle_req(GRFS_GET_CUR_DDB, 2)},
        {"20_set_obj_info", dblk_req(GRFS_SET_OBJ_INFO, *dblk)},
        {"21_unserved_enum_first", header_only(GRFS_ENUM_SPECIAL_FIRST)},
        {"22_unserved_enum_next", header_only(GRFS_ENUM_SPECIAL_NEXT)},
        {"23_unserved_exclude", header_only(GRFS_SPECIAL_EXCLUDE)},
        {"24_prepare_dblk", dblk_req(GRFS_PREPARE_DBLK, *dir)},
        {"25_read_large", read_large(31744, 0)},
        {"26_write_large", write_large(GRFS_WRITE_OBJ_LARGE, kStreamStandard, "large data")},
        {"27_seek_large", seek_large(100)},
        {"28_verify_large", write_large(GRFS_VERIFY_OBJ_LARGE, kStreamStandard, "large data")},
        {"29_get_info", get_info()},
        {"99_unknown_type", header_only(99)},
    };
    for (const Named& n : singles) write_file(one + "/" + n.name, n.bytes);

    // A backup walk: list the DLEs, walk the root and a subdirectory, read a
    // file to its end, a symbolic link, verify, detach.
    {
        Sequence s;
        s.add(get_info());
        s.add(attach("FUZZWS", "", 0));
        s.add(dle_req(GRFS_FIND_FIRST_DLE), kHandleWorkstation);
        s.add(dle_req(GRFS_FIND_NEXT_DLE), kHandleWorkstation);
        s.add(attach("FUZZDLE", "", 0), kHandleWorkstation);
        s.add(dle_req(GRFS_GET_CUR_DDB), kHandleDle);
        s.add(find_first(0, "*"), kHandleDle);
        for (int i = 0; i < 4; ++i) s.add(dblk_req(GRFS_FIND_NEXT_OBJ, *dblk), kHandleDle | kPatchSearch);
        s.add(dblk_req(GRFS_FIND_CLOSE, *dblk), kHandleDle | kPatchSearch);
        s.add(dblk_req(GRFS_GET_OBJ_INFO, *dblk), kHandleDle);
        s.add(open_obj(GRFS_OPEN_READ, *dblk), kHandleDle);
        s.add(read_obj(2, 0), kHandleObject);
        s.add(read_obj(2048, 2), kHandleObject);
        s.add(read_obj(2048, 5), kHandleObject);
        s.add(close_obj(), kHandleObject);
        s.add(dblk_req(GRFS_VERIFY_OBJ_INFO, *dblk), kHandleDle);
        s.add(change_dir("sub"), kHandleDle);
        s.add(find_first(1, "*.*"), kHandleDle);
        s.add(dblk_req(GRFS_FIND_NEXT_OBJ, *dblk), kHandleDle | kPatchSearch);
        s.add(change_dir(""), kHandleDle);
        Info link{0120777, 22, 90, 1};
        auto l = std::make_unique<GRFS_GEN_DBLK>();
        file_dblk(l.get(), "link_rel", &link);
        s.add(open_obj(GRFS_OPEN_READ, *l), kHandleDle);
        s.add(read_large(100, 0), kHandleObject);
        s.add(close_obj(), kHandleObject);
        s.add(dle_req(GRFS_DETACH_DLE), kHandleDle);
        s.add(dle_req(GRFS_DETACH_DLE), kHandleWorkstation);
        write_file(seq + "/backup_walk", s.bytes());
        // The same with every trace on and links to directories followed.
        Bytes traced = s.bytes();
        traced[0] |= kTraceAll | kFollowSymdirs;
        write_file(seq + "/backup_walk_traced", traced);
    }
    // Reading a large file with seeks, plain and large forms, two objects open.
    {
        Sequence s;
        s.attach_export(0);
        Info big{0100644, 40000, 79, 1};
        auto b = std::make_unique<GRFS_GEN_DBLK>();
        file_dblk(b.get(), "big.bin", &big);
        s.add(open_obj(GRFS_OPEN_READ, *b), kHandleDle);
        s.add(open_obj(GRFS_OPEN_VERIFY, *dblk), kHandleDle);
        s.add(read_large(31744, 0), kHandleObject | (1 << kAgeShift));
        s.add(seek_obj(100), kHandleObject | (1 << kAgeShift));
        s.add(seek_large(5000), kHandleObject | (1 << kAgeShift));
        s.add(read_obj(8000, 31844), kHandleObject | (1 << kAgeShift));
        s.add(write_obj(GRFS_VERIFY_OBJ, kStreamStandard, "abc"), kHandleObject);
        s.add(write_large(GRFS_VERIFY_OBJ_LARGE, kStreamStandard, "abc"), kHandleObject);
        s.add(read_obj(100, 0), kHandleObject);
        s.add(close_obj(), kHandleObject);
        s.add(close_obj(), kHandleObject | (1 << kAgeShift));
        write_file(seq + "/read_seek", s.bytes());
    }
    // A restore of a file, a directory, a symbolic link, a hard-linked pair,
    // a FIFO; then verify and delete.
    {
        Sequence s;
        s.attach_export(kReasonRestore);
        Info f{0100640, 11, 100, 1};
        auto fd = std::make_unique<GRFS_GEN_DBLK>();
        file_dblk(fd.get(), "restored.txt", &f);
        s.add(dblk_req(GRFS_PREPARE_DBLK, *fd), kHandleDle);
        s.add(dblk_req(GRFS_CREATE_OBJ, *fd), kHandleDle);
        s.add(open_obj(GRFS_OPEN_WRITE, *fd), kHandleDle);
        s.add(write_obj(GRFS_WRITE_OBJ, kStreamStandard, "hello "), kHandleObject);
        s.add(write_large(GRFS_WRITE_OBJ_LARGE, 0, "world"), kHandleObject);
        s.add(dblk_req(GRFS_SET_OBJ_INFO, *fd), kHandleDle);
        s.add(close_obj(), kHandleObject);
        s.add(dblk_req(GRFS_VERIFY_OBJ_INFO, *fd), kHandleDle);

        Info d{040750, 0, 101, 2};
        auto dd = std::make_unique<GRFS_GEN_DBLK>();
        dir_dblk(dd.get(), "newdir/a/b", &d);
        s.add(dblk_req(GRFS_CREATE_OBJ, *dd), kHandleDle);
        s.add(open_obj(GRFS_OPEN_WRITE, *dd), kHandleDle);
        s.add(close_obj(), kHandleObject);
        s.add(dblk_req(GRFS_SET_OBJ_INFO, *dd), kHandleDle);

        Info l{0120777, 9, 102, 1};
        auto ld = std::make_unique<GRFS_GEN_DBLK>();
        file_dblk(ld.get(), "newlink", &l);
        std::string ea;
        const std::string name = "newlink", target = "data.txt";
        uint32_t len = static_cast<uint32_t>(4 + name.size() + 1 + target.size() + 1);
        ea.append(reinterpret_cast<const char*>(&len), 4);
        ea += name;
        ea.push_back('\0');
        ea += target;
        ea.push_back('\0');
        s.add(dblk_req(GRFS_CREATE_OBJ, *ld), kHandleDle);
        s.add(open_obj(GRFS_OPEN_WRITE, *ld), kHandleDle);
        s.add(write_obj(GRFS_WRITE_OBJ, kStreamUnixEa, ea), kHandleObject);
        s.add(close_obj(), kHandleObject);
        s.add(dblk_req(GRFS_SET_OBJ_INFO, *ld), kHandleDle);

        Info h{0100600, 4, 103, 2};
        auto h1 = std::make_unique<GRFS_GEN_DBLK>();
        auto h2 = std::make_unique<GRFS_GEN_DBLK>();
        file_dblk(h1.get(), "hard1", &h);
        file_dblk(h2.get(), "hard2", &h);
        s.add(dblk_req(GRFS_CREATE_OBJ, *h1), kHandleDle);
        s.add(dblk_req(GRFS_CREATE_OBJ, *h2), kHandleDle);

        Info p{010644, 0, 104, 1};
        auto pd = std::make_unique<GRFS_GEN_DBLK>();
        file_dblk(pd.get(), "newpipe", &p);
        s.add(dblk_req(GRFS_CREATE_OBJ, *pd), kHandleDle);
        s.add(open_obj(GRFS_OPEN_WRITE, *pd), kHandleDle);

        s.add(dblk_req(GRFS_DELETE_OBJ, *h2), kHandleDle);
        s.add(dblk_req(GRFS_DELETE_OBJ, *dd), kHandleDle);
        write_file(seq + "/restore_kinds", s.bytes());
        Bytes traced = s.bytes();
        traced[0] |= kTraceAll;
        write_file(seq + "/restore_kinds_traced", traced);
    }
    // The streams a restore collects and applies (the session target runs
    // with posix_acls and xattrs): a directory's access and default ACL,
    // its extended attributes and a stray link record; the export root's
    // ACL, which is never set; an ACL and attributes written to a
    // directory whose export was detached after its open.
    {
        Sequence s;
        s.attach_export(kReasonRestore);
        Info d{040750, 0, 300, 2};
        auto sd = std::make_unique<GRFS_GEN_DBLK>();
        auto rd = std::make_unique<GRFS_GEN_DBLK>();
        dir_dblk(sd.get(), "sub", &d);
        dir_dblk(rd.get(), "", &d);
        const std::string acl = acl_stream({{0x01, 0, 7}, {0x02, 65534, 7}, {0x04, 0, 5}, {0x10, 0, 7}, {0x20, 0, 5},
                                            {0x1001, 0, 7}, {0x1004, 0, 5}, {0x1020, 0, 5}});
        const std::string lxat = lxat_stream("user.fuzz", "value");
        s.add(open_obj(GRFS_OPEN_WRITE, *sd), kHandleDle);
        s.add(write_large(GRFS_WRITE_OBJ_LARGE, kStreamSolX86Acl, acl), kHandleObject);
        s.add(write_large(GRFS_WRITE_OBJ_LARGE, kStreamLinuxXattr, lxat), kHandleObject);
        s.add(write_obj(GRFS_WRITE_OBJ, kStreamUnixEa, "link"), kHandleObject);
        s.add(close_obj(), kHandleObject);
        s.add(open_obj(GRFS_OPEN_WRITE, *rd), kHandleDle);
        s.add(write_obj(GRFS_WRITE_OBJ, kStreamSolX86Acl, acl), kHandleObject);
        s.add(close_obj(), kHandleObject);
        s.add(open_obj(GRFS_OPEN_WRITE, *sd), kHandleDle);
        s.add(dle_req(GRFS_DETACH_DLE), kHandleDle);
        s.add(write_obj(GRFS_WRITE_OBJ, kStreamSolX86Acl, acl), kHandleObject);
        s.add(write_obj(GRFS_WRITE_OBJ, kStreamLinuxXattr, lxat), kHandleObject);
        s.add(close_obj(), kHandleObject);
        write_file(seq + "/restore_streams", s.bytes());
    }
    // Requests that try to reach outside the export: dot-dot names and
    // paths, absolute names, planted links, a change of directory upward.
    {
        Sequence s;
        s.attach_export(kReasonRestore);
        Info f{0100666, 3, 200, 1};
        const char* names[] = {"../sentinel/secret.txt", "/tmp/escape", "link_rel", "link_dir/x", "sub/up/secret.txt", ".."};
        for (const char* n : names) {
            auto e = std::make_unique<GRFS_GEN_DBLK>();
            file_dblk(e.get(), n, &f);
            s.add(dblk_req(GRFS_CREATE_OBJ, *e), kHandleDle);
            s.add(open_obj(GRFS_OPEN_WRITE, *e), kHandleDle);
            s.add(write_obj(GRFS_WRITE_OBJ, kStreamStandard, "pwn"), kHandleObject);
            s.add(close_obj(), kHandleObject);
            s.add(dblk_req(GRFS_SET_OBJ_INFO, *e), kHandleDle);
            s.add(dblk_req(GRFS_DELETE_OBJ, *e), kHandleDle);
        }
        Info d{040777, 0, 201, 2};
        const char* dirs[] = {"../sentinel/dir", "link_dir", "sub/up/dir", "/tmp"};
        for (const char* n : dirs) {
            auto e = std::make_unique<GRFS_GEN_DBLK>();
            dir_dblk(e.get(), n, &d);
            s.add(dblk_req(GRFS_CREATE_OBJ, *e), kHandleDle);
            s.add(dblk_req(GRFS_SET_OBJ_INFO, *e), kHandleDle);
            s.add(dblk_req(GRFS_DELETE_OBJ, *e), kHandleDle);
        }
        s.add(change_dir("link_dir"), kHandleDle);
        s.add(change_dir(".."), kHandleDle);
        s.add(find_first(0, "*"), kHandleDle);
        write_file(seq + "/escape_attempts", s.bytes());
    }
    // Odd requests inside a session: unserved types, stale handles, verify
    // answered without an object.
    {
        Sequence s;
        s.attach_export(0);
        s.add(header_only(GRFS_ENUM_SPECIAL_FIRST));
        s.add(header_only(GRFS_ENUM_SPECIAL_NEXT));
        s.add(header_only(GRFS_SPECIAL_EXCLUDE));
        s.add(header_only(0));
        s.add(header_only(200));
        s.add(write_obj(GRFS_VERIFY_OBJ, kStreamStandard, "x"));
        s.add(dle_req(GRFS_DETACH_DLE), kHandleDle);
        s.add(dle_req(GRFS_DETACH_DLE), kHandleDle);
        s.add(dle_req(GRFS_GET_CUR_DDB), kHandleDle);
        s.add(read_obj(10, 0), kHandleObject);
        write_file(seq + "/odd_requests", s.bytes());
    }
    return 0;
}
