#include "client/command_line.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "client/socket_io.h"
#include "util/unique_fd.h"

namespace grfs_client {

const char* const kSessionOptionsHelp =
    "\n"
    "Session options:\n"
    "  --workstation NAME  workstation name to attach to. An agent without a 'name'\n"
    "                      line is called after its host name; a 'name' line is\n"
    "                      upper-cased with every character other than A-Z and 0-9\n"
    "                      made '_'. Default: for a host name, its first label as\n"
    "                      written, then that label so mangled; for a loopback\n"
    "                      address, this host's name, then mangled. Required for\n"
    "                      any other address. 'grfsclient adverts' shows the name\n"
    "                      (the resource name after its 2044 or 2045).\n"
    "  --ws-password P     workstation password (sent upper-cased, as the agent keeps it)\n"
    "  --ws-password-file FILE  the workstation password from the first line of FILE\n"
    "  --password P        the export's password (sent upper-cased)\n"
    "  --password-file FILE  the export's password from the first line of FILE\n"
    "  --timeout SECONDS   longest wait for any reply (default 300)\n"
    "A password on the command line shows in the process list; a password file, or\n"
    "the environment variables GRFS_WS_PASSWORD and GRFS_PASSWORD (taken when no\n"
    "option gives the password), do not.\n";

bool ParsedArgs::flag(const std::string& name) const {
    return std::find(flags.begin(), flags.end(), name) != flags.end();
}

std::optional<std::string> ParsedArgs::value(const std::string& name) const {
    auto it = values.find(name);
    if (it == values.end()) return std::nullopt;
    return it->second;
}

std::vector<OptionSpec> with_session_options(std::vector<OptionSpec> specs) {
    specs.push_back({"--workstation", true});
    specs.push_back({"--ws-password", true});
    specs.push_back({"--ws-password-file", true});
    specs.push_back({"--password", true});
    specs.push_back({"--password-file", true});
    specs.push_back({"--timeout", true});
    return specs;
}

Result<ParsedArgs> parse_args(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs) {
    ParsedArgs parsed;
    bool options_done = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            parsed.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            parsed.help = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> inline_value;
        if (auto eq = arg.find('='); eq != std::string::npos && arg.rfind("--", 0) == 0) {
            name = arg.substr(0, eq);
            inline_value = arg.substr(eq + 1);
        }
        const OptionSpec* option = nullptr;
        for (const OptionSpec& s : specs)
            if (name == s.name) option = &s;
        if (option == nullptr) return make_error(ErrorKind::usage, "unknown option '" + name + "'");
        if (!option->takes_value) {
            if (inline_value) return make_error(ErrorKind::usage, "option '" + name + "' takes no value");
            parsed.flags.push_back(name);
            continue;
        }
        if (!inline_value) {
            if (i + 1 >= args.size()) return make_error(ErrorKind::usage, "option '" + name + "' needs a value");
            inline_value = args[++i];
        }
        parsed.values[name] = *inline_value;
    }
    return parsed;
}

Result<long> parse_number(const std::string& option, const std::string& text, long min, long max) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < min || value > max)
        return make_error(ErrorKind::usage, option + " wants a number from " + std::to_string(min) + " to " +
                                                std::to_string(max) + ", not '" + text + "'");
    return value;
}

namespace {

// The first line of a password file, without its line end.
Result<std::string> read_password_file(const std::string& option, const std::string& path) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid()) return make_error(ErrorKind::usage, option + ": cannot open " + path + ": " + std::strerror(errno));
    std::string text;
    char buffer[512];
    for (;;) {
        const ssize_t n = read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return make_error(ErrorKind::usage, option + ": cannot read " + path + ": " + std::strerror(errno));
        if (n == 0) break;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > 4096) return make_error(ErrorKind::usage, option + ": " + path + " is too long for a password file");
    }
    text = text.substr(0, text.find('\n'));
    if (!text.empty() && text.back() == '\r') text.pop_back();
    return text;
}

// The option's value, else the file's first line, else the environment
// variable, else no password.
Result<std::string> password_from(const ParsedArgs& args, const std::string& option, const std::string& file_option,
                                  const char* variable) {
    auto given = args.value(option);
    auto file = args.value(file_option);
    if (given && file) return make_error(ErrorKind::usage, "give " + option + " or " + file_option + ", not both");
    if (given) return *given;
    if (file) return read_password_file(file_option, *file);
    if (const char* value = std::getenv(variable)) return std::string(value);
    return std::string();
}

}  // namespace

Result<PeerOptions> peer_options(const ParsedArgs& args, const std::string& host_port) {
    auto endpoint = parse_endpoint(host_port, kDefaultSessionPort);
    if (!endpoint.ok()) return endpoint.error();
    if (endpoint->host.empty()) return make_error(ErrorKind::usage, "no host in '" + host_port + "'");
    PeerOptions options;
    options.endpoint = *endpoint;
    if (auto name = args.value("--workstation")) {
        if (name->empty()) return make_error(ErrorKind::usage, "--workstation needs a name");
        options.workstation_names.push_back(*name);
    }
    auto ws_password = password_from(args, "--ws-password", "--ws-password-file", kWorkstationPasswordVariable);
    if (!ws_password.ok()) return ws_password.error();
    options.workstation_password = *ws_password;
    auto dle_password = password_from(args, "--password", "--password-file", kPasswordVariable);
    if (!dle_password.ok()) return dle_password.error();
    options.dle_password = *dle_password;
    if (auto t = args.value("--timeout")) {
        auto seconds = parse_number("--timeout", *t, 1, 86400);
        if (!seconds.ok()) return seconds.error();
        options.connect.reply_timeout_ms = static_cast<int>(*seconds * 1000);
    }
    return options;
}

Result<Peer> open_peer(const PeerOptions& options, const std::string& dle) {
    auto peer = Peer::connect(options);
    if (!peer.ok()) return peer.error();
    if (Status s = peer->attach(dle); !s.ok()) return s;
    return peer;
}

int report_error(const CommandIo& io, const char* command, const std::string& text, int status) {
    std::fprintf(io.err, "grfsclient %s: %s\n", command, text.c_str());
    return status;
}

namespace {

const char* const kMainHelp =
    "usage: grfsclient COMMAND [OPTIONS] ...\n"
    "\n"
    "A peer of the Vestrel Unix agent: it speaks to the agent as a backup server does.\n"
    "\n"
    "Commands:\n"
    "  adverts  receive the agent's advertisements and print them\n"
    "  ping     time verify round trips on a session\n"
    "  ls       list the exports of an agent, or the objects of one export\n"
    "  backup   store an export in an archive file\n"
    "  restore  write an archive back into an export\n"
    "  verify   compare an export with an archive\n"
    "\n"
    "'grfsclient COMMAND --help' describes each command.\n"
    "Exit status: 0 success, 1 failure or differences found, 2 usage error.\n";

}  // namespace

int grfsclient_main(int argc, char** argv, const CommandIo& io) {
    if (argc < 2) {
        std::fputs(kMainHelp, io.err);
        return kExitUsage;
    }
    const std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kMainHelp, io.out);
        return kExitOk;
    }
    if (command == "adverts") return command_adverts(args, io);
    if (command == "ping") return command_ping(args, io);
    if (command == "ls") return command_ls(args, io);
    if (command == "backup") return command_backup(args, io);
    if (command == "restore") return command_restore(args, io);
    if (command == "verify") return command_verify(args, io);
    std::fprintf(io.err, "grfsclient: unknown command '%s'; try 'grfsclient --help'\n", command.c_str());
    return kExitUsage;
}

}  // namespace grfs_client
