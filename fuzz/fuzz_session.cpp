// Fuzz target: arbitrary sequences of requests through the session
// dispatcher and the real handlers, in one process and without a network,
// against a temporary export, with posix_acls and xattrs on. Each input is
// one session: a session record as the listener makes it, with a reply sink
// in place of the connection; every request is received, decoded,
// dispatched and answered exactly as in a session process; then the session
// is cleaned up as at its end.
// After each input:
//   - nothing outside the export has changed (fingerprint of the work tree);
//   - every request that has a handler got exactly one reply, of the right
//     type and with its request id, and no other request got one;
//   - no descriptor is left open, the working directory and umask are kept;
//   - no reply carries the contents of a file outside the export.
// The input format is in fuzz_input.h.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "agent/request_dispatch.h"
#include "agent/session_process.h"
#include "fuzz/fuzz_export_tree.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_sandbox.h"
#include "grfs/message_trace.h"
#include "grfs/messages.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/session/handle_table.h"
#include "unixfs/session/hard_links.h"
#include "unixfs/session/workstation.h"
#include "util/alloc.h"
#include "util/debug_print.h"

namespace {

using namespace fuzz_input;

std::string g_root;         // work directory
std::string g_fingerprint;  // of everything outside the export
std::string g_cwd;
int g_fds = 0;
DLE_RECORD* g_dles[2] = {};
bool g_trace = false;  // FUZZ_TRACE set: every reply is listed on standard error
FILE* g_console = nullptr;  // the harness's own messages

[[noreturn]] void fail(const char* what) {
    std::fprintf(g_console != nullptr ? g_console : stderr, "fuzz_session: %s\n", what);
    std::abort();
}

int count_fds() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) fail("cannot list descriptors");
    int n = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
    return n - 1;  // the directory's own descriptor
}

std::string cwd() {
    char buf[4096];
    return getcwd(buf, sizeof buf) != nullptr ? buf : "";
}

DLE_RECORD* add_dle(const char* name, uint16_t writable) {
    auto* dle = static_cast<DLE_RECORD*>(MYCALLOC(1, sizeof(DLE_RECORD)));
    dle->in_use = 1;
    dle->writable = writable;
    std::snprintf(dle->resource_name, sizeof dle->resource_name, "%s", name);
    std::snprintf(dle->export_path, sizeof dle->export_path, "%s", fuzz_tree::ExportPath(g_root).c_str());
    EnQueueElem(&ws_cntl.dle_list, &dle->link, 0);
    return dle;
}

// What the session's replies told the peer: the handles to echo.
struct Issued {
    std::vector<uint32_t> workstation, dle, object;
    std::vector<uint32_t> search;  // raw bytes of the DBLK's find information
    int replies = 0;
    uint8_t last_type = 0;
    uint32_t last_id = 0;
    bool fail_send = false;
};

uint32_t le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

int sink(GRFS_SESSION* ses, std::span<const unsigned char> r) {
    auto* is = static_cast<Issued*>(ses->sink_context);
    if (r.size() < static_cast<size_t>(GRFS_MSG_HEADER_SIZE)) fail("reply shorter than its header");
    if (r.size() > static_cast<size_t>(GRFS_MAX_MSG_SIZE)) fail("reply larger than a message may be");
    // No byte of a file outside the export ever leaves the agent.
    if (fuzz_tree::Contains(r.data(), r.size(), fuzz_tree::SentinelSecret())) fail("a file outside the export was read");
    ++is->replies;
    is->last_type = r[0];
    is->last_id = le32(&r[4]);
    const int16_t rc = static_cast<int16_t>(le16(&r[2]));
    if (g_trace) std::fprintf(g_console, "reply %s retcode %d (%zu bytes)\n", type_to_str(r[0]), rc, r.size());
    if (r[0] == GRFS_ATTACH_DLE_STAT && rc == 0 && r.size() >= 22) {
        const uint32_t id = le32(&r[8]);
        (le16(&r[20]) != 0 ? is->workstation : is->dle).push_back(id);
    } else if (r[0] == GRFS_OPEN_OBJ_STAT && (rc == 0 || rc == GRFS_RC_OPEN_WARNING) && r.size() >= 12) {
        is->object.push_back(le32(&r[8]));
    } else if (r[0] == GRFS_FIND_OBJ_STAT && rc == 0 && r.size() >= 12 + kFindInfoInDblk + 4) {
        is->search.push_back(le32(&r[12 + kFindInfoInDblk]));
    }
    return is->fail_send ? 1 : 0;
}

