// Shared by the fuzz targets: the input as a byte stream, and the failure that ends a run
// with a message libFuzzer keeps beside the crashing input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace nonagame::fuzz {

// The bytes of one input; reads past the end give zeros.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Ends the run: target names the fuzz target, what the broken invariant.
[[noreturn]] inline void fail(const char* target, const char* what, const std::string& detail) {
    std::fprintf(stderr, "%s invariant violated: %s %s\n", target, what, detail.c_str());
    std::abort();
}

}  // namespace nonagame::fuzz
