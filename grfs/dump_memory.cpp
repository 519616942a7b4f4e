// Hex dump of a memory area into the message log.
#include <cstdio>

#include "grfs/message_trace.h"

void DumpMemory(const void* address, int count) {
    FILE* out = dbg_file;
    if (out == nullptr) return;
    // Long areas are cut after 200 bytes; the dots say that more followed.
    constexpr int kPerLine = 20;
    constexpr int kMaxBytes = 200;
    std::fprintf(out, "Dumping Memory from %p size=%d\n", address, count);
    const auto* bytes = static_cast<const unsigned char*>(address);
    for (int i = 0; i < count; ++i) {
        std::fprintf(out, "%02X ", bytes[i]);
        if ((i + 1) % kPerLine == 0) std::fputc('\n', out);
        if (i + 1 == kMaxBytes) {
            std::fputs("\t.\n\t.\n\t.\n", out);
            return;
        }
    }
    std::fputc('\n', out);
}
