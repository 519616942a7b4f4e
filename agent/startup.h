// Entry of the agent: banner, command line, initialisation, then the listener.
#pragma once

extern const char* config_file;    // "-c"; nullptr means "agent.cfg" in the working directory
extern const char* usage_message;  // the option summary printed after a usage error
extern int config_test;            // "-t": check what a start checks, report, exit 0 (valid) or 1

inline constexpr const char* kAgentTitle = "Vestrel -- Unix Agent, Version 5.01";
inline constexpr const char* kAgentRevision = "5.046";

// parse_command_line's result when an option did all there was to do
// (-V, --version, -h, --help); the caller exits with 0.
inline constexpr int kCommandLineDone = 2;

// Reads the options into config_file, grfs_debug, nrl_debug_flag and config_test.
// Returns 0, 1 after printing a usage error (the caller exits with 1), or
// kCommandLineDone.
int parse_command_line(int argc, char** argv);

// The whole start-up; returns the process exit status.
int main_v(int argc, char** argv);
