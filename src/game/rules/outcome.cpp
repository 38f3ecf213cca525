#include "outcome.hpp"

#include "lines.hpp"

namespace nonagame {

std::int8_t winner_of_rosters(const std::array<std::int8_t, kRosters>& rosters) {
    for (const std::int8_t player : {std::int8_t{1}, std::int8_t{2}}) {
        if (lines::has_line(rosters.data(), player)) return player;
    }
    return 0;
}

}  // namespace nonagame
