#pragma once
// The progress line tavrik-pack shows on a terminal while it compresses:
// one line, rewritten in place with "\r", ended with "\n" when done. The
// CLI only creates one when standard error is a terminal.

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>

namespace tavrik {

class ProgressLine {
public:
    // `total`: the archive's size, known before compression starts.
    ProgressLine(std::ostream &out, uint64_t total);
    // Redraws at most every 100 ms.
    void update(uint64_t read, uint64_t compressed, uint64_t produced);
    // Draws the final state and ends the line.
    void finish(uint64_t produced);

private:
    void draw(uint64_t read, uint64_t compressed, uint64_t produced);

    std::ostream &out_;
    uint64_t total_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_;
    size_t last_width_ = 0;
    bool drawn_ = false;
};

// "12.3 MiB" and the like: bytes in binary units, one decimal.
std::string human_size(uint64_t bytes);

}  // namespace tavrik
