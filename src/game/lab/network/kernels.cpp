// The kernels are written once over the compiler's vector extension and inlined into one entry
// point per instruction set, so that each copy is compiled for that set with vectors of its
// register width (the library is built in the GNU dialect, so a multiply and add become one
// fused instruction where the set has it). The tile sizes keep the accumulators in registers.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernels.hpp"

#if NONAGAME_NET_X86
#include <immintrin.h>
#endif

namespace nonagame::net::detail {

namespace {

// Vectors of the compiler's vector extension in the three register widths. Each kernel copy
// uses the width of its instruction set: wider vectors than the registers compile to poor code.
using Vec4 = float __attribute__((vector_size(16)));
using Vec8 = float __attribute__((vector_size(32)));
using Vec16 = float __attribute__((vector_size(64)));
constexpr int kPanel = 16;  // outputs per weight panel
// Inputs of a layer that the sparse form reads: the planes, or a hidden layer of this width
// or less (wider layers take the dense form for every row).
constexpr int kMaxSparseInputs = 4096;
// How many nonzero inputs ahead the sparse form prefetches weight rows.
constexpr int kAhead = 8;

template <class Vec>
constexpr int kWidth = static_cast<int>(sizeof(Vec) / sizeof(float));

// Vectors pass by reference only: by value their calling convention would depend on the
// instruction set, which differs between the copies.
template <class Vec>
[[gnu::always_inline]] inline void load(Vec& v, const float* p) {
    std::memcpy(&v, p, sizeof v);
}

template <class Vec>
[[gnu::always_inline]] inline void store(float* p, const Vec& v, bool relu) {
    const Vec zero{};
    const Vec out = relu ? (v > zero ? v : zero) : v;
    std::memcpy(p, &out, sizeof out);
}

// Outputs out0 .. out0 + V vectors of one row of the first layer, over its nonzero inputs.
// Room for a whole vector written past the last nonzero entry (see nonzeros_avx512).
constexpr int kSlack = 16;

// The nonzero entries of row[begin, n) appended after the count found so far: their indices
// and values, in order; returns the new count.
template <class T>
[[gnu::always_inline]] inline int nonzeros(const T* row, int begin, int n, std::int32_t* index, float* value,
                                           int count = 0) {
    for (int i = begin; i < n; ++i) {
        // Branch-free: every entry is written, and the slot kept only when it is nonzero.
        index[count] = i;
        value[count] = static_cast<float>(row[i]);
        count += row[i] != 0 ? 1 : 0;
    }
    return count;
}

#if NONAGAME_NET_X86
// The same for a float row, 16 entries a step: the nonzero lanes are packed to the front of a
// register and the whole register stored, so up to 15 entries past the count are written
// (index and value have kSlack entries of room beyond n).
[[gnu::target("avx512f")]] int nonzeros_avx512(const float* row, int n, std::int32_t* index, float* value) {
    int count = 0;
    int i = 0;
    __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512i step = _mm512_set1_epi32(16);
    for (; i + 16 <= n; i += 16) {
        const __m512 x = _mm512_loadu_ps(row + i);
        const __mmask16 kept = _mm512_cmp_ps_mask(x, _mm512_setzero_ps(), _CMP_NEQ_UQ);
        _mm512_storeu_ps(value + count, _mm512_maskz_compress_ps(kept, x));
        _mm512_storeu_si512(index + count, _mm512_maskz_compress_epi32(kept, lanes));
        count += __builtin_popcount(kept);
        lanes = _mm512_add_epi32(lanes, step);
    }
    return nonzeros(row, i, n, index, value, count);
}

// For each mask of 8 lanes, the positions of its set lanes packed to the front, 4 bits each
// (the k-th set lane in bits 4k .. 4k + 3): 1 KiB, where a table of whole index vectors would
// take 8.
constexpr std::array<std::uint32_t, 256> kPackedLanes = [] {
    std::array<std::uint32_t, 256> table{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned packed = 0;
        unsigned k = 0;
        for (unsigned lane = 0; lane < 8; ++lane)
            if ((mask & (1U << lane)) != 0) packed |= lane << (4 * k++);
        table[mask] = packed;
    }
    return table;
}();

// The same with AVX2, 8 entries a step: the nonzero lanes are moved to the front by a
// permutation from the table and the whole register stored (up to 7 entries past the count).
[[gnu::target("avx2,popcnt")]] int nonzeros_avx2(const float* row, int n, std::int32_t* index, float* value) {
    int count = 0;
    int i = 0;
    const __m256i shifts = _mm256_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28);
    const __m256i nibble = _mm256_set1_epi32(15);
    for (; i + 8 <= n; i += 8) {
        const __m256 x = _mm256_loadu_ps(row + i);
        const int kept = _mm256_movemask_ps(_mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_NEQ_UQ));
        const auto packed = static_cast<int>(kPackedLanes[static_cast<std::size_t>(kept)]);
        const __m256i lanes = _mm256_and_si256(_mm256_srlv_epi32(_mm256_set1_epi32(packed), shifts), nibble);
        _mm256_storeu_ps(value + count, _mm256_permutevar8x32_ps(x, lanes));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(index + count),  // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
                            _mm256_add_epi32(lanes, _mm256_set1_epi32(i)));
        count += __builtin_popcount(static_cast<unsigned>(kept));
    }
    return nonzeros(row, i, n, index, value, count);
}
#endif

