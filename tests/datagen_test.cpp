// The self-play generator, run as a program: what it writes must be exactly what the trainer reads
// and must hold to the generator's filters.
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

std::string run_datagen(const std::string& args, const std::string& out) {
    std::remove(out.c_str());
    const std::string command = std::string(DATAGEN_BINARY) + " " + args + " --out " + out + " > /dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream in(out);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

}  // namespace

TEST(SelfPlayData, LinesFollowTheFormatAndTheFilters) {
    init_board_tables();
    const std::string out = testing::TempDir() + "datagen_lines.txt";
    run_datagen("--threads 2 --games 4 --nodes 600 --seed 3", out);
    const std::vector<std::string> lines = read_lines(out);
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
    const std::string out = testing::TempDir() + "datagen_repeat.txt";
    const std::string first = run_datagen("--threads 1 --games 2 --nodes 400 --seed 11", out);
    const std::string again = run_datagen("--threads 1 --games 2 --nodes 400 --seed 11", out);
    const std::string other = run_datagen("--threads 1 --games 2 --nodes 400 --seed 12", out);
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(first, again);
    EXPECT_NE(first, other);
}

TEST(SelfPlayData, BadArgumentsAreRefused) {
    for (const char* args : {"--threads 0 --out /dev/null", "--nodes 0 --out /dev/null", "--games 5", "--frobnicate"}) {
        const std::string command = std::string(DATAGEN_BINARY) + " " + args + " > /dev/null 2>&1";
        EXPECT_NE(std::system(command.c_str()), 0) << args;
    }
}
