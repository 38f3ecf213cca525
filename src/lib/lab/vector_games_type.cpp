#include "vector_games_type.hpp"

#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "args.hpp"
#include "borrow.hpp"
#include "cell_array.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "lab_entry.hpp"
#include "heap_type.hpp"
#include "lab_args.hpp"
#include "lab_globals.hpp"
#include "native_arrays.hpp"
#include "numpy_api.hpp"
#include "batch.hpp"
#include "env_step.hpp"
#include "planes.hpp"
#include "position_type.hpp"
#include "released_run.hpp"

namespace nonagame::py {

namespace {

// Games per chunk of a batch call: signals are checked between chunks.
constexpr std::int64_t kGamesPerChunk = 2048;

struct VectorBody {
    BorrowState borrow;
    // Odd while a call writes the arrays, even between calls: see Writing.
    std::atomic<std::uint64_t> sequence{0};
    std::int64_t n = 0;
    int threads = 1;
    std::optional<Batch> batch;         // set once the arrays exist
    std::vector<std::int16_t> scratch;  // the cells of the step being made
    Ref block;                           // the native memory that the arrays view
    Ref boards, legal, to_move, winner, done, moves_played, last_move;
    // The learning environment's state, once _env_start has made it; its arrays live in
    // env_block (which the NumPy views of them also keep).
    std::optional<EnvSteps> env;
    Ref env_block;
};

VectorBody& body(PyObject* self) { return Instance<VectorBody>::of(self); }

// The writer's side of the arrays' sequence number (a sequence lock): one more, odd, before
// a call writes the arrays, and one more, even, once it has written them. The first step's
// acquire keeps the writes after it, the second's release keeps them before it; threads
// started for the call start after the first step and are joined before the second. A
// reader that reads the number, copies arrays and reads it again has copies of the state
// between two calls when it found the same even number both times (get_sequence). No
// fences: ThreadSanitizer builds (GCC) refuse them.
class Writing {
public:
    explicit Writing(std::atomic<std::uint64_t>& sequence) : sequence_(sequence) {
        sequence_.fetch_add(1, std::memory_order_acq_rel);
    }
    ~Writing() { sequence_.fetch_add(1, std::memory_order_release); }
    Writing(const Writing&) = delete;
    Writing& operator=(const Writing&) = delete;

private:
    std::atomic<std::uint64_t>& sequence_;
};

// n, or MemoryError (std::bad_alloc) when n games would need more memory than the machine
// has: refused before anything is allocated, so that no allocator is asked for an absurd
// size (a sanitizer's allocator aborts on those instead of failing).
std::int64_t checked_size(std::int64_t n) {
    // Bytes per game: the record, its generator, a step cell, and the published arrays.
    constexpr auto per_game =
        static_cast<std::int64_t>(sizeof(GameRecord) + sizeof(Rng) + 2 + 81 + 81 + 1 + 1 + 1 + 2 + 2);
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGE_SIZE);
    const std::int64_t memory = pages > 0 && page_size > 0 && pages < PY_SSIZE_T_MAX / page_size
                                    ? static_cast<std::int64_t>(pages) * page_size
                                    : PY_SSIZE_T_MAX / 2;
    if (n > memory / per_game) {
        throw OutOfMemory("VectorGames: a game takes " + std::to_string(per_game) + " bytes, and this machine's " +
                          std::to_string(memory >> 20) + " MiB of memory hold at most " +
                          std::to_string(memory / per_game) + " games");
    }
    return n;
}

void build(VectorBody& b, std::int64_t n, std::uint64_t seed, int threads) {
    b.n = checked_size(n);
    b.threads = threads;
    const auto count = static_cast<std::size_t>(n);
    b.scratch.assign(count, 0);
    // Layout of the block: boards, legal, moves_played and last_move (2-byte aligned), to_move,
    // winner, done.
    const std::size_t boards = 0, legal = boards + 81 * count, moves = legal + 81 * count;
    const std::size_t last_move = moves + 2 * count, to_move = last_move + 2 * count;
    const std::size_t winner = to_move + count, done = winner + count;
    b.block = new_native_block(done + count);
    std::byte* data = block_data(b.block.get());
    BatchArrays arrays;
    arrays.boards = reinterpret_cast<std::int8_t*>(data + boards);
    arrays.legal = reinterpret_cast<std::uint8_t*>(data + legal);
    arrays.moves_played = reinterpret_cast<std::int16_t*>(data + moves);
    arrays.last_move = reinterpret_cast<std::int16_t*>(data + last_move);
    arrays.to_move = reinterpret_cast<std::int8_t*>(data + to_move);
    arrays.winner = reinterpret_cast<std::int8_t*>(data + winner);
    arrays.done = reinterpret_cast<std::uint8_t*>(data + done);
    b.batch.emplace(count, seed, arrays);
    const auto rows = static_cast<Py_ssize_t>(n);
    PyObject* block = b.block.get();
    b.boards = view_array(block, "int8", boards, rows, 81);
    b.legal = view_array(block, "bool", legal, rows, 81);
    b.moves_played = view_array(block, "int16", moves, rows, 0);
    b.last_move = view_array(block, "int16", last_move, rows, 0);
    b.to_move = view_array(block, "int8", to_move, rows, 0);
    b.winner = view_array(block, "int8", winner, rows, 0);
    b.done = view_array(block, "bool", done, rows, 0);
}

constexpr Params<3> kNewParams{"VectorGames.__new__()", {"n", "seed", "threads"}, 1, 1};
constexpr Params<2> kResetParams{"VectorGames.reset()", {"indices", "seed"}, 0, 1};
constexpr Params<2> kLoadParams{"VectorGames.load()", {"i", "position"}};

PyObject* vector_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return lab_entry([&] {
        auto [n_object, seed_object, threads_object] = parse(kNewParams, args, kwargs);
        const std::int64_t n = size_value(n_object, "n");
        const std::uint64_t seed = seed_value(seed_object, "seed");
        const int threads = thread_count(threads_object, "threads");
        Ref self = Ref::steal(allocate<VectorBody>(type));
        build(body(self.get()), n, seed, threads);
        return self.release();
    });
}

