#include "unixfs/tree/name_munge.h"

#include <cstring>
#include <string>
#include <string_view>

#include "grfs/messages.h"
#include "unixfs/tree/dblk_texts.h"

int unix_name_munge(const char* source, char* destination, int limit) {
    size_t length = std::strlen(source);
    if (limit > 0 && length > static_cast<size_t>(limit)) length = static_cast<size_t>(limit);
    std::memmove(destination, source, length);
    destination[length] = '\0';
    return static_cast<int>(length + 1);
}

int unix_path_munge(const char* source, char* destination, int limit) {
    const std::string in(source);
    if (in.empty()) {
        destination[0] = '\0';
        return 1;
    }
    std::string out;
    bool stopped_at_empty = false;
    size_t pos = 0;
    for (;;) {
        size_t slash = in.find('/', pos);
        if (slash == std::string::npos) slash = in.size();
        std::string_view component(in.data() + pos, slash - pos);
        if (component.empty()) {
            stopped_at_empty = true;
            break;
        }
        if (limit > 0 && component.size() > static_cast<size_t>(limit)) component = component.substr(0, limit);
        if (!out.empty()) out += '/';
        out.append(component);
        if (slash == in.size()) break;
        pos = slash + 1;
    }
    // Same extent as the source: the kept path, then zeros.
    std::memcpy(destination, out.data(), out.size());
    std::memset(destination + out.size(), 0, in.size() + 1 - out.size());
    if (stopped_at_empty && out.empty()) return 0;
    return static_cast<int>(out.size() + 1);
}

namespace {

// Puts the shortened text at the end of the block; false when it would not
// fit in the record.
bool append_text(GRFS_GEN_DBLK* dblk, const std::string& text, uint16_t* offset) {
    const size_t end = dblk->dblk_actual_size;
    if (end + text.size() + 1 > sizeof(GRFS_GEN_DBLK)) return false;
    std::memcpy(dblk_bytes(dblk) + end, text.c_str(), text.size() + 1);
    *offset = static_cast<uint16_t>(end);
    dblk->dblk_actual_size = static_cast<uint16_t>(end + text.size() + 1);
    return true;
}

}  // namespace

int FixObjectName(GRFS_GEN_DBLK* dblk, int limit) {
    if (dblk->dblk_type != FDB_ID && dblk->dblk_type != DDB_ID) return 0;  // no names to shorten
    std::string_view text;
    int16_t rc = DblkObjectText(dblk, &text);
    if (rc != 0) return rc;
    char* in_place = reinterpret_cast<char*>(dblk_bytes(dblk)) + (text.data() - reinterpret_cast<const char*>(dblk_bytes(dblk)));

    if (dblk->dblk_type == FDB_ID) {
        GRFS_FDB_PART& fdb = dblk->type_part.fdb;
        std::string shortened(text);
        unix_name_munge(shortened.c_str(), shortened.data(), limit);
        shortened.resize(std::strlen(shortened.c_str()));
        if (fdb.name == fdb.os_name && append_text(dblk, shortened, &fdb.name)) return 0;
        // Separate texts, or no room to append: the generic text shrinks where it is.
        unix_name_munge(in_place, in_place, limit);
        return 0;
    }

    GRFS_DDB_PART& ddb = dblk->type_part.ddb;
    std::string shortened(text);
    const int length = unix_path_munge(shortened.c_str(), shortened.data(), limit);
    shortened.resize(std::strlen(shortened.c_str()));
    if (!(ddb.path == ddb.os_path && append_text(dblk, shortened, &ddb.path))) {
        unix_path_munge(in_place, in_place, limit);
    }
    ddb.path_leng = static_cast<uint16_t>(length);
    return 0;
}
