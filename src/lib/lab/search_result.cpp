#include "search_result.hpp"

#include <cstddef>

#include "errors.hpp"
#include "pyref.hpp"

namespace nonagame::py {

namespace {

PyObject* proof_text(mcts::Proof proof) {
    switch (proof) {
        case mcts::Proof::Win: return PyUnicode_FromString("win");
        case mcts::Proof::Loss: return PyUnicode_FromString("loss");
        case mcts::Proof::Draw: return PyUnicode_FromString("draw");
        default: Py_RETURN_NONE;
    }
}

template <class Array>
Ref bytes_of(const Array& array) {
    return Ref::checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(array.data()), sizeof array));
}

}  // namespace

PyObject* result_tuple(const mcts::SearchResult& r) {
    Ref visits = bytes_of(r.visits);
    Ref values = bytes_of(r.values);
    Ref proofs = Ref::checked(PyList_New(kCells));
    for (int c = 0; c < kCells; ++c) {
        PyList_SET_ITEM(proofs.get(), c, Ref::checked(proof_text(r.proofs[static_cast<std::size_t>(c)])).release());
    }
    Ref pv = Ref::checked(PyList_New(static_cast<Py_ssize_t>(r.principal_variation.size())));
    for (std::size_t i = 0; i < r.principal_variation.size(); ++i) {
        PyList_SET_ITEM(pv.get(), static_cast<Py_ssize_t>(i),
                        Ref::checked(PyLong_FromLong(r.principal_variation[i])).release());
    }
    Ref proof = Ref::checked(proof_text(r.proof));
    Ref priors = r.guided ? bytes_of(r.priors) : Ref::borrow(Py_None);
    return Ref::checked(Py_BuildValue("(OOOidOKdOO)", visits.get(), values.get(), proofs.get(), r.best_move,
                                      r.value, proof.get(), static_cast<unsigned long long>(r.simulations),
                                      r.seconds, pv.get(), priors.get()))
        .release();
}

}  // namespace nonagame::py
