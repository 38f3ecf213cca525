// The kernels are written once over a 16-float vector of the compiler's vector extension and
// inlined into one entry point per instruction set, so that each copy is compiled for that
// set (the file is built with -ffp-contract=fast, so a multiply and add become one fused
// instruction where the set has it). A 16-float vector is one AVX-512 register, two AVX2
// registers or four SSE2 registers; the tile sizes below keep the accumulators in registers
// for each.
#include <array>
#include <cstring>

#include "kernels.hpp"

namespace nonagame::net::detail {

namespace {

using Vec = float __attribute__((vector_size(64)));
constexpr int kLanes = 16;

// Vectors pass by reference only: by value their calling convention would depend on the
// instruction set, which differs between the copies.
[[gnu::always_inline]] inline void load(Vec& v, const float* p) { std::memcpy(&v, p, sizeof v); }

[[gnu::always_inline]] inline void store(float* p, const Vec& v, bool relu) {
    const Vec zero{};
    const Vec out = relu ? (v > zero ? v : zero) : v;
    std::memcpy(p, &out, sizeof out);
}

// Columns out0 .. out0 + 16 V of one row of the first layer, over its nonzero inputs.
template <int V>
[[gnu::always_inline]] inline void sparse_chunk(const Network::Packed& layer, int out0, const std::int16_t* index,
                                                const float* value, int count, float* out) {
    const int ld = layer.out_padded;
    const float* weight = layer.weight.data() + out0;
    Vec acc[V];
#pragma GCC unroll 16
    for (int v = 0; v < V; ++v) load(acc[v], layer.bias.data() + out0 + kLanes * v);
    for (int i = 0; i < count; ++i) {
        const float* column = weight + static_cast<std::ptrdiff_t>(index[i]) * ld;
        const float x = value[i];
#pragma GCC unroll 16
        for (int v = 0; v < V; ++v) {
            Vec w;
            load(w, column + kLanes * v);
            acc[v] += x * w;
        }
    }
#pragma GCC unroll 16
    for (int v = 0; v < V; ++v) store(out + out0 + kLanes * v, acc[v], layer.relu);
}

template <int V>
[[gnu::always_inline]] inline void sparse_upto(int vectors, const Network::Packed& layer, int out0,
                                               const std::int16_t* index, const float* value, int count, float* out) {
    if constexpr (V > 1) {
        if (vectors < V) {
            sparse_upto<V - 1>(vectors, layer, out0, index, value, count, out);
            return;
        }
    }
    sparse_chunk<V>(layer, out0, index, value, count, out);
}

template <int V>
[[gnu::always_inline]] inline void sparse_layer(const Network::Packed& layer, const std::int8_t* planes, int n,
                                                float* out) {
    std::array<std::int16_t, kInputs> index{};
    std::array<float, kInputs> value{};
    const int panels = layer.out_padded / kLanes;
    for (int r = 0; r < n; ++r) {
        const std::int8_t* row = planes + static_cast<std::ptrdiff_t>(r) * kInputs;
        int count = 0;
        for (int i = 0; i < kInputs; ++i) {
            index[static_cast<std::size_t>(count)] = static_cast<std::int16_t>(i);
            value[static_cast<std::size_t>(count)] = row[i];
            count += row[i] != 0 ? 1 : 0;
        }
        float* out_row = out + static_cast<std::ptrdiff_t>(r) * layer.out_padded;
        for (int p = 0; p < panels; p += V)
            sparse_upto<V>(panels - p < V ? panels - p : V, layer, kLanes * p, index.data(), value.data(), count,
                           out_row);
    }
}

// Rows r .. r + R of the output, panels p .. p + V.
template <int R, int V>
[[gnu::always_inline]] inline void dense_tile(const Network::Packed& layer, int p, const float* in, float* out) {
    const int depth = layer.in_padded;
    const float* panels = layer.panels.data() + static_cast<std::ptrdiff_t>(p) * depth * kLanes;
    Vec acc[R][V];
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r)
#pragma GCC unroll 16
        for (int v = 0; v < V; ++v) load(acc[r][v], layer.bias.data() + kLanes * (p + v));
    for (int k = 0; k < depth; ++k) {
        Vec w[V];
#pragma GCC unroll 16
        for (int v = 0; v < V; ++v) load(w[v], panels + (static_cast<std::ptrdiff_t>(v) * depth + k) * kLanes);
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
            store(out + static_cast<std::ptrdiff_t>(r) * layer.out_padded + kLanes * (p + v), acc[r][v], layer.relu);
}

template <int R, int V>
[[gnu::always_inline]] inline void dense_upto(int vectors, const Network::Packed& layer, int p, const float* in,
                                              float* out) {
    if constexpr (V > 1) {
        if (vectors < V) {
            dense_upto<R, V - 1>(vectors, layer, p, in, out);
            return;
        }
    }
    dense_tile<R, V>(layer, p, in, out);
}

// Groups of R rows with V panels at a time, then the rows left over one at a time with V1
// panels at a time (a single row has fewer accumulators, so it takes more panels).
template <int R, int V, int V1>
[[gnu::always_inline]] inline void dense_layer(const Network::Packed& layer, const float* in, int n, float* out) {
    const int panels = layer.out_padded / kLanes;
    const std::ptrdiff_t ld_in = layer.in_padded;
    const std::ptrdiff_t ld_out = layer.out_padded;
    const int grouped = n - n % R;
    for (int p = 0; p < panels; p += V)
        for (int r = 0; r < grouped; r += R)
            dense_upto<R, V>(panels - p < V ? panels - p : V, layer, p, in + r * ld_in, out + r * ld_out);
    for (int r = grouped; r < n; ++r)
        for (int p = 0; p < panels; p += V1)
            dense_upto<1, V1>(panels - p < V1 ? panels - p : V1, layer, p, in + r * ld_in, out + r * ld_out);
}

void portable_sparse(const Network::Packed& layer, const std::int8_t* planes, int n, float* out) {
    sparse_layer<2>(layer, planes, n, out);
}
void portable_dense(const Network::Packed& layer, const float* in, int n, float* out) {
    dense_layer<2, 1, 2>(layer, in, n, out);
}

#if NONAGAME_NET_X86
[[gnu::target("avx2,fma")]] void avx2_sparse(const Network::Packed& layer, const std::int8_t* planes, int n,
                                              float* out) {
    sparse_layer<4>(layer, planes, n, out);
}
[[gnu::target("avx2,fma")]] void avx2_dense(const Network::Packed& layer, const float* in, int n, float* out) {
    dense_layer<6, 1, 4>(layer, in, n, out);
}
[[gnu::target("avx512f,fma")]] void avx512_sparse(const Network::Packed& layer, const std::int8_t* planes, int n,
                                                  float* out) {
    sparse_layer<8>(layer, planes, n, out);
}
[[gnu::target("avx512f,fma")]] void avx512_dense(const Network::Packed& layer, const float* in, int n, float* out) {
    dense_layer<4, 4, 8>(layer, in, n, out);
}
#endif

}  // namespace

const Kernels& portable_kernels() {
    static constexpr Kernels kernels{portable_sparse, portable_dense};
    return kernels;
}

#if NONAGAME_NET_X86
const Kernels& avx2_kernels() {
    static constexpr Kernels kernels{avx2_sparse, avx2_dense};
    return kernels;
}
const Kernels& avx512_kernels() {
    static constexpr Kernels kernels{avx512_sparse, avx512_dense};
    return kernels;
}
#endif

}  // namespace nonagame::net::detail