// Whether Ctrl-C may stop a batch call part way.
enum class Stop : bool { kNever, kBetweenChunks };

// Runs f(i) for every game i in [0, n) over the object's threads, without the interpreter
// lock. With Stop::kBetweenChunks, Ctrl-C stops it between chunks (the games already done
// keep their new state): for playout, whose games each end whole. step and step_random
// move every running game once, so they always finish, and Ctrl-C raises right after.
template <class F>
void for_each_game(VectorBody& b, Stop stop, F&& f) {
    const Writing writing(b.sequence);
    run_released(
        b.n, kGamesPerChunk, b.threads,
        [&](std::int64_t begin, std::int64_t end, int) {
            for (std::int64_t i = begin; i < end; ++i) f(static_cast<std::size_t>(i));
        },
        stop == Stop::kBetweenChunks);
}

// The error text of a bad entry. The cells were read clamped to int16 (anything outside
// it as -32768): such an entry is named as the caller wrote it, read again from cells.
std::string bad_entry_text(const VectorBody& b, const StepRefusal& bad, PyObject* cells) {
    const int clamped = b.scratch[static_cast<std::size_t>(bad.game)];
    std::string cell = std::to_string(clamped);
    if (clamped == std::numeric_limits<std::int16_t>::min()) {
        Ref item = Ref::steal(PySequence_GetItem(cells, static_cast<Py_ssize_t>(bad.game)));
        Ref text = item ? Ref::steal(PyObject_Str(item.get())) : Ref{};
        const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (utf8 != nullptr) {
            cell = utf8;
        } else {
            PyErr_Clear();
            cell = "outside -32768..32767";
        }
    }
    return "game " + std::to_string(bad.game) + ", cell " + cell + ": " + bad.reason;
}

PyObject* step(PyObject* self, PyObject* cells) {
    return lab_entry([&]() -> PyObject* {
        VectorBody& b = body(self);
        Ref array = as_buffer_object(cells, "cells");
        std::string read_error;
        std::optional<StepRefusal> bad;
        {
            ExclusiveBorrow borrow(b.borrow);
            read_error = read_integers(array.get(), static_cast<Py_ssize_t>(b.n), "cells", b.scratch.data());
            if (read_error.empty()) {
                {
                    ReleasedGil released;
                    bad = b.batch->validate(b.scratch.data());
                }
                if (!bad) {
                    for_each_game(b, Stop::kNever, [&](std::size_t i) {
                        const int cell = b.scratch[i];
                        if (cell >= 0) b.batch->play(i, cell);
                    });
                }
            }
        }
        if (!read_error.empty()) raise(PyExc_ValueError, read_error);
        if (bad) raise(PyExc_ValueError, bad_entry_text(b, *bad, array.get()));
        Py_RETURN_NONE;
    });
}

