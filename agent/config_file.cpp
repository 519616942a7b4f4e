// Reading the configuration file line by line.
#include "agent/config_file.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "agent/allow_list.h"
#include "agent/config_tokens.h"
#include "agent/password_words.h"
#include "agent/session_process.h"
#include "unixfs/session/workstation.h"
#include "util/debug_print.h"

namespace {

// Where the reader is: messages about a line name the file and the line.
const char* report_path = nullptr;
int report_line = 0;

// Every word of an export line is read; this only bounds the split.
constexpr int kExportWordsMax = 512;

constexpr std::string_view kExportOptions =
    "password <word>, write_protect, include_remote, no_nfs_locking, no_backup_locking";

// Whole seconds, digits only: a typo must not pass for another number.
constexpr size_t kSecondsMaxDigits = 9;  // up to 999999999 seconds, some 31 years

struct ConfigState {
    WS_CNTL* ws;
    int exports = 0;
    int servers = 0;
    bool invalid = false;
};

char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

void report_unrecognized(const char* line) {
    report_config("Unrecognized config file line '%s'\n", HidePasswords(line).c_str());
}

// "=" and "#..." are what "password = X" and "password # none" leave as the
// first word: never what the administrator meant as a password.
bool password_refused(ConfigState& st, std::string_view word) {
    if (word != "=" && word.substr(0, 1) != "#") return false;
    // The refused word itself may be a real password: it is not shown.
    report_config("%s: Password may not be '=' or start with '#'\n", prog_name);
    st.invalid = true;
    return true;
}

// Digits only, at most kSecondsMaxDigits of them; reported otherwise.
bool read_seconds(ConfigState& st, const char* keyword, std::string_view word, uint32_t* seconds) {
    constexpr std::string_view kDigits = "0123456789";
    if (word.find_first_not_of(kDigits) != std::string_view::npos || word.size() > kSecondsMaxDigits) {
        report_config("%s: Value of '%s' is not a number of seconds: '%.*s'\n", prog_name, keyword,
                      static_cast<int>(word.size()), word.data());
        st.invalid = true;
        return false;
    }
    uint32_t value = 0;
    for (char c : word) value = value * 10 + static_cast<uint32_t>(c - '0');
    *seconds = value;
    return true;
}

// A path longer than the system takes would be cut or fail later.
bool path_fits(ConfigState& st, const char* keyword, std::string_view word) {
    if (word.size() <= kConfigPathMax) return true;
    report_value_too_long(keyword, kConfigPathMax, word);
    st.invalid = true;
    return false;
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
    if (password_refused(st, word)) return;
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

// "<path> as <name> [option ...]". Every option word is read; one that is
// not an option, or a password without its word, refuses the export: read
// otherwise, it would export something other than the line says.
void export_directory(ConfigState& st, const char* line, const char* value) {
    std::string_view words[kExportWordsMax];
    int n = split_words(value, words, kExportWordsMax);
    if (n < 3 || words[1] != "as") {
        report_config("%s: Export line needs a path, the word 'as' and a resource name: '%s'\n", prog_name,
                      HidePasswords(line).c_str());
        st.invalid = true;
        return;
    }
    if (n == kExportWordsMax) {
        report_config("%s: Export line has more than %d words\n", prog_name, kExportWordsMax - 1);
        st.invalid = true;
        return;
    }
    std::string path(words[0]);
    std::string name(words[2]);

    int write_protect = 0;
    int password_required = 0;
    std::string password;
    int local_only = 1;
    int no_nfs_locking = 0;
    int no_backup_locking = 0;
    bool refused = false;
    for (int i = 3; i < n; ++i) {
        std::string_view opt = words[i];
        if (opt == "password") {
            // The word after "password" is the password, never an option.
            if (i + 1 >= n) {
                report_config("%s: Export option 'password' needs a value\n", prog_name);
                refused = true;
                continue;
            }
            password_required = 1;
            password = words[++i];
            if (password_refused(st, password)) refused = true;
        } else if (opt == "write_protect") {
            write_protect = 1;
        } else if (opt == "include_remote") {
            local_only = 0;
        } else if (opt == "no_nfs_locking") {
            no_nfs_locking = 1;
        } else if (opt == "no_backup_locking") {
            no_backup_locking = 1;
        } else {
            report_config("%s: Unknown export option '%.*s' (options are %.*s)\n", prog_name,
                          static_cast<int>(opt.size()), opt.data(), static_cast<int>(kExportOptions.size()),
                          kExportOptions.data());
            refused = true;
            // A misspelt "Password" still announces one: its word is skipped,
            // never reported as another unknown option.
            if (IsPasswordWord(opt) && i + 1 < n) ++i;
        }
    }
    if (refused || !path_fits(st, "export path", path)) {
        st.invalid = true;
        return;
    }

    std::string shown[4];  // the trace shows the first four option words
    for (int i = 0; i < 4 && 3 + i < n; ++i) {
        shown[i] = (i > 0 && words[2 + i] == "password") ? std::string(kHiddenPassword) : std::string(words[3 + i]);
    }
    DEBUG_PRINTF(DBG_CONFIG, "exporting %s as %s %s %s %s %s\n", path.c_str(), name.c_str(), shown[0].c_str(),
                 shown[1].c_str(), shown[2].c_str(), shown[3].c_str());
    if (add_dle(st.ws, path.c_str(), name.c_str(), write_protect, password_required, password.c_str(), local_only,
                no_nfs_locking, no_backup_locking) == 0) {
        ++st.exports;
    } else {
        st.invalid = true;
    }
}

// A dotted IPv4 address of this host: one that is not would have the agent
// listen on every interface, or fail only at start.
void set_force_address(ConfigState& st, const std::string& word) {
    in_addr parsed{};
    // inet_pton takes the four decimal parts only, no shorthand or hex.
    if (inet_pton(AF_INET, word.c_str(), &parsed) != 1 || parsed.s_addr == INADDR_NONE) {
        report_config("force_address: Unable to parse IP address=%s\n", word.c_str());
        st.invalid = true;
        return;
    }
    DEBUG_PRINTF(DBG_CONFIG, "force_address: Verifying IP address=%s\n", word.c_str());
    if (parsed.s_addr != 0) {
        // A throwaway socket on port 0 says whether the address is ours.
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr = parsed;
        int err = 0;
        if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0) err = errno;
        if (fd >= 0) close(fd);
        if (err != 0) {
            report_config("%s: force_address %s is not an address of this host: %s\n", prog_name, word.c_str(),
                          std::strerror(err));
            st.invalid = true;
            return;
        }
        report_config("%s: Forcing IP address: %s\n", prog_name, word.c_str());
    } else {
        report_config("%s: Using default local IP address.\n", prog_name);
    }
    st.ws->force_address = parsed.s_addr;
}

// A typo must not pass for "no limit".
void set_session_idle_timeout(ConfigState& st, std::string_view word) {
    uint32_t seconds = 0;
    if (!read_seconds(st, "session_idle_timeout", word, &seconds)) return;
    gb_session_idle_timeout = seconds;
    DEBUG_PRINTF(DBG_CONFIG, "Session idle timeout = %u\n", static_cast<unsigned>(seconds));
}

// A value that does not read as an address must not be skipped: the file
// would then allow fewer peers than it says, or, with no other allow line,
// every peer.
void add_allowed_peer(ConfigState& st, const char* line, std::string_view word) {
    WS_CNTL* ws = st.ws;
    if (ws->allow_count >= kMaxAllowEntries) {
        report_config("%s: More than %zu allow lines: '%s'\n", prog_name, kMaxAllowEntries, line);
        st.invalid = true;
        return;
    }
    ALLOW_ENTRY entry{};
    if (!ParseAllowValue(word, &entry)) {
        report_config("%s: Allow line needs an IPv4 address or address/prefix (0-32): '%s'\n", prog_name, line);
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
        case CFG_LINUX_METADATA:
        case CFG_MAC_AS_UNIX:
        case CFG_UNKNOWN:
        case CFG_ALLOW:  // refused without its value, not ignored
            return false;
        default:
            return true;
    }
}

// A non-breaking space looks like a blank but is not one: the words around
// it would be read as one. U+00A0 in UTF-8, or the byte A0 of Latin-1.
bool holds_non_breaking_space(std::string_view line) {
    for (size_t i = 0; i < line.size(); ++i) {
        auto c = static_cast<unsigned char>(line[i]);
        if (c == 0xC2 && i + 1 < line.size() && static_cast<unsigned char>(line[i + 1]) == 0xA0) return true;
        if (c == 0xA0 && (i == 0 || static_cast<unsigned char>(line[i - 1]) < 0x80)) return true;
    }
    return false;
}

void handle_line(ConfigState& st, const char* line) {
    const char* p = line;
    skip_blanks(&p);
    // Empty lines and comments say nothing and are not reported.
    if (*p == '\0' || *p == '#') return;
    if (holds_non_breaking_space(line)) {
        report_config("%s: Line holds a non-breaking space; separate words with spaces or tabs: '%s'\n", prog_name,
                      HidePasswords(line).c_str());
        st.invalid = true;
        return;
    }

    const char* rest = nullptr;
    int token = get_token(p, &rest);
    std::string word(first_word(rest != nullptr ? rest : ""));
    if (needs_value(token) && word.empty()) {
        // A keyword without its value changes nothing.
        report_unrecognized(line);
        return;
    }

    WS_CNTL* ws = st.ws;
    uint32_t seconds = 0;
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
            if (read_seconds(st, "tell_interval", word, &seconds)) {
                advertise_interval = seconds;
                DEBUG_PRINTF(DBG_CONFIG, "interval between advertisements is %d\n", static_cast<int>(seconds));
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
            if (!path_fits(st, "exclude_file", word)) break;
            DEBUG_PRINTF(DBG_CONFIG, "Excluding file %s\n", word.c_str());
            add_to_exclude_list(ws, EXCLUDE_FILE, word.c_str());
            break;
        case CFG_EXCLUDE_DIR:
            if (!path_fits(st, "exclude_dir", word)) break;
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
            if (word.size() > kLogFileNameSize - 1) {
                report_value_too_long("logfile", kLogFileNameSize - 1, word);
                st.invalid = true;
                break;
            }
            std::memset(ws->log_file_name, 0, kLogFileNameSize);
            word.copy(ws->log_file_name, kLogFileNameSize - 1);
            DEBUG_PRINTF(DBG_CONFIG, "Log file name=%s\n", ws->log_file_name);
            break;
        case CFG_NRL_CONN_TIMEOUT:
            if (read_seconds(st, "nrl_conn_timeout", word, &seconds)) {
                gb_nrl_conn_timeout = seconds;
                DEBUG_PRINTF(DBG_CONFIG, "NRL connection timeout = %d\n", static_cast<int>(seconds));
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
        case CFG_LINUX_METADATA:
            ws->linux_metadata = 1;
            DEBUG_PRINTF(DBG_CONFIG, "Carrying times and inode flags in the LXMD stream\n");
            break;
        default:  // unknown keyword, mac_as_unix
            report_unrecognized(line);
            break;
    }
}

// Reads the next line without its line end into line. False at the end of
// the file. A line longer than the limit is read to its end all the same,
// so that its tail is never taken for a line of its own.
bool next_line(FILE* file, std::string& line, bool* too_long) {
    line.clear();
    *too_long = false;
    int c;
    bool any = false;
    while ((c = std::getc(file)) != EOF) {
        any = true;
        if (c == '\n') break;
        if (line.size() <= kConfigLineMax) {
            line.push_back(static_cast<char>(c));
        } else {
            *too_long = true;
        }
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kConfigLineMax) *too_long = true;
    return any;
}

// Returns errno as the reading ended (a read error leaves it set).
int read_lines(ConfigState& st, FILE* file) {
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    std::string line;
    bool too_long = false;
    while (next_line(file, line, &too_long)) {
        ++report_line;
        // Editors may start a UTF-8 file with a byte-order mark.
        if (report_line == 1 && line.starts_with(kByteOrderMark)) line.erase(0, kByteOrderMark.size());
        if (too_long) {
            report_config("%s: Line is longer than %zu bytes\n", prog_name, kConfigLineMax);
            st.invalid = true;
        } else if (line.find('\0') != std::string::npos) {
            report_config("%s: Line holds a zero byte\n", prog_name);
            st.invalid = true;
        } else {
            handle_line(st, line.c_str());
        }
        errno = 0;
    }
    return errno;
}

}  // namespace

void report_config(const char* format, ...) {
    if (report_path != nullptr && report_line > 0) std::fprintf(stderr, "%s:%d: ", report_path, report_line);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

int read_config_file(WS_CNTL* ws, const char* path) {
    if (path == nullptr) path = kDefaultConfigFile;
    ws->ignore_acl_errors = 0;
    ws->posix_acls = 0;
    ws->sparse_restore = 0;
    ws->xattrs = 0;
    ws->linux_metadata = 0;
    std::fprintf(stderr, "%s: Using configuration file: %s\n", prog_name, path);

    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        std::fprintf(stderr, "%s: Unable to open config file '%s': %s\n", prog_name, path, std::strerror(errno));
        return 0;
    }

    ConfigState st{ws};
    report_path = path;
    report_line = 0;
    const int read_errno = read_lines(st, file);
    report_path = nullptr;
    report_line = 0;
    if (std::ferror(file)) {
        // A file that stops part way must not pass for a complete one.
        std::fprintf(stderr, "%s: Error reading config file '%s': %s\n", prog_name, path, std::strerror(read_errno));
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
