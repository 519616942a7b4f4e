// The command line of grfsclient: option parsing shared by the commands,
// the options that open a session, and the entry point.
#pragma once

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "client/peer.h"
#include "client/result.h"

namespace grfs_client {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the operation failed, or found differences
constexpr int kExitUsage = 2;

struct CommandIo {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    bool progress = false;  // a progress line on err (a terminal)
};

struct OptionSpec {
    const char* name;   // "--count", "-R"
    bool takes_value;
};

struct ParsedArgs {
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;  // options with a value
    std::vector<std::string> flags;             // options without one
    bool help = false;

    bool flag(const std::string& name) const;
    std::optional<std::string> value(const std::string& name) const;
};

// "--name value", "--name=value", flags; "--help" and "-h" set help; "--"
// ends the options.
Result<ParsedArgs> parse_args(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs);

// A whole number in [min, max].
Result<long> parse_number(const std::string& option, const std::string& text, long min, long max);

// Environment variables that give the passwords when no option does.
constexpr const char* kWorkstationPasswordVariable = "GRFS_WS_PASSWORD";
constexpr const char* kPasswordVariable = "GRFS_PASSWORD";

// The options every session command takes, turned into PeerOptions:
// --workstation NAME, --ws-password P, --ws-password-file FILE, --password P,
// --password-file FILE, --timeout SECONDS.
std::vector<OptionSpec> with_session_options(std::vector<OptionSpec> specs);
Result<PeerOptions> peer_options(const ParsedArgs& args, const std::string& host_port);

// Connects, attaches to the workstation and to the DLE.
Result<Peer> open_peer(const PeerOptions& options, const std::string& dle);

// Prints "grfsclient COMMAND: text" on err and returns status.
int report_error(const CommandIo& io, const char* command, const std::string& text, int status);

// The commands; args excludes the program and command names.
int command_adverts(const std::vector<std::string>& args, const CommandIo& io);
int command_ping(const std::vector<std::string>& args, const CommandIo& io);
int command_ls(const std::vector<std::string>& args, const CommandIo& io);
int command_backup(const std::vector<std::string>& args, const CommandIo& io);
int command_restore(const std::vector<std::string>& args, const CommandIo& io);
int command_verify(const std::vector<std::string>& args, const CommandIo& io);

// argv[1] is the command.
int grfsclient_main(int argc, char** argv, const CommandIo& io);

// Shared help text of the session options.
extern const char* const kSessionOptionsHelp;

}  // namespace grfs_client
