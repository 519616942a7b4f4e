// Splitting configuration lines: the keyword at the start of a line, its
// value, words of the value and decimal numbers.
#pragma once

#include <string_view>

enum ConfigKeyword : int {
    CFG_UNKNOWN = -1,
    CFG_NAME = 1,
    CFG_PASSWORD = 2,
    CFG_EXPORT = 3,
    CFG_TELL = 4,
    CFG_TELL_INTERVAL = 5,
    CFG_FOLLOW_SYMDIRS = 6,
    CFG_EXCLUDE_FILE = 7,
    CFG_EXCLUDE_DIR = 8,
    CFG_LOGFILE = 9,
    CFG_PRESERVE_CTIME = 10,
    CFG_FORCE_ADDRESS = 11,
    CFG_NRL_CONN_TIMEOUT = 12,
    CFG_MAC_AS_UNIX = 13,
    CFG_IGNORE_ACL_ERRORS = 14,
    CFG_SESSION_IDLE_TIMEOUT = 15,
    CFG_ALLOW = 16,
    CFG_POSIX_ACLS = 17,
    CFG_SPARSE_RESTORE = 18,
    CFG_XATTRS = 19,
    CFG_LINUX_METADATA = 20,
};

// The keyword line begins with, or CFG_UNKNOWN. rest points at the value
// (after the first word and the blanks that follow it), or is nullptr when
// the line has nothing more.
int get_token(const char* line, const char** rest);

// Advances p over spaces, tabs, line feeds, vertical tabs, form feeds and
// carriage returns.
void skip_blanks(const char** p);

// The first white-space-delimited word of text; empty when there is none.
std::string_view first_word(const char* text);

// Splits text into at most max_words white-space-delimited words; returns
// how many were stored. Words beyond max_words are not read.
int split_words(const char* text, std::string_view* words, int max_words);

// Reads a decimal integer the way "%d" does: leading white space, an
// optional sign, digits, anything after them ignored. Values beyond the
// range of int are clamped. false when no digit is found.
bool read_decimal(const char* text, int* value);
