#include "unixfs/object/object_linux_meta.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <new>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <vector>

#include "grfs/messages.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/host/confined_path.h"
#include "unixfs/object/file_memory.h"
#include "unixfs/object/held_stream_bytes.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/object/kept_linux_meta.h"
#include "grfs/linux_meta_stream.h"
#include "unixfs/object/object_location.h"
#include "unixfs/object/object_xattr.h"
#include "unixfs/session/workstation.h"
#include "util/console.h"
#include "util/debug_print.h"

// What an open object holds of its LXMD stream: at a READ or VERIFY open
// the record as announced, at a WRITE open what has arrived of it.
struct LINUX_META_STREAM {
    std::vector<unsigned char> bytes;
    uint64_t offset = 0;    // read: where the stream begins in the object
    int16_t refused = 0;    // write: the retcode it was refused with
};

namespace {

void TimesOf(const struct stat& st, LINUX_META* meta) {
    meta->mtime_sec = st.st_mtim.tv_sec;
    meta->mtime_nsec = static_cast<uint32_t>(st.st_mtim.tv_nsec);
    meta->atime_sec = st.st_atim.tv_sec;
    meta->atime_nsec = static_cast<uint32_t>(st.st_atim.tv_nsec);
}

// The flags of an object opened for reading; none where the file system
// keeps none.
void FlagsOf(int fd, LINUX_META* meta) {
    int flags = 0;
    if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        meta->has_flags = true;
        meta->flags = static_cast<uint32_t>(flags);
    }
}

