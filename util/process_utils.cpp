#include "util/process_utils.h"

#include <cstdio>
#include <unistd.h>

pid_t fork_v() { return fork(); }

void debug_pause() {
    char name[32];
    std::snprintf(name, sizeof name, "%d", static_cast<int>(getpid()));
    FILE* marker = std::fopen(name, "w");
    if (marker == nullptr) {
        std::fprintf(stderr, "Waiting and sleeping forever ...\n");
        for (;;) sleep(7);
    }
    std::fclose(marker);
    std::fprintf(stderr, "Waiting for deletion of file \"%s\".\n", name);
    for (;;) {
        sleep(3);
        FILE* still = std::fopen(name, "r");
        if (still == nullptr) return;
        std::fclose(still);
    }
}