PyObject* step_random(PyObject* self, PyObject*) {
    return lab_entry([&]() -> PyObject* {
        VectorBody& b = body(self);
        ExclusiveBorrow borrow(b.borrow);
        for_each_game(b, Stop::kNever, [&](std::size_t i) { b.batch->play_random(i); });
        Py_RETURN_NONE;
    });
}

PyObject* playout(PyObject* self, PyObject*) {
    return lab_entry([&]() -> PyObject* {
        VectorBody& b = body(self);
        ExclusiveBorrow borrow(b.borrow);
        for_each_game(b, Stop::kBetweenChunks, [&](std::size_t i) { b.batch->finish_at_random(i); });
        Py_RETURN_NONE;
    });
}

// The learning environment's arrays over one native block, 8-byte items first so that each
// array is aligned: a tuple (planes (n, 243) int8, rewards float64, terminated bool, illegal
// bool, opponent_move int64, agent int8). The agent's mask is the batch's legal cells where
// its episode runs (not terminated), none where it has ended. The last move of each
// game is the batch's own (last_move): the environment's openings and replies are batch
// moves, so that it is the last cell on the board.
PyObject* env_start(PyObject* self, PyObject* plays_object) {
    return lab_entry([&]() -> PyObject* {
        VectorBody& b = body(self);
        const std::int64_t plays = to_index(plays_object, 3, "agent_plays", "ways to choose sides", PyExc_ValueError);
        const auto count = static_cast<std::size_t>(b.n);
        const std::size_t rewards = 0, opponent = 8 * count, planes = 16 * count;
        const std::size_t terminated = planes + kPlaneValues * count;
        const std::size_t illegal = terminated + count, agent = illegal + count, restart = agent + count;
        Ref block = new_native_block(restart + count);
        std::byte* data = block_data(block.get());
        EnvArrays arrays;
        arrays.rewards = reinterpret_cast<double*>(data + rewards);
        arrays.opponent_move = reinterpret_cast<std::int64_t*>(data + opponent);
        arrays.planes = reinterpret_cast<std::int8_t*>(data + planes);
        arrays.terminated = reinterpret_cast<std::uint8_t*>(data + terminated);
        arrays.illegal = reinterpret_cast<std::uint8_t*>(data + illegal);
        arrays.agent = reinterpret_cast<std::int8_t*>(data + agent);
        arrays.restart = reinterpret_cast<std::uint8_t*>(data + restart);
        const auto rows = static_cast<Py_ssize_t>(b.n);
        PyObject* raw = block.get();
        Ref views = Ref::checked(PyTuple_New(6));
        const auto put = [&](Py_ssize_t k, Ref view) { PyTuple_SET_ITEM(views.get(), k, view.release()); };
        put(0, view_array(raw, "int8", planes, rows, kPlaneValues));
        put(1, view_array(raw, "float64", rewards, rows, 0));
        put(2, view_array(raw, "bool", terminated, rows, 0));
        put(3, view_array(raw, "bool", illegal, rows, 0));
        put(4, view_array(raw, "int64", opponent, rows, 0));
        put(5, view_array(raw, "int8", agent, rows, 0));
        ExclusiveBorrow borrow(b.borrow);
        b.env.emplace(count, static_cast<AgentPlays>(plays), arrays);
        b.env_block = std::move(block);
        return views.release();
    });
}

// The truth of a flag argument (an exception from its __bool__ goes on).
bool truth(PyObject* object) {
    const int value = PyObject_IsTrue(object);
    if (value < 0) throw ErrorSet{};
    return value == 1;
}

EnvSteps& env_of(VectorBody& b) {
    if (!b.env) raise(PyExc_RuntimeError, "the learning environment's arrays have not been made; call _env_start first");
    return *b.env;
}

std::vector<std::int64_t> reset_indices(VectorBody& b, PyObject* indices);

constexpr Params<2> kEnvBeginParams{"VectorGames._env_begin()", {"indices", "first_episode"}};

