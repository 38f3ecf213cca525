#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "fault.hpp"
#include "text.hpp"
#include "test_support.hpp"

using namespace nonagame;
using namespace nonagame::testing;

namespace {

// Runs each test inside a fresh temporary directory, with a games/ directory unless the
// test removes it.
class MoveLog : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(getcwd(previous_, sizeof previous_), nullptr);
        std::string pattern = (std::filesystem::temp_directory_path() / "movelog-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        ASSERT_EQ(mkdir("games", 0777), 0);
    }
    void TearDown() override {
        EXPECT_EQ(chdir(previous_), 0);
        std::filesystem::remove_all(dir_);
    }
    static std::string read(const char* path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static std::string entry(const GameRecord& game, int cell) {
        std::string set = "{}";
        if (!game.available.empty()) {
            set = "{\n";
            for (const int c : cells_of(game.available)) set += "    " + std::to_string(c) + ",\n";
            set += "}";
        }
        return "MOVE: " + std::to_string(cell) + "\n" + render_board(game) + "\n\n\nAVAILABLE MOVES: " + set +
               "\n\nNUMBER OF AVAILABLE MOVES: " + std::to_string(game.available.size()) + "\n\n";
    }

    char previous_[PATH_MAX];
    std::string dir_;
};

TEST_F(MoveLog, OpeningThenLaterEntriesAccumulate) {
    GameRecord game = new_game(7, true);
    play(game, {40});
    std::string expected = "MOVE: 40\n" + render_board(game) + "\n\n";
    EXPECT_EQ(read("games/7.txt"), expected);

    EXPECT_FALSE(make_move(game, 0, 2).accepted);  // refused moves write nothing
    EXPECT_EQ(read("games/7.txt"), expected);

    for (const int cell : {36, 4}) {
        play(game, {cell});
        expected += entry(game, cell);
    }
    EXPECT_EQ(read("games/7.txt"), expected);
}

TEST_F(MoveLog, WinningMoveListsAnEmptySet) {
    { std::ofstream("games/4294967295.txt") << "kept\n"; }
    GameRecord game = played({40});
    game.id = 4294967295U;
    game.log_enabled = true;
    game.next_player = 1;
    game.next_roster = 8;
    for (const int r : {0, 4}) {
        game.rosters[r] = 1;
        game.available.erase_all(CellSet::roster(r));
    }
    place(game, {72, 73}, 1);
    EXPECT_FALSE(make_move(game, 74, 1).cells_remain);
    const std::string text = read("games/4294967295.txt");
    EXPECT_EQ(text, "kept\n" + entry(game, 74));
    EXPECT_TRUE(text.ends_with("AVAILABLE MOVES: {}\n\nNUMBER OF AVAILABLE MOVES: 0\n\n"));
}

TEST_F(MoveLog, FailuresFaultAfterTheMoveIsApplied) {
    const std::string prefix = "called `Result::unwrap()` on an `Err` value: ";
    std::filesystem::create_symlink("/dev/full", "games/2.txt");  // every write fails
    std::filesystem::remove_all("games/sub");
    for (const bool have_dir : {true, false}) {
        if (!have_dir) std::filesystem::remove_all("games");
        GameRecord game = new_game(2, true);
        try {
            make_move(game, 40, 1);
            ADD_FAILURE() << "no fault";
        } catch (const Fault& fault) {
            EXPECT_EQ(fault.text().substr(0, prefix.size()), prefix);
            EXPECT_GT(fault.text().size(), prefix.size());
        }
        EXPECT_EQ(game.board[40], 1);
        EXPECT_EQ(game.next_player, 2);
        EXPECT_EQ(game.moves_accepted, 1U);
    }
    EXPECT_FALSE(std::filesystem::exists("games"));  // the directory is never created
}

}  // namespace
