// Game files: lines converted to games and back, the samples the trainer reads from both forms, and
// the faults a reader must name instead of reading on.
#include <gtest/gtest.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>
#include "board/board.h"
#include "board/tables.h"
#include "game_file.h"
#include "trainer.h"

namespace {

struct Game {
    const char* fen;
    const char* moves;
    const char* written;  // '1' for each position (start, then after each move) that has a line
    const char* result;
};

// A: an en-passant square in a FEN, the capture in a two-ply gap, a three-ply gap ending in
// castling, a four-ply gap over White's castling. B: a capturing promotion in a gap, queen-side
// castling, a promotion answered by a capture. C: a castling right on a rook that is not the
// outermost one, and castling with it. D: one move on from C's last position but another result, so
// a new record.
const Game GAMES[] = {
    {START_FEN, "e2e4 g8f6 e4e5 d7d5 e5d6 e7d6 g1f3 f8e7 f1c4 e8g8 e1g1 b8c6 d2d4 c8g4", "111110110010001", "1.0"},
    {"r3k3/1P6/8/8/8/8/6p1/R3K2R w KQq - 0 40", "b7a8q e8f7 e1c1 g2g1q h1g1", "101111", "0.5"},
    {"3k4/8/8/8/8/8/8/4KR1R w F - 3 60", "e1f1 d8e8 g1g2", "1011", "0.0"},
    {"4k3/8/8/8/8/8/6K1/5R1R b - - 6 61", "e8d7", "01", "0.5"},
};

std::string game_lines(const Game& g, int& index) {
    auto pos = std::make_unique<Position>();
    set_position(*pos, g.fen, nullptr);
    int fullmove = std::atoi(std::string(g.fen).substr(std::string(g.fen).rfind(' ') + 1).c_str());
    std::istringstream moves(g.moves);
    std::string text, move;
    for (int i = 0; g.written[i]; ++i) {
        if (i > 0) {
            moves >> move;
            const Move m = parse_move(*pos->current, move.c_str(), int(move.size()));
            EXPECT_TRUE(m) << move;
            if (pos->current->black_to_move()) ++fullmove;
            make_move(*pos, m, nullptr);
        }
        if (g.written[i] == '1') {
            char fen[FEN_BUFFER];
            const int score = (index++ * 37) % 900 - 450;
            text += std::string(position_to_fen(*pos->current, fen, fullmove)) + " | " + std::to_string(score) + " | " +
                    g.result + "\n";
        }
    }
    return text;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

void write(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// Runs the converter; returns its exit code and its error output in *err.
int convert(const std::string& args, std::string* err = nullptr) {
    const std::string err_path = testing::TempDir() + "convert_err.txt";
    const int status = std::system((std::string(CONVERT_BINARY) + " " + args + " > /dev/null 2> " + err_path).c_str());
    if (err) *err = slurp(err_path);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Read {
    std::vector<train::Sample> samples;
    bool ok;
    std::string error;
};

Read read(const std::string& path) {
    Read r;
    long rejected = 0;
    r.ok = train::read_samples(path, [&](const train::Sample& s, const PositionState&) { r.samples.push_back(s); },
                               rejected, r.error);
    EXPECT_EQ(rejected, 0);
    return r;
}

bool same(const train::Sample& a, const train::Sample& b) {
    if (a.count[0] != b.count[0] || a.count[1] != b.count[1] || a.bucket != b.bucket || a.ply != b.ply ||
        a.score != b.score || a.result != b.result)
        return false;
    for (int side = 0; side < 2; ++side)
        for (int i = 0; i < a.count[side]; ++i)
            if (a.rows[side][i] != b.rows[side][i]) return false;
    return true;
}

// Offsets of the records of a game file.
std::vector<size_t> records(const std::string& bytes) {
    std::vector<size_t> at;
    for (size_t o = games::FILE_HEADER_BYTES; o + 2 <= bytes.size();
         o += games::Decoder::record_bytes(reinterpret_cast<const uint8_t*>(bytes.data()) + o))
        at.push_back(o);
    return at;
}

class GameFile : public testing::Test {
protected:
    void SetUp() override {
        init_board_tables();
        int index = 0;
        for (const Game& g : GAMES) text += game_lines(g, index);
        write(txt, text);
        ASSERT_EQ(convert(txt + " " + tvg), 0);
        bytes = slurp(tvg);
    }
    const std::string txt = testing::TempDir() + "games.txt", tvg = testing::TempDir() + "games.tvg";
    std::string text, bytes;
};

}  // namespace

TEST_F(GameFile, HoldsTheLinesAsGamesAndGivesTheSameSamples) {
    // Every gap of up to four plies is bridged: one record per game, all moves of A kept.
    const std::vector<size_t> at = records(bytes);
    ASSERT_EQ(at.size(), 4u);
    EXPECT_EQ(bytes[at[0]], 14);
    EXPECT_EQ(bytes[at[1]], 5);

    const Read from_text = read(txt), from_games = read(tvg);
    ASSERT_TRUE(from_text.ok && from_games.ok) << from_games.error;
    ASSERT_EQ(from_text.samples.size(), 18u);
    ASSERT_EQ(from_games.samples.size(), from_text.samples.size());
    for (size_t i = 0; i < from_text.samples.size(); ++i) EXPECT_TRUE(same(from_text.samples[i], from_games.samples[i])) << i;

    const std::string back = testing::TempDir() + "games_back.txt";
    ASSERT_EQ(convert(tvg + " " + back), 0);
    EXPECT_EQ(slurp(back), text);
}

TEST_F(GameFile, FaultsNameTheFileAndTheRecord) {
    const std::vector<size_t> at = records(bytes);
    const std::string bad = testing::TempDir() + "bad.tvg";
    auto fault = [&](std::string b, const std::vector<std::string>& words, size_t samples_before) {
        write(bad, b);
        const Read r = read(bad);
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.error.find(bad), std::string::npos) << r.error;
        for (const std::string& w : words) EXPECT_NE(r.error.find(w), std::string::npos) << r.error;
        EXPECT_EQ(r.samples.size(), samples_before) << r.error;
    };
    // Cut in the last record: the three whole games before it are read.
    fault(bytes.substr(0, bytes.size() - 3), {"game 4 at byte " + std::to_string(at[3]), "truncated"}, 17);
    fault(bytes.substr(0, at[3] + 20), {"game 4", "truncated"}, 17);
    std::string b = bytes;
    b[0] = 'X';
    fault(b, {"bad magic"}, 0);
    b = bytes;
    b[6] = 2;
    fault(b, {"unknown game file version 2"}, 0);
    // e2e4 made e2e5.
    b = bytes;
    const int e2e5 = 12 | 36 << 6;
    b[at[0] + 36] = char(e2e5 & 255);
    b[at[0] + 37] = char(e2e5 >> 8);
    fault(b, {"game 1 at byte 8", "ply 1", "illegal move e2e5"}, 1);
    // The capturing promotion written as a plain pawn move to the last rank.
    b = bytes;
    b[at[1] + 37] = char(b[at[1] + 37] & 0x0F);
    fault(b, {"game 2", "ply 1", "illegal move b7a8"}, 10);
    b = bytes;
    b[at[1] + 2] = 3;
    fault(b, {"game 2", "result 3"}, 9);
    // C's castling right moved to g1, where no rook stands.
    b = bytes;
    b[at[2] + 28] = 6;
    fault(b, {"game 3", "castling"}, 14);
}

TEST(GameFileConvert, RefusesLinesThatWouldNotComeBackTheSame) {
    init_board_tables();
    const std::string good = "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1 | 35 | 0.5\n";
    const std::string path = testing::TempDir() + "odd.txt";
    for (const std::string& odd : {
             std::string("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1 | +5 | 0.5\n"),
             std::string("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1 | 5.0 | 0.5\n"),
             std::string("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1 | 5 | 1\n"),
             std::string("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w QKqk - 0 1 | 5 | 0.5\n"),
             std::string("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1 | 5 | 0.5\n"),
             std::string("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1 | 5 | 0.5\r\n"),
             std::string("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1 | 5 | 0.5"),
         }) {
        write(path, good + odd);
        std::string err;
        EXPECT_EQ(convert(path + " " + testing::TempDir() + "odd.tvg", &err), 1) << odd;
        EXPECT_NE(err.find(path + ":2:"), std::string::npos) << err;
    }
    write(path, good);
    EXPECT_EQ(convert(path + " " + testing::TempDir() + "odd.tvg"), 0);
}
