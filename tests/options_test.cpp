// "setoption" lines: exact matching, value reading, clamping, and when the values take effect.
#include <gtest/gtest.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include "board/tables.h"
#include "control/search_control.h"
#include "engine/options.h"
#include "engine/uci.h"
#include "platform/memory.h"
#include "search/tt.h"

namespace {

class OptionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        init_board_tables();
        free_search_memory();
        set_option_defaults();
    }
    void TearDown() override {
        free_search_memory();
        set_option_defaults();
    }
    static void send(const std::string& line) {
        std::string copy = line + "\n";
        handle_command(copy.data());
    }
};

TEST_F(OptionsTest, EveryOptionIsSet) {
    send("setoption name Hash value 64");
    send("setoption name Threads value 3");
    send("setoption name Ponder value true");
    send("setoption name OwnBook value true");
    send("setoption name BookFile value books/main line.bin");
    send("setoption name BookRandom value true");
    send("setoption name DrawScore value -25");
    send("setoption name MoveOverhead value 250");
    send("setoption name Strength value 40");
    send("setoption name MultiPV value 4");
    send("setoption name LargePages value true");
    send("setoption name UCI_Chess960 value true");
    send("setoption name Syzygy50MoveRule value false");
    send("setoption name SyzygyProbeLimit value 5");
    send("setoption name SyzygyProbeDepth value 12");
    EXPECT_EQ(options.hash, 64);
    EXPECT_EQ(options.threads, 3);
    EXPECT_TRUE(options.ponder);
    EXPECT_TRUE(options.own_book);
    EXPECT_STREQ(options.book_file, "books/main line.bin");  // the rest of the line, spaces included
    EXPECT_TRUE(options.book_random);
    EXPECT_EQ(options.draw_score, -25);
    EXPECT_EQ(options.move_overhead, 250);
    EXPECT_EQ(options.strength, 40);
    EXPECT_EQ(options.multi_pv, 4);
    EXPECT_TRUE(options.large_pages);
    EXPECT_TRUE(options.chess960);
    EXPECT_FALSE(options.syzygy_50_move_rule);
    EXPECT_EQ(options.syzygy_probe_limit, 5);
    EXPECT_EQ(options.syzygy_probe_depth, 12);
    // Setting options does not allocate anything by itself.
    EXPECT_FALSE(search_memory_allocated());
}

TEST_F(OptionsTest, ChecksAreTrueOnlyForExactlyTrue) {
    const char* falsy[] = {"True", "TRUE", "true ", " true", "1", "yes", "", "false"};
    for (const char* v : falsy) {
        options.ponder = true;
        send(std::string("setoption name Ponder value ") + v);
        EXPECT_FALSE(options.ponder) << "'" << v << "'";
    }
    send("setoption name Ponder value true");
    EXPECT_TRUE(options.ponder);
    // A carriage return before the line feed is not part of the value.
    std::string crlf = "setoption name OwnBook value true\r\n";
    handle_command(crlf.data());
    EXPECT_TRUE(options.own_book);
}

TEST_F(OptionsTest, LinesThatMatchNothingChangeNothing) {
    const char* lines[] = {
        "setoption name hash value 64",     "setoption name Hash  value 64", "setoption  name Hash value 64",
        "setoption name Hash value",        "setoption name Hash 64",        "setoption name Hashes value 64",
        "setoption name Hash Value 64",     "setoption name Colour value 64", "setoption",
        "setoption name OwnBook value",     "setoption name ownbook value true",
    };
    for (const char* line : lines) {
        send(line);
        EXPECT_EQ(options.hash, 256) << line;
        EXPECT_FALSE(options.own_book) << line;
    }
}