// The nonzero entries of row[0, n) as nonzeros() finds them, with the vector form of the
// kernel copy's instruction set for float rows.
template <int W, class T>
[[gnu::always_inline]] inline int row_nonzeros(const T* row, int n, std::int32_t* index, float* value) {
#if NONAGAME_NET_X86
    if constexpr (std::is_same_v<T, float> && W == 16) return nonzeros_avx512(row, n, index, value);
    if constexpr (std::is_same_v<T, float> && W == 8) return nonzeros_avx2(row, n, index, value);
#endif
    return nonzeros(row, 0, n, index, value);
}

template <class Vec, int V>
[[gnu::always_inline]] inline void sparse_chunk(const Network::Packed& layer, int out0, const std::int32_t* index,
                                                const float* value, int count, float* out) {
    constexpr int W = kWidth<Vec>;
    const float* weight = layer.weight.data() + out0;
    Vec acc[V];
#pragma GCC unroll 16
    for (int v = 0; v < V; ++v) load(acc[v], layer.bias.data() + out0 + static_cast<std::ptrdiff_t>(W) * v);
    for (int i = 0; i < count; ++i) {
        const float* column = weight + static_cast<std::ptrdiff_t>(index[i]) * layer.out_padded;
        const float x = value[i];
        // The weight row kAhead inputs on is fetched while this one is added: the rows of the
        // nonzero inputs are scattered, which the processor's own prefetching does not follow.
        if (i + kAhead < count) {
            const float* next = weight + static_cast<std::ptrdiff_t>(index[i + kAhead]) * layer.out_padded;
#pragma GCC unroll 16
            for (int v = 0; v < V; v += kPanel / W) __builtin_prefetch(next + static_cast<std::ptrdiff_t>(W) * v);
        }
#pragma GCC unroll 16
        for (int v = 0; v < V; ++v) {
            Vec w;
            load(w, column + static_cast<std::ptrdiff_t>(W) * v);
            acc[v] += x * w;
        }
    }
#pragma GCC unroll 16
    for (int v = 0; v < V; ++v) store(out + out0 + static_cast<std::ptrdiff_t>(W) * v, acc[v], layer.relu);
}

template <class Vec, int V>
[[gnu::always_inline]] inline void sparse_upto(int vectors, const Network::Packed& layer, int out0,
                                               const std::int32_t* index, const float* value, int count, float* out) {
    if constexpr (V > 1) {
        if (vectors < V) {
            sparse_upto<Vec, V - 1>(vectors, layer, out0, index, value, count, out);
            return;
        }
    }
    sparse_chunk<Vec, V>(layer, out0, index, value, count, out);
}

