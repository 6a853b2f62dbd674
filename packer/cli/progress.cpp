#include "packer/cli/progress.h"

#include <cstdio>
#include <ostream>

namespace tavrik {

std::string human_size(uint64_t bytes) {
    static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < sizeof units / sizeof units[0]) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0) {
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    } else {
        std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    }
    return text;
}

ProgressLine::ProgressLine(std::ostream &out, uint64_t total)
    : out_(out), total_(total), start_(std::chrono::steady_clock::now()), last_(start_) {}

void ProgressLine::update(uint64_t read, uint64_t compressed, uint64_t produced) {
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    draw(read, compressed, produced);
}

void ProgressLine::finish(uint64_t produced) {
    draw(total_, total_, produced);
    out_ << '\n' << std::flush;
}

void ProgressLine::draw(uint64_t read, uint64_t compressed, uint64_t produced) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const uint64_t rate = seconds > 0.05 ? static_cast<uint64_t>(compressed / seconds) : 0;
    std::string line = "tavrik-pack: read " + human_size(read) + " of " + human_size(total_) +
                       ", compressed " + human_size(compressed) + " to " + human_size(produced) + ", " +
                       human_size(rate) + "/s";
    const size_t width = line.size();
    if (width < last_width_) line.append(last_width_ - width, ' ');
    last_width_ = width;
    drawn_ = true;
    out_ << '\r' << line << std::flush;
}

}  // namespace tavrik