uint32_t pick(const std::vector<uint32_t>& v, int age) {
    if (v.empty()) return 0;
    return v[v.size() - 1 - static_cast<size_t>(age) % v.size()];
}

void put32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// Writes the handles the control byte asks for into the received request.
void patch(unsigned char* req, size_t len, uint8_t control, const Issued& is) {
    if (len < 1) return;
    const uint8_t type = req[0];
    const int age = (control >> kAgeShift) & kAgeMask;
    const uint8_t which = control & kHandleMask;
    if (which != kHandleNone) {
        const uint32_t h = which == kHandleWorkstation ? pick(is.workstation, age)
                           : which == kHandleDle       ? pick(is.dle, age)
                                                       : pick(is.object, age);
        const size_t at = type == GRFS_ATTACH_DLE ? kAttachParentField : kFirstBodyField;
        if (len >= at + 4) put32(req + at, h);
    }
    if ((control & kPatchSearch) != 0 && !is.search.empty()) {
        const size_t at = (type == GRFS_OPEN_OBJ ? kDblkInOpenRequest : kDblkInRequest) + kFindInfoInDblk;
        if (len >= at + 4) put32(req + at, pick(is.search, age));
    }
}

void list_fds() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char target[4096] = {};
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) < 0) continue;
        std::fprintf(g_console, "  fd %s -> %s\n", e->d_name, target);
    }
    closedir(d);
}

