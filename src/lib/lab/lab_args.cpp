#include "lab_args.hpp"

#include <sys/random.h>

#include <cerrno>
#include <limits>
#include <random>
#include <string>

#include "core_link.hpp"
#include "errors.hpp"
#include "position_type.hpp"

namespace nonagame::py {

namespace {

std::string type_name(PyObject* object) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
    if (!name) {
        PyErr_Clear();
        return "object";
    }
    const char* utf8 = PyUnicode_AsUTF8(name.get());
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "object";
    }
    return utf8;
}

[[noreturn]] void wrong_type(PyObject* object, const char* name, const char* expected) {
    raise(PyExc_TypeError, std::string("argument '") + name + "': expected " + expected + ", got '" +
                               type_name(object) + "'");
}

std::uint64_t os_seed() {
    std::uint64_t seed = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(&seed);
    std::size_t done = 0;
    while (done < sizeof seed) {
        const ssize_t n = ::getrandom(bytes + done, sizeof seed - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (done < sizeof seed) {
        std::random_device device;
        seed = (std::uint64_t{device()} << 32) ^ device();
    }
    return seed;
}

// An exact int (or an object with __index__); TypeError naming the argument otherwise.
Ref index_of(PyObject* object, const char* name) {
    if (PyBool_Check(object) || !PyIndex_Check(object)) wrong_type(object, name, "an int");
    return Ref::checked(PyNumber_Index(object));
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
    wrong_type(object, name, "a Position, nonagame.Game or nonagame.State");
}

std::uint64_t seed_value(PyObject* object, const char* name) {
    if (object == nullptr || object == Py_None) return os_seed();
    Ref value = index_of(object, name);
    const unsigned long long seed = PyLong_AsUnsignedLongLong(value.get());
    if (seed == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw ErrorSet{};
        PyErr_Clear();
        raise(PyExc_ValueError, std::string("argument '") + name + "': a seed must be None or an int in 0..2**64-1");
    }
    return seed;
}

int thread_count(PyObject* object, const char* name) {
    if (object == nullptr) return 1;
    Ref value = index_of(object, name);
    int overflow = 0;
    const long threads = PyLong_AsLongAndOverflow(value.get(), &overflow);
    if (threads == -1 && PyErr_Occurred()) throw ErrorSet{};
    if (overflow != 0 || threads < 1 || threads > 256) {
        raise(PyExc_ValueError, std::string("argument '") + name + "': expected a thread count in 1..256");
    }
    return static_cast<int>(threads);
}

std::int64_t count_value(PyObject* object, const char* name) {
    Ref value = index_of(object, name);
    const long long count = PyLong_AsLongLong(value.get());
    if (count == -1 && PyErr_Occurred()) throw ErrorSet{};
    if (count < 0) raise(PyExc_ValueError, std::string("argument '") + name + "': expected a count >= 0");
    return count;
}

std::int64_t size_value(PyObject* object, const char* name) {
    Ref value = index_of(object, name);
    int overflow = 0;
    const long long size = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (size == -1 && PyErr_Occurred()) throw ErrorSet{};
    if (overflow > 0) return std::numeric_limits<std::int64_t>::max();
    if (overflow < 0 || size < 0) raise(PyExc_ValueError, std::string("argument '") + name + "': expected a count >= 0");
    return size;
}

}  // namespace nonagame::py
