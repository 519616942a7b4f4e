#include "agent_process.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

#include "file_text.h"

namespace agent_it {

namespace {

constexpr const char* kReadyLine = "Vestrel Agent ready to service requests.";
constexpr int kFirstHost = 100;  // 127.0.0.100 ..
constexpr int kLastHost = 250;   // .. 127.0.0.250

using Clock = std::chrono::steady_clock;

using e2e::read_file;
using e2e::write_file;

// A file of /proc, read with plain calls: the process may vanish while it
// is read, which is an empty text here, not an exception.
std::string read_proc_file(const std::string& path) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buf[1024];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

// Fields of /proc/<pid>/stat after the command name: state, ppid, pgrp.
bool read_stat(pid_t pid, char* state, pid_t* ppid, pid_t* pgrp) {
    std::string text = read_proc_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream rest(text.substr(close + 1));
    char s = 0;
    long parent = 0, group = 0;
    if (!(rest >> s >> parent >> group)) return false;
    if (state != nullptr) *state = s;
    if (ppid != nullptr) *ppid = static_cast<pid_t>(parent);
    if (pgrp != nullptr) *pgrp = static_cast<pid_t>(group);
    return true;
}

std::vector<pid_t> all_processes() {
    std::vector<pid_t> out;
    DIR* d = opendir("/proc");
    if (d == nullptr) return out;
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        long n = std::strtol(e->d_name, &end, 10);
        if (end != e->d_name && *end == '\0' && n > 0) out.push_back(static_cast<pid_t>(n));
    }
    closedir(d);
    return out;
}

}  // namespace

