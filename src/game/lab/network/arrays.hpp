// A network as named arrays, the way the files store it: "format" = "nonagame-mlp-1", then
// hidden.{i}.weight (out, in) and hidden.{i}.bias (out,) for i = 0 .. L-1, policy.weight
// (81, H) and policy.bias (81,), value.weight (1, H) and value.bias (1,), all float32.
// The names are those of a PyTorch nn.Sequential state dict, so any framework can write one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "network.hpp"

namespace nonagame::net {

inline constexpr const char* kFormat = "nonagame-mlp-1";
// The largest network accepted: 64 MiB of float32 weights (and so of file).
inline constexpr std::size_t kMaxBytes = std::size_t{64} << 20;

// One array as read from a file or a mapping. kind says what values or text hold: a float32
// array's elements in C order, or a string's characters; any other dtype is kept by name only
// (dtype) so that the refusal can name it.
struct NamedArray {
    enum class Kind : std::uint8_t { Float32, Text, Other };
    std::string name;
    Kind kind = Kind::Other;
    std::string dtype;                 // "float32", "str", or the name of the dtype refused
    std::vector<std::int64_t> shape;   // of a Float32 or Other array
    std::vector<float> values;         // Float32 only
    std::string text;                  // Text only
};

// The network the arrays describe. Missing, extra or misshaped keys, wrong dtypes, layers
// that do not chain, non-finite values and more than kMaxBytes of weights throw
// std::invalid_argument naming the key and the shape expected.
Network network_from_arrays(std::vector<NamedArray> arrays);

// The arrays of a network, in the order above (format first).
std::vector<NamedArray> network_arrays(const Network& network);

}  // namespace nonagame::net
