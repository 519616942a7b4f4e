// Texts that came from the network, made safe for the console and the log:
// a name with line ends or terminal escape sequences must not forge lines
// or drive the terminal of whoever reads them.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

// Appends text with every byte outside printable ASCII (0x20 to 0x7E)
// escaped: \n \r \t as such, the backslash as \\, any other byte as \xNN
// (two lower-case hex digits). Printable ASCII passes unchanged.
void AppendEscaped(std::string& out, std::string_view text);
std::string Escaped(std::string_view text);
// A C text; a null pointer gives "(null)", as printf would.
std::string Escaped(const char* text);

// printf-style formatting in which every %s and %c argument is escaped as
// above (precision limits the bytes taken from the argument, width pads
// the escaped text); the format's own characters, line ends included, and
// every other conversion are written as printf writes them.
std::string FormatEscaped(const char* format, va_list args);
