#include "unixfs/tree/dblk_fill.h"

#include <cstring>
#include <string>

#include "grfs/dates.h"
#include "unixfs/host/paths.h"

namespace {

// The directory's path relative to the DLE's root, without a trailing and
// then without a leading '/'; whole, whatever its length (the block's room
// is checked by the caller).
std::string DirectoryText(const char* rel_dir, const DTA* dta, bool no_name, bool use_text, const char* text) {
    std::string out;
    if (use_text) {
        out = text;
    } else {
        out = JoinPath("", rel_dir);
        if (!no_name) out = JoinPath(out, dta->achName);
    }
    if (!out.empty() && out.back() == '/') out.pop_back();
    if (!out.empty() && out.front() == '/') out.erase(0, 1);
    return out;
}

// The stat fields both kinds of Unix information carry.
template <typename OsInfo>
void FillStatFields(OsInfo* info, const struct stat& st) {
    info->st_dev = static_cast<uint32_t>(st.st_dev);
    info->st_rdev = static_cast<uint32_t>(st.st_rdev);
    info->st_mode = st.st_mode;
    info->st_uid = st.st_uid;
    info->st_gid = st.st_gid;
    info->os_info_version = kOsInfoVersion;
    info->st_ino = ToU64(st.st_ino);
    info->st_nlink = static_cast<uint32_t>(st.st_nlink);
}

}  // namespace

int FillinDBLKInfo(const char* rel_dir, GRFS_GEN_DBLK* dblk, const DTA* dta, uint16_t* extra_length,
                   uint32_t find_handle, bool no_name, bool store_find, bool use_text, const char* text) {
    const struct stat& st = dta->stat_info;
    uint8_t* bytes = dblk_bytes(dblk);
    bool is_dir = (dta->attrFile & FILE_DIRECTORY) != 0;

    std::string path;
    const char* shown = dta->achName;
    if (is_dir) {
        path = DirectoryText(rel_dir, dta, no_name, use_text, text);
        shown = path.c_str();
    }
    size_t len = std::strlen(shown);
    size_t var_size = kFindInfoSize + (len + 1) + kUnixFileOsInfoSize + (is_dir ? len + 1 : 0);
    if (GRFS_DBLK_NET_SIZE + var_size > sizeof(GRFS_GEN_DBLK)) return -505;

    dblk->os_id = DBLK_OS_ID_UNIX;
    dblk->os_ver = DBLK_OS_VER_UNIX;
    // The three times are mostly the same second: each is broken down once.
    ConvertToStdDate(&dblk->creation_time, st.st_ctime);
    if (st.st_atime == st.st_ctime) {
        dblk->access_time = dblk->creation_time;
    } else {
        ConvertToStdDate(&dblk->access_time, st.st_atime);
    }
    if (st.st_mtime == st.st_ctime) {
        dblk->modified_time = dblk->creation_time;
    } else if (st.st_mtime == st.st_atime) {
        dblk->modified_time = dblk->access_time;
    } else {
        ConvertToStdDate(&dblk->modified_time, st.st_mtime);
    }
    dblk->size = ToU64(static_cast<uint64_t>(st.st_size));
    dblk->gen_attr = dta->attrFile | FILE_IN_DBLK;
    dblk->tape_attribs = 0;
    dblk->os_info_complete = 1;
    if (store_find) std::memcpy(bytes + kFindInfoOffset, &find_handle, sizeof find_handle);
    dblk->find_info = kFindInfoOffset;
    dblk->find_info_size = kFindInfoSize;

    auto info_offset = static_cast<uint16_t>(kDblkTextOffset + len + 1);
    std::memcpy(bytes + kDblkTextOffset, shown, len + 1);
    if (is_dir) {
        dblk->dblk_type = DDB_ID;
        dblk->type_part.ddb.os_path = kDblkTextOffset;
        dblk->type_part.ddb.os_path_leng = static_cast<uint16_t>(len + 1);
        dblk->type_part.ddb.path_leng = static_cast<uint16_t>(len + 1);
        dblk->type_part.ddb.path = kDblkTextOffset;
        UNIX_DIR_OS_INFO info{};
        FillStatFields(&info, st);
        info.access_date = dblk->access_time;
        info.dir_path_offset = kUnixDirOsInfoSize;
        info.dir_path_length = static_cast<uint16_t>(len + 1);
        std::memcpy(bytes + info_offset, &info, sizeof info);
        std::memcpy(bytes + info_offset + sizeof info, shown, len + 1);
        dblk->os_spec_info = info_offset;
        dblk->os_spec_size = static_cast<uint16_t>(kUnixDirOsInfoSize + len + 1);
    } else {
        dblk->dblk_type = FDB_ID;
        dblk->type_part.fdb.in_use = 0;
        dblk->type_part.fdb.os_name = kDblkTextOffset;
        dblk->type_part.fdb.name = kDblkTextOffset;
        dblk->type_part.fdb.fdb_reserved = 0;
        UNIX_FILE_OS_INFO info{};
        FillStatFields(&info, st);
        info.st_size = ToU64(static_cast<uint64_t>(st.st_size));
        std::memcpy(bytes + info_offset, &info, sizeof info);
        dblk->os_spec_info = info_offset;
        dblk->os_spec_size = kUnixFileOsInfoSize;
    }
    dblk->min_ddb_info = dblk->find_info;
    dblk->min_ddb_size = static_cast<uint16_t>(dblk->find_info_size + len + 1);
    *extra_length = static_cast<uint16_t>(var_size);
    return 0;
}
