// The match runner: the module functions play_game and play_multiple_games.
#pragma once

#include <Python.h>

namespace nonagame::py {

// Static definitions for add_function; they outlive the function objects made from them.
PyMethodDef* play_game_definition();
PyMethodDef* play_multiple_games_definition();

}  // namespace nonagame::py
