#include "unixfs/host/str_match.h"

#include <cstring>

int str_match(const char* pattern, const char* text) {
    if (*pattern == '*') {
        ++pattern;
        text = std::strstr(text, pattern);
        if (text == nullptr) return 0;
    }
    while (*pattern != '\0' && *text != '\0') {
        if (*pattern == '*') {
            if (pattern[1] == '\0') return 1;
            text = std::strchr(text, pattern[1]);
            if (text == nullptr) return 0;
            ++pattern;  // the character after "*" now faces its occurrence
            continue;
        }
        if (*pattern != *text) return 0;
        ++pattern;
        ++text;
    }
    if (*pattern == '\0' && *text == '\0') return 1;
    return std::strcmp(pattern, "*") == 0 ? 1 : 0;
}