// Rows of in (n x ld, the first layer.in values of each read) times the transposed weights,
// skipping the zero inputs: the planes of a position are mostly zero, and about half of the
// outputs of a ReLU layer are. For one row this also reads each weight row once, in order.
template <class Vec, int V, class T>
[[gnu::always_inline]] inline void sparse_rows(const Network::Packed& layer, const T* in, std::ptrdiff_t ld, int n,
                                               float* out) {
    constexpr int W = kWidth<Vec>;
    // Only the first count entries are read, each written first: left uninitialised, as
    // clearing 32 KiB would cost more than a small layer's whole pass.
    std::array<std::int32_t, kMaxSparseInputs + kSlack> index;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    std::array<float, kMaxSparseInputs + kSlack> value;         // NOLINT(cppcoreguidelines-pro-type-member-init)
    const int vectors = layer.out_padded / W;
    for (int r = 0; r < n; ++r) {
        const T* row = in + r * ld;
        const int count = row_nonzeros<W>(row, layer.in, index.data(), value.data());
        float* out_row = out + static_cast<std::ptrdiff_t>(r) * layer.out_padded;
        for (int v = 0; v < vectors; v += V)
            sparse_upto<Vec, V>(vectors - v < V ? vectors - v : V, layer, W * v, index.data(), value.data(), count,
                                out_row);
    }
}

// The first layer for one row of planes given by its nonzero inputs, all 1 (see Kernels::ones).
template <class Vec, int V>
[[gnu::always_inline]] inline void ones_row(const Network::Packed& layer, const std::int32_t* index, int count,
                                            float* out) {
    constexpr int W = kWidth<Vec>;
    static constexpr std::array<float, kInputs> kOnes = [] {
        std::array<float, kInputs> ones{};
        ones.fill(1.0F);
        return ones;
    }();
    const int vectors = layer.out_padded / W;
    for (int v = 0; v < vectors; v += V)
        sparse_upto<Vec, V>(vectors - v < V ? vectors - v : V, layer, W * v, index, kOnes.data(), count, out);
}

// Rows 0 .. R of in and out, outputs col .. col + V vectors.
template <class Vec, int R, int V>
[[gnu::always_inline]] inline void dense_tile(const Network::Packed& layer, int col, const float* in, float* out) {
    constexpr int W = kWidth<Vec>;
    const int depth = layer.in_padded;
    // Where vector v of the tile starts in its panel at input 0; inputs follow every kPanel floats.
    std::array<const float*, V> column{};
    Vec acc[R][V];
#pragma GCC unroll 16
    for (int v = 0; v < V; ++v) {
        const int c = col + W * v;
        column[static_cast<std::size_t>(v)] =
            layer.panels.data() + static_cast<std::ptrdiff_t>(c / kPanel) * depth * kPanel + c % kPanel;
#pragma GCC unroll 16
        for (int r = 0; r < R; ++r) load(acc[r][v], layer.bias.data() + c);
    }
    for (int k = 0; k < depth; ++k) {
        Vec w[V];
#pragma GCC unroll 16
        for (int v = 0; v < V; ++v) load(w[v], column[static_cast<std::size_t>(v)] + static_cast<std::ptrdiff_t>(k) * kPanel);
#pragma GCC unroll 16
        for (int r = 0; r < R; ++r) {
            const float x = in[static_cast<std::ptrdiff_t>(r) * depth + k];
#pragma GCC unroll 16
            for (int v = 0; v < V; ++v) acc[r][v] += x * w[v];
        }
    }
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r)
#pragma GCC unroll 16
        for (int v = 0; v < V; ++v)
            store(out + static_cast<std::ptrdiff_t>(r) * layer.out_padded + col + static_cast<std::ptrdiff_t>(W) * v, acc[r][v], layer.relu);
}

template <class Vec, int R, int V>
[[gnu::always_inline]] inline void dense_upto(int vectors, const Network::Packed& layer, int col, const float* in,
                                              float* out) {
    if constexpr (V > 1) {
        if (vectors < V) {
            dense_upto<Vec, R, V - 1>(vectors, layer, col, in, out);
            return;
        }
    }
    dense_tile<Vec, R, V>(layer, col, in, out);
}

