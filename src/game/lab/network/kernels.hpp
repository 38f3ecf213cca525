// The forward kernels of the network, one set per instruction set, and the processor check
// that picks one. Internal to the network library.
#pragma once

#include <cstdint>

#include "network.hpp"

namespace nonagame::net::detail {

struct Kernels {
    // out (n x layer.out_padded) = act(bias + sum of x * weight row over the nonzero inputs x
    // of each row of planes (n x kInputs)).
    void (*sparse)(const Network::Packed& layer, const std::int8_t* planes, int n, float* out);
    // out (1 x layer.out_padded) = act(bias + the sum of the weight rows index[0 .. count)),
    // increasing: one row of planes given by its nonzero inputs, all of them 1. The same
    // sums in the same order as sparse() on those planes, so the same result to the bit.
    void (*ones)(const Network::Packed& layer, const std::int32_t* index, int count, float* out);
    // out (n x layer.out_padded) = act(bias + in (n x layer.in_padded) . panels).
    void (*dense)(const Network::Packed& layer, const float* in, int n, float* out);
    // dense() on one row, computing only the register-wide groups of outputs that hold an
    // output o whose bit (o % 64 of wanted[o / 64]) is set; the other entries of out are left
    // as they were. Each output computed has the bits dense() gives it.
    void (*some)(const Network::Packed& layer, const float* in, const std::uint64_t* wanted, float* out);
};

const Kernels& portable_kernels();
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define NONAGAME_NET_X86 1  // NOLINT(cppcoreguidelines-macro-usage): selects code
const Kernels& avx2_kernels();
const Kernels& avx512_kernels();
#else
#define NONAGAME_NET_X86 0  // NOLINT(cppcoreguidelines-macro-usage): selects code
#endif

}  // namespace nonagame::net::detail
