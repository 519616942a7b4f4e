// The lists the configuration builds: exported trees, backup servers and
// exclusions.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "agent/config_file.h"
#include "agent/password_words.h"
#include "unixfs/tree/excluded_paths.h"
#include "unixfs/session/workstation.h"
#include "util/alloc.h"
#include "util/debug_print.h"

namespace {

constexpr const char* kResourceNameReserved = "`~!@#$^&*(){}[]|\\:;'<>,.";

char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// The listener later changes its working directory to "/", so a relative
// export must be pinned to where the agent was started.
bool resolve_export_path(const char* path, std::string* resolved) {
    if (path[0] == '/') {
        *resolved = path;
        return true;
    }
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return false;
    const char* rel = path;
    while (rel[0] == '.' && rel[1] == '/') {
        rel += 2;
        while (*rel == '/') ++rel;
    }
    *resolved = cwd;
    if (resolved->back() != '/') resolved->push_back('/');
    if (std::strcmp(rel, ".") != 0) resolved->append(rel);
    if (resolved->size() > 1 && resolved->back() == '/') resolved->pop_back();
    return true;
}

char* copy_text(const char* text) {
    size_t n = std::strlen(text) + 1;
    auto* copy = static_cast<char*>(MYMALLOC(n));
    if (copy != nullptr) std::memcpy(copy, text, n);
    return copy;
}

}  // namespace

void report_value_too_long(const char* what, size_t limit, std::string_view value) {
    // A password is named, never shown.
    if (IsPasswordWord(what) || std::string_view(what).ends_with(" password")) {
        report_config("%s: Value of '%s' is longer than %zu characters\n", prog_name, what, limit);
        return;
    }
    report_config("%s: Value of '%s' is longer than %zu characters: '%.*s'\n", prog_name, what, limit,
                  static_cast<int>(value.size()), value.data());
}

void mangle_resource_name(char* name) {
    for (char* p = name; *p != '\0'; ++p) {
        if (std::strchr(kResourceNameReserved, *p) != nullptr) *p = '_';
    }
}

int add_dle(WS_CNTL* ws, const char* path, const char* name, int write_protect, int password_required,
            const char* password, int local_only, int no_nfs_locking, int no_backup_locking) {
    if (password == nullptr) password = "";

    std::string full_path;
    if (!resolve_export_path(path, &full_path)) {
        report_config("%s: Unable to access exported directory: '%s': %s\n", prog_name, path, std::strerror(errno));
        return 1;
    }
    // Nothing is cut to fit: a shortened path or name would export something
    // other than what the file says.
    if (full_path.size() > kExportPathSize - 1) {
        report_value_too_long("export path", kExportPathSize - 1, full_path);
        return 1;
    }
    if (std::strlen(name) > kResourceNameSize - 1) {
        report_value_too_long("export name", kResourceNameSize - 1, name);
        return 1;
    }
    if (std::strlen(password) > kPasswordSize - 1) {
        report_value_too_long("export password", kPasswordSize - 1, password);
        return 1;
    }

    // The message names the path as the configuration writes it, though a
    // relative one is looked up from the start-up directory.
    struct stat st;
    if (stat(full_path.c_str(), &st) != 0) {
        report_config("%s: Unable to access exported directory: '%s': %s\n", prog_name, path, std::strerror(errno));
        return 1;
    }

    char resource_name[kResourceNameSize] = {};
    std::strcpy(resource_name, name);
    mangle_resource_name(resource_name);

    if (FindDrive(ws, resource_name) != nullptr) {
        report_config("%s: Duplicate resource name: '%s'\n", prog_name, resource_name);
        return 1;
    }

    auto* dle = static_cast<DLE_RECORD*>(MYCALLOC(1, sizeof(DLE_RECORD)));
    if (dle == nullptr) {
        report_config("%s: malloc() failed.\n", prog_name);
        return 1;
    }
    InitQElem(&dle->link);
    dle->in_use = 1;
    dle->password_required = password_required != 0 ? 1 : 0;
    dle->writable = write_protect != 0 ? 0 : 1;
    dle->local_only = local_only != 0 ? 1 : 0;
    dle->no_nfs_locking = no_nfs_locking != 0 ? 1 : 0;
    dle->no_backup_locking = no_backup_locking != 0 ? 1 : 0;
    for (size_t i = 0; password[i] != '\0'; ++i) dle->dle_password[i] = ascii_upper(password[i]);
    std::memcpy(dle->resource_name, resource_name, sizeof resource_name);
    std::memcpy(dle->export_path, full_path.c_str(), full_path.size() + 1);
    EnQueueElem(&ws->dle_list, &dle->link, 0);
    return 0;
}

int add_to_export_list(WS_CNTL* ws, const char* server) {
    auto* entry = static_cast<TELL_ENTRY*>(MYCALLOC(1, sizeof(TELL_ENTRY)));
    if (entry == nullptr) return 1;
    entry->name = copy_text(server);
    if (entry->name == nullptr) {
        MYFREE(entry);
        return 1;
    }
    InitQElem(&entry->link);
    EnQueueElem(&ws->tell_list, &entry->link, 0);
    return 0;
}

void add_to_exclude_list(WS_CNTL* ws, int kind, const char* name) {
    auto* entry = static_cast<EXCLUDE_ENTRY*>(MYCALLOC(1, sizeof(EXCLUDE_ENTRY)));
    if (entry == nullptr) return;
    entry->name = copy_text(name);
    if (entry->name == nullptr) {
        MYFREE(entry);
        return;
    }
    entry->normal = copy_text(ExcludeEntryForm(name).c_str());
    if (entry->normal == nullptr) {
        MYFREE(entry->name);
        MYFREE(entry);
        return;
    }
    entry->kind = static_cast<uint8_t>(kind);
    entry->next = ws->exclude_list;
    ws->exclude_list = entry;
}

void free_config_lists(WS_CNTL* ws) {
    while (QElem* e = DeQueueElem(&ws->dle_list)) MYFREE(reinterpret_cast<DLE_RECORD*>(e));
    while (QElem* e = DeQueueElem(&ws->tell_list)) {
        auto* entry = reinterpret_cast<TELL_ENTRY*>(e);
        MYFREE(entry->name);
        MYFREE(entry);
    }
    while (EXCLUDE_ENTRY* entry = ws->exclude_list) {
        ws->exclude_list = entry->next;
        MYFREE(entry->normal);
        MYFREE(entry->name);
        MYFREE(entry);
    }
}
