#include "unixfs/object/object_xattr.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <string_view>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

#include "grfs/messages.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/host/confined_path.h"
#include "unixfs/object/file_memory.h"
#include "unixfs/object/held_stream_bytes.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/object/object_location.h"
#include "unixfs/object/stream_offsets.h"
#include "unixfs/object/stream_budget.h"
#include "unixfs/session/workstation.h"
#include "unixfs/object/xattr_stream.h"
#include "util/console.h"
#include "util/debug_print.h"

// What an open object holds of its LXAT stream: at a READ or VERIFY open
// the stream as announced, at a WRITE open what has arrived of it.
struct XATTR_STREAM {
    std::vector<unsigned char> bytes;
    uint64_t offset = 0;     // read: where the stream begins in the object
    uint64_t announced = 0;  // write: the size its header gave (0: not given)
    uint64_t charged = 0;    // write: what it holds of the session's stream budget
    int16_t refused = 0;     // write: the retcode it was refused with
};

namespace {

constexpr const char* kCapabilityName = "security.capability";
// Namespaces carried; "system." names are ACLs, which travel elsewhere.
constexpr std::string_view kCarried[] = {"user.", "trusted.", "security."};

bool Carried(std::string_view name) {
    for (std::string_view ns : kCarried) {
        if (name.size() > ns.size() && name.substr(0, ns.size()) == ns) return true;
    }
    return false;
}

// The Linux attribute calls, on a descriptor of the object itself or, for
// a symbolic link (which no descriptor can be read or changed through), on
// its name in a directory opened beneath the export, never followed.
class XattrTarget {
public:
    bool valid() const { return fd_ >= 0 || !path_.empty(); }
    void use_fd(int fd) { fd_ = fd; }
    void hold_fd(UniqueFd fd) {
        held_ = std::move(fd);
        fd_ = held_.get();
    }
    void use_name_in(UniqueFd dir, const std::string& name) {
        held_ = std::move(dir);
        path_ = std::string(FdPath(held_.get()).c_str()) + "/" + name;
    }
    ssize_t list(char* buf, size_t size) const {
        return fd_ >= 0 ? flistxattr(fd_, buf, size) : llistxattr(path_.c_str(), buf, size);
    }
    ssize_t get(const char* name, void* buf, size_t size) const {
        return fd_ >= 0 ? fgetxattr(fd_, name, buf, size) : lgetxattr(path_.c_str(), name, buf, size);
    }
    int set(const char* name, const void* value, size_t size) const {
        return fd_ >= 0 ? fsetxattr(fd_, name, value, size, 0) : lsetxattr(path_.c_str(), name, value, size, 0);
    }
    int stat(struct stat* st) const { return fd_ >= 0 ? fstat(fd_, st) : lstat(path_.c_str(), st); }

private:
    UniqueFd held_;
    int fd_ = -1;
    std::string path_;
};

// Up to a few tries where the list or a value grows between the size asked
// and the read.
constexpr int kTries = 4;

bool ListNames(const XattrTarget& target, std::vector<std::string>* names) {
    for (int attempt = 0; attempt < kTries; ++attempt) {
        ssize_t size = target.list(nullptr, 0);
        if (size <= 0) return size == 0;
        std::vector<char> buf(static_cast<size_t>(size));
        ssize_t got = target.list(buf.data(), buf.size());
        if (got < 0) {
            if (errno == ERANGE) continue;
            return false;
        }
        for (size_t at = 0; at < static_cast<size_t>(got);) {
            const size_t len = strnlen(buf.data() + at, static_cast<size_t>(got) - at);
            if (len != 0) names->emplace_back(buf.data() + at, len);
            at += len + 1;
        }
        return true;
    }
    return false;
}

// false when the attribute went away or cannot be read.
bool GetValue(const XattrTarget& target, const std::string& name, std::vector<unsigned char>* value) {
    for (int attempt = 0; attempt < kTries; ++attempt) {
        ssize_t size = target.get(name.c_str(), nullptr, 0);
        if (size < 0) return false;
        value->resize(static_cast<size_t>(size));
        ssize_t got = target.get(name.c_str(), value->data(), value->size());
        if (got >= 0) {
            value->resize(static_cast<size_t>(got));
            return true;
        }
        if (errno != ERANGE) return false;
    }
    return false;
}

// The object of a READ or VERIFY open, or of a WRITE open at its close.
XattrTarget TargetOf(const FILE_MEMORY* rec, const DRVDLE* drvdle, LinkPolicy policy) {
    XattrTarget target;
    if (rec->dblktype == FDB_ID && rec->data_hand >= 0) {
        target.use_fd(rec->data_hand);
        return target;
    }
    if (drvdle == nullptr || drvdle->root_fd < 0) return target;
    if (rec->dblktype == DDB_ID) {
        UniqueFd dir = OpenDirBeneath(drvdle->root_fd, ObjectRelPath(rec), policy);
        if (!dir.valid()) return target;
        // A restore never changes the export root, whatever name leads to it.
        struct stat root;
        struct stat here;
        if (rec->open_mode == OPEN_MODE_WRITE &&
            (fstat(drvdle->root_fd, &root) != 0 || fstat(dir.get(), &here) != 0 ||
             (root.st_dev == here.st_dev && root.st_ino == here.st_ino))) {
            return target;
        }
        target.hold_fd(UniqueFd(openat(dir.get(), ".", O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC)));
        return target;
    }
    OBJECT_PARENT parent;
    if (OpenObjectParent(drvdle, rec, policy, &parent) != 0 || parent.name.empty()) return target;
    target.use_name_in(std::move(parent.dir), parent.name);
    return target;
}

void RememberCapability(CAPABILITY_MEMOS* memos, const XattrTarget& target, const XATTR_ENTRY& e) {
    struct stat st;
    if (e.value.size() > sizeof memos->slot[0].value || target.stat(&st) != 0 || !S_ISREG(st.st_mode)) return;
    CAPABILITY_MEMO* slot = nullptr;
    for (auto& m : memos->slot) {
        if (m.len != 0 && m.dev == st.st_dev && m.ino == st.st_ino) slot = &m;
    }
    if (slot == nullptr) {
        slot = &memos->slot[memos->next];
        memos->next = (memos->next + 1) % std::size(memos->slot);
    }
    slot->dev = st.st_dev;
    slot->ino = st.st_ino;
    slot->len = static_cast<uint8_t>(e.value.size());
    std::memcpy(slot->value, e.value.data(), e.value.size());
}

const DRVDLE* AttachmentOf(const GRFS_SESSION* ses, const FILE_MEMORY* rec) {
    // The attachment may have been detached since the open.
    return ses != nullptr ? LookupDrvdle(ses, rec->dle_id) : nullptr;
}

}  // namespace