// Starts new episodes in the given games (None for all).
PyObject* env_begin(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return lab_entry([&]() -> PyObject* {
        auto [indices, first_object] = parse(kEnvBeginParams, args, nargs, nullptr);
        VectorBody& b = body(self);
        const std::vector<std::int64_t> chosen = reset_indices(b, indices);
        const bool first = truth(first_object);
        ExclusiveBorrow borrow(b.borrow);
        EnvSteps& env = env_of(b);
        {
            const Writing writing(b.sequence);
            ReleasedGil released;
            for (const std::int64_t i : chosen) env.start(*b.batch, static_cast<std::size_t>(i), first);
        }
        Py_RETURN_NONE;
    });
}

// The refusal of a cell off the board, in the words of the environment's own check.
std::string off_board_text(const VectorBody& b, std::size_t i, PyObject* cells) {
    const StepRefusal bad{i, b.scratch[i], ""};
    std::string text = bad_entry_text(b, bad, cells);  // "game i, cell C: "
    const std::size_t comma = text.find(", cell ");
    const std::string cell = text.substr(comma + 7, text.size() - comma - 9);
    return "actions: expected cells 0..80, got " + cell + " for environment " + std::to_string(i);
}

constexpr Params<2> kEnvStepParams{"VectorGames._env_step()", {"cells", "next_step"}};

// A new array of the given type and shape for a step's results, and where its elements are.
template <class T>
Ref step_array(ArrayType type, Py_ssize_t rows, Py_ssize_t columns, T*& data) {
    const Py_ssize_t dims[2] = {rows, columns};
    void* elements = nullptr;
    Ref array = Ref::steal(new_typed_array(type, columns > 0 ? 2 : 1, dims, &elements));
    data = static_cast<T*>(elements);
    return array;
}

// One step of every game's episode against the random opponent; the cells must be 0..80
// (the environment has checked them). Runs to the end whatever signals come. Returns new
// arrays holding the step's results, filled game by game right after each game's step:
// (planes (n, 9, 9, 3) int8, rewards float64, terminated bool, truncated bool (all False),
// mask (n, 81) int8, illegal bool, agent int64, opponent_move int64, and four bool arrays
// of n True, the masks of the info's entries).
PyObject* env_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return lab_entry([&]() -> PyObject* {
        auto [cells, next_object] = parse(kEnvStepParams, args, nargs, nullptr);
        VectorBody& b = body(self);
        const bool next_step = truth(next_object);
        Ref array = as_buffer_object(cells, "cells");
        // Every result array is made before any game changes (a MemoryError changes nothing).
        const auto rows = static_cast<Py_ssize_t>(b.n);
        EnvOutputs out;
        std::uint8_t* truncated = nullptr;
        std::array<std::uint8_t*, 4> ones{};
        Ref results = Ref::checked(PyTuple_New(12));
        const auto put = [&](Py_ssize_t k, Ref item) { PyTuple_SET_ITEM(results.get(), k, item.release()); };
        {
            const Py_ssize_t dims[4] = {rows, kGridSide, kGridSide, kPlaneChannels};
            void* planes = nullptr;
            put(0, Ref::steal(new_typed_array(ArrayType::kInt8, 4, dims, &planes)));
            out.planes = static_cast<std::int8_t*>(planes);
        }
        put(1, step_array(ArrayType::kFloat64, rows, 0, out.rewards));
        put(2, step_array(ArrayType::kBool, rows, 0, out.terminated));
        put(3, step_array(ArrayType::kBool, rows, 0, truncated));
        put(4, step_array(ArrayType::kInt8, rows, kCells, out.mask));
        put(5, step_array(ArrayType::kBool, rows, 0, out.illegal));
        put(6, step_array(ArrayType::kInt64, rows, 0, out.agent));
        put(7, step_array(ArrayType::kInt64, rows, 0, out.opponent_move));
        for (std::size_t k = 0; k < ones.size(); ++k) put(static_cast<Py_ssize_t>(8 + k), step_array(ArrayType::kBool, rows, 0, ones[k]));
        std::string read_error;
        {
            ExclusiveBorrow borrow(b.borrow);
            EnvSteps& env = env_of(b);
            read_error = read_integers(array.get(), rows, "cells", b.scratch.data());
            for (std::size_t i = 0; read_error.empty() && i < b.scratch.size(); ++i) {
                if (b.scratch[i] < 0 || b.scratch[i] >= kCells) read_error = off_board_text(b, i, array.get());
            }
            if (read_error.empty()) {
                for_each_game(b, Stop::kNever, [&](std::size_t i) {
                    env.step(*b.batch, i, b.scratch[i], next_step);
                    env.copy_out(*b.batch, i, out);
                });
            }
        }
        if (!read_error.empty()) raise(PyExc_ValueError, read_error);
        const auto count = static_cast<std::size_t>(rows);
        std::memset(truncated, 0, count);
        for (std::uint8_t* mask : ones) std::memset(mask, 1, count);
        return results.release();
    });
}

