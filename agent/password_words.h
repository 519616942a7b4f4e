// Passwords never reach standard error, the journal or the log file: a
// configuration line is shown with the word after every "password" replaced.
#pragma once

#include <string>
#include <string_view>

// What is printed where a password stood.
inline constexpr std::string_view kHiddenPassword = "<password>";

// True for a word that announces a password ("password", in any letter case
// and spelling variant that begins so).
bool IsPasswordWord(std::string_view word);

// The line with the word following each password word replaced by
// kHiddenPassword; blanks and every other word are kept as written.
std::string HidePasswords(std::string_view line);
