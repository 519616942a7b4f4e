// A file's bytes as a string, and a file written from one.
#pragma once

#include <fstream>
#include <iterator>
#include <string>

namespace e2e {

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace e2e