bool XattrsCarried(const WS_CNTL* ws) {
    return ws->xattrs != 0;
}

uint64_t XattrStreamOffset(const FILE_MEMORY* rec) { return AclStreamEnd(rec); }

uint64_t XattrStreamSize(const FILE_MEMORY* rec) { return rec->lxat != nullptr && rec->open_mode != OPEN_MODE_WRITE ? rec->lxat->bytes.size() : 0; }

void OpenXattrStream(FILE_MEMORY* rec) {
    if (!XattrsCarried(rec->session->ws) || rec->open_mode == OPEN_MODE_WRITE) return;
    // Devices and the like read as empty; they carry nothing.
    if (rec->dblktype == FDB_ID && rec->data_hand < 0 && !S_ISLNK(rec->file_mode)) return;
    const XattrTarget target = TargetOf(rec, rec->dle, ReadLinkPolicy(rec->dle));
    std::vector<std::string> names;
    if (!target.valid() || !ListNames(target, &names)) {
        DEBUG_PRINTF(DBG_CONFIG, "OpenXattrStream: attributes of %s not read, errno=%d\n", rec->full_path, errno);
        return;
    }
    std::vector<XATTR_ENTRY> entries;
    size_t total = 4;
    for (const std::string& name : names) {
        if (!Carried(name) || name.size() > kXattrNameMax) continue;
        XATTR_ENTRY e;
        e.name = name;
        if (!GetValue(target, name, &e.value) || e.value.size() > kXattrValueMax) continue;
        if (total + XattrEntryBytes(e) > kXattrStreamMax) {
            DEBUG_PRINTF(DBG_CONFIG, "OpenXattrStream: %s: attribute %s left out, the stream would pass %d bytes\n",
                         rec->full_path, name.c_str(), static_cast<int>(kXattrStreamMax));
            continue;
        }
        total += XattrEntryBytes(e);
        entries.push_back(std::move(e));
    }
    if (entries.empty()) return;
    auto* stream = new (std::nothrow) XATTR_STREAM;
    if (stream == nullptr) return;
    stream->bytes = EncodeXattrStream(std::move(entries));
    stream->offset = XattrStreamOffset(rec);
    ReleaseXattrStream(rec);
    rec->lxat = stream;
    rec->release_lxat = ReleaseXattrStream;
    // Only an LXMD stream, opened after it, follows the LXAT stream.
    rec->total_size = ToU64(stream->offset + XattrStreamSize(rec));
    DEBUG_PRINTF(DBG_CONFIG, "OpenXattrStream: %s: LXAT stream of %d bytes, total_size=<%d,%d>\n", rec->full_path,
                 static_cast<int>(stream->bytes.size()), rec->total_size.msw, rec->total_size.lsw);
}

