#include "network.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include "kernels.hpp"
#include "planes.hpp"

namespace nonagame::net {

static_assert(kInputs == kPlaneValues);
static_assert(kMoves == kCells);

namespace {

constexpr int kLanes = 16;
// Widest layer accepted: far beyond any network that fits the 64 MiB files, and small enough
// that every index into a layer fits an int.
constexpr int kMaxWidth = 16384;

int padded(int width) { return (width + kLanes - 1) / kLanes * kLanes; }

std::string shape_text(int rows, int cols) {
    std::string text = "(";
    text.append(std::to_string(rows)).append(", ").append(std::to_string(cols)).append(")");
    return text;
}

[[noreturn]] void refuse(const std::string& message) { throw std::invalid_argument(message); }

// Checks one layer against the input width it must read and, when fixed, its output width.
void check_layer(const Dense& layer, const std::string& name, int in, int out, const std::string& follows) {
    const std::string expected = out > 0 ? shape_text(out, in) : "(out, " + std::to_string(in) + ")";
    if (layer.in != in || (out > 0 && layer.out != out) || layer.out < 1 || layer.out > kMaxWidth)
        refuse(name + ".weight: expected shape " + expected + follows + ", got " + shape_text(layer.out, layer.in) +
               (layer.out > kMaxWidth ? " (at most " + std::to_string(kMaxWidth) + " outputs)" : ""));
    const auto values = static_cast<std::size_t>(layer.out) * static_cast<std::size_t>(layer.in);
    if (layer.weight.size() != values)
        refuse(name + ".weight: expected " + std::to_string(values) + " values for shape " +
               shape_text(layer.out, layer.in) + ", got " + std::to_string(layer.weight.size()));
    if (layer.bias.size() != static_cast<std::size_t>(layer.out))
        refuse(name + ".bias: expected shape (" + std::to_string(layer.out) + ",), got (" +
               std::to_string(layer.bias.size()) + ",)");
    for (std::size_t i = 0; i < values; ++i)
        if (!std::isfinite(layer.weight[i]))
            refuse(name + ".weight: expected finite values, found " + std::to_string(layer.weight[i]) + " at " +
                   shape_text(static_cast<int>(i / static_cast<std::size_t>(layer.in)),
                              static_cast<int>(i % static_cast<std::size_t>(layer.in))));
    for (std::size_t i = 0; i < layer.bias.size(); ++i)
        if (!std::isfinite(layer.bias[i]))
            refuse(name + ".bias: expected finite values, found " + std::to_string(layer.bias[i]) + " at (" +
                   std::to_string(i) + ",)");
}

// Packs rows [0, out) of weight (out x in) and bias into a layer of the given real widths.
Network::Packed pack(const std::vector<const Dense*>& parts, int in, bool relu) {
    Network::Packed layer;
    layer.in = in;
    layer.relu = relu;
    for (const Dense* part : parts) layer.out += part->out;
    layer.in_padded = padded(in);
    layer.out_padded = padded(layer.out);
    const auto ip = static_cast<std::size_t>(layer.in_padded);
    const auto op = static_cast<std::size_t>(layer.out_padded);
    layer.weight.assign(static_cast<std::size_t>(in) * op, 0.0F);
    layer.panels.assign(op * ip, 0.0F);
    layer.bias.assign(op, 0.0F);
    std::size_t o = 0;
    for (const Dense* part : parts) {
        for (std::size_t row = 0; row < static_cast<std::size_t>(part->out); ++row, ++o) {
            layer.bias[o] = part->bias[row];
            for (std::size_t i = 0; i < static_cast<std::size_t>(in); ++i) {
                const float w = part->weight[row * static_cast<std::size_t>(in) + i];
                layer.weight[i * op + o] = w;
                layer.panels[(o / kLanes * ip + i) * kLanes + o % kLanes] = w;
            }
        }
    }
    return layer;
}

const detail::Kernels& kernels_for(Simd path) {
#if NONAGAME_NET_X86
    if (path == Simd::Avx512 && simd_supported(Simd::Avx512)) return detail::avx512_kernels();
    if (path != Simd::Portable && simd_supported(Simd::Avx2)) return detail::avx2_kernels();
#else
    (void)path;
#endif
    return detail::portable_kernels();
}

}  // namespace

bool simd_supported(Simd path) {
#if NONAGAME_NET_X86
    // The processor's features, and (checked by the compiler's runtime) that the system saves
    // the wide registers.
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    static const bool avx512 = avx2 && __builtin_cpu_supports("avx512f");
    switch (path) {
        case Simd::Portable: return true;
        case Simd::Avx2: return avx2;
        case Simd::Avx512: return avx512;
    }
    return false;
#else
    return path == Simd::Portable;
#endif
}

Simd best_simd() {
    if (simd_supported(Simd::Avx512)) return Simd::Avx512;
    if (simd_supported(Simd::Avx2)) return Simd::Avx2;
    return Simd::Portable;
}

const char* simd_name(Simd path) {
    switch (path) {
        case Simd::Portable: return "portable";
        case Simd::Avx2: return "avx2";
        case Simd::Avx512: return "avx512";
    }
    return "portable";
}

Network::Network(std::vector<Dense> hidden, Dense policy, Dense value)
    : hidden_(std::move(hidden)), policy_(std::move(policy)), value_(std::move(value)) {
    int in = kInputs;
    std::string follows = " (the 243 input planes)";
    for (std::size_t i = 0; i < hidden_.size(); ++i) {
        const std::string name = "hidden." + std::to_string(i);
        check_layer(hidden_[i], name, in, 0, follows);
        in = hidden_[i].out;
        follows = " (" + name + " has " + std::to_string(in) + " outputs)";
    }
    check_layer(policy_, "policy", in, kMoves, follows);
    check_layer(value_, "value", in, 1, follows);

    in = kInputs;
    for (const Dense& layer : hidden_) {
        packed_.push_back(pack({&layer}, in, true));
        in = layer.out;
    }
    packed_.push_back(pack({&policy_, &value_}, in, false));
    widest_ = padded(kInputs);
    for (const Packed& layer : packed_) widest_ = std::max(widest_, layer.out_padded);
}

std::size_t Network::parameter_count() const {
    std::size_t count = 0;
    for (const Dense& layer : hidden_) count += layer.weight.size() + layer.bias.size();
    return count + policy_.weight.size() + policy_.bias.size() + value_.weight.size() + value_.bias.size();
}

std::size_t Network::scratch_size(int n) const {
    return 2 * static_cast<std::size_t>(std::max(n, 0)) * static_cast<std::size_t>(widest_);
}

void Network::forward(const std::int8_t* planes, int n, float* logits, float* values, float* scratch) const {
    forward(planes, n, logits, values, scratch, ForwardPath{});
}

void Network::forward(const std::int8_t* planes, int n, float* logits, float* values, float* scratch,
                      ForwardPath path) const {
    if (n <= 0) return;
    const detail::Kernels& kernels = kernels_for(path.simd);
    float* current = scratch;
    float* other = scratch + static_cast<std::size_t>(n) * static_cast<std::size_t>(widest_);
    const Packed& first = packed_.front();
    if (path.sparse_input) {
        kernels.sparse(first, planes, n, current);
    } else {
        // The planes as float rows of the padded input width.
        for (std::size_t r = 0; r < static_cast<std::size_t>(n); ++r) {
            float* row = other + r * static_cast<std::size_t>(first.in_padded);
            std::fill(row, row + first.in_padded, 0.0F);
            for (std::size_t i = 0; i < static_cast<std::size_t>(kInputs); ++i)
                row[i] = planes[r * static_cast<std::size_t>(kInputs) + i];
        }
        kernels.dense(first, other, n, current);
    }
    forward_rest(n, current, other, logits, values, path.simd);
}

void Network::forward_indices(const std::int32_t* index, int count, float* logits, float* value, float* scratch,
                              const std::uint64_t* wanted, Simd simd) const {
    kernels_for(simd).ones(packed_.front(), index, count, scratch);
    forward_rest(1, scratch, scratch + widest_, logits, value, simd, wanted);
}

void Network::forward_rest(int n, float* current, float* other, float* logits, float* values, Simd simd,
                           const std::uint64_t* wanted) const {
    const detail::Kernels& kernels = kernels_for(simd);
    const std::size_t heads = packed_.size() - 1;
    for (std::size_t l = 1; l < heads; ++l) {
        kernels.dense(packed_[l], current, n, other);
        std::swap(current, other);
    }
    if (heads > 0) {
        if (wanted != nullptr && n == 1) {
            // The heads' outputs: the wanted cells' logits, then the value.
            static_assert(kMoves + 1 <= 128);
            const std::array<std::uint64_t, 2> outputs{wanted[0], (wanted[1] & ((std::uint64_t{1} << (kMoves - 64)) - 1)) |
                                                                      std::uint64_t{1} << (kMoves - 64)};
            kernels.some(packed_[heads], current, outputs.data(), other);
        } else {
            kernels.dense(packed_[heads], current, n, other);
        }
        std::swap(current, other);
    }
    const auto ld = static_cast<std::size_t>(packed_.back().out_padded);
    for (std::size_t r = 0; r < static_cast<std::size_t>(n); ++r) {
        const float* head = current + r * ld;
        std::copy(head, head + kMoves, logits + r * kMoves);
        values[r] = std::tanh(head[kMoves]);
    }
}

void masked_softmax(const float* logits, const std::uint8_t* legal, float* out) {
    float top = -INFINITY;
    for (int c = 0; c < kMoves; ++c)
        if (legal[c] != 0) top = std::max(top, logits[c]);
    float total = 0.0F;
    for (int c = 0; c < kMoves; ++c) {
        out[c] = legal[c] != 0 ? std::exp(logits[c] - top) : 0.0F;
        total += out[c];
    }
    if (total > 0.0F)
        for (int c = 0; c < kMoves; ++c) out[c] /= total;
}

}  // namespace nonagame::net