TEST_F(OptionsTest, IntegersAreReadAndClampedIntoTheAdvertisedRange) {
    struct Case {
        const char* line;
        int64_t* target64;
        int32_t* target32;
        int64_t expected;
    };
    const Case cases[] = {
        {"setoption name Hash value 0", &options.hash, nullptr, 1},
        {"setoption name Hash value -5", &options.hash, nullptr, 1},
        {"setoption name Hash value 99999999999", &options.hash, nullptr, 67108864},
        {"setoption name Hash value 67108864", &options.hash, nullptr, 67108864},
        {"setoption name Hash value   +12", &options.hash, nullptr, 12},
        {"setoption name Hash value 12abc", &options.hash, nullptr, 12},
        {"setoption name Hash value abc", &options.hash, nullptr, 1},  // reads as 0
        {"setoption name Threads value 0", nullptr, &options.threads, 1},
        {"setoption name Threads value -1", nullptr, &options.threads, 1},
        {"setoption name Threads value 5000", nullptr, &options.threads, 2048},
        {"setoption name MultiPV value 0", nullptr, &options.multi_pv, 1},
        {"setoption name MultiPV value 300", nullptr, &options.multi_pv, 256},
        {"setoption name Strength value 0", nullptr, &options.strength, 1},
        {"setoption name Strength value 101", nullptr, &options.strength, 100},
        {"setoption name MoveOverhead value -10", nullptr, &options.move_overhead, 0},
        {"setoption name MoveOverhead value 6000", nullptr, &options.move_overhead, 5000},
        {"setoption name DrawScore value -101", nullptr, &options.draw_score, -100},
        {"setoption name DrawScore value 101", nullptr, &options.draw_score, 100},
        {"setoption name SyzygyProbeLimit value 9", nullptr, &options.syzygy_probe_limit, 7},
        {"setoption name SyzygyProbeDepth value -3", nullptr, &options.syzygy_probe_depth, 0},
        {"setoption name SyzygyProbeDepth value 201", nullptr, &options.syzygy_probe_depth, 200},
    };
    for (const Case& c : cases) {
        send(c.line);
        const int64_t got = c.target64 ? *c.target64 : *c.target32;
        EXPECT_EQ(got, c.expected) << c.line;
    }
}

TEST_F(OptionsTest, LongBookFileKeepsTheFirst511Characters) {
    std::string name(600, 'x');
    for (size_t i = 0; i < name.size(); ++i) name[i] = char('a' + i % 26);
    send("setoption name BookFile value " + name);
    EXPECT_EQ(std::strlen(options.book_file), 511u);
    EXPECT_EQ(std::string(options.book_file), name.substr(0, 511));
    send("setoption name BookFile value " + name.substr(0, 511));
    EXPECT_EQ(std::string(options.book_file), name.substr(0, 511));
}

TEST_F(OptionsTest, MemoryOptionsWaitForTheNextAllocation) {
    send("setoption name Hash value 2");
    send("setoption name Threads value 2");
    send("position startpos");  // first allocation
    ASSERT_TRUE(search_memory_allocated());
    EXPECT_EQ(tt.mask + 1, 131072u);
    EXPECT_EQ(control.thread_count, 2);

    send("setoption name Hash value 1");
    send("setoption name Threads value 3");
    send("position startpos moves e2e4");
    EXPECT_EQ(tt.mask + 1, 131072u);
    EXPECT_EQ(control.thread_count, 2);

    send("ucinewgame");
    EXPECT_EQ(tt.mask + 1, 65536u);
    EXPECT_EQ(control.thread_count, 3);
    // "ucinewgame" keeps the options.
    EXPECT_EQ(options.hash, 1);
    EXPECT_EQ(options.threads, 3);
}

// The reply to "uci" advertises the current book file; the engine binary is driven as a GUI would.
TEST_F(OptionsTest, UciReplyEchoesTheBookFile) {
    char dir[] = "/tmp/tarnvik-options-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string input = std::string(dir) + "/in", output = std::string(dir) + "/out";
    FILE* f = std::fopen(input.c_str(), "w");
    std::fputs("uci\nsetoption name BookFile value my book.bin\nsetoption name Hash value 12\nuci\nquit\n", f);
    std::fclose(f);
    const std::string cmd = "timeout 60 " + std::string(TARNVIK_BINARY) + " < " + input + " > " + output;
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::string out;
    f = std::fopen(output.c_str(), "r");
    char line[1024];
    while (std::fgets(line, sizeof line, f)) out += line;
    std::fclose(f);
    const size_t second = out.find("id name", out.find("uciok"));
    ASSERT_NE(second, std::string::npos) << out;
    EXPECT_NE(out.find("option name BookFile type string default book.bin\n"), std::string::npos) << out;
    EXPECT_LT(out.find("option name BookFile type string default book.bin\n"), second);
    EXPECT_NE(out.find("option name BookFile type string default my book.bin\n", second), std::string::npos) << out;
    // Every other default stays as advertised.
    EXPECT_NE(out.find("option name Hash type spin default 256 min 1 max 67108864\n", second), std::string::npos) << out;
    EXPECT_EQ(std::system((std::string("rm -rf ") + dir).c_str()), 0);
}

}  // namespace
