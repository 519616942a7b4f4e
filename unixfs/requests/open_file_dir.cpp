#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

#include "grfs/messages.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/host/confined_path.h"
#include "unixfs/tree/dblk_texts.h"
#include "unixfs/tree/excluded_paths.h"
#include "unixfs/object/file_memory.h"
#include "unixfs/object/object_acl.h"
#include "unixfs/object/object_ea.h"
#include "unixfs/object/object_files.h"
#include "unixfs/object/object_location.h"
#include "unixfs/object/object_streams.h"
#include "unixfs/object/object_xattr.h"
#include "unixfs/requests/open_file_dir.h"
#include "unixfs/tree/restore_target.h"
#include "unixfs/object/object_linux_meta.h"
#include "util/debug_print.h"

namespace {

// The probe of a directory open: it must be reachable below the export root
// and listable.
int ProbeDirectory(const FILE_MEMORY* rec) {
    const DRVDLE* drvdle = rec->dle;
    if (drvdle->root_fd < 0) return GRFS_RC_ACCESS_DENIED;
    const LinkPolicy policy = ReadLinkPolicy(drvdle);
    UniqueFd dir = OpenDirBeneath(drvdle->root_fd, ObjectRelPath(rec), policy);
    if (dir.valid() && policy != LinkPolicy::kNoLinks && IsExcludedAt(AttachmentWs(drvdle), dir.get(), {})) return GRFS_RC_NO_SUCH_FILE;
    if (dir.valid()) {
        UniqueFd listing(openat(dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (listing.valid()) return 0;
    }
    const int err = errno;
    DEBUG_PRINTF(DBG_CONFIG, "Unix_OpenDir: cannot open directory '%s' errno=%d\n",
                 rec->full_path[0] != '\0' ? rec->full_path : "/", err);
    return IsConfinementErrno(err) ? GRFS_RC_ACCESS_DENIED : GRFS_RC_NO_SUCH_FILE;
}

}  // namespace

int Unix_OpenFile(FILE_MEMORY* rec, const GRFS_GEN_DBLK* dblk, uint16_t mode) {
    MarkAclStream(rec);
    std::string_view name;
    int16_t text_rc = DblkConfinedObjectText(dblk, &name);
    if (text_rc != 0) return text_rc;
    const DRVDLE* drvdle = rec->dle;
    const char* current = drvdle->current_path != nullptr ? drvdle->current_path : "";
    if (HasDotDotComponent(current)) return GRFS_RC_ACCESS_DENIED;
    if (!SetObjectPath(rec, drvdle->dle->export_path, current, name, true)) return GRFS_RC_ACCESS_DENIED;
    DEBUG_PRINTF(DBG_CONFIG, "Unix_OpenFile: mode=0x%x filename=%s\n", mode, rec->full_path);
    if (mode != OPEN_MODE_WRITE && IsExcludedPath(AttachmentWs(rec->dle), rec->full_path)) return GRFS_RC_NO_SUCH_FILE;

    UNIX_FILE_OS_INFO info{};
    const bool have_info = DblkHasUnixInfo(dblk);
    if (have_info) {
        FillFileInfoFromDblk(&info, dblk);
    } else {
        DEBUG_PRINTF(DBG_CONFIG, "Unix_OpenFile: os_spec_info(%d) not ours\n", dblk->os_spec_info);
    }
    if (mode != OPEN_MODE_READ && mode != OPEN_MODE_WRITE && mode != OPEN_MODE_VERIFY) return 1;

    int fd = -1;
    UINT64 data_size{};
    UINT64 ea_size{};
    int result = OpenFileUnix(rec, mode, &fd, &data_size, &ea_size, have_info ? &info : nullptr);
    if (result != 0) {
        DEBUG_PRINTF(DBG_CONFIG, "OpenFileUnix(%s) returned %d\n", rec->full_path, result);
        rec->data_hand = -1;
        return result;
    }
    rec->data_hand = fd;

    if (mode == OPEN_MODE_WRITE) {
        rec->data_size = dblk->size;
        rec->data_offset = UINT64{};
    } else {
        rec->file_mode = have_info ? info.st_mode : 0;
        rec->data_size = data_size;
        rec->ea_size = ea_size;
        rec->data_offset = UINT64{};
        rec->ea_offset = data_size;
        DEBUG_PRINTF(DBG_CONFIG, "Unix_OpenFile: data_size=<%d,%d> ea_size=<%d,%d>\n", data_size.msw, data_size.lsw,
                     ea_size.msw, ea_size.lsw);
        CaptureLinuxMeta(rec);
        if (AsU64(ea_size) != 0) result = Unix_OpenEA(rec);
        if (result == 0) result = CollectObjectAcl(rec, false);
        if (result == 0) rec->total_size = ToU64(ObjectTotalSize(rec));
        if (result == 0) OpenXattrStream(rec);
        if (result == 0) OpenLinuxMetaStream(rec);
    }

    if (result != 0 && rec->data_hand >= 0) {
        DEBUG_PRINTF(DBG_CONFIG, "Open failed.  Closing file\n");
        CloseFileUnix(rec->data_hand);
        rec->data_hand = -1;
    } else {
        DEBUG_PRINTF(DBG_CONFIG, "Unix_OpenFile: total_size=<%d,%d>\n", rec->total_size.msw, rec->total_size.lsw);
    }
    return result;
}

int Unix_OpenDir(FILE_MEMORY* rec, const GRFS_GEN_DBLK* dblk, uint16_t mode) {
    MarkAclStream(rec);
    std::string_view path;
    int16_t text_rc = DblkConfinedObjectText(dblk, &path);
    if (text_rc != 0) return text_rc;
    if (!SetObjectPath(rec, rec->dle->dle->export_path, path, {}, false)) return GRFS_RC_ACCESS_DENIED;
    if (mode != OPEN_MODE_WRITE && IsExcludedPath(AttachmentWs(rec->dle), rec->full_path)) return GRFS_RC_NO_SUCH_FILE;

    // A directory object has no descriptor of its own.
    rec->data_hand = 0;
    rec->data_size = UINT64{};
    rec->data_offset = UINT64{};
    rec->file_mode = 0;

    int result = 0;
    if (mode != OPEN_MODE_WRITE) {
        result = ProbeDirectory(rec);
        if (result == 0) result = CollectObjectAcl(rec, true);
        if (result == 0) rec->ea_offset = UINT64{};
    }
    if (result == 0) {
        if (AsU64(rec->ea_size) != 0) result = Unix_OpenEA(rec);
        rec->total_size = ToU64(ObjectTotalSize(rec));
    }
    if (result == 0) OpenXattrStream(rec);
    if (result == 0) OpenLinuxMetaStream(rec);
    return result;
}
