// The configuration file: read at start-up into the workstation control
// record, before any process is forked, and again into a fresh record when
// the listener is asked to reload it.
#pragma once

#include <climits>
#include <cstddef>
#include <string_view>

struct WS_CNTL;

inline constexpr const char* kDefaultConfigFile = "agent.cfg";
// A longer line makes the file invalid: read in pieces, its tail would be
// taken for a line of its own.
inline constexpr size_t kConfigLineMax = 8192;
// Longest export or exclude path, its terminator not counted.
inline constexpr size_t kConfigPathMax = PATH_MAX - 1;

// Reads path (nullptr: "agent.cfg") into ws. 1 when the file is valid, 0 when
// it is not; every fault found is reported on standard error.
int read_config_file(WS_CNTL* ws, const char* path);

// Appends one exported tree to ws->dle_list. A relative path is taken from
// the working directory at start-up. 0 added, 1 refused (reported).
int add_dle(WS_CNTL* ws, const char* path, const char* name, int write_protect, int password_required,
            const char* password, int local_only, int no_nfs_locking, int no_backup_locking);

// Appends a backup server to ws->tell_list. 0 added, 1 out of memory.
int add_to_export_list(WS_CNTL* ws, const char* server);

// Puts an exclusion (EXCLUDE_FILE or EXCLUDE_DIR) at the front of
// ws->exclude_list; out of memory leaves the chain unchanged.
void add_to_exclude_list(WS_CNTL* ws, int kind, const char* name);

// Frees what the configuration built in ws (exported trees, backup servers,
// exclusions) and leaves those lists empty.
void free_config_lists(WS_CNTL* ws);

// Replaces every character a resource name may not carry by "_".
void mangle_resource_name(char* name);

// "%s: Value of '<what>' is longer than <limit> characters: '<value>'".
void report_value_too_long(const char* what, size_t limit, std::string_view value);

// Prints a message about the configuration on standard error. While a line
// of the file is read, the message starts with "<file>:<line>: ", the file
// named as it was given.
void report_config(const char* format, ...) __attribute__((format(printf, 1, 2)));