// The times and flags of the object of a READ or VERIFY open. A symbolic
// link has no descriptor the flags could be read through: it carries none.
bool Describe(const FILE_MEMORY* rec, LINUX_META* meta) {
    struct stat st;
    if (rec->dblktype == FDB_ID && rec->data_hand >= 0) {
        if (fstat(rec->data_hand, &st) != 0) return false;
        TimesOf(st, meta);
        FlagsOf(rec->data_hand, meta);
        return true;
    }
    const DRVDLE* drvdle = rec->dle;
    if (drvdle == nullptr || drvdle->root_fd < 0) return false;
    if (rec->dblktype == DDB_ID) {
        UniqueFd dir = OpenDirBeneath(drvdle->root_fd, ObjectRelPath(rec), ReadLinkPolicy(drvdle));
        if (!dir.valid()) return false;
        UniqueFd here(openat(dir.get(), ".", O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
        if (fstat(dir.get(), &st) != 0) return false;
        TimesOf(st, meta);
        FlagsOf(here.get(), meta);
        return true;
    }
    OBJECT_PARENT parent;
    if (OpenObjectParent(drvdle, rec, ReadLinkPolicy(drvdle), &parent) != 0 || parent.name.empty()) return false;
    if (fstatat(parent.dir.get(), parent.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) {
        return false;
    }
    TimesOf(st, meta);
    return true;
}

}  // namespace

uint64_t LinuxMetaStreamOffset(const FILE_MEMORY* rec) { return XattrStreamOffset(rec) + XattrStreamSize(rec); }

uint64_t LinuxMetaStreamSize(const FILE_MEMORY* rec) {
    return rec->lxmd != nullptr && rec->open_mode != OPEN_MODE_WRITE ? rec->lxmd->bytes.size() : 0;
}

void CaptureLinuxMeta(FILE_MEMORY* rec) {
    if (rec->lxmd != nullptr || !LinuxMetaCarried(rec->session->ws) || rec->open_mode == OPEN_MODE_WRITE) return;
    // Devices and the like read as empty; they carry nothing.
    if (rec->dblktype == FDB_ID && rec->data_hand < 0 && !S_ISLNK(rec->file_mode)) return;
    LINUX_META meta;
    if (!Describe(rec, &meta)) {
        DEBUG_PRINTF(DBG_CONFIG, "CaptureLinuxMeta: %s not described, errno=%d\n", rec->full_path, errno);
        return;
    }
    auto* stream = new (std::nothrow) LINUX_META_STREAM;
    if (stream == nullptr) return;
    stream->bytes = EncodeLinuxMeta(meta);
    rec->lxmd = stream;
    rec->release_lxmd = ReleaseLinuxMetaStream;
}

void OpenLinuxMetaStream(FILE_MEMORY* rec) {
    CaptureLinuxMeta(rec);
    if (rec->lxmd == nullptr || rec->open_mode == OPEN_MODE_WRITE) return;
    rec->lxmd->offset = LinuxMetaStreamOffset(rec);
    // The LXMD stream is the last one.
    rec->total_size = ToU64(rec->lxmd->offset + rec->lxmd->bytes.size());
}

bool LinuxMetaStreamHeader(const FILE_MEMORY* rec, uint64_t x, uint32_t* id, uint64_t* size) {
    const LINUX_META_STREAM* s = rec->lxmd;
    if (s == nullptr || rec->open_mode == OPEN_MODE_WRITE || x != s->offset) return false;
    *id = STRM_LINUX_META;
    *size = s->bytes.size();
    return true;
}

bool InsideLinuxMetaStream(const FILE_MEMORY* rec, uint64_t x) {
    const LINUX_META_STREAM* s = rec->lxmd;
    return s != nullptr && rec->open_mode != OPEN_MODE_WRITE && InsideHeldStream(s->bytes, s->offset, x);
}

bool ReadLinuxMetaBytes(const FILE_MEMORY* rec, uint64_t pos, uint32_t asked, unsigned char* dest,
                        uint32_t* delivered) {
    const LINUX_META_STREAM* s = rec->lxmd;
    return s != nullptr && rec->open_mode != OPEN_MODE_WRITE &&
           ReadHeldStream(s->bytes, s->offset, pos, asked, dest, delivered);
}

int WriteLinuxMetaStream(FILE_MEMORY* rec, const unsigned char* data, uint32_t* count) {
    LINUX_META_STREAM* s = rec->lxmd;
    if (s == nullptr) {
        s = new (std::nothrow) LINUX_META_STREAM;
        if (s == nullptr) {
            *count = 0;
            return GRFS_RC_NO_MEMORY;
        }
        rec->lxmd = s;
        rec->release_lxmd = ReleaseLinuxMetaStream;
        const uint64_t announced = AsU64(rec->cur_stream.size);
        if (announced != 0 && announced != kLinuxMetaBytes) s->refused = GRFS_RC_INVALID_REQUEST;
    }
    if (s->refused == 0 && s->bytes.size() + *count > kLinuxMetaBytes) s->refused = GRFS_RC_INVALID_REQUEST;
    if (s->refused == 0) {
        s->bytes.insert(s->bytes.end(), data, data + *count);
        LINUX_META meta;
        if (s->bytes.size() == kLinuxMetaBytes && !DecodeLinuxMeta(s->bytes, &meta)) {
            s->refused = GRFS_RC_INVALID_REQUEST;
        }
    }
    if (s->refused != 0) {
        DEBUG_PRINTF(DBG_DATA, "WriteLinuxMetaStream: %s: LXMD stream refused with %d\n", rec->full_path, s->refused);
        s->bytes.clear();
        *count = 0;
        return s->refused;
    }
    uint16_t status = 0;
    rec->obj_pos = U64_Add(rec->obj_pos, U32_To_U64(*count), &status);
    return 0;
}

void KeepLinuxMetaAtClose(GRFS_SESSION* ses, FILE_MEMORY* rec) {
    LINUX_META_STREAM* s = rec->lxmd;
    if (s == nullptr || rec->open_mode != OPEN_MODE_WRITE || s->refused != 0) return;
    LINUX_META meta;
    if (!DecodeLinuxMeta(s->bytes, &meta)) {
        ConsoleMessage(ses != nullptr ? &ses->console_repeats : nullptr,
                       "Restore of %s: times and inode flags not set: their stream is incomplete.\n", rec->full_path);
        return;
    }
    // The attachment may have been detached since the open.
    DRVDLE* drvdle = ses != nullptr ? LookupDrvdle(ses, rec->dle_id) : nullptr;
    if (drvdle == nullptr) return;
    KeepLinuxMeta(drvdle, ObjectRelPath(rec), meta);
}

void ReleaseLinuxMetaStream(FILE_MEMORY* rec) {
    delete rec->lxmd;
    rec->lxmd = nullptr;
}
