// libFuzzer target for the network loader (network_from_arrays): the input describes a set
// of named arrays, mostly those of a well-formed network of 0..3 small hidden layers, with
// the input's mutations applied to them (a key dropped, duplicated or renamed, a dimension
// changed, a dtype or a string in place of floats, a value count that does not match the
// shape, a non-finite value, a wrong format). The loader either refuses with
// std::invalid_argument or gives a network, which must then:
//   - give the same arrays back (network_arrays) and load again from them;
//   - evaluate random planes on every kernel path this processor runs, sparse and dense
//     first layer, to what a float64 forward pass written here gives, within the rounding
//     bound of float sums (n * eps times the sum of the magnitudes of the terms).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "fuzz_input.hpp"
#include "network.hpp"

using namespace nonagame;
using net::NamedArray;

namespace {

void check(bool condition, const char* what, const std::string& detail = "") {
    if (!condition) fuzz::fail("network", what, detail);
}

// Widths that pad to 16 in several ways.
constexpr int kWidths[] = {1, 3, 16, 17, 33};

float value_of(fuzz::Input& in) {
    const std::uint8_t b = in.next();
    if (b == 0xFF) {
        const std::uint8_t which = in.next() % 3;
        return which == 0 ? NAN : (which == 1 ? INFINITY : -INFINITY);
    }
    return (static_cast<float>(b) - 128.0F) / 64.0F;
}

NamedArray floats(const std::string& name, std::vector<std::int64_t> shape, fuzz::Input& in) {
    NamedArray array{name, NamedArray::Kind::Float32, "float32", std::move(shape), {}, {}};
    std::int64_t count = 1;
    for (const std::int64_t d : array.shape) count *= std::max<std::int64_t>(d, 0);
    array.values.resize(static_cast<std::size_t>(count));
    for (float& x : array.values) x = value_of(in);
    return array;
}

// One mutation of the arrays, chosen by the input; code 0..7 leaves them alone.
void mutate(std::vector<NamedArray>& arrays, fuzz::Input& in) {
    if (arrays.empty()) return;
    const std::uint8_t code = in.next();
    NamedArray& a = arrays[in.next() % arrays.size()];
    switch (code % 16) {
        case 8: arrays.erase(arrays.begin() + static_cast<std::ptrdiff_t>(&a - arrays.data())); break;
        case 9: arrays.push_back(NamedArray(a)); break;
        case 10: a.name = in.next() % 2 != 0 ? "hidden.0" + a.name : a.name + "x"; break;
        case 11:
            if (!a.shape.empty()) a.shape[in.next() % a.shape.size()] += static_cast<std::int8_t>(in.next());
            break;
        case 12: a.kind = NamedArray::Kind::Other; a.dtype = "float64"; a.values.clear(); break;
        case 13: a.kind = NamedArray::Kind::Text; a.dtype = "str"; a.text = "nonagame-mlp-1"; a.values.clear(); break;
        case 14: if (!a.values.empty()) a.values.pop_back(); else a.values.push_back(1.0F); break;
        case 15: a.shape.push_back(1); break;
        default: break;
    }
}

// The shape and the mutations come first in the input, then the values, so that short
// inputs already reach every kind of refusal.
std::vector<NamedArray> arrays_of(fuzz::Input& in) {
    const int layers = in.next() % 4;
    const bool wrong_format = in.next() == 1;
    std::vector<std::int64_t> widths;
    for (int i = 0; i < layers; ++i) widths.push_back(kWidths[in.next() % std::size(kWidths)]);
    std::vector<std::uint8_t> edits;
    for (int m = in.next() % 4; m > 0; --m)
        for (int b = 0; b < 4; ++b) edits.push_back(in.next());

    std::vector<NamedArray> arrays;
    arrays.push_back({"format", NamedArray::Kind::Text, "str", {}, {}, wrong_format ? "nonagame-mlp-2" : net::kFormat});
    std::int64_t width = net::kInputs;
    const auto layer = [&](const std::string& name, std::int64_t out) {
        arrays.push_back(floats(name + ".weight", {out, width}, in));
        arrays.push_back(floats(name + ".bias", {out}, in));
    };
    for (int i = 0; i < layers; ++i) {
        layer("hidden." + std::to_string(i), widths[static_cast<std::size_t>(i)]);
        width = widths[static_cast<std::size_t>(i)];
    }
    layer("policy", net::kMoves);  // both heads read the last hidden width
    layer("value", 1);
    fuzz::Input edit_input(edits.data(), edits.size());
    while (!edit_input.empty()) mutate(arrays, edit_input);
    return arrays;
}

bool same_arrays(const std::vector<NamedArray>& a, const std::vector<NamedArray>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].name != b[i].name || a[i].kind != b[i].kind || a[i].shape != b[i].shape || a[i].text != b[i].text)
            return false;
        // Bitwise, so that a value changed on the way (or a NaN let through) is caught.
        if (a[i].values.size() != b[i].values.size() ||
            !std::equal(a[i].values.begin(), a[i].values.end(), b[i].values.begin(),
                        [](float x, float y) { return std::memcmp(&x, &y, sizeof x) == 0; }))
            return false;
    }
    return true;
}

