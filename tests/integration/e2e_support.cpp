#include "e2e_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "grfs/dates.h"

extern char** environ;

namespace e2e {

std::string ProcessResult::describe() const {
    std::ostringstream s;
    if (signal != 0)
        s << "killed by signal " << signal;
    else
        s << "exit status " << status;
    s << "\n--- standard output ---\n" << out << "--- standard error ---\n" << err;
    return s.str();
}

pid_t spawn_grfsclient(const std::vector<std::string>& args, const std::string& out_path,
                       const std::string& err_path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err_path == out_path)
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
    std::vector<std::string> all = {"grfsclient"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, GRFSCLIENT_BINARY, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

ProcessResult run_grfsclient(const std::vector<std::string>& args) {
    ProcessResult result;
    std::string templ = (std::filesystem::temp_directory_path() / "grfsclient-out-XXXXXX").string();
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) return result;
    const std::string dir = buf.data();
    const std::string out_path = dir + "/out", err_path = dir + "/err";

    const pid_t pid = spawn_grfsclient(args, out_path, err_path);
    if (pid > 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    }
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return result;
}

std::string agent_host_port(const agent_it::AgentProcess& agent) {
    return agent.address() + ":" + std::to_string(agent.port());
}

std::vector<std::string> session_args(const agent_it::AgentProcess& agent) {
    return {"--workstation", agent.workstation(), "--timeout", "120"};
}

std::vector<std::string> with_session(std::vector<std::string> args, const agent_it::AgentProcess& agent) {
    for (const auto& a : session_args(agent)) args.push_back(a);
    return args;
}

grfs_client::Result<grfs_client::Peer> connect_peer(const agent_it::AgentProcess& agent, const std::string& dle,
                                                    uint16_t attach_reason) {
    grfs_client::PeerOptions options;
    options.endpoint.host = agent.address();
    options.endpoint.port = agent.port();
    options.workstation_names = {agent.workstation()};
    options.attach.reason = attach_reason;
    options.connect.reply_timeout_ms = 120000;
    auto peer = grfs_client::Peer::connect(options);
    if (!peer.ok()) return peer.error();
    if (auto s = peer->attach(dle); !s.ok()) return s;
    return peer;
}

grfs_client::Peer expect_peer(const agent_it::AgentProcess& agent, const std::string& dle, uint16_t attach_reason) {
    auto peer = connect_peer(agent, dle, attach_reason);
    EXPECT_TRUE(peer.ok()) << peer.error().text;
    return std::move(*peer);
}

namespace {

std::optional<grfs_client::Dblk> entry_named(grfs_client::Peer& peer, const std::string& dir, const std::string& name,
                                             bool must_be_there) {
    auto listing = peer.list_directory(dir);
    EXPECT_TRUE(listing.ok()) << listing.error().text;
    if (!listing.ok()) return std::nullopt;
    for (const auto& d : *listing) {
        if (d.text() == name || d.base_name() == name) return d;
    }
    if (must_be_there) ADD_FAILURE() << name << " not listed in '" << dir << "'";
    return std::nullopt;
}

}  // namespace

std::optional<grfs_client::Dblk> listed(grfs_client::Peer& peer, const std::string& dir, const std::string& name) {
    return entry_named(peer, dir, name, false);
}

std::optional<grfs_client::Dblk> find_listed(grfs_client::Peer& peer, const std::string& dir, const std::string& name) {
    return entry_named(peer, dir, name, true);
}

bool request_reads_unread(grfs_client::Peer& peer, const std::string& name, int count) {
    auto dblk = find_listed(peer, "", name);
    if (!dblk) return false;
    grfs_client::Connection& c = peer.connection();
    auto opened = grfs_client::open_object(c, peer.dle_id(), *dblk, GRFS_OPEN_READ);
    EXPECT_TRUE(opened.ok()) << opened.error().text;
    if (!opened.ok()) return false;
    for (int i = 0; i < count; ++i) {
        GRFS_MESSAGE& rq = c.request_scratch();
        rq.hdr = GRFS_MSG_HEADER{};
        rq.hdr.msg_type = GRFS_READ_OBJ_LARGE;
        rq.hdr.request_id = static_cast<uint32_t>(1000 + i);
        rq.body.read_obj_large.obj_id = opened->obj_id;
        rq.body.read_obj_large.size = GRFS_OBJECT_BUFFER_SIZE;
        rq.body.read_obj_large.offset = U64_Init(0, 0);
        if (!c.send(rq).ok()) return false;
    }
    return true;
}

std::string export_line(const std::string& path, const std::string& resource, const std::string& options) {
    return "export " + path + " as " + resource + (options.empty() ? "" : " " + options) + "\n";
}

agent_it::AgentConfig export_config(const std::string& path, const std::string& resource) {
    agent_it::AgentConfig config;
    config.extra_lines = export_line(path, resource);
    return config;
}

std::string zero_padded(int i, int width) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*d", width, i);
    return text;
}

LoadedArchive load_archive(grfs_client::ArchiveReader& reader) {
    LoadedArchive loaded;
    for (;;) {
        grfs_client::ArchivedObject object;
        auto more = reader.next(object);
        if (!more.ok()) {
            loaded.error = more.error().text;
            return loaded;
        }
        if (!*more) break;
        loaded.objects.push_back(std::move(object));
    }
    loaded.ok = true;
    return loaded;
}

uint32_t expected_gen_attr(const struct stat& st) {
    uint32_t attr = 0x20;
    if (S_ISDIR(st.st_mode)) attr |= 0x10;
    if ((st.st_mode & (S_IRUSR | S_IRGRP | S_IROTH)) == 0) attr |= 0x01;
    return attr;
}

DATE_TIME std_date(time_t t) {
    DATE_TIME d{};
    ConvertToStdDate(&d, t);
    return d;
}

bool same_date(const DATE_TIME& a, const DATE_TIME& b) {
    return a.date_valid == b.date_valid && a.year == b.year && a.month == b.month && a.day == b.day &&
           a.hour == b.hour && a.minute == b.minute && a.second == b.second && a.day_of_week == b.day_of_week;
}

std::string date_text(const DATE_TIME& d) {
    char text[64];
    std::snprintf(text, sizeof text, "%s%04u-%02u-%02u %02u:%02u:%02u (weekday %u)", d.date_valid ? "" : "invalid ",
                  d.year, d.month, d.day, d.hour, d.minute, d.second, d.day_of_week);
    return text;
}

std::string printable(const std::string& path) {
    std::string out;
    for (unsigned char c : path) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

std::string local_address(int fd) {
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &sin.sin_addr, text, sizeof text);
    return text;
}

std::string local_endpoint(int fd) {
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
    return local_address(fd) + ":" + std::to_string(ntohs(sin.sin_port));
}

size_t occurrences(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

std::string acl_xattr_value(std::initializer_list<std::array<uint32_t, 3>> entries) {
    std::string v;
    auto le = [&v](uint32_t x, int n) {
        for (int i = 0; i < n; ++i) v.push_back(static_cast<char>(x >> (8 * i)));
    };
    le(2, 4);
    for (const auto& [tag, perm, id] : entries) {
        le(tag, 2);
        le(perm, 2);
        le(id, 4);
    }
    return v;
}

}  // namespace e2e
