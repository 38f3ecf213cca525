#include "lab_args.hpp"

#include <climits>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "convert.hpp"
#include "core_link.hpp"
#include "errors.hpp"
#include "player/random.hpp"
#include "position_type.hpp"
#include "search/mcts.hpp"
#include "symmetry.hpp"

namespace nonagame::py {

namespace {

constexpr const char* kCountText = "expected a count >= 0";

std::uint64_t os_seed() {
    unsigned char bytes[sizeof(std::uint64_t)];
    if (!os_entropy(bytes, sizeof bytes)) {
        std::random_device device;
        return (std::uint64_t{device()} << 32) ^ device();
    }
    std::uint64_t seed = 0;
    for (const unsigned char byte : bytes) seed = seed << 8 | byte;
    return seed;
}

// The engine's range text for a cell argument, naming the int as given: an int beyond
// long long reached the engine as LLONG_MIN, whose digits end the engine's text.
std::string range_text(long long cell, PyObject* object) {
    std::string text = cell_range_message(cell);
    if (cell == LLONG_MIN) text.replace(text.size() - std::to_string(cell).size(), std::string::npos, int_text(object));
    return text;
}

}  // namespace

GameRecord position_record(PyObject* object, const char* name) {
    if (is_position(object)) return position_value(object).record();
    const CoreApi& api = core();
    if (PyObject_TypeCheck(object, api.game_type)) {
        GameRecord record;
        if (api.read_game(object, &record) < 0) throw ErrorSet{};
        return record;
    }
    if (PyObject_TypeCheck(object, api.state_type)) {
        CheckpointRecord checkpoint;
        if (api.read_state(object, &checkpoint) < 0) throw ErrorSet{};
        GameRecord record = new_game(0, false);
        load_checkpoint(record, checkpoint);
        return record;
    }
    fail_expected(object, name, "a Position, nonagame.Game or nonagame.State");
}

long long engine_int(PyObject* object, const char* name) {
    const Integer value = to_integer(object, name);
    return value.overflow != 0 ? LLONG_MIN : value.value;
}

std::string refusal_text(const Refusal& refusal, long long cell, PyObject* object) {
    if (cell == LLONG_MIN && refusal.message == cell_range_message(cell)) return range_text(cell, object);
    return refusal.message;
}

int cell_value(PyObject* object, const char* name, const std::string& prefix) {
    const long long cell = engine_int(object, name);
    if (cell < 0 || cell >= kCells) raise(PyExc_ValueError, prefix + range_text(cell, object));
    return static_cast<int>(cell);
}

int symmetry_value(PyObject* object, const char* name) {
    const long long k = engine_int(object, name);
    if (k < 0 || k >= kSymmetries) {
        fail_value(name, "a symmetry is 0..7, got " + int_text(object));
    }
    return static_cast<int>(k);
}

Ref cell_items(PyObject* cells, const char* name) {
    Ref iterator = Ref::steal(PyObject_GetIter(cells));
    if (!iterator) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw ErrorSet{};
        PyErr_Clear();
        fail_expected(cells, name, "an iterable of ints");
    }
    return Ref::checked(PySequence_Tuple(iterator.get()));
}

std::uint64_t seed_value(PyObject* object, const char* name) {
    if (object == nullptr || object == Py_None) return os_seed();
    const Ref value = to_int(object, name);
    const unsigned long long seed = PyLong_AsUnsignedLongLong(value.get());
    if (seed == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw ErrorSet{};
        PyErr_Clear();
        fail_value(name, "a seed must be None or an int in 0..2**64-1");
    }
    return seed;
}

int thread_count(PyObject* object, const char* name) {
    if (object == nullptr) return 1;
    const Integer threads = to_integer(object, name);
    if (threads.overflow != 0 || threads.value < 1 || threads.value > mcts::kMaxThreads) {
        fail_value(name, "expected a thread count in 1.." + std::to_string(mcts::kMaxThreads));
    }
    return static_cast<int>(threads.value);
}

std::int64_t count_value(PyObject* object, const char* name) {
    const Integer count = to_integer(object, name);
    if (count.overflow > 0) raise(PyExc_OverflowError, kOutOfRange);
    if (count.overflow < 0 || count.value < 0) fail_value(name, kCountText);
    return count.value;
}

std::int64_t size_value(PyObject* object, const char* name) {
    const Integer size = to_integer(object, name);
    if (size.overflow > 0) return std::numeric_limits<std::int64_t>::max();
    if (size.overflow < 0 || size.value < 0) fail_value(name, kCountText);
    return size.value;
}

double nonnegative_real(PyObject* object, const char* name) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) fail_argument(name);
    if (!std::isfinite(value) || value < 0) fail_value(name, "expected a finite number >= 0");
    return value;
}

}  // namespace nonagame::py