// Indices to reset: None for all, an int (or an integer scalar or 0-d array), or a
// one-dimensional array-like of ints in 0..n-1.
std::vector<std::int64_t> reset_indices(VectorBody& b, PyObject* indices) {
    std::vector<std::int64_t> out;
    if (indices == nullptr || indices == Py_None) {
        out.resize(static_cast<std::size_t>(b.n));
        for (std::int64_t i = 0; i < b.n; ++i) out[static_cast<std::size_t>(i)] = i;
        return out;
    }
    const auto add = [&](PyObject* item) {
        if (!is_integer(item)) raise(PyExc_TypeError, "argument 'indices': expected integer game indices");
        out.push_back(to_index(item, b.n, "indices", "games", PyExc_ValueError));
    };
    if (PyLong_Check(indices) && !PyBool_Check(indices)) {
        add(indices);
        return out;
    }
    // NumPy arrays of any size have __index__ (which refuses all but integer scalars), so
    // arrays are told apart by their number of dimensions.
    Ref array = as_buffer_object(indices, "indices");
    Py_buffer view{};
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
        PyErr_Clear();
        raise(PyExc_TypeError, "argument 'indices': expected integer game indices");
    }
    const int ndim = view.ndim;
    const bool booleans = view.format != nullptr && view.format[0] == '?' && view.format[1] == '\0';
    PyBuffer_Release(&view);
    if (booleans) raise(PyExc_TypeError, "argument 'indices': expected integer game indices, not a mask");
    if (ndim == 0) {
        add(array.get());
        return out;
    }
    if (ndim != 1) raise(PyExc_ValueError, "argument 'indices': expected a one-dimensional array of game indices");
    Ref list = Ref::checked(PySequence_List(array.get()));
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list.get()); ++k) add(PyList_GET_ITEM(list.get(), k));
    return out;
}

PyObject* reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return lab_entry([&]() -> PyObject* {
        auto [indices, seed_object] = parse(kResetParams, args, nargs, kwnames);
        VectorBody& b = body(self);
        const std::vector<std::int64_t> chosen = reset_indices(b, indices);
        const bool reseed = seed_object != nullptr && seed_object != Py_None;
        const std::uint64_t seed = reseed ? seed_value(seed_object, "seed") : 0;
        ExclusiveBorrow borrow(b.borrow);
        const Writing writing(b.sequence);
        for (const std::int64_t i : chosen) {
            const auto game = static_cast<std::size_t>(i);
            b.batch->reset(game);
            if (reseed) b.batch->reseed(game, seed);
        }
        Py_RETURN_NONE;
    });
}

PyObject* load(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return lab_entry([&]() -> PyObject* {
        auto [i_object, position_object] = parse(kLoadParams, args, nargs, nullptr);
        VectorBody& b = body(self);
        const std::int64_t i = to_index(i_object, b.n, "i", "games");
        const GameRecord record = position_record(position_object, "position");
        ExclusiveBorrow borrow(b.borrow);
        const Writing writing(b.sequence);
        b.batch->load(static_cast<std::size_t>(i), record);
        Py_RETURN_NONE;
    });
}

PyObject* position(PyObject* self, PyObject* arg) {
    return lab_entry([&] {
        VectorBody& b = body(self);
        const std::int64_t i = to_index(arg, b.n, "i", "games");
        const GameRecord record = [&] {
            SharedBorrow borrow(b.borrow);
            return b.batch->game(static_cast<std::size_t>(i));
        }();
        return wrap_position_record(record);
    });
}

Py_ssize_t length(PyObject* self) { return static_cast<Py_ssize_t>(body(self).n); }

template <Ref VectorBody::*Member>
PyObject* get_array(PyObject* self, void*) {
    return Py_NewRef((body(self).*Member).get());
}

