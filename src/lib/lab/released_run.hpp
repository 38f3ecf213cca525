// Native loops over many independent items, run with the interpreter lock released and
// stoppable by Ctrl-C.
#pragma once

#include <Python.h>

#include <cstdint>

#include "gil.hpp"
#include "parallel.hpp"
#include "pyref.hpp"

namespace nonagame::py {

// Runs work(begin, end, worker) over the items [0, total) in chunks, on `threads` threads,
// with the interpreter lock released. When interruptible, the calling thread takes the
// lock back between two of its chunks to run pending signal handlers: when one raises
// (KeyboardInterrupt for Ctrl-C) every thread stops at its next chunk and ErrorSet is thrown
// once all have finished. Otherwise every item is done and a signal is handled by the
// interpreter after the call. work must not touch any Python object.
template <class Work>
void run_released(std::int64_t total, std::int64_t chunk, int threads, Work&& work, bool interruptible = true) {
    ChunkQueue queue(total, chunk);
    bool interrupted = false;
    {
        ReleasedGil released;
        run_workers(threads, [&](int worker) {
            std::int64_t begin = 0;
            std::int64_t end = 0;
            while (queue.take(begin, end)) {
                work(begin, end, worker);
                if (interruptible && worker == 0 && released.with_gil([] { return PyErr_CheckSignals(); }) < 0) {
                    interrupted = true;
                    queue.stop();
                }
            }
        });
    }
    if (interrupted) throw ErrorSet{};
}

}  // namespace nonagame::py
