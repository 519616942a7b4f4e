#include "client/progress.h"

#include "client/ls_format.h"

namespace grfs_client {

Progress::Progress(bool enabled, std::FILE* out)
    : enabled_(enabled), out_(out), start_(std::chrono::steady_clock::now()), last_(start_) {}

Progress::~Progress() { finish(); }

double Progress::elapsed_seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

std::string Progress::summary(uint64_t objects, uint64_t bytes) const {
    const double seconds = elapsed_seconds();
    const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
    char time_text[32];
    std::snprintf(time_text, sizeof time_text, "%.1f s", seconds);
    return std::to_string(objects) + " objects, " + byte_count_text(bytes) + " in " + time_text + " (" +
           byte_count_text(static_cast<uint64_t>(rate)) + "/s)";
}

void Progress::update(uint64_t objects, uint64_t bytes) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    std::string line = summary(objects, bytes);
    const size_t shown = line.size();
    if (line.size() < width_) line.append(width_ - line.size(), ' ');
    width_ = shown;
    std::fprintf(out_, "\r%s", line.c_str());
    std::fflush(out_);
}

void Progress::finish() {
    if (!enabled_ || width_ == 0) return;
    std::fprintf(out_, "\r%s\r", std::string(width_, ' ').c_str());
    std::fflush(out_);
    width_ = 0;
}

}  // namespace grfs_client
