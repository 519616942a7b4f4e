// Wildcard matching of paths against the patterns of files a restore must
// not replace ("*" only, no backtracking).
#pragma once

// 1 when text matches pattern, else 0.
//  - A leading "*" skips the text to the first place where the rest of the
//    pattern occurs.
//  - A "*" at the end of the pattern matches whatever remains.
//  - Any other "*" skips the text to the next occurrence of the pattern
//    character that follows it (the first one, never a later one).
int str_match(const char* pattern, const char* text);
