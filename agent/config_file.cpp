// Reading the configuration file line by line.
#include "agent/config_file.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "agent/allow_list.h"
#include "agent/config_tokens.h"
#include "agent/password_words.h"
#include "agent/session_process.h"
#include "unixfs/workstation.h"
#include "util/debug_print.h"

namespace {

// Leading option words of an export line that are read; any later word is not.
constexpr int kExportOptionWords = 4;

struct ConfigState {
    WS_CNTL* ws;
    int exports = 0;
    int servers = 0;
    bool invalid = false;
};

char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool starts_with(std::string_view word, std::string_view prefix) { return word.substr(0, prefix.size()) == prefix; }

void report_unrecognized(const char* line) {
    std::fprintf(stderr, "Unrecognized config file line '%s'\n", HidePasswords(line).c_str());
}

void set_workstation_name(ConfigState& st, std::string_view word) {
    if (word.size() > kWorkstationNameSize - 1) {
        report_value_too_long("name", kWorkstationNameSize - 1, word);
        st.invalid = true;
        return;
    }
    char* name = st.ws->workstation_name;
    std::memset(name, 0, kWorkstationNameSize);
    word.copy(name, word.size());
    DEBUG_PRINTF(DBG_CONFIG, "Config File Workstation Name=%s\n", name);
    for (char* p = name; *p != '\0'; ++p) {
        char c = ascii_upper(*p);
        *p = ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) ? c : '_';
    }
    DEBUG_PRINTF(DBG_CONFIG, "Mangled Workstation Name=%s\n", name);
}

void set_workstation_password(ConfigState& st, std::string_view word) {
    if (word.size() > kPasswordSize - 1) {
        report_value_too_long("password", kPasswordSize - 1, word);
        st.invalid = true;
        return;
    }
    char* password = st.ws->workstation_password;
    std::memset(password, 0, kPasswordSize);
    for (size_t i = 0; i < word.size(); ++i) password[i] = ascii_upper(word[i]);
    st.ws->password_required = 1;
    DEBUG_PRINTF(DBG_CONFIG, "Workstation requires password\n");
}

// "<path> as <name> [option ...]"
void export_directory(ConfigState& st, const char* line, const char* value) {
    std::string_view words[3 + kExportOptionWords];
    int n = split_words(value, words, 3 + kExportOptionWords);
    if (n < 3 || words[1] != "as") {
        std::fprintf(stderr, "%s: Export line needs a path, the word 'as' and a resource name: '%s'\n", prog_name,
                     HidePasswords(line).c_str());
        st.invalid = true;
        return;
    }
    std::string path(words[0]);
    std::string name(words[2]);
    std::string option[kExportOptionWords];
    for (int i = 3; i < n; ++i) option[i - 3] = words[i];

    int write_protect = 0;
    int password_required = 0;
    std::string password;
    int local_only = 1;
    int no_nfs_locking = 0;
    int no_backup_locking = 0;
    for (int i = 0; i < n - 3; ++i) {
        std::string_view opt = option[i];
        if (starts_with(opt, "password")) {
            password_required = 1;
            // The word after "password" is the password, never an option.
            if (i + 1 < n - 3) password = option[++i];
        } else if (starts_with(opt, "write_protect")) {
            write_protect = 1;
        } else if (starts_with(opt, "include_remote")) {
            local_only = 0;
        } else if (starts_with(opt, "no_nfs_locking")) {
            no_nfs_locking = 1;
        } else if (starts_with(opt, "no_backup_locking")) {
            no_backup_locking = 1;
        }
    }

    if (grfs_debug != 0) {
        const std::string shown = HidePasswords(std::string_view(value));
        std::string_view shown_words[3 + kExportOptionWords];
        split_words(shown.c_str(), shown_words, 3 + kExportOptionWords);
        std::string shown_option[kExportOptionWords];
        for (int i = 3; i < n; ++i) shown_option[i - 3] = shown_words[i];
        DEBUG_PRINTF(DBG_CONFIG, "exporting %s as %s %s %s %s %s\n", path.c_str(), name.c_str(),
                     shown_option[0].c_str(), shown_option[1].c_str(), shown_option[2].c_str(),
                     shown_option[3].c_str());
    }
    if (add_dle(st.ws, path.c_str(), name.c_str(), write_protect, password_required, password.c_str(), local_only,
                no_nfs_locking, no_backup_locking) == 0) {
        ++st.exports;
    } else {
        st.invalid = true;
    }
}