UniqueFd ClaimAdvertisementAddress(std::string* address) {
    const int span = kLastHost - kFirstHost + 1;
    const int start = static_cast<int>(getpid()) % span;
    for (int i = 0; i < span; ++i) {
        int host = kFirstHost + (start + i) % span;
        std::string dotted = "127.0.0." + std::to_string(host);
        UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(AdvertisementPort());
        inet_pton(AF_INET, dotted.c_str(), &sin.sin_addr);
        if (bind(fd.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) continue;
        if (listen(fd.get(), 16) != 0) continue;
        *address = dotted;
        return fd;
    }
    return UniqueFd();
}

namespace {

std::string upper_name(const std::string& name) {
    std::string out = name;
    for (char& c : out) c = std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::toupper(c)) : '_';
    return out;
}

// Reads until the peer closes or timeout_ms pass without data.
std::vector<unsigned char> read_until_close(int fd, int timeout_ms) {
    std::vector<unsigned char> out;
    unsigned char buf[1024];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

int session_counter = 0;

}  // namespace

std::vector<unsigned char> AcceptAdvertisement(int listen_fd, int timeout_ms) {
    pollfd p{listen_fd, POLLIN, 0};
    if (poll(&p, 1, std::max(timeout_ms, 1)) != 1) return {};
    UniqueFd conn(accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn.valid()) return {};
    return read_until_close(conn.get(), 5000);
}

uint16_t AdvertisementPort() {
    servent* s = getservbyname("grfs", "tcp");
    return s != nullptr ? ntohs(static_cast<uint16_t>(s->s_port)) : 6101;
}

bool WaitUntil(const std::function<bool()>& condition, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (condition()) return true;
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::vector<pid_t> ProcessGroupMembers(pid_t pgid) {
    std::vector<pid_t> out;
    for (pid_t p : all_processes()) {
        pid_t group = 0;
        if (read_stat(p, nullptr, nullptr, &group) && group == pgid) out.push_back(p);
    }
    return out;
}

char ProcessState(pid_t pid) {
    char state = 0;
    return read_stat(pid, &state, nullptr, nullptr) ? state : 0;
}

pid_t ParentOf(pid_t pid) {
    pid_t ppid = 0;
    return read_stat(pid, nullptr, &ppid, nullptr) ? ppid : 0;
}

std::string AgentExit::describe() const {
    std::ostringstream s;
    if (exited)
        s << "listener exited with " << code;
    else if (signal != 0)
        s << "listener killed by signal " << signal;
    else
        s << "listener still running";
    for (const auto& [pid, status] : others) {
        s << "; process " << pid;
        if (WIFEXITED(status))
            s << " exited with " << WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            s << " killed by signal " << WTERMSIG(status);
    }
    if (!left.empty()) {
        s << "; left behind:";
        for (pid_t p : left) s << " " << p << "(" << ProcessState(p) << ")";
    }
    return s.str();
}

AgentProcess::AgentProcess(AgentConfig config) : config_(std::move(config)) {}

AgentProcess::~AgentProcess() {
    if (pid_ > 0 && (!reaped_ || !ProcessGroupMembers(pid_).empty())) {
        AgentExit e = Stop(SIGTERM, 5000);
        if (!e.left.empty()) {
            kill(-pid_, SIGKILL);
            collect(5000);
        }
    }
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

::testing::AssertionResult AgentProcess::Start() {
    // Session processes whose listener dies come to us, so that their end
    // can be seen and nothing is left unreaped.
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    std::string templ = (std::filesystem::temp_directory_path() / "agent-it-XXXXXX").string();
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) return ::testing::AssertionFailure() << "mkdtemp failed";
    dir_ = buf.data();
    export_dir_ = dir_ + "/data";
    std::filesystem::create_directories(export_dir_ + "/sub");
    write_file(export_dir_ + "/hello.txt", "hello, world\n");

    advert_listener_ = ClaimAdvertisementAddress(&address_);
    if (!advert_listener_.valid())
        return ::testing::AssertionFailure() << "no free loopback address for the advertisement port";

    workstation_ = config_.workstation.empty()
                       ? "IT" + std::to_string(getpid()) + "N" + std::to_string(++session_counter)
                       : config_.workstation;
    resource_name_ = (config_.password.empty() ? "2044" : "2045") + upper_name(workstation_);
    WriteConfig(config_);
    const std::string cfg_path = config_path();

    const std::string out_path = dir_ + "/stdout", err_path = dir_ + "/stderr";
    pid_ = fork();
    if (pid_ < 0) return ::testing::AssertionFailure() << "fork failed";
    if (pid_ == 0) {
        setpgid(0, 0);
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || chdir(dir_.c_str()) != 0) _exit(127);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        std::vector<std::string> args = {"agent", "-c", cfg_path};
        args.insert(args.end(), config_.args.begin(), config_.args.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(AGENT_BINARY, argv.data());
        _exit(127);
    }
    setpgid(pid_, pid_);

    bool ended = false;
    bool ready = WaitUntil(
        [&] {
            if (waitpid(pid_, &status_, WNOHANG) == pid_) {
                reaped_ = true;
                ended = true;
                return true;
            }
            return Stderr().find(kReadyLine) != std::string::npos;
        },
        15000);
    if (!ready || ended)
        return ::testing::AssertionFailure() << (ended ? "the agent ended before it was ready" : "no ready line")
                                             << "; standard error:\n"
                                             << Stderr();
    auto got = receive_advertisement(15000);
    if (!got) return got;
    WaitUntil([&] { return !Children().empty(); }, 5000);
    std::vector<pid_t> children = Children();
    if (children.size() != 1)
        return ::testing::AssertionFailure() << "expected the advertisement process alone, found "
                                             << children.size() << " children";
    advertiser_ = children[0];
    return ::testing::AssertionSuccess();
}

void AgentProcess::WriteConfig(const AgentConfig& config, const std::string& tell, const std::string& force) const {
    std::string cfg = "name " + workstation_ + "\n";
    if (!config.password.empty()) cfg += "password " + config.password + "\n";
    cfg += "export " + export_dir_ + " as DATA" +
           (config.export_options.empty() ? "" : " " + config.export_options) + "\n";
    cfg += "tell " + (tell.empty() ? address_ : tell) + "\n";
    cfg += "tell_interval " + std::to_string(config.tell_interval) + "\n";
    cfg += "force_address " + (force.empty() ? address_ : force) + "\n";
    cfg += "nrl_conn_timeout " + std::to_string(config.conn_timeout) + "\n";
    cfg += config.extra_lines;
    write_file(config_path(), cfg);
}

::testing::AssertionResult AgentProcess::receive_advertisement(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < deadline) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        std::vector<unsigned char> bytes = AcceptAdvertisement(advert_listener_.get(), left);
        if (bytes.empty() && Clock::now() >= deadline) break;
        // Offset 6: the resource name. Someone else's agent is ignored.
        if (bytes.size() < 7) continue;
        std::string name(reinterpret_cast<const char*>(bytes.data() + 6),
                         strnlen(reinterpret_cast<const char*>(bytes.data() + 6), bytes.size() - 6));
        if (name != resource_name_) continue;
        size_t at = 6 + name.size() + 1;
        if (at >= bytes.size()) return ::testing::AssertionFailure() << "advertisement cut after the name";
        std::string uaddr(reinterpret_cast<const char*>(bytes.data() + at),
                          strnlen(reinterpret_cast<const char*>(bytes.data() + at), bytes.size() - at));
        unsigned a, b, c, d, hi, lo;
        if (std::sscanf(uaddr.c_str(), "%u.%u.%u.%u.%u.%u", &a, &b, &c, &d, &hi, &lo) != 6 || hi > 255 || lo > 255)
            return ::testing::AssertionFailure() << "bad universal address \"" << uaddr << "\"";
        if (uaddr.rfind(address_ + ".", 0) != 0)
            return ::testing::AssertionFailure() << "advertised " << uaddr << ", expected " << address_;
        advertisement_ = bytes;
        port_ = static_cast<uint16_t>(hi * 256 + lo);
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "no advertisement of " << resource_name_ << " on " << address_;
}

sockaddr_in AgentProcess::session_address() const {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port_);
    inet_pton(AF_INET, address_.c_str(), &sin.sin_addr);
    return sin;
}