bool XattrStreamHeader(const FILE_MEMORY* rec, uint64_t x, uint32_t* id, uint64_t* size) {
    const XATTR_STREAM* s = rec->lxat;
    if (s == nullptr || rec->open_mode == OPEN_MODE_WRITE || x != s->offset) return false;
    *id = STRM_LINUX_XATTR;
    *size = s->bytes.size();
    return true;
}

bool InsideXattrStream(const FILE_MEMORY* rec, uint64_t x) {
    const XATTR_STREAM* s = rec->lxat;
    return s != nullptr && rec->open_mode != OPEN_MODE_WRITE && InsideHeldStream(s->bytes, s->offset, x);
}

bool ReadXattrBytes(const FILE_MEMORY* rec, uint64_t pos, uint32_t asked, unsigned char* dest, uint32_t* delivered) {
    const XATTR_STREAM* s = rec->lxat;
    return s != nullptr && rec->open_mode != OPEN_MODE_WRITE &&
           ReadHeldStream(s->bytes, s->offset, pos, asked, dest, delivered);
}

namespace {

// Room for after bytes in the stream's buffer, counted against the
// session's stream budget: the size announced at once when it is known,
// else growing by doubling up to the stream's limit. false when the budget
// does not allow it.
bool MakeRoom(FILE_MEMORY* rec, XATTR_STREAM* s, uint64_t after) {
    if (after <= s->charged) return true;
    uint64_t room = s->announced >= after ? s->announced : s->charged * 2;
    if (room > kXattrStreamMax) room = kXattrStreamMax;
    if (room < after) room = after;
    if (!TakeStreamBytes(rec, room - s->charged)) return false;
    s->charged = room;
    s->bytes.reserve(static_cast<size_t>(room));
    return true;
}

// Nothing of a refused stream is kept.
void DropBytes(FILE_MEMORY* rec, XATTR_STREAM* s) {
    s->bytes.clear();
    s->bytes.shrink_to_fit();
    GiveBackStreamBytes(rec, s->charged);
    s->charged = 0;
}

}  // namespace

