#include "core_link.hpp"

#include <string>

#include "errors.hpp"
#include "lab_globals.hpp"

namespace nonagame::py {

void link_core() {
    if (g_lab.core != nullptr) return;
    Ref module = Ref::checked(PyImport_ImportModule("nonagame"));
    Ref capsule = Ref::checked(PyObject_GetAttrString(module.get(), kCoreApiAttribute));
    const auto* api = static_cast<const CoreApi*>(PyCapsule_GetPointer(capsule.get(), kCoreApiName));
    if (api == nullptr) throw ErrorSet{};
    if (api->version != kCoreApiVersion || api->game_record_size != sizeof(GameRecord) ||
        api->checkpoint_record_size != sizeof(CheckpointRecord)) {
        raise(PyExc_ImportError,
              "nonagame_lab was built for another version of nonagame: reinstall both from one "
              "distribution");
    }
    adopt_panic_type(api->panic_type);
    g_lab.core = api;
}

const CoreApi& core() { return *g_lab.core; }

}  // namespace nonagame::py
