// Dump of one DBLK into the message log, and the date text it uses.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <type_traits>

#include "grfs/dates.h"
#include "grfs/dblk.h"
#include "grfs/message_trace.h"
#include "util/printable.h"

const char* date_time_to_str(const DATE_TIME* date) {
    static char text[64];
    if (date->date_valid == 0) return "Invalid Date\n";
    time_t t = ConvertFromStdDate(date, nullptr);
    // A year the library cannot spell gives no text rather than a crash.
    if (ctime_r(&t, text) == nullptr) return "Invalid Date\n";
    return text;
}

namespace {

// A name out of the block, escaped for the log; texts that do not lie
// inside it print as empty.
std::string text_or_empty(const GRFS_GEN_DBLK* dblk, uint16_t offset) {
    const char* text = dblk_text_at(dblk, offset);
    return text != nullptr ? Escaped(text) : std::string();
}

// The Unix information normalised to the versioned form; the second line
// and what follows it tell a directory from a file.
template <class Info>
void print_unix_info(FILE* out, const Info& info) {
    std::fprintf(out, "   st_dev=0x%x   st_rdev=0x%x   st_mode=0x%x\n", info.st_dev, info.st_rdev,
                 info.st_mode);
    if constexpr (std::is_same_v<Info, UNIX_DIR_OS_INFO>) {
        std::fprintf(out, "   st_uid=0x%x   st_gid=0x%x    path=%d\n", info.st_uid, info.st_gid,
                     info.dir_path_offset);
        std::fprintf(out, "   access_date: %s\n", date_time_to_str(&info.access_date));
    } else {
        std::fprintf(out, "   st_uid=0x%x   st_gid=0x%x    st_size=<%d,%d>\n", info.st_uid, info.st_gid,
                     static_cast<int>(info.st_size.msw), static_cast<int>(info.st_size.lsw));
    }
    if (info.os_info_version > 0)
        std::fprintf(out, "   st_ino=<%d,%d>   st_nlink=%d\n", static_cast<int>(info.st_ino.msw),
                     static_cast<int>(info.st_ino.lsw), static_cast<int>(info.st_nlink));
}

void print_os_info(FILE* out, const GRFS_GEN_DBLK* dblk) {
    std::fputs("os specific info:\n", out);
    if (dblk->os_id == DBLK_OS_ID_UNIX && dblk->os_ver == DBLK_OS_VER_UNIX) {
        if (dblk->dblk_type == DDB_ID) {
            UNIX_DIR_OS_INFO info;
            FillDirInfoFromDblk(&info, dblk);
            print_unix_info(out, info);
        } else {
            UNIX_FILE_OS_INFO info;
            FillFileInfoFromDblk(&info, dblk);
            print_unix_info(out, info);
        }
        return;
    }
    std::fputs("        foreign os format\n", out);
    // Only the part of the information that lies inside the block is shown.
    const size_t end = dblk_extent(dblk);
    const size_t start = std::min<size_t>(dblk->os_spec_info, end);
    const size_t count = std::min<size_t>(dblk->os_spec_size, end - start);
    DumpMemory(dblk_bytes(dblk) + start, static_cast<int>(count));
}

}  // namespace

void print_dblk(const GRFS_GEN_DBLK* dblk) {
    FILE* out = dbg_file;
    if (out == nullptr) return;
    std::fprintf(out, "\tdblk type: %s %d \n", dblk_type_name(dblk->dblk_type), dblk->dblk_type);
    std::fprintf(out, "\tos_id %d os_ver %d\n", dblk->os_id, dblk->os_ver);
    std::fprintf(out, "\tstd_info: size <%d,%d> gen_attr 0x%x\n", static_cast<int>(dblk->size.msw),
                 static_cast<int>(dblk->size.lsw), dblk->gen_attr);
    std::fprintf(out, "\t\tcreation time %s", date_time_to_str(&dblk->creation_time));
    std::fprintf(out, "\t\taccess time %s", date_time_to_str(&dblk->access_time));
    std::fprintf(out, "\t\tarchived time %s", date_time_to_str(&dblk->archived_time));
    std::fprintf(out, "\t\tmodified time %s", date_time_to_str(&dblk->modified_time));
    std::fprintf(out, "\tos_info_complete %d min_ddb_info %d min_ddb_size %d\n", dblk->os_info_complete,
                 dblk->min_ddb_info, dblk->min_ddb_size);
    std::fprintf(out, "\tos_spec_info %d os_spec_size %d dblk_actual_size %d tape_attribs %d\n",
                 dblk->os_spec_info, dblk->os_spec_size, dblk->dblk_actual_size, dblk->tape_attribs);
    std::fprintf(out, "\tfind_info %d find_info_size %d obj_type %d\n", dblk->find_info,
                 dblk->find_info_size, dblk->obj_type);
    std::fprintf(out, "\ttranslate %d special_flag %d\n", dblk->translate, dblk->special_flag);
    if (dblk->dblk_type == DDB_ID) {
        const GRFS_DDB_PART& d = dblk->type_part.ddb;
        std::fprintf(out, "\tDirectory: os_path_leng %d path_leng %d\n", d.os_path_leng, d.path_leng);
        std::fprintf(out, "\t\tos_path '%s' (%d)\n", text_or_empty(dblk, d.os_path).c_str(), d.os_path);
        std::fprintf(out, "\t\tpath '%s' (%d)\n", text_or_empty(dblk, d.path).c_str(), d.path);
    } else if (dblk->dblk_type == FDB_ID) {
        const GRFS_FDB_PART& f = dblk->type_part.fdb;
        std::fprintf(out, "\tFile: in_use %d os_name '%s' (%d) name '%s' (%d)\n", f.in_use,
                     text_or_empty(dblk, f.os_name).c_str(), f.os_name, text_or_empty(dblk, f.name).c_str(), f.name);
    }
    if (dblk->os_spec_info != 0 && dblk->os_spec_size != 0) print_os_info(out, dblk);
}