int WriteXattrStream(FILE_MEMORY* rec, const unsigned char* data, uint32_t* count) {
    XATTR_STREAM* s = rec->lxat;
    if (s == nullptr) {
        s = new (std::nothrow) XATTR_STREAM;
        if (s == nullptr) {
            *count = 0;
            return GRFS_RC_NO_MEMORY;
        }
        rec->lxat = s;
        rec->release_lxat = ReleaseXattrStream;
        s->announced = AsU64(rec->cur_stream.size);
        if (s->announced > kXattrStreamMax) s->refused = GRFS_RC_NO_SPACE;
    }
    const uint64_t after = s->bytes.size() + static_cast<uint64_t>(*count);
    if (s->refused == 0 && after > kXattrStreamMax) s->refused = GRFS_RC_NO_SPACE;
    if (s->refused == 0 && s->announced != 0 && after > s->announced) s->refused = GRFS_RC_INVALID_REQUEST;
    if (s->refused == 0 && !MakeRoom(rec, s, after)) {
        s->refused = GRFS_RC_NO_MEMORY;
        DEBUG_PRINTF(DBG_DATA, "WriteXattrStream: %s: the session's %d MiB for collected streams are taken\n",
                     rec->full_path, static_cast<int>(kStreamBudgetBytes >> 20));
    }
    if (s->refused == 0) {
        s->bytes.insert(s->bytes.end(), data, data + *count);
        std::vector<XATTR_ENTRY> entries;
        if (after == s->announced && !DecodeXattrStream(s->bytes, &entries)) s->refused = GRFS_RC_INVALID_REQUEST;
    }
    if (s->refused != 0) {
        DEBUG_PRINTF(DBG_DATA, "WriteXattrStream: %s: LXAT stream refused with %d after %d bytes\n", rec->full_path,
                     s->refused, static_cast<int>(s->bytes.size()));
        DropBytes(rec, s);
        *count = 0;
        return s->refused;
    }
    uint16_t status = 0;
    rec->obj_pos = U64_Add(rec->obj_pos, U32_To_U64(*count), &status);
    return 0;
}

void ApplyXattrsAtClose(GRFS_SESSION* ses, FILE_MEMORY* rec) {
    XATTR_STREAM* s = rec->lxat;
    if (s == nullptr || rec->open_mode != OPEN_MODE_WRITE || s->refused != 0) return;
    ConsoleRepeats* repeats = ses != nullptr ? &ses->console_repeats : nullptr;
    std::vector<XATTR_ENTRY> entries;
    const bool whole = s->announced == 0 || s->bytes.size() == s->announced;
    if (!whole || !DecodeXattrStream(s->bytes, &entries)) {
        ConsoleMessage(repeats, "Restore of %s: extended attributes not set: their stream is incomplete or malformed.\n",
                       rec->full_path);
        return;
    }
    const XattrTarget target = TargetOf(rec, AttachmentOf(ses, rec), LinkPolicy::kNoLinks);
    if (rec->dblktype == DDB_ID && !target.valid()) return;  // the export root, or gone
    for (const XATTR_ENTRY& e : entries) {
        // A file capability goes only to a file this session made.
        if (e.name == kCapabilityName && rec->made_here == 0) {
            ConsoleMessage(repeats, "Restore of %s: extended attribute %s not set: %s.\n", rec->full_path,
                           e.name.c_str(), "the object was not made by this restore");
            continue;
        }
        int rc = -1;
        int err = EOPNOTSUPP;  // "system." names (ACLs) are never set from this stream
        if (target.valid() && Carried(e.name)) {
            rc = target.set(e.name.c_str(), e.value.data(), e.value.size());
            err = errno;
        } else if (!target.valid()) {
            err = errno != 0 ? errno : ENOENT;
        }
        if (rc != 0) {
            ConsoleMessage(repeats, "Restore of %s: extended attribute %s not set: %s.\n", rec->full_path,
                           e.name.c_str(), std::strerror(err));
            continue;
        }
        if (e.name == kCapabilityName && ses != nullptr) RememberCapability(&ses->capabilities, target, e);
    }
}

void RestoreCapabilityAfterChange(const GRFS_SESSION* ses, int obj, const struct stat& st) {
    if (ses == nullptr || !S_ISREG(st.st_mode)) return;
    for (const auto& m : ses->capabilities.slot) {
        if (m.len == 0 || m.dev != st.st_dev || m.ino != st.st_ino) continue;
        if (setxattr(FdPath(obj).c_str(), kCapabilityName, m.value, m.len, 0) != 0) {
            DEBUG_PRINTF(DBG_CONFIG, "RestoreCapabilityAfterChange: setxattr failed, errno=%d\n", errno);
        }
        return;
    }
}

void ReleaseXattrStream(FILE_MEMORY* rec) {
    if (rec->lxat != nullptr) GiveBackStreamBytes(rec, rec->lxat->charged);
    delete rec->lxat;
    rec->lxat = nullptr;
}
