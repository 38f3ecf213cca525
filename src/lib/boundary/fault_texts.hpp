// The texts of the internal faults (PanicException) that the boundary and the extension
// modules raise, and of borrow conflicts, in one place. Callers see them as exception messages, so they are part of
// what the modules promise and must stay as they are; the engine's own fault texts live
// with the engine code that raises them.
#pragma once

#include <string>
#include <string_view>

namespace nonagame::py {

// Borrow conflicts (borrow.hpp): RuntimeError for calls from Python, and fault texts where
// the native code itself expected the object to be free.
inline constexpr const char* kMutablyBorrowed = "Already mutably borrowed";
inline constexpr const char* kAlreadyBorrowed = "Already borrowed";

// Prefix of a failure that the native code cannot recover from; the failure's own text
// follows it (the runner's borrow conflicts, an error raised by a make_move override).
inline constexpr std::string_view kUnwrapErr = "called `Result::unwrap()` on an `Err` value: ";

// A value that should be there and is not: a snapshot array that no longer has a
// snapshot's shape or element type.
inline constexpr std::string_view kUnwrapNone = "called `Option::unwrap()` on a `None` value";

// An object that the module must return could not be made (the Python error is printed).
inline constexpr std::string_view kApiCallFailed = "Python API call failed";

// NumPy cannot be imported or offers no array API; "Type: value" of the error follows.
inline constexpr std::string_view kNumpyUnreachable = "Failed to access NumPy array API capsule: ";

// A class of the module could not be created; the class name follows.
inline constexpr std::string_view kTypeNotCreated = "failed to create type object for ";

// A public name could not be listed in the module's __all__; "Type: value" follows.
inline constexpr std::string_view kAllNotExtended = "could not append __name__ to __all__: ";

// Something other than a Fault or an allocation failure escaped an entry point.
inline constexpr std::string_view kNoMessage = "the native code failed without a message";

// A PanicException from Python code whose text cannot be read.
inline constexpr std::string_view kPythonPanic = "Unwrapped panic from Python code";

// Follows "Type: value" of a number of games that is not an int of 0..4294967295.
inline constexpr std::string_view kTooManyGames =
    "\nCannot simulate more games than what a u32 allows. You definitely do not need to run "
    "more games than that.";

// The runner found a game or a player that it was using taken by somebody else.
inline const std::string kRunnerBusy = std::string(kUnwrapErr) + kAlreadyBorrowed;

}  // namespace nonagame::py