void set_force_address(ConfigState& st, const std::string& word) {
    in_addr_t address = inet_addr(word.c_str());
    // 255.255.255.255 converts to the failure value too and is refused with it.
    if (address == INADDR_NONE) {
        std::fprintf(stderr, "force_address: Unable to parse IP address=%s\n", word.c_str());
        address = 0;
    } else {
        DEBUG_PRINTF(DBG_CONFIG, "force_address: Verifying IP address=%s\n", word.c_str());
    }
    if (address != 0) {
        std::fprintf(stderr, "%s: Forcing IP address: %s\n", prog_name, word.c_str());
    } else {
        std::fprintf(stderr, "%s: Using default local IP address.\n", prog_name);
    }
    st.ws->force_address = address;
}

// Whole seconds, digits only: a typo must not pass for "no limit".
void set_session_idle_timeout(ConfigState& st, std::string_view word) {
    constexpr std::string_view kDigits = "0123456789";
    constexpr size_t kMaxDigits = 9;  // up to 999999999 seconds, some 31 years
    if (word.find_first_not_of(kDigits) != std::string_view::npos || word.size() > kMaxDigits) {
        std::fprintf(stderr, "%s: Value of 'session_idle_timeout' is not a number of seconds: '%.*s'\n", prog_name,
                     static_cast<int>(word.size()), word.data());
        st.invalid = true;
        return;
    }
    uint32_t seconds = 0;
    for (char c : word) seconds = seconds * 10 + static_cast<uint32_t>(c - '0');
    gb_session_idle_timeout = seconds;
    DEBUG_PRINTF(DBG_CONFIG, "Session idle timeout = %u\n", static_cast<unsigned>(seconds));
}

// A value that does not read as an address must not be skipped: the file
// would then allow fewer peers than it says, or, with no other allow line,
// every peer.
void add_allowed_peer(ConfigState& st, const char* line, std::string_view word) {
    WS_CNTL* ws = st.ws;
    if (ws->allow_count >= kMaxAllowEntries) {
        std::fprintf(stderr, "%s: More than %zu allow lines: '%s'\n", prog_name, kMaxAllowEntries, line);
        st.invalid = true;
        return;
    }
    ALLOW_ENTRY entry{};
    if (!ParseAllowValue(word, &entry)) {
        std::fprintf(stderr, "%s: Allow line needs an IPv4 address or address/prefix (0-32): '%s'\n", prog_name,
                     line);
        st.invalid = true;
        return;
    }
    ws->allow_list[ws->allow_count++] = entry;
    DEBUG_PRINTF(DBG_CONFIG, "Allowing sessions from %.*s\n", static_cast<int>(word.size()), word.data());
}

bool needs_value(int token) {
    switch (token) {
        case CFG_FOLLOW_SYMDIRS:
        case CFG_PRESERVE_CTIME:
        case CFG_IGNORE_ACL_ERRORS:
        case CFG_POSIX_ACLS:
        case CFG_SPARSE_RESTORE:
        case CFG_XATTRS:
        case CFG_MAC_AS_UNIX:
        case CFG_UNKNOWN:
        case CFG_ALLOW:  // refused without its value, not ignored
            return false;
        default:
            return true;
    }
}

