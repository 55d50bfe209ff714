// Polyglot book: keys, file lookup, choice of the move and its conversion.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>
#include "board/board.h"
#include "board/tables.h"
#include "engine/book.h"
#include "engine/options.h"

namespace {

struct TestRecord {
    uint64_t key;
    uint16_t move;
    uint16_t weight;
};

// Polyglot move field: to in bits 0-5, from in bits 6-11, promotion in 12-14; squares from White's side.
uint16_t book_move(const char* text, int promotion = 0) {
    const int from = (text[0] - 'a') + 8 * (text[1] - '1');
    const int to = (text[2] - 'a') + 8 * (text[3] - '1');
    return uint16_t(to | from << 6 | promotion << 12);
}

class BookTest : public ::testing::Test {
protected:
    std::string dir;
    std::unique_ptr<Position> pos = std::make_unique<Position>();

    void SetUp() override {
        init_board_tables();
        char name[] = "/tmp/tarnvik-book-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        options.chess960 = false;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        options.chess960 = false;
    }

    std::string write_book(const std::string& name, const std::vector<TestRecord>& records, int extra_bytes = 0) {
        std::string path = dir + "/" + name;
        FILE* f = std::fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        for (const TestRecord& r : records) {
            unsigned char b[16] = {};
            for (int i = 0; i < 8; ++i) b[i] = uint8_t(r.key >> (56 - 8 * i));
            b[8] = uint8_t(r.move >> 8);
            b[9] = uint8_t(r.move);
            b[10] = uint8_t(r.weight >> 8);
            b[11] = uint8_t(r.weight);
            b[12] = 0xAA;  // learn data, never read
            std::fwrite(b, 1, 16, f);
        }
        for (int i = 0; i < extra_bytes; ++i) std::fputc(0x5A, f);
        std::fclose(f);
        return path;
    }

    const PositionState& set(const char* fen, const char* moves = nullptr) {
        EXPECT_GE(set_position(*pos, fen, moves), 0);
        return *pos->current;
    }

