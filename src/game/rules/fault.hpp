// Internal faults of the engine: errors that have no error value. A fault abandons the
// operation in progress; the Python boundary turns it into PanicException with the text.
#pragma once

#include <cstddef>
#include <exception>
#include <string>

namespace nonagame {

class Fault : public std::exception {
public:
    explicit Fault(std::string text) : text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }
    const std::string& text() const noexcept { return text_; }

private:
    std::string text_;
};

// "index out of bounds: the len is LEN but the index is INDEX"
[[noreturn]] void index_fault(std::size_t len, std::size_t index);

}  // namespace nonagame
