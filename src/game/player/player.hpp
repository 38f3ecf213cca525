// The player record: its id, its win counter and the default (uniformly random) move.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "../board.hpp"

namespace nonagame {

class PlayerBehavior {
public:
    virtual ~PlayerBehavior() = default;
    // Makes one move in game. Returns the engine's outcome so that the caller can report
    // a refused move where it sees fit.
    virtual MoveOutcome make_move(GameRecord& game) const = 0;
    virtual void increment_wins() const = 0;
    virtual std::uint32_t get_wins() const = 0;
};

class DefaultPlayer final : public PlayerBehavior {
public:
    // Faults with "ID SHOULD BE EQUAL TO 1 OR 2" unless id is 1 or 2.
    static std::shared_ptr<DefaultPlayer> create(std::int8_t id);

    // Plays a uniformly random cell of get_available_moves with this player's id.
    // Faults with "first attempt" when no cell is listed.
    MoveOutcome make_move(GameRecord& game) const override;
    void increment_wins() const override { wins_.fetch_add(1, std::memory_order_relaxed); }
    std::uint32_t get_wins() const override { return wins_.load(std::memory_order_relaxed); }
    std::int8_t id() const { return id_; }

    explicit DefaultPlayer(std::int8_t id) : id_(id) {}

private:
    mutable std::atomic<std::uint32_t> wins_{0};
    std::int8_t id_;
};

}  // namespace nonagame
