#include "movelog.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "fault.hpp"
#include "text.hpp"

namespace nonagame {

namespace {

[[noreturn]] void io_fault(const char* action, int error) {
    throw Fault(std::string("called `Result::unwrap()` on an `Err` value: ") + action + ": " +
                std::strerror(error) + " (errno " + std::to_string(error) + ")");
}

std::string entry_text(const GameRecord& game, std::int8_t cell, bool opening) {
    std::string entry = "MOVE: " + std::to_string(cell) + "\n" + render_board(game);
    if (opening) return entry + "\n\n";
    entry += "\n\n\nAVAILABLE MOVES: ";
    entry += multiline_set(game.available);
    entry += "\n\nNUMBER OF AVAILABLE MOVES: ";
    entry += std::to_string(static_cast<unsigned>(game.available.size()));
    return entry + "\n\n";
}

}  // namespace

void append_move_log(const GameRecord& game, std::int8_t cell, bool opening) {
    const std::string entry = entry_text(game, cell, opening);
    const std::string path = "games/" + std::to_string(game.id) + ".txt";

    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) io_fault("open", errno);

    std::size_t written = 0;
    while (written < entry.size()) {
        const ssize_t n = ::write(fd, entry.data() + written, entry.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            ::close(fd);
            io_fault("write", error);
        }
        written += static_cast<std::size_t>(n);
    }
    // close is not retried on EINTR: the descriptor is released either way.
    if (::close(fd) != 0) io_fault("close", errno);
}

}  // namespace nonagame
