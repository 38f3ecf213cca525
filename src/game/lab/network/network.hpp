// A small multilayer perceptron over the observation planes: hidden layers with ReLU, a
// policy head of one logit per cell and a value head squashed by tanh, evaluated natively.
//
// The first layer reads the 243 int8 planes directly and adds one weight column for each
// nonzero input (at most 81 are set in a real position), rather than multiplying by all 243.
// The later layers run on weights packed into panels of 16 outputs, with the AVX-512, AVX2 or
// portable kernels chosen from the processor at run time. Every internal width is padded to a
// multiple of 16 with zero weights, so the padding never reaches an output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace nonagame::net {

// Allocates on cache-line boundaries, so that a 64-byte vector load of a padded row never
// straddles two lines (plain allocations of this size are only 16-byte aligned, which makes
// every AVX-512 load of a weight row a split load).
template <class T>
struct CacheAligned {
    using value_type = T;
    static constexpr std::align_val_t kAlign{64};
    CacheAligned() = default;
    template <class U>
    constexpr CacheAligned(const CacheAligned<U>&) noexcept {}  // NOLINT(google-explicit-constructor): allocator rebind
    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), kAlign)); }
    void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, kAlign); }
    friend bool operator==(const CacheAligned&, const CacheAligned&) { return true; }
};
using AlignedFloats = std::vector<float, CacheAligned<float>>;

inline constexpr int kInputs = 243;  // lab/planes.hpp's kPlaneValues: (row, column, channel)
inline constexpr int kMoves = 81;

// One fully connected layer: out x in weights, row-major, and out biases.
struct Dense {
    int in = 0, out = 0;
    std::vector<float> weight;
    std::vector<float> bias;
};

// The kernels a forward pass can run on. Avx512 and Avx2 are used only where the processor has
// them; asking for one elsewhere falls back to the next one down.
enum class Simd : std::uint8_t { Portable, Avx2, Avx512 };

// The best kernels this processor runs.
Simd best_simd();
// Whether the processor runs the kernels of path.
bool simd_supported(Simd path);
const char* simd_name(Simd path);

// How a forward pass runs: the kernels, and whether the first layer sums the weight columns of
// the nonzero inputs (sparse) or multiplies the whole input row as the later layers do.
struct ForwardPath {
    Simd simd = best_simd();
    bool sparse_input = true;
};

class Network {
public:
    // Validates that the layers chain (243 -> h0 -> ... -> H, policy H->81, value H->1) and that
    // all values are finite; throws std::invalid_argument naming the layer and expected shape.
    Network(std::vector<Dense> hidden, Dense policy, Dense value);

    // Floats of scratch one thread needs to evaluate n rows (best allocated as AlignedFloats:
    // the rows of each layer then start on cache lines).
    std::size_t scratch_size(int n) const;

    // planes: n x 243 int8 (0/1 in real positions; any value is multiplied through), as
    // write_planes() gives; logits: n x 81; values: n (tanh'd). Allocates nothing: scratch is
    // the caller's (one per thread, scratch_size(n) floats). Thread-safe (const).
    void forward(const std::int8_t* planes, int n, float* logits, float* values, float* scratch) const;
    void forward(const std::int8_t* planes, int n, float* logits, float* values, float* scratch,
                 ForwardPath path) const;

    // One row given by the nonzero inputs of its planes, all 1, in increasing order (as
    // plane_indices() gives them): the same result as forward() on those planes, without
    // reading the zeros. scratch as for forward() at n = 1. With wanted (bit c % 64 of
    // wanted[c / 64], as CellSet's words hold them), only the logits of those cells are
    // written, with the same bits; the others are left meaningless, as the policy head then
    // computes only the groups of outputs holding those cells and the value. simd chooses
    // the kernels (the best ones by default; the others for tests).
    void forward_indices(const std::int32_t* index, int count, float* logits, float* value, float* scratch,
                         const std::uint64_t* wanted = nullptr, Simd simd = best_simd()) const;

    const std::vector<Dense>& hidden() const { return hidden_; }
    const Dense& policy() const { return policy_; }
    const Dense& value() const { return value_; }
    // Weights and biases in all layers.
    std::size_t parameter_count() const;

    // A layer as the kernels read it: widths padded to multiples of 16, weights transposed
    // (in_padded x out_padded) for the first layer and packed in panels of 16 outputs
    // (panel, input, lane) for the others.
    struct Packed {
        int in = 0, out = 0;            // real widths
        int in_padded = 0, out_padded = 0;
        bool relu = true;
        AlignedFloats weight;           // transposed rows of the first layer's columns
        AlignedFloats panels;           // (out_padded / 16) x in_padded x 16
        AlignedFloats bias;             // out_padded
    };

private:
    // The layers after the first on n rows in current (n x widest_), other being scratch of the
    // same size, and the heads out of the last.
    // wanted (n = 1 only): the cells whose logits are needed, nullptr for all of them.
    void forward_rest(int n, float* current, float* other, float* logits, float* values, Simd simd,
                      const std::uint64_t* wanted = nullptr) const;

    std::vector<Dense> hidden_;
    Dense policy_;
    Dense value_;
    // The hidden layers, then the policy and value heads as one layer of 82 outputs.
    std::vector<Packed> packed_;
    int widest_ = 0;  // widest padded layer output
};

// Softmax of logits over the cells where legal[c] != 0, 0 elsewhere (all zero if none legal).
void masked_softmax(const float* logits, const std::uint8_t* legal, float* out);

}  // namespace nonagame::net
