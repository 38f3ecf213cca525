#include "core_api_capsule.hpp"

#include "checkpoint_type.hpp"
#include "core_api.hpp"
#include "errors.hpp"
#include "game_type.hpp"
#include "nonagame_globals.hpp"
#include "player_type.hpp"
#include "state_type.hpp"

namespace nonagame::py {

namespace {

// Runs body as an entry point that reports success as 0 and failure as -1.
template <class Body>
int status_entry(Body&& body) noexcept {
    PyObject* result = entry([&]() -> PyObject* {
        body();
        return Py_None;  // a borrowed marker of success, never returned to Python
    });
    return result == nullptr ? -1 : 0;
}

int read_game(PyObject* game, GameRecord* out) {
    return status_entry([&] { *out = game_record(game); });
}

int read_state(PyObject* state, CheckpointRecord* out) {
    return status_entry([&] { *out = state_position(state); });
}

PyObject* new_game(const GameRecord* record) {
    return entry([&] { return wrap_game(*record); });
}

}  // namespace

PyObject* make_core_api_capsule() {
    CoreApi& api = g_nonagame.core_api;
    api = CoreApi{kCoreApiVersion,
                  sizeof(GameRecord),
                  sizeof(CheckpointRecord),
                  game_type(),
                  state_type(),
                  checkpoint_type(),
                  player_type(),
                  panic_type(),
                  read_game,
                  read_state,
                  new_game};
    if (api.panic_type == nullptr) throw ErrorSet{};
    return Ref::checked(PyCapsule_New(&api, kCoreApiName, nullptr)).release();
}

}  // namespace nonagame::py
