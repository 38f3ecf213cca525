#include "fault.hpp"

#include <string>

namespace nonagame {

void index_fault(std::size_t len, std::size_t index) {
    throw Fault("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                std::to_string(index));
}

}  // namespace nonagame