std::string AgentProcess::Stdout() const { return read_file(dir_ + "/stdout"); }
std::string AgentProcess::Stderr() const { return read_file(dir_ + "/stderr"); }

bool AgentProcess::WaitForStderr(const std::string& needle, int timeout_ms) const {
    return WaitUntil([&] { return Stderr().find(needle) != std::string::npos; }, timeout_ms);
}

std::vector<pid_t> AgentProcess::Children() const {
    std::vector<pid_t> out;
    for (pid_t p : ProcessGroupMembers(pid_)) {
        if (ParentOf(p) == pid_) out.push_back(p);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<pid_t> AgentProcess::ZombieChildren() const {
    std::vector<pid_t> out;
    for (pid_t p : Children()) {
        if (ProcessState(p) == 'Z') out.push_back(p);
    }
    return out;
}

std::vector<pid_t> AgentProcess::SessionProcesses() const {
    std::vector<pid_t> out;
    for (pid_t p : Children()) {
        if (p != advertiser_ && ProcessState(p) != 'Z') out.push_back(p);
    }
    return out;
}

int AgentProcess::ListenerDescriptors() const {
    int n = 0;
    DIR* d = opendir(("/proc/" + std::to_string(pid_) + "/fd").c_str());
    if (d == nullptr) return -1;
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.' ? 1 : 0;
    closedir(d);
    return n;
}

int AgentProcess::SettledListenerDescriptors(int window_ms) const {
    int fewest = ListenerDescriptors();
    for (auto end = Clock::now() + std::chrono::milliseconds(window_ms); Clock::now() < end;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        int n = ListenerDescriptors();
        if (n >= 0 && (fewest < 0 || n < fewest)) fewest = n;
    }
    return fewest;
}

bool AgentProcess::ListenerDescriptorsBecome(int expected, int timeout_ms) const {
    for (auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);;) {
        if (ListenerDescriptors() == expected) return true;
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

AgentExit AgentProcess::Stop(int sig, int timeout_ms) {
    if (pid_ > 0 && !reaped_) kill(pid_, sig);
    return collect(timeout_ms);
}

AgentExit AgentProcess::WaitForExit(int timeout_ms) { return collect(timeout_ms); }

AgentExit AgentProcess::WaitForListenerExit(int timeout_ms) { return collect(timeout_ms, false); }

AgentExit AgentProcess::collect(int timeout_ms, bool whole_group) {
    AgentExit result;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (!reaped_ && waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
        // Processes of the group whose listener is gone were handed to us.
        for (pid_t p : ProcessGroupMembers(pid_)) {
            int st = 0;
            if (p != pid_ && waitpid(p, &st, WNOHANG) == p) others_[p] = st;
        }
        if (reaped_ && (!whole_group || ProcessGroupMembers(pid_).empty())) break;
        if (Clock::now() > deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (reaped_) {
        result.exited = WIFEXITED(status_);
        result.code = result.exited ? WEXITSTATUS(status_) : -1;
        result.signal = WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
    }
    result.others = others_;
    result.left = ProcessGroupMembers(pid_);
    return result;
}

}  // namespace agent_it
