#include "util/printable.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/types.h>

void AppendEscaped(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '\n': out += "\\n"; continue;
        case '\r': out += "\\r"; continue;
        case '\t': out += "\\t"; continue;
        case '\\': out += "\\\\"; continue;
        default: break;
        }
        if (c >= 0x20 && c <= 0x7E) {
            out += ch;
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
}

std::string Escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    AppendEscaped(out, text);
    return out;
}

std::string Escaped(const char* text) { return text == nullptr ? "(null)" : Escaped(std::string_view(text)); }

namespace {

// One conversion of a format, with any '*' already replaced by its value.
struct Conversion {
    std::string flags;
    int width = -1;      // -1: none
    int precision = -1;  // -1: none
    std::string length;  // hh h l ll z j t L
    char conv = 0;

    std::string text() const {
        std::string s = "%" + flags;
        if (width >= 0) s += std::to_string(width);
        if (precision >= 0) s += "." + std::to_string(precision);
        return s + length + conv;
    }
};

const char* parse_number(const char* p, int* value) {
    *value = 0;
    while (*p >= '0' && *p <= '9') *value = *value * 10 + (*p++ - '0');
    return p;
}

template <typename T>
void append_one(std::string& out, const Conversion& c, T value) {
    const std::string format = c.text();
    char small[128];
    int n = std::snprintf(small, sizeof small, format.c_str(), value);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof small) {
        out.append(small, static_cast<size_t>(n));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), format.c_str(), value);
    out.append(big.data(), static_cast<size_t>(n));
}

void append_padded(std::string& out, const Conversion& c, const std::string& text) {
    const size_t width = c.width > 0 ? static_cast<size_t>(c.width) : 0;
    const size_t pad = text.size() < width ? width - text.size() : 0;
    const bool left = c.flags.find('-') != std::string::npos;
    if (!left) out.append(pad, ' ');
    out += text;
    if (left) out.append(pad, ' ');
}

void append_signed(std::string& out, const Conversion& c, va_list* args) {
    if (c.length == "l") return append_one(out, c, va_arg(*args, long));
    if (c.length == "ll") return append_one(out, c, va_arg(*args, long long));
    if (c.length == "z") return append_one(out, c, va_arg(*args, ssize_t));
    if (c.length == "j") return append_one(out, c, va_arg(*args, intmax_t));
    if (c.length == "t") return append_one(out, c, va_arg(*args, ptrdiff_t));
    append_one(out, c, va_arg(*args, int));  // hh and h arrive promoted
}

void append_unsigned(std::string& out, const Conversion& c, va_list* args) {
    if (c.length == "l") return append_one(out, c, va_arg(*args, unsigned long));
    if (c.length == "ll") return append_one(out, c, va_arg(*args, unsigned long long));
    if (c.length == "z") return append_one(out, c, va_arg(*args, size_t));
    if (c.length == "j") return append_one(out, c, va_arg(*args, uintmax_t));
    if (c.length == "t") return append_one(out, c, va_arg(*args, ptrdiff_t));
    append_one(out, c, va_arg(*args, unsigned int));
}

}  // namespace

std::string FormatEscaped(const char* format, va_list args) {
    // Read through a copy, so that the helpers can take it from here.
    va_list ap;
    va_copy(ap, args);
    std::string out;
    const char* p = format;
    while (*p != '\0') {
        const char* percent = std::strchr(p, '%');
        if (percent == nullptr) {
            out += p;
            break;
        }
        out.append(p, static_cast<size_t>(percent - p));
        p = percent + 1;
        if (*p == '%') {
            out += '%';
            ++p;
            continue;
        }
        Conversion c;
        while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) c.flags += *p++;
        if (*p == '*') {
            c.width = va_arg(ap, int);
            if (c.width < 0) {
                c.flags += '-';
                c.width = -c.width;
            }
            ++p;
        } else if (*p >= '0' && *p <= '9') {
            p = parse_number(p, &c.width);
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                c.precision = va_arg(ap, int);
                ++p;
            } else {
                p = parse_number(p, &c.precision);
            }
        }
        while (*p != '\0' && std::strchr("hlzjtL", *p) != nullptr) c.length += *p++;
        c.conv = *p;
        if (*p != '\0') ++p;
        switch (c.conv) {
        case 's': {
            const char* s = va_arg(ap, const char*);
            if (s == nullptr) {
                append_padded(out, c, "(null)");
            } else {
                const size_t n = c.precision >= 0 ? strnlen(s, static_cast<size_t>(c.precision)) : std::strlen(s);
                append_padded(out, c, Escaped(std::string_view(s, n)));
            }
            break;
        }
        case 'c': {
            const char ch = static_cast<char>(va_arg(ap, int));
            append_padded(out, c, Escaped(std::string_view(&ch, 1)));
            break;
        }
        case 'd':
        case 'i':
            append_signed(out, c, &ap);
            break;
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            append_unsigned(out, c, &ap);
            break;
        case 'p':
            append_one(out, c, va_arg(ap, void*));
            break;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (c.length == "L")
                append_one(out, c, va_arg(ap, long double));
            else
                append_one(out, c, va_arg(ap, double));
            break;
        default:
            // Not a conversion this writer knows: shown as written; nothing
            // is taken from the arguments.
            out += c.text();
            break;
        }
    }
    va_end(ap);
    return out;
}