// The reader's side of the sequence number, read by adding 0: the read-modify-write's
// release keeps the caller's earlier reads of the arrays before it, its acquire keeps the
// later ones after it.
PyObject* get_sequence(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(body(self).sequence.fetch_add(0, std::memory_order_acq_rel));
}

PyGetSetDef kGetSet[] = {
    {"boards", get_array<&VectorBody::boards>, nullptr,
     "(n, 81) int8: the cells of every game, 0 empty, 1 or 2 a player's mark.", nullptr},
    {"legal", get_array<&VectorBody::legal>, nullptr, "(n, 81) bool: the legal cells of every game.", nullptr},
    {"to_move", get_array<&VectorBody::to_move>, nullptr, "(n,) int8: the player to move, 1 or 2.", nullptr},
    {"winner", get_array<&VectorBody::winner>, nullptr, "(n,) int8: 0, or the player who has won.", nullptr},
    {"done", get_array<&VectorBody::done>, nullptr, "(n,) bool: whether each game is over.", nullptr},
    {"moves_played", get_array<&VectorBody::moves_played>, nullptr,
     "(n,) int16: the marks on each board, the moves played since the opening.", nullptr},
    {"last_move", get_array<&VectorBody::last_move>, nullptr,
     "(n,) int16: the cell of each game's last move; -1 after a reset or a load, before a move.", nullptr},
    {"sequence", get_sequence, nullptr,
     "int: odd while a call is writing the arrays, even between calls, and larger after every\n"
     "call that changed them. Read it before and after copying arrays in another thread: the\n"
     "same even number both times means the copies show the games between two calls.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"reset", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reset)), METH_FASTCALL | METH_KEYWORDS,
     "reset($self, /, indices=None, *, seed=None)\n--\n\n"
     "Starts the given games (all by default) again from the opening. With a seed, the random\n"
     "stream of game i restarts from (seed, i)."},
    {"step", step, METH_O,
     "step($self, cells, /)\n--\n\n"
     "Plays one cell in every game: an array-like of n ints, -1 exactly for the games that\n"
     "are over. Every entry is checked before any game changes; the first bad one raises\n"
     "ValueError naming the game, the cell and the reason."},
    {"step_random", step_random, METH_NOARGS,
     "step_random($self, /)\n--\n\nPlays one uniformly random legal move in every running game."},
    {"playout", playout, METH_NOARGS,
     "playout($self, /)\n--\n\nPlays uniformly random moves in every running game until it is over."},
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load)), METH_FASTCALL,
     "load($self, i, position, /)\n--\n\n"
     "Puts game i in the position of a Position, nonagame.Game or nonagame.State."},
    {"position", position, METH_O, "position($self, i, /)\n--\n\nThe position of game i, as a Position."},
    {"_env_start", env_start, METH_O,
     "_env_start($self, agent_plays, /)\n--\n\n"
     "For nonagame_lab.envs: makes the learning environment's arrays (agent_plays 0 first, 1\n"
     "second, 2 alternate) and returns their read-only views."},
    {"_env_begin", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(env_begin)), METH_FASTCALL,
     "_env_begin($self, indices, first_episode, /)\n--\n\n"
     "For nonagame_lab.envs: starts new episodes in the given games (None for all)."},
    {"_env_step", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(env_step)), METH_FASTCALL,
     "_env_step($self, cells, next_step, /)\n--\n\n"
     "For nonagame_lab.envs: one step of every game's episode against the random opponent."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(vector_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<VectorBody>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {Py_tp_doc, const_cast<char*>(
         "VectorGames(n, *, seed=None, threads=1)\n--\n\n"
         "n independent games stepped together. Their state is in read-only NumPy arrays over\n"
         "native memory (boards, legal, to_move, winner, done, moves_played, last_move), the\n"
         "same array objects on every read, updated in place by every call (sequence says when\n"
         "a copy made meanwhile is whole). Batch calls run without the interpreter lock, over\n"
         "the given number of threads; a second thread that calls into the object meanwhile\n"
         "gets RuntimeError. The same seed and calls give the same arrays whatever the number\n"
         "of threads.")},
    {0, nullptr},
};

PyType_Spec kSpec{"nonagame_lab.VectorGames", sizeof(Instance<VectorBody>), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyTypeObject* vector_games_type() {
    return type_once(g_lab.vector_games_type, kSpec, "VectorGames");
}

}  // namespace nonagame::py
