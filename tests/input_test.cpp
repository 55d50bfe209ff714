// Text from outside the engine: FEN strings and move lists as GUIs and people type them, and
// protocol lines that are empty, overlong, binary or cut short. Nothing may crash, and a rejected
// position leaves the previous one as it was.
#include <gtest/gtest.h>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>
#include "board/board.h"
#include "board/movegen.h"
#include "board/tables.h"
#include "control/search_control.h"
#include "engine/options.h"
#include "engine/uci.h"
#include "eval/evaluate.h"
#include "platform/memory.h"
#include "search/reductions.h"

namespace {

void init_once() {
    static bool done = false;
    if (!done) {
        set_option_defaults();
        init_board_tables();
        init_reductions();
        unpack_network();
        done = true;
    }
}

std::string fen_of(const PositionState& p) {
    char buf[FEN_BUFFER];
    return position_to_fen(p, buf);
}

int set(Position& pos, const std::string& fen, const std::string* moves = nullptr) {
    return set_position(pos, fen.c_str(), moves ? moves->c_str() : nullptr);
}

// The whole observable state of a Position: its records up to the current one and the two moves.
std::string snapshot(const Position& pos) {
    std::string s(reinterpret_cast<const char*>(pos.states),
                  sizeof(PositionState) * size_t(pos.current - pos.states + 1));
    s += std::to_string(pos.current - pos.states) + "/" + std::to_string(pos.last_move) + "/" +
         std::to_string(pos.prior_move);
    return s;
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

}  // namespace

TEST(FenInput, MalformedOrImpossiblePositionsAreRejectedAndTheOldOneStays) {
    init_once();
    const char* bad[] = {
        "",
        "   ",
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNX w KQkq - 0 1",    // bad piece letter
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBN1R w KQkq - 0 1",  // nine files
        "rnbqkbnr/ppppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",  // nine pawns in a rank
        "rnbqkbnr/pppppppp/9/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",   // digit 9
        "rnbqkbnr/pppppppp/0/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",  // digit 0
        "rnbqkbnr/ppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",    // seven files
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP w KQkq - 0 1",            // seven ranks
        "rnbqkbnr/pppppppp/8/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",  // nine ranks
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR/ w KQkq - 0 1",  // trailing slash
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR",                // placement only
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w",              // no castling field
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq",         // no en-passant field
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR x KQkq - 0 1",   // side letter
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkx - 0 1",   // castling letter
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq e9 0 1",  // en-passant square
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq z3 0 1",
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -- 0 1",
        "rnbq1bnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQ - 0 1",     // no black king
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQ1BNR w kq - 0 1",     // no white king
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBKKBNR w kq - 0 1",     // two white kings
        "k7/8/8/8/8/8/8/k3K3 w - - 0 1",                              // two black kings
        "4k3/8/8/8/8/8/8/P3K3 w - - 0 1",                             // pawn on the first rank
        "4k2p/8/8/8/8/8/8/4K3 w - - 0 1",                             // pawn on the last rank
        "4k3/4R3/8/8/8/8/8/4K3 w - - 0 1",                            // side not to move in check
        "4k3/8/8/8/8/8/4r3/4K3 b - - 0 1",
        "8/8/8/8/8/8/4k3/4K3 w - - 0 1",                              // kings side by side
        "BQQQQQQQ/Q6Q/Q6Q/Q6Q/Q6Q/Q6Q/BR5Q/kBQQQKQB w - - 0 1",        // more moves than a list holds
        "4k3/8/8/8/7N/8/PPPPPPPP/RNBQKBNR w - - 0 1",                 // seventeen men
        "4k3/8/8/8/8/8/PPPPPPPP/QNBQKBNR w - - 0 1",                  // promoted queen with 8 pawns
        "4k3/8/8/8/8/8/PPPPPPP1/RRRQKBNR w - - 0 1",                  // two extra rooks, one pawn gone
        "4k3/8/8/8/8/P7/PPPPPPPP/RNBQKBNR w - - 0 1",                 // nine pawns
        "4k3/8/8/8/8/8/8/4K3 w - - 0 1 trailing\x01",                 // garbage is fine after clocks
    };
    auto pos = std::make_unique<Position>();
    const std::string moves = "e2e4 c7c5 g1f3";
    ASSERT_EQ(set(*pos, START_FEN, &moves), 1);
    const std::string before = snapshot(*pos);
    int rejected = 0;
    for (const char* fen : bad) {
        const bool accepted_expected = std::strstr(fen, "trailing") != nullptr;
        const int r = set(*pos, fen, &moves);
        if (accepted_expected) {
            EXPECT_EQ(r, 0) << fen;  // read, moves illegal there
            continue;
        }
        EXPECT_EQ(r, -1) << fen;
        EXPECT_EQ(snapshot(*pos), before) << fen;
        ++rejected;
    }
    EXPECT_EQ(rejected, int(std::size(bad)) - 1);
}

TEST(FenInput, MaterialAGameCanReachIsAccepted) {
    init_once();
    auto pos = std::make_unique<Position>();
    // The known position with 218 legal moves: nine queens, all pawns promoted but two.
    EXPECT_EQ(set(*pos, "R6R/3Q4/1Q4Q1/4Q3/2Q4Q/Q4Q2/pp1Q4/kBNN1KB1 w - - 0 1"), 0);
    EXPECT_EQ(set(*pos, "4k3/8/8/8/8/8/PPPPPPP1/RRRQKBNR w - - 0 1"), -1);
    EXPECT_EQ(set(*pos, "4k3/8/8/8/8/8/PPPPPP2/RRRQKBNR w - - 0 1"), 0);
    EXPECT_EQ(set(*pos, "qqqqkqqq/8/8/8/8/8/8/4K3 w - - 0 1"), 0);
}

TEST(FenInput, EveryPrefixAndEverySingleByteChangeIsSafe) {
    init_once();
    auto pos = std::make_unique<Position>();
    const std::string fen = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1";
    for (size_t n = 0; n <= fen.size(); ++n) {
        const int r = set(*pos, fen.substr(0, n));
        // Placement, side, castling and en-passant field are needed; the clocks are not.
        EXPECT_EQ(r >= 0, n >= fen.size() - 4) << fen.substr(0, n);
    }
    std::mt19937 rng(3);
    for (size_t i = 0; i < fen.size(); ++i)
        for (int c = 1; c < 256; c += 1 + int(rng() % 7)) {
            std::string f = fen;
            f[i] = char(c);
            if (set(*pos, f) < 0) continue;
            // Whatever was accepted is a position the rest of the engine can work with.
            const PositionState& p = *pos->current;
            EXPECT_EQ(popcount(p.own_of(KING)), 1) << f;
            EXPECT_EQ(popcount(p.their(KING)), 1) << f;
            EXPECT_EQ(p.by_type[PAWN] & (RANK_1 | RANK_8), 0u) << f;
            auto again = std::make_unique<Position>();
            EXPECT_EQ(set(*again, fen_of(p)), 0) << f;
            EXPECT_EQ(again->current->key, p.key) << f;
        }
}

TEST(MoveListInput, PlayingStopsAtTheFirstBadMove) {
    init_once();
    struct Case {
        const char* moves;
        int played;  // moves played before the list stopped
    };
    const Case cases[] = {
        {"e2e4 e7e5 xx g1f3", 2},
        {"e2e4 e2e4", 1},         // the square is empty now
        {"e7e5", 0},              // not white's pawn
        {"e2e5", 0},              // not a pawn move
        {"e1g1", 0},              // castling through pieces
        {"e2e4q", 0},             // promotion letter on a plain move
        {"e2e4 e7e5 g1f3 b8c6 f1c4 g8f6 e1h1", 7},
        {"e2e", 0},
        {"e2e4e7e5", 0},
        {"E2E4", 0},
        {"i2i4", 0},
        {"e2e4\te7e5", 0},
        {"e2e4  e7e5   g1f3 ", 3},  // runs of spaces separate
        {"e2e4 e7e5\ng1f3", 2},     // the line ends at the line feed
        {"e2e4 e7e5\r\ng1f3", 2},
        {"e2e4 \x80\xff", 1},
    };
    auto pos = std::make_unique<Position>();
    auto ref = std::make_unique<Position>();
    const char* all[] = {"e2e4", "e7e5", "g1f3", "b8c6", "f1c4", "g8f6", "e1g1"};
    for (const Case& c : cases) {
        const std::string list = c.moves;
        EXPECT_EQ(set(*pos, START_FEN, &list), c.played / 2) << c.moves;
        std::string prefix;
        for (int i = 0; i < c.played; ++i) prefix += std::string(all[i]) + " ";
        set(*ref, START_FEN, &prefix);
        EXPECT_EQ(fen_of(*pos->current), fen_of(*ref->current)) << c.moves;
    }
    // Promotions need their letter, and only the four pieces.
    const std::string promo_fen = "4k3/1P6/8/8/8/8/8/4K3 w - - 0 1";
    for (const char* text : {"b7b8", "b7b8k", "b7b8p", "b7b8Q", "b7b8qq"}) {
        const std::string list = text;
        set(*pos, promo_fen, &list);
        EXPECT_FALSE(pos->current->black_to_move()) << text;
    }
    for (const char* text : {"b7b8q", "b7b8r", "b7b8b", "b7b8n"}) {
        const std::string list = text;
        set(*pos, promo_fen, &list);
        EXPECT_TRUE(pos->current->black_to_move()) << text;
    }
    // A move that would leave the own king in check is not played.
    const std::string pin_move = "e2d3";
    set(*pos, "4r1k1/8/8/8/8/8/4B3/4K3 w - - 0 1", &pin_move);
    EXPECT_FALSE(pos->current->black_to_move());
}

TEST(MoveListInput, ThousandsOfReversibleMovesKeepTheStackBounded) {
    init_once();
    auto pos = std::make_unique<Position>();
    auto start = std::make_unique<Position>();
    set(*start, START_FEN);
    const std::string moves = repeat("g1f3 g8f6 f3g1 f6g8 ", 1000);
    EXPECT_EQ(set(*pos, START_FEN, &moves), 2000);
    // Room for a full-depth search on top of the game records.
    EXPECT_LT(pos->current - pos->states + MAX_PLY, POSITION_STACK_SIZE);
    EXPECT_EQ(pos->current->key, start->current->key);
    EXPECT_EQ(fen_of(*pos->current), "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 4000 1");
    EXPECT_TRUE(pos->current->flags & REPETITION);
    // The records kept are the latest ones, in order: each is the one before with a move made.
    for (PositionState* s = pos->states + 1; s <= pos->current; ++s) EXPECT_EQ(s->rule50, s[-1].rule50 + 1);

    // A huge clock from the FEN plus a long list cannot wrap the 16-bit counter; the fifty-move
    // rule and the repetition scan keep working.
    const std::string more = repeat("g1f3 g8f6 f3g1 f6g8 ", 900);
    set(*pos, "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 32000 1", &more);
    EXPECT_GE(pos->current->rule50, 100);
    EXPECT_LE(int(pos->current->rule50) + MAX_PLY, 32767);
    EXPECT_TRUE(pos->current->flags & REPETITION);
}

// ---------------------------------------------------------------------------------------------
// Protocol lines fed to the command handler.

namespace {

void start_engine_in_process() {
    init_once();
    options.hash = 1;
    options.threads = 1;
    if (!search_memory_allocated()) allocate_search_memory();
}

// Feeds one line (bytes as given, a NUL added); for "go", waits for the search to finish, after
// stopping it at once when asked (a "go" without limits would run for days).
std::string feed(const std::string& bytes, bool stop_search = false) {
    std::vector<char> line(bytes.begin(), bytes.end());
    line.push_back(0);
    testing::internal::CaptureStdout();
    handle_command(line.data());
    if (bytes.rfind("go", 0) == 0) {
        if (stop_search) {
            char stop[] = "stop\n";
            handle_command(stop);
        }
        search_gate.acquire();
        search_gate.release();
    }
    return testing::internal::GetCapturedStdout();
}

std::string current_fen() { return fen_of(*threads[0].position.current); }

}  // namespace

TEST(ProtocolInput, BadPositionCommandsKeepThePreviousPosition) {
    start_engine_in_process();
    feed("position startpos moves e2e4 c7c5\n");
    const std::string kept = current_fen();
    EXPECT_EQ(kept, "rnbqkbnr/pp1ppppp/8/2p5/4P3/8/PPPP1PPP/RNBQKBNR w KQkq - 0 1");
    for (const char* line : {
             "position fen rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNX w KQkq - 0 1\n",
             "position fen 8/8/8/8/8/8/8/8 w - - 0 1\n",
             "position fen\n",
             "position fen \n",
             "position fen 4k3/4R3/8/8/8/8/8/4K3 w - - 0 1 moves e1e2\n",
             "position fen 4k3/8/8/8/8/8/8/4K3 w KQkq\n",
         }) {
        EXPECT_EQ(feed(line), "") << line;
        EXPECT_EQ(current_fen(), kept) << line;
    }
    // A good FEN with a bad move keeps what was played up to it.
    feed("position fen 4k3/8/8/8/8/8/8/4K3 w - - 0 1 moves e1e2 e8e7 e2e4 e7e6\n");
    EXPECT_EQ(current_fen(), "8/4k3/8/8/8/8/4K3/8 w - - 2 1");
    // Windows line ends.
    feed("position startpos moves e2e4\r\n");
    EXPECT_EQ(current_fen(), "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1");
    feed("position fen 4k3/8/8/8/8/8/8/4K3 w - - 0 1\r\n");
    EXPECT_EQ(current_fen(), "4k3/8/8/8/8/8/8/4K3 w - - 0 1");
    free_search_memory();
}

TEST(ProtocolInput, GoKeywordWithoutItsValueIsIgnored) {
    start_engine_in_process();
    feed("position startpos\n");
    for (const char* keyword : {"wtime", "btime", "winc", "binc", "movestogo", "nodes", "movetime"}) {
        const std::string out = feed(std::string("go depth 2 ") + keyword + "\n");
        EXPECT_NE(out.find("bestmove "), std::string::npos) << keyword;
        EXPECT_EQ(control.time_left, 1000000000000LL) << keyword;
        EXPECT_EQ(control.increment, 0) << keyword;
        EXPECT_EQ(control.moves_to_go, 0) << keyword;
        EXPECT_EQ(control.node_limit, INT64_MAX) << keyword;
        EXPECT_EQ(control.depth_limit, 2) << keyword;
    }
    EXPECT_EQ(read_integer("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(read_integer("  -12x"), -12);
    EXPECT_EQ(read_integer("x12"), 0);
    // Too many digits saturate instead of wrapping into a negative or small value.
    EXPECT_EQ(read_integer("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(read_integer("104444444444444444000"), INT64_MAX);
    EXPECT_EQ(read_integer("18446744073709551617"), INT64_MAX);
    EXPECT_EQ(read_integer("-99999999999999999999999"), INT64_MIN);
    // Absurd or negative limits end the search quickly with a legal answer.
    for (const char* go : {"go nodes 104444444444444444000 movetime 50\n", "go nodes -5\n",
                           "go wtime 1000 winc -999999999999 depth 3\n"}) {
        const std::string out = feed(go);
        EXPECT_NE(out.find("bestmove "), std::string::npos) << go;
        EXPECT_EQ(out.find("bestmove 0000"), std::string::npos) << go;
    }
    // The value after a keyword is taken from the same line only, also without the line feed.
    feed("go depth 1 movetime");
    EXPECT_EQ(control.time_left, 1000000000000LL);
    feed("go movetime 300 depth\n");
    EXPECT_EQ(control.time_left, 300);
    EXPECT_EQ(control.depth_limit, 200);
    free_search_memory();
}

TEST(ProtocolInput, EmptyOverlongBinaryAndCutLinesAreHarmless) {
    start_engine_in_process();
    feed("position startpos moves e2e4\n");
    const std::string kept = current_fen();
    std::mt19937 rng(17);
    std::vector<std::string> lines = {
        "", "\n", "\r\n", "\r", " \n", "\t\n", "u", "uc", "ucix\n", "go depth 1", "position", "position ",
        "position startpos moves", "position fen", "setoption", "setoption name", "setoption name Hash value",
        "isready\r\n", "stop\n", "ponderhit\n",
        std::string("pos\0ition startpos\n", 19),
        repeat("x", 16383),
        "position startpos moves " + repeat("e2e4 ", 3271),  // a line cut by the reader: no line feed
        "go depth 1 searchmoves " + repeat("e7e5 ", 3270) + "\n",
        "go " + repeat("depth ", 2729) + "\n",
        "go nodes 2000 " + repeat("a ", 8190),
        "go nodes 2000 " + repeat("a ", 9000),  // more tokens than a reader's line can hold
        "go wtime -9223372036854775808 btime 99999999999999999999999 depth 1\n",
        "go searchmoves" + repeat(" a1a2", 600) + "\n",
    };
    for (int i = 0; i < 200; ++i) {
        std::string garbage(rng() % 300, 0);
        for (char& c : garbage) c = char(rng() % 255 + 1);
        lines.push_back(garbage);
        lines.push_back("go " + garbage.substr(0, garbage.find_first_of("\n")) + " depth 1\n");
        lines.push_back("position fen " + garbage);
        lines.push_back("position startpos moves e7e5 " + garbage);
    }
    for (const std::string& l : lines) {
        const std::string out = feed(l, true);
        // Only a "go" or "isready" may answer.
        if (l.rfind("go", 0) != 0 && l.rfind("isready", 0) != 0) {
            EXPECT_EQ(out, "") << l.substr(0, 60);
        }
        // Every "go" ends with a best move.
        if (l.rfind("go", 0) == 0) {
            EXPECT_NE(out.find("bestmove "), std::string::npos) << l.substr(0, 60);
        }
        if (l.rfind("position", 0) == 0 || l.rfind("go", 0) == 0) {
            const PositionState& p = *threads[0].position.current;
            ASSERT_EQ(popcount(p.own_of(KING)), 1);
            ASSERT_EQ(popcount(p.their(KING)), 1);
        }
    }
    feed("position startpos moves e2e4\n");
    EXPECT_EQ(current_fen(), kept);
    free_search_memory();
}