void handle_line(ConfigState& st, const char* line) {
    const char* p = line;
    skip_blanks(&p);
    if (*p == '#') return;

    const char* rest = nullptr;
    int token = get_token(p, &rest);
    std::string word(first_word(rest != nullptr ? rest : ""));
    if (needs_value(token) && word.empty()) {
        // A keyword without its value changes nothing.
        report_unrecognized(line);
        return;
    }

    WS_CNTL* ws = st.ws;
    int number = 0;
    switch (token) {
        case CFG_NAME:
            set_workstation_name(st, word);
            break;
        case CFG_PASSWORD:
            set_workstation_password(st, word);
            break;
        case CFG_EXPORT:
            export_directory(st, line, rest);
            break;
        case CFG_TELL_INTERVAL:
            // A negative count of seconds would turn into an interval of
            // decades; it is ignored like any value that is not a number.
            if (read_decimal(rest, &number) && number >= 0) {
                advertise_interval = static_cast<uint32_t>(number);
                DEBUG_PRINTF(DBG_CONFIG, "interval between advertisements is %d\n", number);
            }
            break;
        case CFG_TELL:
            DEBUG_PRINTF(DBG_CONFIG, "advertising to %s\n", word.c_str());
            if (add_to_export_list(ws, word.c_str()) == 0) ++st.servers;
            break;
        case CFG_FOLLOW_SYMDIRS:
            ws->follow_symdirs = 1;
            DEBUG_PRINTF(DBG_CONFIG, "Following Symbolic links\n");
            break;
        case CFG_EXCLUDE_FILE:
            DEBUG_PRINTF(DBG_CONFIG, "Excluding file %s\n", word.c_str());
            add_to_exclude_list(ws, EXCLUDE_FILE, word.c_str());
            break;
        case CFG_EXCLUDE_DIR:
            DEBUG_PRINTF(DBG_CONFIG, "Excluding directory %s\n", word.c_str());
            add_to_exclude_list(ws, EXCLUDE_DIR, word.c_str());
            break;
        case CFG_PRESERVE_CTIME:
            ws->preserve_ctime = 1;
            DEBUG_PRINTF(DBG_CONFIG, "Preserving inode Ctime on backup\n");
            break;
        case CFG_FORCE_ADDRESS:
            set_force_address(st, word);
            break;
        case CFG_LOGFILE:
            // A line holds at most kConfigLineMax characters, so the name fits.
            std::memset(ws->log_file_name, 0, kLogFileNameSize);
            word.copy(ws->log_file_name, kLogFileNameSize - 1);
            DEBUG_PRINTF(DBG_CONFIG, "Log file name=%s\n", ws->log_file_name);
            break;
        case CFG_NRL_CONN_TIMEOUT:
            if (read_decimal(rest, &number) && number >= 0) {
                gb_nrl_conn_timeout = static_cast<uint32_t>(number);
                DEBUG_PRINTF(DBG_CONFIG, "NRL connection timeout = %d\n", number);
            }
            break;
        case CFG_IGNORE_ACL_ERRORS:
            ws->ignore_acl_errors = 1;
            DEBUG_PRINTF(DBG_CONFIG, "Ignoring ACL errors\n");
            break;
        case CFG_POSIX_ACLS:
            ws->posix_acls = 1;
            DEBUG_PRINTF(DBG_CONFIG, "Carrying POSIX ACLs in the ACL stream\n");
            break;
        case CFG_SPARSE_RESTORE:
            ws->sparse_restore = 1;
            DEBUG_PRINTF(DBG_CONFIG, "Restoring sparse files\n");
            break;
        case CFG_SESSION_IDLE_TIMEOUT:
            set_session_idle_timeout(st, word);
            break;
        case CFG_ALLOW:
            add_allowed_peer(st, line, word);
            break;
        case CFG_XATTRS:
            ws->xattrs = 1;
            DEBUG_PRINTF(DBG_CONFIG, "Carrying extended attributes in the LXAT stream\n");
            break;
        default:  // unknown keyword, blank line, mac_as_unix
            report_unrecognized(line);
            break;
    }
}

}  // namespace

int read_config_file(WS_CNTL* ws, const char* path) {
    if (path == nullptr) path = kDefaultConfigFile;
    ws->ignore_acl_errors = 0;
    ws->posix_acls = 0;
    ws->sparse_restore = 0;
    ws->xattrs = 0;
    std::fprintf(stderr, "%s: Using configuration file: %s\n", prog_name, path);

    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        std::fprintf(stderr, "%s: Unable to open config file '%s'\n", prog_name, path);
        return 0;
    }

    ConfigState st{ws};
    char line[kConfigLineMax + 1];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        size_t len = std::strlen(line);
        if (len > 0 && line[len - 1] == '\n') line[--len] = '\0';
        if (len > 0 && line[len - 1] == '\r') line[--len] = '\0';
        handle_line(st, line);
    }
    if (std::ferror(file)) {
        // A file that stops part way must not pass for a complete one.
        std::fprintf(stderr, "%s: Error reading config file '%s'\n", prog_name, path);
        st.invalid = true;
    }
    std::fclose(file);

    if (st.exports == 0) {
        std::fprintf(stderr, "%s: No directories exported.\n", prog_name);
        st.invalid = true;
    } else if (st.servers == 0) {
        std::fprintf(stderr, "%s: No backup servers configured.\n", prog_name);
        st.invalid = true;
    }

    std::fflush(stdout);
    if (st.invalid) {
        std::fprintf(stderr, "%s: Invalid configuration file.\n", prog_name);
        return 0;
    }
    return 1;
}
