#include "playout_result_type.hpp"

#include "errors.hpp"
#include "lab_globals.hpp"
#include "pyref.hpp"

namespace nonagame::py {

namespace {

PyStructSequence_Field kResultFields[] = {
    {"p1_wins", "games won by player 1"},
    {"p2_wins", "games won by player 2"},
    {"draws", "games that ended with no winner"},
    {nullptr, nullptr},
};

PyStructSequence_Desc kResultDesc = {
    "nonagame_lab.PlayoutResult",
    "PlayoutResult(p1_wins, p2_wins, draws): outcome counts of random playouts.",
    kResultFields,
    3,
};

}  // namespace

PyTypeObject* playout_result_type() {
    if (g_lab.playout_result_type == nullptr) {
        g_lab.playout_result_type = PyStructSequence_NewType(&kResultDesc);
        if (g_lab.playout_result_type == nullptr) throw ErrorSet{};
    }
    return g_lab.playout_result_type;
}

PyObject* make_playout_result(const std::array<std::int64_t, 3>& counts) {
    Ref result = Ref::checked(PyStructSequence_New(playout_result_type()));
    const std::array<std::int64_t, 3> order = {counts[1], counts[2], counts[0]};
    for (Py_ssize_t i = 0; i < 3; ++i) {
        PyObject* value = PyLong_FromLongLong(order[static_cast<std::size_t>(i)]);
        if (value == nullptr) throw ErrorSet{};
        PyStructSequence_SetItem(result.get(), i, value);
    }
    return result.release();
}

}  // namespace nonagame::py
