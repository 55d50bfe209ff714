// The self-play generator, run as a program: what it writes must be exactly what the trainer reads
// and must hold to the generator's filters, in game files and in text lines alike.
#include <gtest/gtest.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>
#include "board/board.h"
#include "board/tables.h"

namespace {

std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string run_datagen(const std::string& args, const std::string& out, bool fresh = true) {
    if (fresh) std::remove(out.c_str());
    const std::string command = std::string(DATAGEN_BINARY) + " " + args + " --out " + out + " > /dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return slurp(out);
}

void to_text(const std::string& games, const std::string& text) {
    const std::string command = std::string(CONVERT_BINARY) + " " + games + " " + text + " > /dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
}

}  // namespace

TEST(SelfPlayData, LinesFollowTheFormatAndTheFilters) {
    init_board_tables();
    const std::string out = testing::TempDir() + "datagen_lines.tvg", text = testing::TempDir() + "datagen_lines.txt";
    run_datagen("--threads 2 --games 4 --nodes 600 --seed 3", out);
    to_text(out, text);
    const std::vector<std::string> lines = read_lines(text);
    ASSERT_GT(lines.size(), 20u);
    std::set<std::string> results;
    for (const std::string& line : lines) {
        const size_t a = line.find(" | "), b = line.rfind(" | ");
        ASSERT_NE(a, std::string::npos) << line;
        ASSERT_NE(a, b) << line;
        const std::string fen = line.substr(0, a);
        const int score = std::stoi(line.substr(a + 3, b - a - 3));
        const std::string result = line.substr(b + 3);
        PositionState p;
        ASSERT_TRUE(parse_fen(fen.c_str(), p)) << line;
        EXPECT_FALSE(p.in_check()) << line;
        EXPECT_LT(std::abs(score), 3000) << line;
        EXPECT_TRUE(result == "0.0" || result == "0.5" || result == "1.0") << line;
        // Every game starts after at least eight random plies.
        EXPECT_GE(std::stoi(fen.substr(fen.rfind(' ') + 1)), 5) << line;
        results.insert(result);
    }
    // Lines of one game share its result: with four games there are at most four runs of results.
    int runs = 1;
    for (size_t i = 1; i < lines.size(); ++i)
        if (lines[i].substr(lines[i].rfind(" | ")) != lines[i - 1].substr(lines[i - 1].rfind(" | "))) ++runs;
    EXPECT_LE(runs, 4);
    EXPECT_FALSE(results.empty());
}

TEST(SelfPlayData, OneThreadWithTheSameSeedRepeatsItselfAndAnotherSeedDoesNot) {
    const std::string out = testing::TempDir() + "datagen_repeat.tvg";
    const std::string first = run_datagen("--threads 1 --games 2 --nodes 400 --seed 11", out);
    const std::string again = run_datagen("--threads 1 --games 2 --nodes 400 --seed 11", out);
    const std::string other = run_datagen("--threads 1 --games 2 --nodes 400 --seed 12", out);
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(first, again);
    EXPECT_NE(first, other);
}

TEST(SelfPlayData, TextLinesAreTheGameFileAndAPartlyWrittenGameIsCutOff) {
    const std::string out = testing::TempDir() + "datagen_games.tvg", text = testing::TempDir() + "datagen_games.txt";
    const std::string back = testing::TempDir() + "datagen_back.txt";
    const std::string games = run_datagen("--threads 1 --games 3 --nodes 400 --seed 5", out);
    run_datagen("--threads 1 --games 3 --nodes 400 --seed 5 --text", text);
    to_text(out, back);
    EXPECT_EQ(slurp(back), slurp(text));
    EXPECT_LT(games.size() * 5, slurp(text).size());

    // A run killed while writing its third game: the next run cuts that game off and appends.
    size_t last = 8;
    for (size_t at = last; at + 2 <= games.size(); at += 36 + 4 * size_t(uint8_t(games[at]) | uint8_t(games[at + 1]) << 8))
        last = at;
    ASSERT_GT(last, 8u);
    std::ofstream(out, std::ios::binary | std::ios::trunc) << games.substr(0, games.size() - 7);
    const std::string resumed = run_datagen("--threads 1 --games 1 --nodes 400 --seed 6", out, false);
    EXPECT_EQ(resumed.substr(0, last), games.substr(0, last));
    EXPECT_GT(resumed.size(), last + 36);
    to_text(out, back);
    // A text file is not taken for a game file to append to.
    EXPECT_NE(std::system((std::string(DATAGEN_BINARY) + " --games 1 --out " + text + " 2> /dev/null").c_str()), 0);
}

TEST(SelfPlayData, BadArgumentsAreRefused) {
    for (const char* args : {"--threads 0 --out /dev/null", "--nodes 0 --out /dev/null", "--games 5", "--frobnicate"}) {
        const std::string command = std::string(DATAGEN_BINARY) + " " + args + " > /dev/null 2>&1";
        EXPECT_NE(std::system(command.c_str()), 0) << args;
    }
}
