#include "arrays.hpp"

#include <algorithm>
#include <charconv>
#include <map>
#include <optional>
#include <stdexcept>
#include <utility>

namespace nonagame::net {

namespace {

// Hidden layers accepted; each needs two arrays, so this is far beyond any real file.
constexpr int kMaxHidden = 4096;

const char* const kKeys =
    "format, hidden.{i}.weight and hidden.{i}.bias for i = 0, 1, ..., policy.weight, policy.bias, value.weight, "
    "value.bias";

[[noreturn]] void refuse(const std::string& message) { throw std::invalid_argument(message); }

std::string shape_text(const std::vector<std::int64_t>& shape) {
    std::string text = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i > 0) text.append(", ");
        text.append(std::to_string(shape[i]));
    }
    if (shape.size() == 1) text.append(",");
    return text.append(")");
}

// The index of a key hidden.{i}.weight or hidden.{i}.bias (decimal, no leading zeros), or nothing.
std::optional<int> hidden_index(const std::string& name, const std::string& suffix) {
    const std::string prefix = "hidden.";
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return std::nullopt;
    const char* first = name.data() + prefix.size();
    const char* last = name.data() + name.size() - suffix.size();
    if (*first == '0' && last - first > 1) return std::nullopt;
    int index = 0;
    const auto [end, error] = std::from_chars(first, last, index);
    if (error != std::errc() || end != last || index < 0) return std::nullopt;
    return index;
}

// The arrays by key, each checked to be a float32 array of the expected rank.
class Keys {
public:
    explicit Keys(std::vector<NamedArray>& arrays) {
        for (NamedArray& array : arrays) {
            if (!by_name_.emplace(array.name, &array).second) refuse("duplicate key '" + array.name + "'");
            const bool known = array.name == "format" || array.name == "policy.weight" ||
                               array.name == "policy.bias" || array.name == "value.weight" ||
                               array.name == "value.bias" || hidden_index(array.name, ".weight") ||
                               hidden_index(array.name, ".bias");
            if (!known) refuse("unexpected key '" + array.name + "': expected only " + kKeys);
            if (const auto i = hidden_index(array.name, ".weight")) hidden_ = std::max(hidden_, *i + 1);
            if (const auto i = hidden_index(array.name, ".bias")) hidden_ = std::max(hidden_, *i + 1);
        }
        if (hidden_ > kMaxHidden) refuse("expected at most " + std::to_string(kMaxHidden) + " hidden layers");
    }

    int hidden_layers() const { return hidden_; }

    const NamedArray* find(const std::string& name) const {
        const auto it = by_name_.find(name);
        return it == by_name_.end() ? nullptr : it->second;
    }

    // The array of a key with the given shape; rows or columns of -1 are free ("out").
    // note says where a fixed input width comes from.
    NamedArray& get(const std::string& name, const std::vector<std::int64_t>& shape,
                    const std::string& note = "") const {
        const std::string expected = expected_text(shape);
        NamedArray* array = by_name_.contains(name) ? by_name_.at(name) : nullptr;
        if (array == nullptr) refuse("missing key '" + name + "': expected a float32 array of shape " + expected);
        if (array->kind != NamedArray::Kind::Float32)
            refuse(name + ": expected a float32 array of shape " + expected + ", got " +
                   (array->kind == NamedArray::Kind::Text ? "a string" : array->dtype));
        bool fits = array->shape.size() == shape.size();
        for (std::size_t i = 0; fits && i < shape.size(); ++i)
            fits = shape[i] < 0 ? array->shape[i] > 0 : array->shape[i] == shape[i];
        if (!fits) refuse(name + ": expected shape " + expected + note + ", got " + shape_text(array->shape));
        // The element count, saturated far above any count that values can hold.
        constexpr std::int64_t kHuge = std::int64_t{1} << 48;
        std::int64_t count = 1;
        for (const std::int64_t d : array->shape) count = d > kHuge / count ? kHuge : count * d;
        if (static_cast<std::size_t>(count) != array->values.size())
            refuse(name + ": expected " + std::to_string(count) + " values for shape " + shape_text(array->shape) +
                   ", got " + std::to_string(array->values.size()));
        return *array;
    }

private:
    static std::string expected_text(const std::vector<std::int64_t>& shape) {
        std::string text = "(";
        for (std::size_t i = 0; i < shape.size(); ++i) {
            if (i > 0) text.append(", ");
            text.append(shape[i] < 0 ? "out" : std::to_string(shape[i]));
        }
        if (shape.size() == 1) text.append(",");
        return text.append(")");
    }

    std::map<std::string, NamedArray*> by_name_;
    int hidden_ = 0;
};

void check_format(const Keys& keys) {
    const NamedArray* format = keys.find("format");
    if (format == nullptr) refuse(std::string("missing key 'format': expected the string '") + kFormat + "'");
    if (format->kind != NamedArray::Kind::Text)
        refuse(std::string("format: expected the string '") + kFormat + "', got " + format->dtype + " array");
    if (format->text != kFormat)
        refuse(std::string("format: expected '") + kFormat + "', got '" + format->text.substr(0, 64) + "'");
}

// A layer reading `in` values, its output count free (out < 0) or fixed.
Dense take_layer(const Keys& keys, const std::string& name, int in, int out, const std::string& note) {
    NamedArray& weight = keys.get(name + ".weight", {out, in}, note);
    // At most the kMaxBytes / 4 values checked above, so the count fits an int.
    const std::int64_t rows = weight.shape[0];
    NamedArray& bias = keys.get(name + ".bias", {rows});
    return {in, static_cast<int>(rows), std::move(weight.values), std::move(bias.values)};
}

}  // namespace

Network network_from_arrays(std::vector<NamedArray> arrays) {
    std::size_t bytes = 0;
    for (const NamedArray& array : arrays) bytes += array.values.size() * sizeof(float);
    if (bytes > kMaxBytes)
        refuse("expected at most 64 MiB of weights, got " + std::to_string(bytes) + " bytes");
    const Keys keys(arrays);
    check_format(keys);
    std::vector<Dense> hidden;
    int in = kInputs;
    std::string note = " (the 243 input planes)";
    for (int i = 0; i < keys.hidden_layers(); ++i) {
        const std::string name = "hidden." + std::to_string(i);
        hidden.push_back(take_layer(keys, name, in, -1, note));
        in = hidden.back().out;
        note = " (" + name + " has " + std::to_string(in) + " outputs)";
    }
    Dense policy = take_layer(keys, "policy", in, kMoves, note);
    Dense value = take_layer(keys, "value", in, 1, note);
    return {std::move(hidden), std::move(policy), std::move(value)};
}

std::vector<NamedArray> network_arrays(const Network& network) {
    std::vector<NamedArray> arrays;
    NamedArray format;
    format.name = "format";
    format.kind = NamedArray::Kind::Text;
    format.dtype = "str";
    format.text = kFormat;
    arrays.push_back(std::move(format));
    const auto add = [&arrays](const std::string& name, const Dense& layer) {
        NamedArray weight{name + ".weight", NamedArray::Kind::Float32, "float32", {layer.out, layer.in},
                          layer.weight, {}};
        NamedArray bias{name + ".bias", NamedArray::Kind::Float32, "float32", {layer.out}, layer.bias, {}};
        arrays.push_back(std::move(weight));
        arrays.push_back(std::move(bias));
    };
    for (std::size_t i = 0; i < network.hidden().size(); ++i) add("hidden." + std::to_string(i), network.hidden()[i]);
    add("policy", network.policy());
    add("value", network.value());
    return arrays;
}

}  // namespace nonagame::net
