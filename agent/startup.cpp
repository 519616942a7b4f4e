#include "agent/startup.h"

#include <cstdio>
#include <cstring>

#include "agent/init_workstation.h"
#include "agent/listener.h"
#include "nrl/nrl_debug.h"
#include "nrl/tli.h"
#include "unixfs/session/workstation.h"
#include "util/debug_print.h"

const char* config_file = nullptr;
int config_test = 0;
const char* usage_message =
    "[-c config file] [-d [mask]] [-nd] [-t] [-V] [-h]\n"
    "\t[-d [mask]] -- turns on debug messages; mask: the sum of 1 sessions, 2 configuration\n"
    "\t\tand files, 4 directories, 8 object data, 16 requests and replies (default: all)\n"
    "\t[-nd] -- turns on network debug messages\n"
    "\t[-t] -- checks the configuration file and exits\n"
    "\t[-V | --version] -- prints the version and exits\n"
    "\t[-h | --help] -- prints this text and exits\n";

namespace {

constexpr const char* kOwnerNotice = "Copyright (c) Vestrel Software.  All rights reserved.";

void print_usage(FILE* stream = stderr) {
    std::fprintf(stream, "%s: Usage %s\n%s", prog_name, prog_name, usage_message);
}

// A backup server whose name does not resolve now is no reason to stay down
// (a name server may be slow at boot): a start advertises to it once it
// resolves. Said the same way by a check and by a start.
void warn_unresolved_servers(const WS_CNTL* ws) {
    for (const auto* t = QueueHead<TELL_ENTRY>(ws->tell_list); t != nullptr; t = QueueNext(t)) {
        uint32_t address = 0;
        if (t->name != nullptr && !LookupHostIPv4(t->name, &address)) {
            std::fprintf(stderr,
                         "%s: Warning: backup server %s cannot be resolved now; the agent starts all the same "
                         "and tries it again at every advertisement\n",
                         prog_name, t->name);
        }
    }
}

// follow_symdirs follows links only inside writable exports: there the
// server itself can restore links, and one to "/" must not open the host.
void report_confined_links(const WS_CNTL* ws) {
    if (ws->follow_symdirs == 0) return;
    for (const auto* dle = QueueHead<DLE_RECORD>(ws->dle_list); dle != nullptr; dle = QueueNext(dle)) {
        if (dle->writable != 0) {
            std::fprintf(stderr, "%s: Export '%s' is writable: symbolic links there are followed only inside it.\n",
                         prog_name, dle->export_path);
        }
    }
}

}  // namespace

int parse_command_line(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "-c") == 0) {
            if (i + 1 >= argc) {
                // Falling back to the default file would quietly run a
                // configuration the administrator did not name.
                std::fprintf(stderr, "%s: Option -c needs a configuration file name\n", prog_name);
                print_usage();
                return 1;
            }
            config_file = argv[++i];
        } else if (std::strcmp(arg, "-d") == 0) {
            grfs_debug = 0xFFFF;
            int mask = 0;
            if (i + 1 < argc && std::sscanf(argv[i + 1], "%d", &mask) == 1) {
                grfs_debug = static_cast<uint16_t>(mask);
                ++i;
            }
        } else if (std::strcmp(arg, "-nd") == 0) {
            nrl_debug_flag = 1;
        } else if (std::strcmp(arg, "-t") == 0) {
            config_test = 1;
        } else if (std::strcmp(arg, "-V") == 0 || std::strcmp(arg, "--version") == 0) {
            // The banner, already printed, is the version.
            return kCommandLineDone;
        } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            print_usage(stdout);
            return kCommandLineDone;
        } else {
            std::fprintf(stderr, "%s: Unknown option %s\n", prog_name, arg);
            print_usage();
            return 1;
        }
    }
    return 0;
}

int main_v(int argc, char** argv) {
    if (argc > 0 && argv[0] != nullptr) prog_name = argv[0];

    std::printf("%s Revision %s\n", kAgentTitle, kAgentRevision);
    std::printf("%s\n", kOwnerNotice);
    // Forked processes would otherwise write a buffered banner again.
    std::fflush(stdout);

    switch (parse_command_line(argc, argv)) {
        case 0:
            break;
        case kCommandLineDone:
            return 0;
        default:
            return 1;
    }

    std::memset(&ws_cntl, 0, sizeof ws_cntl);

    // A configuration test stops before anything a start leaves behind: the
    // log file, the session port, the advertisements and the forks.
    const int status = config_test != 0 ? read_ws_configuration(&ws_cntl, config_file)
                                        : init_ws_structures(&ws_cntl, config_file);
    if (status != 0) {
        std::fprintf(stderr, "%s: %s\n", prog_name, "Agent initialization failed.");
        // A check and a start fail alike; a service manager restarts a start
        // that failed.
        return 1;
    }

    std::fprintf(stderr, "%s: Agent configuration OK.\n", prog_name);
    std::fprintf(stderr, "%s: Workstation Name: \"%s\"\n", prog_name, ws_cntl.workstation_name);
    report_confined_links(&ws_cntl);
    warn_unresolved_servers(&ws_cntl);
    if (config_test != 0) return 0;

    return Listen_Process(&ws_cntl);
}
