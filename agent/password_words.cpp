#include "agent/password_words.h"

#include <cctype>

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

}  // namespace

bool IsPasswordWord(std::string_view word) {
    constexpr std::string_view kWord = "password";
    if (word.size() < kWord.size()) return false;
    for (size_t i = 0; i < kWord.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(word[i])) != kWord[i]) return false;
    }
    return true;
}

std::string HidePasswords(std::string_view line) {
    std::string out;
    out.reserve(line.size());
    bool hide_next = false;
    size_t i = 0;
    while (i < line.size()) {
        if (is_blank(line[i])) {
            out += line[i++];
            continue;
        }
        size_t end = i;
        while (end < line.size() && !is_blank(line[end])) ++end;
        std::string_view word = line.substr(i, end - i);
        if (hide_next) {
            out += kHiddenPassword;
            hide_next = false;
        } else {
            out += word;
            hide_next = IsPasswordWord(word);
        }
        i = end;
    }
    return out;
}