    std::string text(const PositionState& p, Move m) {
        char out[8];
        return m ? std::string(move_to_text(p, m, out)) : std::string("none");
    }
};

TEST_F(BookTest, KeysEqualThePublishedVectors) {
    struct Vector {
        const char* moves;
        uint64_t key;
    };
    const Vector vectors[] = {
        {nullptr, 0x463b96181691fc9cull},
        {"e2e4", 0x823c9b50fd114196ull},
        {"e2e4 d7d5", 0x0756b94461c50fb0ull},
        {"e2e4 d7d5 e4e5", 0x662fafb965db29d4ull},
        {"e2e4 d7d5 e4e5 f7f5", 0x22a48b5a8e47ff78ull},
        {"e2e4 d7d5 e4e5 f7f5 e1e2", 0x652a607ca3f242c1ull},
        {"e2e4 d7d5 e4e5 f7f5 e1e2 e8f7", 0x00fdd303c946bdd9ull},
        {"a2a4 b7b5 h2h4 b5b4 c2c4", 0x3c8123ea7b067637ull},
        {"a2a4 b7b5 h2h4 b5b4 c2c4 b4c3 a1a3", 0x5c3f9b829b279560ull},
    };
    for (const Vector& v : vectors) {
        const PositionState& p = set(START_FEN, v.moves);
        EXPECT_EQ(polyglot_key(p), v.key) << (v.moves ? v.moves : "start position");
    }
    // The same position reached from a FEN gives the same key (here with Black to move after e2e4).
    EXPECT_EQ(polyglot_key(set("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1")), 0x823c9b50fd114196ull);
}

TEST_F(BookTest, BinarySearchFindsEveryKeyInUnsignedOrder) {
    // Keys on both sides of 2^63, runs of equal keys, and gaps between them.
    std::mt19937_64 rng(12345);
    std::vector<TestRecord> records;
    for (int i = 0; i < 700; ++i) {
        const uint64_t key = rng();
        const int run = 1 + int(rng() % 4);
        for (int k = 0; k < run; ++k) records.push_back({key, uint16_t(i), uint16_t(k + 1)});
    }
    records.push_back({0, 1, 1});
    records.push_back({~0ull, 2, 1});
    std::stable_sort(records.begin(), records.end(), [](const TestRecord& a, const TestRecord& b) { return a.key < b.key; });
    ASSERT_TRUE(records.front().key < (1ull << 63) && records.back().key >= (1ull << 63));
    const std::string path = write_book("many.bin", records);

    BookEntry out[MAX_BOOK_ENTRIES];
    for (size_t i = 0; i < records.size();) {
        size_t j = i;
        while (j < records.size() && records[j].key == records[i].key) ++j;
        const int n = read_book_entries(path.c_str(), records[i].key, out);
        ASSERT_EQ(n, int(j - i)) << std::hex << records[i].key;
        for (int k = 0; k < n; ++k) {
            EXPECT_EQ(out[k].move, records[i + size_t(k)].move);
            EXPECT_EQ(out[k].weight, records[i + size_t(k)].weight);
        }
        // A key just above this run is not in the book.
        if (j < records.size() && records[j].key != records[i].key + 1) {
            EXPECT_EQ(read_book_entries(path.c_str(), records[i].key + 1, out), 0);
        }
        i = j;
    }
}

TEST_F(BookTest, BadFilesGiveNoMove) {
    const PositionState& start = set(START_FEN);
    const uint64_t key = polyglot_key(start);
    BookEntry out[MAX_BOOK_ENTRIES];
    const TestRecord e2e4 = {key, book_move("e2e4"), 10};

    EXPECT_EQ(probe_book_file(start, (dir + "/missing.bin").c_str(), false, 1), 0u);
    EXPECT_EQ(probe_book_file(start, write_book("empty.bin", {}).c_str(), false, 1), 0u);
    EXPECT_EQ(probe_book_file(start, write_book("short.bin", {}, 15).c_str(), false, 1), 0u);
    EXPECT_EQ(probe_book_file(start, dir.c_str(), false, 1), 0u);  // a directory opens but cannot be read
    EXPECT_EQ(probe_book_file(start, "", false, 1), 0u);

    // Only whole records count: the last complete record is still found, the partial one ignored.
    const std::string ragged = write_book("ragged.bin", {{1, 1, 1}, {2, 2, 1}, e2e4}, 9);
    EXPECT_EQ(read_book_entries(ragged.c_str(), key, out), 1);
    EXPECT_EQ(text(start, probe_book_file(start, ragged.c_str(), false, 1)), "e2e4");

    // A file that cannot be read for lack of permission (root reads everything, so skip then).
    const std::string locked = write_book("locked.bin", {e2e4});
    chmod(locked.c_str(), 0);
    if (geteuid() != 0) {
        EXPECT_EQ(probe_book_file(start, locked.c_str(), false, 1), 0u);
    }

    // Weight 0 means never play.
    const std::string zero = write_book("zero.bin", {{key, book_move("e2e4"), 0}, {key, book_move("d2d4"), 0}});
    EXPECT_EQ(read_book_entries(zero.c_str(), key, out), 2);
    EXPECT_EQ(probe_book_file(start, zero.c_str(), false, 1), 0u);
    EXPECT_EQ(probe_book_file(start, zero.c_str(), true, 1), 0u);

    // A position that is not in the book.
    EXPECT_EQ(probe_book_file(set(START_FEN, "g1f3"), ragged.c_str(), false, 1), 0u);
}

// A damaged or foreign book can hold any move field under a position's key: only records that are
// legal moves of the position are candidates, so the engine never answers with an illegal move.
TEST_F(BookTest, RecordsThatAreNotLegalMovesAreNeverPlayed) {
    const PositionState& start = set(START_FEN);
    const uint64_t key = polyglot_key(start);
    const std::vector<TestRecord> bad = {
        {key, book_move("e1a1"), 900},     // castling through its own pieces
        {key, book_move("e2e5"), 800},     // a pawn moving three squares
        {key, book_move("e2e4", 4), 700},  // a promotion that is not one
        {key, book_move("e1h1"), 600},     // castling through its own pieces, king side
        {key, book_move("d8d6"), 500},     // the opponent's piece
    };
    const std::string only_bad = write_book("bad.bin", bad);
    EXPECT_EQ(probe_book_file(start, only_bad.c_str(), false, 1), 0u);
    EXPECT_EQ(probe_book_file(start, only_bad.c_str(), true, 1), 0u);

    std::vector<TestRecord> mixed = bad;
    mixed.push_back({key, book_move("g1f3"), 1});
    const std::string path = write_book("mixed.bin", mixed);
    EXPECT_EQ(text(start, probe_book_file(start, path.c_str(), false, 1)), "g1f3");
    for (uint32_t seed = 0; seed < 50; ++seed) EXPECT_EQ(text(start, probe_book_file(start, path.c_str(), true, seed)), "g1f3");

    // Castling is played when it is legal, in either notation.
    const PositionState& open = set("r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1");
    const std::string castle = write_book("castle.bin", {{polyglot_key(open), book_move("e1a1"), 5}});
    EXPECT_EQ(text(open, probe_book_file(open, castle.c_str(), false, 1)), "e1c1");
    options.chess960 = true;
    EXPECT_EQ(text(open, probe_book_file(open, castle.c_str(), false, 1)), "e1a1");
}

TEST_F(BookTest, ChoiceOfTheCandidate) {
    // Best choice: the first record of the highest weight.
    const BookEntry ties[] = {{1, 5}, {2, 9}, {3, 9}, {4, 0}};
    EXPECT_EQ(choose_book_entry(ties, 4, false, 0), 1);
    const BookEntry zeros[] = {{1, 0}, {2, 0}};
    EXPECT_EQ(choose_book_entry(zeros, 2, false, 0), -1);
    EXPECT_EQ(choose_book_entry(zeros, 2, true, 0), -1);
    EXPECT_EQ(choose_book_entry(zeros, 0, false, 0), -1);

    // More than 256 records of one key: the first 256 are the candidates.
    const PositionState& start = set(START_FEN);
    const uint64_t key = polyglot_key(start);
    std::vector<TestRecord> records = {{key - 1, 1, 1}};
    for (int i = 0; i < 300; ++i) records.push_back({key, uint16_t(i), uint16_t(i + 1)});
    records.push_back({key + 1, 1, 1});
    const std::string path = write_book("crowded.bin", records);
    BookEntry out[MAX_BOOK_ENTRIES];
    ASSERT_EQ(read_book_entries(path.c_str(), key, out), MAX_BOOK_ENTRIES);
    EXPECT_EQ(out[0].move, 0);
    EXPECT_EQ(out[255].move, 255);
    EXPECT_EQ(choose_book_entry(out, MAX_BOOK_ENTRIES, false, 0), 255);
}

TEST_F(BookTest, RandomChoiceFollowsTheWeights) {
    // Seeds are consecutive, as clock readings of successive games are. Small weights make an
    // off-by-one in the walk visible.
    const std::vector<std::vector<BookEntry>> books = {{{1, 10}, {2, 0}, {3, 30}, {4, 60}, {5, 100}},
                                                        {{1, 1}, {2, 0}, {3, 1}, {4, 2}}};
    const int draws = 40000;
    for (const std::vector<BookEntry>& entries : books) {
        double total = 0;
        for (const BookEntry& e : entries) total += e.weight;
        std::vector<int> counts(entries.size(), 0);
        for (int i = 0; i < draws; ++i) {
            const int c = choose_book_entry(entries.data(), int(entries.size()), true, uint32_t(123456 + i));
            ASSERT_GE(c, 0);
            ++counts[size_t(c)];
        }
        EXPECT_EQ(counts[1], 0);  // weight 0 is never drawn
        for (size_t i = 0; i < entries.size(); ++i) {
            const double expected = draws * entries[i].weight / total;
            EXPECT_NEAR(counts[i], expected, 0.1 * expected + 50) << "candidate " << i << " of " << entries.size();
        }
    }
}

TEST_F(BookTest, MoveConversion) {
    struct Case {
        const char* fen;
        uint16_t move;
        bool chess960;
        const char* expected;
    };
    const char* castle = "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1";
    const char* castle_black = "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R b KQkq - 0 1";
    const char* no_rights = "r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w - - 0 1";
    const Case cases[] = {
        {START_FEN, book_move("e2e4"), false, "e2e4"},
        {castle, book_move("e1h1"), false, "e1g1"},
        {castle, book_move("e1h1"), true, "e1h1"},
        {castle, book_move("e1a1"), false, "e1c1"},
        {castle, book_move("e1a1"), true, "e1a1"},
        {castle_black, book_move("e8h8"), false, "e8g8"},
        {castle_black, book_move("e8a8"), false, "e8c8"},
        {castle_black, book_move("e8a8"), true, "e8a8"},
        {castle_black, book_move("a7a5"), false, "a7a5"},
        // Without the right the king move stays as written.
        {no_rights, book_move("e1h1"), false, "e1h1"},
        // Chess960: king on b1, rooks on a1 and h1.
        {"rk5r/pppppppp/8/8/8/8/PPPPPPPP/RK5R w HAha - 0 1", book_move("b1a1"), false, "b1c1"},
        {"rk5r/pppppppp/8/8/8/8/PPPPPPPP/RK5R w HAha - 0 1", book_move("b1h1"), true, "b1h1"},
        {"8/P6k/8/8/8/8/8/K7 w - - 0 1", book_move("a7a8", 4), false, "a7a8q"},
        {"8/P6k/8/8/8/8/8/K7 w - - 0 1", book_move("a7a8", 1), false, "a7a8n"},
        {"k7/8/8/8/8/8/p6K/8 b - - 0 1", book_move("a2a1", 3), false, "a2a1r"},
        {"k7/8/8/8/8/8/p6K/8 b - - 0 1", book_move("a2a1", 2), false, "a2a1b"},
        // An empty move field (a1a1, no promotion) is no move.
        {START_FEN, 0, false, "none"},
    };
    for (const Case& c : cases) {
        const PositionState& p = set(c.fen);
        options.chess960 = c.chess960;
        EXPECT_EQ(text(p, convert_book_move(p, c.move)), c.expected) << c.fen << " " << c.move;
    }
    options.chess960 = false;
    const PositionState& p = set(castle);
    const Move m = convert_book_move(p, book_move("e1h1"));
    EXPECT_TRUE(m & MOVE_CASTLE);
    EXPECT_EQ(move_piece(m), KING);
}

// The real book in the repository, checked against a plain linear scan of the same file.
TEST_F(BookTest, RealBook) {
    const std::string path = std::string(TARNVIK_SOURCE_DIR) + "/tests/data/books/performance.bin";
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<TestRecord> all;
    unsigned char b[16];
    while (std::fread(b, 1, 16, f) == 16) {
        TestRecord r{};
        for (int i = 0; i < 8; ++i) r.key = r.key << 8 | b[i];
        r.move = uint16_t(b[8] << 8 | b[9]);
        r.weight = uint16_t(b[10] << 8 | b[11]);
        all.push_back(r);
    }
    std::fclose(f);
    ASSERT_EQ(all.size(), 92954u);

    auto scan = [&](uint64_t key) {
        std::vector<TestRecord> found;
        for (const TestRecord& r : all)
            if (r.key == key) found.push_back(r);
        return found;
    };
    const char* lines[] = {nullptr, "e2e4", "d2d4 g8f6", "e2e4 c7c5 g1f3", "e2e4 e7e5 g1f3 b8c6 f1b5"};
    for (const char* moves : lines) {
        const PositionState& p = set(START_FEN, moves);
        const std::vector<TestRecord> expected = scan(polyglot_key(p));
        ASSERT_FALSE(expected.empty()) << (moves ? moves : "start");
        size_t best = 0;
        for (size_t i = 1; i < expected.size(); ++i)
            if (expected[i].weight > expected[best].weight) best = i;
        EXPECT_EQ(text(p, probe_book_file(p, path.c_str(), false, 0)), text(p, convert_book_move(p, expected[best].move)));
        // Random choices are always moves of the position's records.
        for (uint32_t seed = 0; seed < 20; ++seed) {
            const std::string chosen = text(p, probe_book_file(p, path.c_str(), true, seed));
            bool listed = false;
            for (const TestRecord& r : expected) listed |= chosen == text(p, convert_book_move(p, r.move));
            EXPECT_TRUE(listed) << chosen;
        }
    }
    // Far out of the opening: not in the book.
    const PositionState& endgame = set("8/8/4k3/8/8/3K4/8/8 w - - 0 1");
    ASSERT_TRUE(scan(polyglot_key(endgame)).empty());
    EXPECT_EQ(probe_book_file(endgame, path.c_str(), false, 0), 0u);

    // probe_book reads the file name and the choice from the options.
    const EngineOptions saved = options;
    std::snprintf(options.book_file, sizeof options.book_file, "%s", path.c_str());
    options.book_random = false;
    const PositionState& start = set(START_FEN);
    EXPECT_EQ(probe_book(start), probe_book_file(start, path.c_str(), false, 0));
    std::snprintf(options.book_file, sizeof options.book_file, "%s/none.bin", dir.c_str());
    EXPECT_EQ(probe_book(start), 0u);
    options = saved;
}

// The engine answers a book position at once, without info lines, and searches other positions.
TEST_F(BookTest, EngineAnswersFromTheBook) {
    const std::string book = std::string(TARNVIK_SOURCE_DIR) + "/tests/data/books/performance.bin";
    const std::string input = dir + "/input.txt", output = dir + "/output.txt";
    auto run = [&](const std::string& commands) {
        FILE* f = std::fopen(input.c_str(), "w");
        std::fputs(commands.c_str(), f);
        std::fclose(f);
        const std::string cmd = "timeout 60 " + std::string(TARNVIK_BINARY) + " < " + input + " > " + output;
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        std::string out;
        f = std::fopen(output.c_str(), "r");
        char line[4096];
        while (f && std::fgets(line, sizeof line, f)) out += line;
        if (f) std::fclose(f);
        return out;
    };
    const std::string setup = "setoption name Hash value 1\nsetoption name OwnBook value true\nsetoption name BookFile value " +
                              book + "\n";
    std::string out = run(setup + "position startpos\ngo wtime 60000 btime 60000\nquit\n");
    EXPECT_EQ(out.find("info depth"), std::string::npos) << out;
    EXPECT_EQ(out.find("info multipv"), std::string::npos) << out;
    const size_t at = out.find("bestmove ");
    ASSERT_NE(at, std::string::npos) << out;
    const std::string played = out.substr(at + 9, out.find('\n', at) - at - 9);
    const PositionState& start = set(START_FEN);
    BookEntry entries[MAX_BOOK_ENTRIES];
    const int n = read_book_entries(book.c_str(), polyglot_key(start), entries);
    bool listed = false;
    for (int i = 0; i < n; ++i) listed |= played == text(start, convert_book_move(start, entries[i].move));
    EXPECT_TRUE(listed) << played;

    // Out of the book the engine searches.
    const char* middlegame = "1qr3k1/p3bppp/4pn2/1B2n3/N7/P3P2P/1P2QPP1/2R1B2K w - - 0 1";
    ASSERT_EQ(read_book_entries(book.c_str(), polyglot_key(set(middlegame)), entries), 0);
    out = run(setup + "position fen " + middlegame + "\ngo depth 2\nquit\n");
    EXPECT_NE(out.find("info "), std::string::npos) << out;
    EXPECT_NE(out.find("bestmove "), std::string::npos) << out;
}

// A pondering search on a book position answers only after "ponderhit"; an infinite one never
// uses the book.
TEST_F(BookTest, PonderWaitsAndInfiniteSearches) {
    const std::string book = std::string(TARNVIK_SOURCE_DIR) + "/tests/data/books/performance.bin";
    const std::string output = dir + "/output.txt";
    auto read_output = [&] {
        std::string out;
        FILE* f = std::fopen(output.c_str(), "r");
        char line[4096];
        while (f && std::fgets(line, sizeof line, f)) out += line;
        if (f) std::fclose(f);
        return out;
    };
    const std::string cmd = "timeout 60 " + std::string(TARNVIK_BINARY) + " > " + output;
    FILE* engine = popen(cmd.c_str(), "w");
    ASSERT_NE(engine, nullptr);
    auto send = [&](const std::string& line) {
        std::fputs((line + "\n").c_str(), engine);
        std::fflush(engine);
    };
    send("setoption name Hash value 1");
    send("setoption name OwnBook value true");
    send("setoption name BookFile value " + book);
    send("position startpos");
    send("go ponder wtime 1000 btime 1000");
    send("isready");
    for (int i = 0; i < 500 && read_output().find("readyok") == std::string::npos; ++i) usleep(10000);
    usleep(200000);
    std::string out = read_output();
    ASSERT_NE(out.find("readyok"), std::string::npos) << out;
    EXPECT_EQ(out.find("bestmove"), std::string::npos) << out;
    send("ponderhit");
    send("go infinite");  // waits for the pondering search to end first
    send("isready");
    usleep(300000);
    send("stop");
    send("quit");
    EXPECT_EQ(pclose(engine), 0);
    out = read_output();
    const size_t first = out.find("bestmove ");
    ASSERT_NE(first, std::string::npos) << out;
    // The book answer carries no info line and no ponder move; the infinite search prints info lines.
    EXPECT_EQ(out.substr(0, first).find("info multipv"), std::string::npos) << out;
    const size_t second = out.find("bestmove ", first + 1);
    ASSERT_NE(second, std::string::npos) << out;
    EXPECT_EQ(out.substr(first, out.find('\n', first) - first).find("ponder"), std::string::npos) << out;
    EXPECT_NE(out.substr(first, second - first).find("info multipv"), std::string::npos) << out;
}

}  // namespace
