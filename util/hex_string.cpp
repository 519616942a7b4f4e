#include <cstdio>

#include "util/process_utils.h"

void mem_to_hex_string(const unsigned char* bytes, int n, char* text) {
    static const char digits[] = "0123456789ABCDEF";
    // Nothing to dump: the text is left exactly as it was.
    if (n <= 0) return;
    char* out = text;
    for (int i = 0; i < n; ++i) {
        if (i != 0) *out++ = ' ';
        *out++ = digits[bytes[i] >> 4];
        *out++ = digits[bytes[i] & 0x0F];
    }
    *out = '\0';
}