// Groups of R rows with V vectors of outputs at a time, then the rows left over one at a time,
// in the sparse form (over the nonzero inputs) when the layer is narrow enough, else with V1
// vectors at a time (a single row has fewer accumulators, so it takes more outputs).
template <class Vec, int R, int V, int V1>
[[gnu::always_inline]] inline void dense_layer(const Network::Packed& layer, const float* in, int n, float* out) {
    constexpr int W = kWidth<Vec>;
    const int vectors = layer.out_padded / W;
    const std::ptrdiff_t ld_in = layer.in_padded;
    const std::ptrdiff_t ld_out = layer.out_padded;
    const int grouped = n - n % R;
    for (int v = 0; v < vectors; v += V)
        for (int r = 0; r < grouped; r += R)
            dense_upto<Vec, R, V>(vectors - v < V ? vectors - v : V, layer, W * v, in + r * ld_in, out + r * ld_out);
    if (layer.in <= kMaxSparseInputs) {
        sparse_rows<Vec, V1>(layer, in + grouped * ld_in, ld_in, n - grouped, out + grouped * ld_out);
        return;
    }
    for (int r = grouped; r < n; ++r)
        for (int v = 0; v < vectors; v += V1)
            dense_upto<Vec, 1, V1>(vectors - v < V1 ? vectors - v : V1, layer, W * v, in + r * ld_in,
                                   out + r * ld_out);
}

// Whether any of outputs [first, first + W) has its bit set in wanted (W divides 64, so the
// group lies within one word).
template <int W>
[[gnu::always_inline]] inline bool any_wanted(const std::uint64_t* wanted, int first) {
    static_assert(W < 64 && 64 % W == 0);
    return ((wanted[first / 64] >> (first % 64)) & ((std::uint64_t{1} << W) - 1)) != 0;
}

// Up to this many wanted vectors of outputs take one pass over the nonzero inputs together.
constexpr int kFewVectors = 4;

// Outputs start[0 .. K) + W of one row (vectors within one panel each), in one pass over the
// nonzero inputs: each vector's weights are read from its panel, where the weights of
// successive inputs follow each other every kPanel floats, so that the reads run forward
// through a few lines of memory instead of one line in every weight row. Each output is the
// same sum, in the same order, as sparse_chunk() forms from the transposed rows.
template <class Vec, int K>
[[gnu::always_inline]] inline void panel_vectors(const Network::Packed& layer, const int* start,
                                                 const std::int32_t* index, const float* value, int count,
                                                 float* out) {
    static_assert(kPanel % kWidth<Vec> == 0);
    std::array<const float*, K> column{};
    Vec acc[K];
#pragma GCC unroll 8
    for (int k = 0; k < K; ++k) {
        const int c = start[k];
        column[static_cast<std::size_t>(k)] =
            layer.panels.data() + static_cast<std::ptrdiff_t>(c / kPanel) * layer.in_padded * kPanel + c % kPanel;
        load(acc[k], layer.bias.data() + c);
    }
    for (int i = 0; i < count; ++i) {
        const float x = value[i];
        const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(index[i]) * kPanel;
#pragma GCC unroll 8
        for (int k = 0; k < K; ++k) {
            Vec w;
            load(w, column[static_cast<std::size_t>(k)] + offset);
            acc[k] += x * w;
        }
    }
#pragma GCC unroll 8
    for (int k = 0; k < K; ++k) store(out + start[k], acc[k], layer.relu);
}

// dense_layer() on one row, over the wanted vectors of outputs only (see Kernels::some): a
// few of them in one pass over the panels, more over runs of consecutive ones as the whole
// row is done. The same sums per output as the whole row, so the same bits.
template <class Vec, int V, int R, int VD>
[[gnu::always_inline]] inline void some_row(const Network::Packed& layer, const float* in, const std::uint64_t* wanted,
                                            float* out) {
    constexpr int W = kWidth<Vec>;
    if (layer.in > kMaxSparseInputs) {
        dense_layer<Vec, R, VD, V>(layer, in, 1, out);
        return;
    }
    // Written before read, as in sparse_rows().
    std::array<std::int32_t, kMaxSparseInputs + kSlack> index;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    std::array<float, kMaxSparseInputs + kSlack> value;         // NOLINT(cppcoreguidelines-pro-type-member-init)
    const int count = row_nonzeros<W>(in, layer.in, index.data(), value.data());
    const int vectors = layer.out_padded / W;
    std::array<int, kFewVectors> start{};
    int few = 0;
    for (int v = 0; v < vectors && few <= kFewVectors; ++v) {
        if (!any_wanted<W>(wanted, W * v)) continue;
        if (few < kFewVectors) start[static_cast<std::size_t>(few)] = W * v;
        ++few;
    }
    switch (few) {
        case 0: return;
        case 1: panel_vectors<Vec, 1>(layer, start.data(), index.data(), value.data(), count, out); return;
        case 2: panel_vectors<Vec, 2>(layer, start.data(), index.data(), value.data(), count, out); return;
        case 3: panel_vectors<Vec, 3>(layer, start.data(), index.data(), value.data(), count, out); return;
        case 4: panel_vectors<Vec, 4>(layer, start.data(), index.data(), value.data(), count, out); return;
        default: break;
    }
    for (int v = 0; v < vectors;) {
        if (!any_wanted<W>(wanted, W * v)) {
            ++v;
            continue;
        }
        int end = v + 1;
        while (end < vectors && end - v < V && any_wanted<W>(wanted, W * end)) ++end;
        sparse_upto<Vec, V>(end - v, layer, W * v, index.data(), value.data(), count, out);
        v = end;
    }
}

