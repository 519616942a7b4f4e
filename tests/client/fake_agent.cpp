#include "fake_agent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "grfs/dates.h"
#include "grfs/dblk.h"

namespace fake {

namespace {

constexpr uint32_t kStan = 0x4E415453;
constexpr uint32_t kEa = 0x554E324F;

std::string parent_of(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}
std::string base_of(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
std::string join(const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    return a + "/" + b;
}
uint64_t u64(const UINT64& v) { return (static_cast<uint64_t>(v.msw) << 32) | v.lsw; }
UINT64 make_u64(uint64_t v) { return UINT64{static_cast<uint32_t>(v), static_cast<uint32_t>(v >> 32)}; }

// A block laid out as the agent lays it out: find information at 176, the
// text at 180, the Unix information behind it (and a directory's path copy).
void fill_dblk(GRFS_GEN_DBLK& r, const Node& n, const std::string& text, uint32_t handle) {
    std::memset(&r, 0, GRFS_DBLK_NET_SIZE + 1024);
    r.os_id = 20;
    ConvertToStdDate(&r.modified_time, n.mtime);
    ConvertToStdDate(&r.access_time, n.mtime);
    ConvertToStdDate(&r.creation_time, n.mtime);
    r.size = make_u64(n.directory ? 4096 : (S_ISLNK(n.mode) ? n.target.size() : n.data.size()));
    r.gen_attr = 0x20 | (n.directory ? 0x10 : 0);
    r.os_info_complete = 1;
    r.find_info = 176;
    r.find_info_size = 4;
    unsigned char* b = dblk_bytes(&r);
    std::memcpy(b + 176, &handle, 4);
    const uint16_t L = static_cast<uint16_t>(text.size());
    std::memcpy(b + 180, text.c_str(), L + 1);
    const uint16_t info = static_cast<uint16_t>(181 + L);
    r.os_spec_info = info;
    if (n.directory) {
        r.dblk_type = DDB_ID;
        r.type_part.ddb.path = r.type_part.ddb.os_path = 180;
        r.type_part.ddb.path_leng = r.type_part.ddb.os_path_leng = static_cast<uint16_t>(L + 1);
        UNIX_DIR_OS_INFO d{};
        d.st_mode = n.mode;
        d.st_uid = n.uid;
        d.st_gid = n.gid;
        d.dir_path_offset = 56;
        d.dir_path_length = static_cast<uint16_t>(L + 1);
        d.os_info_version = 1;
        d.st_ino = make_u64(n.ino);
        d.st_nlink = n.nlink;
        std::memcpy(b + info, &d, sizeof d);
        std::memcpy(b + info + 56, text.c_str(), L + 1);
        r.os_spec_size = static_cast<uint16_t>(56 + L + 1);
        r.dblk_actual_size = static_cast<uint16_t>(info + 56 + L + 1);
    } else {
        r.dblk_type = FDB_ID;
        r.type_part.fdb.name = r.type_part.fdb.os_name = 180;
        UNIX_FILE_OS_INFO f{};
        f.st_mode = n.mode;
        f.st_uid = n.uid;
        f.st_gid = n.gid;
        f.st_size = r.size;
        f.os_info_version = 1;
        f.st_ino = make_u64(n.ino);
        f.st_nlink = n.nlink;
        std::memcpy(b + info, &f, sizeof f);
        r.os_spec_size = 56;
        r.dblk_actual_size = static_cast<uint16_t>(info + 56);
    }
    r.min_ddb_info = 176;
    r.min_ddb_size = static_cast<uint16_t>(4 + L + 1);
}

std::string ea_record(const std::string& name, const std::string& target) {
    uint32_t length = static_cast<uint32_t>(4 + name.size() + 1 + target.size() + 1);
    std::string r(reinterpret_cast<const char*>(&length), 4);
    r += name;
    r += '\0';
    r += target;
    r += '\0';
    return r;
}

struct Search {
    std::vector<std::string> names;
    size_t next = 0;
};

struct OpenObject {
    std::string path;
    uint16_t mode = 0;
    std::vector<std::pair<uint32_t, std::string>> streams;  // for reading
    uint64_t pos = 0;
    uint32_t cur_stream = 0;
    std::string ea;
    bool ea_refused = false;
};

}  // namespace

bool write_all(int fd, const void* bytes, size_t n) {
    const char* p = static_cast<const char*>(bytes);
    while (n > 0) {
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool read_exact(int fd, void* bytes, size_t n) {
    char* p = static_cast<char*>(bytes);
    while (n > 0) {
        ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

int accept_one(int listen_fd) {
    pollfd p{listen_fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return -1;
    return ::accept(listen_fd, nullptr, nullptr);
}

FakeAgent::FakeAgent() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_fd_, 4);
    socklen_t len = sizeof a;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    add_dir("");
}

FakeAgent::~FakeAgent() {
    wait();
    ::close(listen_fd_);
}

void FakeAgent::wait() {
    if (thread_.joinable()) thread_.join();
}

void FakeAgent::add_file(const std::string& path, const std::string& data, uint32_t mode) {
    Node n;
    n.mode = mode;
    n.data = data;
    n.ino = next_ino_++;
    tree[path] = n;
}

void FakeAgent::add_dir(const std::string& path, uint32_t mode) {
    Node n;
    n.directory = true;
    n.mode = mode;
    n.nlink = 2;
    n.ino = next_ino_++;
    tree[path] = n;
}

void FakeAgent::add_link(const std::string& path, const std::string& target) {
    Node n;
    n.mode = S_IFLNK | 0777;
    n.target = target;
    n.ino = next_ino_++;
    tree[path] = n;
}

void FakeAgent::add_fifo(const std::string& path) {
    Node n;
    n.mode = S_IFIFO | 0600;
    n.ino = next_ino_++;
    tree[path] = n;
}

void FakeAgent::run(std::function<void(int fd)> body) {
    thread_ = std::thread([this, body = std::move(body)] {
        int fd = accept_one(listen_fd_);
        if (fd < 0) return;
        body(fd);
        ::close(fd);
    });
}

void FakeAgent::serve_raw(std::function<void(int fd)> script) { run(std::move(script)); }

void FakeAgent::serve() {
    run([this](int fd) { session(fd); });
}

void FakeAgent::session(int fd) {
    unsigned char open_request[513];
    if (!read_exact(fd, open_request, sizeof open_request)) return;
    unsigned char open_reply[514] = {};
    if (!write_all(fd, open_reply, sizeof open_reply)) return;

    auto rq = std::make_unique<GRFS_MESSAGE>();
    auto rp = std::make_unique<GRFS_MESSAGE>();
    std::vector<unsigned char> in, out(70000);
    std::string cwd;
    std::map<uint32_t, Search> searches;
    std::map<uint32_t, OpenObject> objects;
    uint32_t next_handle = 1;
    size_t dle_cursor = 0;

    auto children = [&](const std::string& dir) {
        std::vector<std::string> names;
        for (const auto& [path, node] : tree)
            if (!path.empty() && parent_of(path) == dir) names.push_back(base_of(path));
        return names;
    };
    auto dblk_text = [](const GRFS_GEN_DBLK& d) -> std::string {
        const char* t = d.dblk_type == DDB_ID ? dblk_text_at(&d, d.type_part.ddb.path) : dblk_text_at(&d, d.type_part.fdb.name);
        return t ? t : "";
    };
    auto path_of = [&](const GRFS_GEN_DBLK& d) {
        return d.dblk_type == DDB_ID ? dblk_text(d) : join(cwd, dblk_text(d));
    };

    for (;;) {
        unsigned char header[4];
        if (!read_exact(fd, header, 4)) return;
        if (header[0] == 1) return;  // the server ends the session
        const size_t size = header[2] | (header[3] << 8);
        in.resize(size);
        if (!read_exact(fd, in.data(), size)) return;
        if (grfs_decode_request(in, rq.get()) != GRFS_CODE_COMPLETE) return;
        const uint8_t type = rq->hdr.msg_type;
        request_types.push_back(type);
        std::memset(rp.get(), 0, sizeof(GRFS_MSG_HEADER) + 512);
        rp->hdr.msg_type = static_cast<uint8_t>(type + 64);
        rp->hdr.request_id = rq->hdr.request_id;
        int16_t rc = 0;
        auto& b = rq->body;
        switch (type) {
        case GRFS_ATTACH_DLE: {
            char name[128], password[128];
            std::memcpy(name, b.attach_dle.dle_name, 128);
            std::memcpy(password, b.attach_dle.password, 128);
            // Unscramble as the agent does.
            auto sum = [](const char* f) {
                uint16_t s = 0;
                for (int i = 0; i < 128; ++i) s = static_cast<uint16_t>(s + static_cast<unsigned char>(f[i]));
                return s;
            };
            auto xor_words = [](char* f, uint16_t k) {
                for (int i = 0; i < 128; i += 2) {
                    f[i] = static_cast<char>(f[i] ^ (k & 0xFF));
                    f[i + 1] = static_cast<char>(f[i + 1] ^ (k >> 8));
                }
            };
            xor_words(name, sum(password));
            xor_words(password, sum(name));
            attach_names.emplace_back(name, strnlen(name, 128));
            attach_passwords.emplace_back(password, strnlen(password, 128));
            attach_reasons.push_back(b.attach_dle.reason);
            const bool workstation_attach = b.attach_dle.parent == 0;
            const bool known = workstation_attach ? attach_names.back() == workstation
                                                  : std::find(dles.begin(), dles.end(), attach_names.back()) != dles.end();
            const std::string& wanted = workstation_attach ? workstation_password : dle_password;
            if (!known || (!wanted.empty() && attach_passwords.back() != wanted)) {
                rc = GRFS_RC_ACCESS_DENIED;
                break;
            }
            auto& r = rp->body.attach_dle_stat;
            r.dle_id = workstation_attach ? 1 : 2;
            r.max_connects = 1;
            r.opens_per_connect = 1;
            r.dle_capability = 0xC;
            r.max_obj_bsize = std::min<uint16_t>(b.attach_dle.bsize, max_obj_bsize);
            r.supports_children = workstation_attach;
            r.path_len = 1;
            cwd.clear();
            break;
        }
        case GRFS_FIND_FIRST_DLE:
        case GRFS_FIND_NEXT_DLE: {
            rp->hdr.msg_type = GRFS_FIND_DLE_STAT;
            if (type == GRFS_FIND_FIRST_DLE) dle_cursor = 0;
            if (dle_cursor >= dles.size()) {
                rc = GRFS_RC_NOT_FOUND;
                dle_cursor = 0;
                break;
            }
            auto& r = rp->body.find_dle_stat;
            std::strncpy(r.dle_name, dles[dle_cursor].c_str(), sizeof r.dle_name - 1);
            r.path_delim = '/';
            r.password_req = !dle_password.empty();
            r.writable = 1;
            r.os_id = 20;
            r.more = dle_cursor + 1 < dles.size();
            ++dle_cursor;
            break;
        }
        case GRFS_DETACH_DLE:
            break;
        case GRFS_CHANGE_DIR: {
            // As the agent builds it: from byte 1 when the first byte is
            // zero, n - 1 bytes, zero bytes becoming '/'.
            std::string path;
            const int n = b.change_dir.size;
            const int from = n > 0 && b.change_dir.net_path[0] == 0 ? 1 : 0;
            for (int i = from; i < from + n - 1; ++i) path += b.change_dir.net_path[i] == 0 ? '/' : b.change_dir.net_path[i];
            while (!path.empty() && path.back() == '/') path.pop_back();
            auto it = tree.find(path);
            if (n > 0 && (it == tree.end() || !it->second.directory)) {
                rc = GRFS_RC_CHANGE_DIR_FAILED;
                break;
            }
            if (n > 0) cwd = path;
            log.push_back("CD " + cwd);
            break;
        }
        case GRFS_GET_CUR_DDB:
            fill_dblk(rp->body.dblk_stat.dblk, tree[cwd], cwd, 0);
            break;
        case GRFS_FIND_FIRST_OBJ:
        case GRFS_FIND_NEXT_OBJ: {
            rp->hdr.msg_type = GRFS_FIND_OBJ_STAT;
            uint32_t handle = 0;
            if (type == GRFS_FIND_FIRST_OBJ) {
                handle = next_handle++;
                searches[handle] = Search{children(cwd), 0};
                max_live_searches = std::max(max_live_searches, searches.size());
            } else {
                std::memcpy(&handle, dblk_bytes(&b.dblk_req.dblk) + 176, 4);
            }
            auto it = searches.find(handle);
            if (it == searches.end() || it->second.next >= it->second.names.size()) {
                if (it != searches.end()) searches.erase(it);
                rc = GRFS_RC_NOT_FOUND;
                break;
            }
            const std::string name = it->second.names[it->second.next++];
            // A directory's path is made from the current directory, as the
            // agent makes it: a server must be back in the search's
            // directory before it resumes the search.
            const std::string path = join(cwd, name);
            const Node& node = tree[join(cwd, name)];
            rp->body.find_obj_stat.more = 1;
            fill_dblk(rp->body.find_obj_stat.dblk, node, node.directory ? path : name, handle);
            break;
        }
        case GRFS_FIND_CLOSE:
            break;
        case GRFS_PREPARE_DBLK:
            copy_dblk(&rp->body.dblk_stat.dblk, &b.dblk_req.dblk);
            break;
        case GRFS_CREATE_OBJ: {
            const GRFS_GEN_DBLK& d = b.dblk_req.dblk;
            const std::string path = path_of(d);
            log.push_back("CREATE " + path);
            UNIX_FILE_OS_INFO info{};
            FillFileInfoFromDblk(&info, &d);
            if (d.dblk_type == DDB_ID) {
                // Make every missing level.
                size_t start = 0;
                while (start <= path.size() && !path.empty()) {
                    size_t slash = path.find('/', start);
                    std::string level = path.substr(0, slash);
                    if (!tree.count(level)) add_dir(level);
                    if (slash == std::string::npos) break;
                    start = slash + 1;
                }
            } else if (!tree.count(parent_of(path))) {
                rc = GRFS_RC_NO_SUCH_FILE;
            } else {
                Node n;
                n.mode = info.st_mode;
                n.ino = next_ino_++;
                tree[path] = n;
            }
            break;
        }
        case GRFS_OPEN_OBJ: {
            const GRFS_GEN_DBLK& d = b.open_obj.dblk;
            const std::string path = path_of(d);
            auto it = tree.find(path);
            if (it == tree.end()) {
                rc = GRFS_RC_NO_SUCH_FILE;
                break;
            }
            if (S_ISFIFO(it->second.mode)) {
                rc = 1;
                break;
            }
            OpenObject o;
            o.path = path;
            o.mode = b.open_obj.mode;
            if (o.mode != GRFS_OPEN_WRITE) {
                if (S_ISREG(it->second.mode) && !it->second.data.empty()) o.streams.emplace_back(kStan, it->second.data);
                if (S_ISLNK(it->second.mode)) o.streams.emplace_back(kEa, ea_record(base_of(path), it->second.target));
            } else if (S_ISREG(it->second.mode)) {
                it->second.data.clear();
            }
            const uint32_t handle = next_handle++;
            objects[handle] = o;
            log.push_back(std::string("OPEN ") + (o.mode == GRFS_OPEN_WRITE ? "W " : "R ") + path);
            rp->body.open_obj_stat.obj_id = handle;
            copy_dblk(&rp->body.open_obj_stat.dblk, &d);
            break;
        }
        case GRFS_READ_OBJ_LARGE: {
            auto it = objects.find(b.read_obj_large.obj_id);
            auto& r = rp->body.read_obj_large_stat;
            r.blk_size = 1;
            if (it == objects.end()) {
                rc = GRFS_RC_BAD_OBJ_HANDLE;
                break;
            }
            OpenObject& o = it->second;
            uint64_t total = 0, start = 0;
            for (auto& s : o.streams) total += s.second.size();
            if (o.pos >= total) {
                rc = GRFS_RC_END_OF_DATA;
                break;
            }
            for (auto& [id, bytes] : o.streams) {
                if (o.pos < start + bytes.size()) {
                    if (o.pos == start) {
                        r.stream_info.id = id;
                        r.stream_info.size = make_u64(bytes.size());
                    }
                    const uint64_t n = std::min<uint64_t>(b.read_obj_large.size, start + bytes.size() - o.pos);
                    std::memcpy(r.data, bytes.data() + (o.pos - start), n);
                    r.size = static_cast<uint32_t>(n);
                    o.pos += n;
                    break;
                }
                start += bytes.size();
            }
            if (o.pos == total) rc = GRFS_RC_END_OF_DATA;
            break;
        }
        case GRFS_WRITE_OBJ_LARGE: {
            auto it = objects.find(b.write_obj_large.obj_id);
            auto& r = rp->body.write_obj_large_stat;
            r.blk_size = 1;
            if (it == objects.end()) {
                rc = GRFS_RC_BAD_OBJ_HANDLE;
                break;
            }
            OpenObject& o = it->second;
            if (b.write_obj_large.stream_info.id != 0) o.cur_stream = b.write_obj_large.stream_info.id;
            uint32_t n = b.write_obj_large.size;
            if (o.cur_stream == kEa && ea_blk_size != 0 && !o.ea_refused && n < ea_blk_size) {
                o.ea_refused = true;
                r.size = 0;
                r.blk_size = ea_blk_size;
                log.push_back("REFUSE " + std::to_string(n));
                break;
            }
            if (max_consume != 0) n = std::min(n, max_consume);
            if (o.cur_stream == kStan) tree[o.path].data.append(b.write_obj_large.data, n);
            if (o.cur_stream == kEa) o.ea.append(b.write_obj_large.data, n);
            r.size = n;
            break;
        }
        case GRFS_CLOSE_OBJ: {
            auto it = objects.find(b.close_obj.obj_id);
            if (it == objects.end()) {
                rc = GRFS_RC_BAD_OBJ_HANDLE;
                break;
            }
            if (!it->second.ea.empty()) {
                const std::string& ea = it->second.ea;
                const size_t name_end = ea.find('\0', 4);
                Node& n = tree[it->second.path];
                n.mode = S_IFLNK | 0777;
                n.target = ea.substr(name_end + 1, ea.find('\0', name_end + 1) - name_end - 1);
            }
            log.push_back("CLOSE " + it->second.path);
            objects.erase(it);
            break;
        }
        case GRFS_SET_OBJ_INFO: {
            const GRFS_GEN_DBLK& d = b.dblk_req.dblk;
            const std::string path = path_of(d);
            log.push_back("SETINFO " + path);
            auto it = tree.find(path);
            if (it == tree.end()) {
                rc = GRFS_RC_NO_SUCH_FILE;
                break;
            }
            UNIX_FILE_OS_INFO info{};
            FillFileInfoFromDblk(&info, &d);
            it->second.mode = info.st_mode;
            it->second.uid = info.st_uid;
            it->second.gid = info.st_gid;
            it->second.mtime = ConvertFromStdDate(&d.modified_time, nullptr);
            it->second.info_set = true;
            break;
        }
        case GRFS_GET_OBJ_INFO: {
            const GRFS_GEN_DBLK& d = b.dblk_req.dblk;
            auto it = tree.find(path_of(d));
            if (it == tree.end()) {
                rc = GRFS_RC_NOT_FOUND;
                break;
            }
            fill_dblk(rp->body.dblk_stat.dblk, it->second, dblk_text(d), 0);
            break;
        }
        case GRFS_VERIFY_OBJ_INFO: {
            const GRFS_GEN_DBLK& d = b.dblk_req.dblk;
            auto it = tree.find(path_of(d));
            if (it == tree.end()) {
                rc = GRFS_RC_BAD_OBJ_HANDLE;
                break;
            }
            const Node& n = it->second;
            const uint64_t size = n.directory ? 4096 : (S_ISLNK(n.mode) ? n.target.size() : n.data.size());
            if (size != u64(d.size)) rc = GRFS_RC_VERIFY_MISMATCH;
            break;
        }
        case GRFS_VERIFY_OBJ:
            rp->body.write_obj_stat.size = b.write_obj.size;
            rp->body.write_obj_stat.blk_size = 1;
            break;
        default:
            rc = GRFS_RC_INVALID_REQUEST;
            break;
        }
        rp->hdr.retcode = rc;
        GRFS_XDR xdr{};
        grfs_set_xdr_direction(&xdr, GRFS_XDR_ENCODE);
        grfs_set_xdr_buffer(&xdr, out.data() + 4, static_cast<int>(out.size() - 4));
        const int length = grfs_xdr_message(&xdr, rp.get(), 1);
        const int total = 8 + length;
        out[0] = 0;
        out[1] = 0;
        out[2] = static_cast<unsigned char>(total & 0xFF);
        out[3] = static_cast<unsigned char>(total >> 8);
        if (!write_all(fd, out.data(), static_cast<size_t>(total + 4))) return;
    }
}

}  // namespace fake