void check_after_input() {
    if (count_fds() != g_fds) {
        list_fds();
        fail("a descriptor was left open");
    }
    if (cwd() != g_cwd) fail("the working directory changed");
    const mode_t mask = umask(0);
    umask(mask);
    if (mask != 022) fail("the umask changed");
    if (fuzz_tree::FingerprintOutside(g_root) != g_fingerprint) fail("something outside the export changed");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // The work directory: below FUZZ_WORK_DIR when given, else under /tmp.
    const char* base = std::getenv("FUZZ_WORK_DIR");
    std::string tmpl = std::string(base != nullptr ? base : "/tmp") + "/agent-fuzz-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) fail("cannot make the work directory");
    g_root = buf.data();

    // The fuzzer writes its corpus directories and artifacts; nothing else.
    std::vector<std::string> writable{"."};
    for (int i = 1; i < *argc; ++i) {
        std::string a = (*argv)[i];
        if (a.rfind("-artifact_prefix=", 0) == 0) {
            std::string p = a.substr(17);
            size_t slash = p.rfind('/');
            writable.push_back(slash == std::string::npos ? "." : p.substr(0, slash + 1));
        } else if (a[0] != '-') {
            struct stat st;
            if (stat(a.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) writable.push_back(a);
        }
    }
    if (std::getenv("FUZZ_NO_SANDBOX") == nullptr) fuzz_sandbox::Enter(g_root, writable);

    umask(022);
    fuzz_tree::CreateWorkTree(g_root);
    g_fingerprint = fuzz_tree::FingerprintOutside(g_root);
    g_cwd = cwd();

    // The listener's state, as the configuration leaves it: one writable
    // export and one write-protected export of the same tree.
    std::memset(&ws_cntl, 0, sizeof ws_cntl);
    InitQueue(&ws_cntl.dle_list);
    InitQueue(&ws_cntl.tell_list);
    InitQueue(&ws_cntl.hard_link_list);
    InitQueue(&ws_cntl.session_list);
    ws_cntl.use_xdr = 1;
    ws_cntl.running = 1;
    ws_cntl.listener_pid = static_cast<uint32_t>(getpid());
    std::snprintf(ws_cntl.workstation_name, sizeof ws_cntl.workstation_name, "FUZZWS");
    // The opt-in streams are on, so that their collection and application
    // (ACL and LXAT) meet hostile bytes too.
    ws_cntl.posix_acls = 1;
    ws_cntl.xattrs = 1;
    gb_grfs_config.max_sessions = 4;
    gb_grfs_config.object_buffer_size = GRFS_OBJECT_BUFFER_SIZE;
    struct stat root_st;
    if (stat("/", &root_st) == 0) gb_root_dev_id = root_st.st_dev;
    g_dles[0] = add_dle("FUZZDLE", 1);
    g_dles[1] = add_dle("FUZZRO", 0);
    prog_name = "fuzz_session";
    grfs_debug = 0;
    g_trace = std::getenv("FUZZ_TRACE") != nullptr;
    // The agent's traces and console messages go to descriptor 2, which a
    // run with -close_fd_mask=2 discards after this point (keeping its own
    // and the sanitizers' reports); the harness's messages must stay.
    const int console = dup(STDERR_FILENO);
    g_console = console >= 0 ? fdopen(console, "w") : nullptr;
    if (g_console == nullptr) g_console = stderr;
    setvbuf(g_console, nullptr, _IONBF, 0);
    set_message_log_file(std::fopen("/dev/null", "w"));
    g_fds = count_fds();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_tree::ResetExport(g_root);
    // Counted per input: the fuzzer itself may keep a file open between
    // inputs.
    g_fds = count_fds();
    ws_cntl.follow_symdirs = size > 0 && (data[0] & kFollowSymdirs) != 0 ? 1 : 0;
    grfs_debug = size > 0 && (data[0] & kTraceAll) != 0 ? 0xFFFF : 0;
    ws_cntl.processingAcl = 0;

    Issued issued;
    GRFS_SESSION ses{};
    ses.ws = &ws_cntl;
    ses.max_msg_size = GRFS_MAX_MSG_SIZE;
    InitQueue(&ses.attach_list);
    InitQueue(&ses.object_list);
    ses.reply_sink = sink;
    ses.sink_context = &issued;
    // Refused attaches would make the session sleep: time stands still here.
    ses.attach_pause = [](GRFS_SESSION*, int64_t) {};
    EnQueueElem(&ws_cntl.session_list, &ses.link, 0);
    if (!AllocateSessionBuffers(&ses)) fail("no session buffers");
    ses.active = 1;

    size_t at = 0;
    while (at + kRecordHeader <= size) {
        const uint8_t control = data[at];
        const size_t len = data[at + 1] | static_cast<size_t>(data[at + 2]) << 8;
        at += kRecordHeader;
        const size_t n = len < size - at ? len : size - at;
        // A message longer than the receive buffer ends the session in the
        // NRL layer before it is processed.
        if (n > static_cast<size_t>(ses.max_msg_size)) break;
        std::memcpy(ses.recv_buf, data + at, n);
        at += n;
        patch(ses.recv_buf, n, control, issued);

        const uint8_t type = n > 0 ? ses.recv_buf[0] : 0;
        const uint32_t id = n >= 8 ? le32(ses.recv_buf + 4) : 0;
        issued.fail_send = (control & kFailSend) != 0;
        const int before = issued.replies;
        ses.busy = 1;
        ProcessGRFSMsg(&ses, ses.recv_buf, static_cast<int>(n));
        ses.busy = 0;

        // Even a request cut inside its header is answered when its type has
        // a handler (with -495); a request id that did not arrive whole is 0.
        const uint8_t expected = n > 0 ? DispatchReplyType(type) : 0;
        const int got = issued.replies - before;
        if (expected == 0 && got != 0) fail("a request without a handler was answered");
        if (expected != 0) {
            if (got != 1) fail("a request was not answered exactly once");
            if (issued.last_type != expected) fail("a reply of the wrong type");
            if (issued.last_id != id) fail("a reply with another request id");
        }
    }

    CleanupSessionResources(&ses);
    FreeSessionBuffers(&ses);
    HardLinkersReset(&ws_cntl);
    check_after_input();
    return 0;
}
