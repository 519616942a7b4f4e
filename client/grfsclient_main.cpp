// grfsclient: a peer of the agent for administrators and tests.
#include <unistd.h>

#include <csignal>

#include "client/command_line.h"

int main(int argc, char** argv) {
    // A closed connection is an error to report, not a signal to die of.
    std::signal(SIGPIPE, SIG_IGN);
    grfs_client::CommandIo io;
    io.progress = isatty(STDERR_FILENO) != 0;
    return grfs_client::grfsclient_main(argc, argv, io);
}