struct Output {
    std::vector<float> logits, values;
};

Output evaluate(const net::Network& network, const std::vector<std::int8_t>& planes, int rows, net::ForwardPath path) {
    Output out{std::vector<float>(static_cast<std::size_t>(rows) * net::kMoves), std::vector<float>(rows)};
    std::vector<float> scratch(network.scratch_size(rows));
    network.forward(planes.data(), rows, out.logits.data(), out.values.data(), scratch.data(), path);
    return out;
}

// A layer in float64: outputs y = W x + b and, beside them, m = |W| |x| + |b| with |x| the
// magnitudes of the inputs, a bound on the terms whose float sum y is.
void dense(const net::Dense& layer, bool relu, std::vector<double>& x, std::vector<double>& m) {
    std::vector<double> y(static_cast<std::size_t>(layer.out)), ym(y.size());
    for (int o = 0; o < layer.out; ++o) {
        double sum = layer.bias[static_cast<std::size_t>(o)];
        double mag = std::fabs(sum);
        for (int i = 0; i < layer.in; ++i) {
            const double w = layer.weight[static_cast<std::size_t>(o) * static_cast<std::size_t>(layer.in) + static_cast<std::size_t>(i)];
            sum += w * x[static_cast<std::size_t>(i)];
            mag += std::fabs(w) * m[static_cast<std::size_t>(i)];
        }
        y[static_cast<std::size_t>(o)] = relu ? std::max(sum, 0.0) : sum;
        ym[static_cast<std::size_t>(o)] = mag;
    }
    x = std::move(y);
    m = std::move(ym);
}

void check_row(const net::Network& network, const std::int8_t* planes, const float* logits, float value,
               const std::string& path) {
    std::vector<double> x(planes, planes + net::kInputs), m(x);
    for (const net::Dense& layer : network.hidden()) dense(layer, true, x, m);
    std::vector<double> px = x, pm = m;
    dense(network.policy(), false, px, pm);
    dense(network.value(), false, x, m);
    // Float32 sums of up to n terms round by at most about n * 2^-24 of their magnitude, per
    // layer; a generous multiple of that covers every path's order of summation.
    const double tolerance = 1e-4;
    for (int c = 0; c < net::kMoves; ++c)
        check(std::fabs(logits[c] - px[static_cast<std::size_t>(c)]) <= tolerance * (1.0 + pm[static_cast<std::size_t>(c)]),
              "logit differs from the float64 forward", path + " cell " + std::to_string(c));
    check(value >= -1.0F && value <= 1.0F, "value outside [-1, 1]", path);
    check(std::fabs(value - std::tanh(x[0])) <= tolerance * (1.0 + m[0]), "value differs from the float64 forward", path);
}

void check_network(const net::Network& network, fuzz::Input& in) {
    const std::vector<NamedArray> given = net::network_arrays(network);
    const std::vector<NamedArray> again = net::network_arrays(net::network_from_arrays(given));
    check(same_arrays(given, again), "arrays do not round-trip");

    const int rows = 1 + in.next() % 20;  // past one tile of 16 rows, where the kernels switch
    std::vector<std::int8_t> planes(static_cast<std::size_t>(rows) * net::kInputs);
    for (std::int8_t& p : planes) p = in.next() % 3 == 0 ? 1 : 0;
    for (const net::Simd simd : {net::Simd::Portable, net::Simd::Avx2, net::Simd::Avx512}) {
        if (!net::simd_supported(simd)) continue;
        for (const bool sparse : {false, true}) {
            const Output got = evaluate(network, planes, rows, {simd, sparse});
            const std::string path = std::string(net::simd_name(simd)) + (sparse ? " sparse" : " dense");
            for (int r = 0; r < rows; ++r)
                check_row(network, planes.data() + static_cast<std::size_t>(r) * net::kInputs,
                          got.logits.data() + static_cast<std::size_t>(r) * net::kMoves,
                          got.values[static_cast<std::size_t>(r)], path);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    std::vector<NamedArray> arrays = arrays_of(in);
    bool loaded = false;
    try {
        const net::Network network = net::network_from_arrays(std::move(arrays));
        loaded = true;
        check_network(network, in);
    } catch (const std::invalid_argument& refusal) {
        check(!loaded, "a loaded network refused its own arrays", refusal.what());
        check(std::string(refusal.what()).size() > 0, "a refusal without a message");
    }
    return 0;
}
