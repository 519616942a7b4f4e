// Building the workstation control record at start-up.
#pragma once

#include <cstdio>

struct WS_CNTL;

// Fills ws from the configuration file at config_path (nullptr: "agent.cfg"),
// opens the log file and fixes the GRFS limits. 0 on success, 1 on failure
// (the reason is already on standard error).
int init_ws_structures(WS_CNTL* ws, const char* config_path);

// The part of init_ws_structures that judges the configuration: the root
// directory, the configuration file and the workstation name. Opens no
// file for writing, so a configuration test ("-t") can stop after it.
// 0 when the configuration is usable, 1 otherwise (reason on standard error).
int read_ws_configuration(WS_CNTL* ws, const char* config_path);

// The part of the record the configuration decides, as a start builds it and
// a reload rebuilds it in a cleared record: the file's settings and lists,
// the host name when the file names no workstation, and the built-in
// exclusions. 0 on success, 1 on failure (reported on standard error).
int read_workstation_config(WS_CNTL* ws, const char* config_path);

// Adds the platform's built-in directory exclusions (kind 2) to ws: the
// mount points of kernel pseudo file systems, in mount-table order.
void add_builtin_exclusions(WS_CNTL* ws);

