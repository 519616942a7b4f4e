#include "agent/config_tokens.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

struct KeywordEntry {
    const char* word;
    ConfigKeyword token;
};

// Tried in this order, each over its full length, first match wins; so
// tell_interval must come before tell.
constexpr KeywordEntry kKeywords[] = {
    {"name", CFG_NAME},
    {"password", CFG_PASSWORD},
    {"export", CFG_EXPORT},
    {"tell_interval", CFG_TELL_INTERVAL},
    {"tell", CFG_TELL},
    {"follow_symdirs", CFG_FOLLOW_SYMDIRS},
    {"exclude_file", CFG_EXCLUDE_FILE},
    {"exclude_dir", CFG_EXCLUDE_DIR},
    {"preserve_ctime", CFG_PRESERVE_CTIME},
    {"force_address", CFG_FORCE_ADDRESS},
    {"logfile", CFG_LOGFILE},
    {"nrl_conn_timeout", CFG_NRL_CONN_TIMEOUT},
    {"mac_as_unix", CFG_MAC_AS_UNIX},
    {"ignore_acl_errors", CFG_IGNORE_ACL_ERRORS},
    {"session_idle_timeout", CFG_SESSION_IDLE_TIMEOUT},
    {"allow", CFG_ALLOW},
    {"posix_acls", CFG_POSIX_ACLS},
    {"sparse_restore", CFG_SPARSE_RESTORE},
    {"xattrs", CFG_XATTRS},
    {"linux_metadata", CFG_LINUX_METADATA},
};

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

int get_token(const char* line, const char** rest) {
    // The first word ends at a space or tab only; the value starts after the
    // spaces and tabs that follow it.
    const char* p = line;
    while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
    while (*p == ' ' || *p == '\t') ++p;
    *rest = (*p == '\0') ? nullptr : p;

    for (const auto& entry : kKeywords) {
        if (std::strncmp(line, entry.word, std::strlen(entry.word)) == 0) return entry.token;
    }
    return CFG_UNKNOWN;
}

void skip_blanks(const char** p) {
    while (is_blank(**p)) ++*p;
}

std::string_view first_word(const char* text) {
    std::string_view word;
    split_words(text, &word, 1);
    return word;
}

int split_words(const char* text, std::string_view* words, int max_words) {
    int n = 0;
    const char* p = text;
    while (n < max_words) {
        skip_blanks(&p);
        if (*p == '\0') break;
        const char* start = p;
        while (*p != '\0' && !is_blank(*p)) ++p;
        words[n++] = std::string_view(start, static_cast<size_t>(p - start));
    }
    return n;
}

bool read_decimal(const char* text, int* value) {
    const char* p = text;
    skip_blanks(&p);
    const char* digits = p;
    if (*digits == '+' || *digits == '-') ++digits;
    if (*digits < '0' || *digits > '9') return false;
    long v = std::strtol(p, nullptr, 10);
    if (v > INT_MAX) v = INT_MAX;
    if (v < INT_MIN) v = INT_MIN;
    *value = static_cast<int>(v);
    return true;
}