// Tiles: R rows x V vectors of accumulators, within the 16 registers of SSE2 and AVX2 and the
// 32 of AVX-512, leaving room for the weight vectors and the broadcast input.
void portable_sparse(const Network::Packed& layer, const std::int8_t* planes, int n, float* out) {
    sparse_rows<Vec4, 8>(layer, planes, kInputs, n, out);
}
void portable_ones(const Network::Packed& layer, const std::int32_t* index, int count, float* out) {
    ones_row<Vec4, 8>(layer, index, count, out);
}
void portable_dense(const Network::Packed& layer, const float* in, int n, float* out) {
    dense_layer<Vec4, 4, 2, 8>(layer, in, n, out);
}
void portable_some(const Network::Packed& layer, const float* in, const std::uint64_t* wanted, float* out) {
    some_row<Vec4, 8, 4, 2>(layer, in, wanted, out);
}

#if NONAGAME_NET_X86
[[gnu::target("avx2,fma")]] void avx2_sparse(const Network::Packed& layer, const std::int8_t* planes, int n,
                                              float* out) {
    sparse_rows<Vec8, 8>(layer, planes, kInputs, n, out);
}
[[gnu::target("avx2,fma")]] void avx2_ones(const Network::Packed& layer, const std::int32_t* index, int count,
                                            float* out) {
    ones_row<Vec8, 8>(layer, index, count, out);
}
[[gnu::target("avx2,fma")]] void avx2_dense(const Network::Packed& layer, const float* in, int n, float* out) {
    dense_layer<Vec8, 6, 2, 8>(layer, in, n, out);
}
[[gnu::target("avx2,fma")]] void avx2_some(const Network::Packed& layer, const float* in, const std::uint64_t* wanted,
                                            float* out) {
    some_row<Vec8, 8, 6, 2>(layer, in, wanted, out);
}
[[gnu::target("avx512f,fma")]] void avx512_sparse(const Network::Packed& layer, const std::int8_t* planes, int n,
                                                  float* out) {
    sparse_rows<Vec16, 16>(layer, planes, kInputs, n, out);
}
[[gnu::target("avx512f,fma")]] void avx512_ones(const Network::Packed& layer, const std::int32_t* index, int count,
                                                float* out) {
    ones_row<Vec16, 16>(layer, index, count, out);
}
[[gnu::target("avx512f,fma")]] void avx512_dense(const Network::Packed& layer, const float* in, int n, float* out) {
    dense_layer<Vec16, 4, 4, 16>(layer, in, n, out);
}
[[gnu::target("avx512f,fma")]] void avx512_some(const Network::Packed& layer, const float* in,
                                                const std::uint64_t* wanted, float* out) {
    some_row<Vec16, 16, 4, 4>(layer, in, wanted, out);
}
#endif

}  // namespace

const Kernels& portable_kernels() {
    static constexpr Kernels kernels{portable_sparse, portable_ones, portable_dense, portable_some};
    return kernels;
}

#if NONAGAME_NET_X86
const Kernels& avx2_kernels() {
    static constexpr Kernels kernels{avx2_sparse, avx2_ones, avx2_dense, avx2_some};
    return kernels;
}
const Kernels& avx512_kernels() {
    static constexpr Kernels kernels{avx512_sparse, avx512_ones, avx512_dense, avx512_some};
    return kernels;
}
#endif

}  // namespace nonagame::net::detail
