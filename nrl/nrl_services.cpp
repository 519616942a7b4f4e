// Small services of the layer: its error messages, descriptor closing.
#include <cstdarg>
#include <cstdio>
#include <unistd.h>

#include "nrl/nrl.h"

void nrl_error(const char* format, ...) {
    FILE* stream = uw_nrl_def.error_stream;
    if (stream == nullptr) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stream, format, args);
    va_end(args);
    std::fflush(stream);
}

void Panic() {}

void CloseFile(int* fd) {
    if (*fd > 0) {
        close(*fd);
        *fd = -1;
    }
}

void NRLSetErrorHandler(NRLErrorHandler handler) {
    uw_nrl_state.error_handler = handler;
}
