// Search subsystem: transposition table, stored-move validation, exchange evaluation, move picker,
// node functions, time budget and the principal-variation walk of the info line.
#include <gtest/gtest.h>
#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>
#include "board/board.h"
#include "board/movegen.h"
#include "board/root_moves.h"
#include "board/tables.h"
#include "control/go.h"
#include "control/search_control.h"
#include "control/worker.h"
#include "engine/options.h"
#include "eval/evaluate.h"
#include "eval/network.h"
#include "eval/network_format.h"
#include "platform/memory.h"
#include "search/movepick.h"
#include "search/reductions.h"
#include "search/search.h"
#include "search/see.h"
#include "search/tt.h"

namespace {

void init_tables() {
    static bool done = false;
    if (done) return;
    done = true;
    set_option_defaults();
    init_board_tables();
    init_reductions();
    unpack_network();
}

// Fresh search memory with a small table.
void fresh_memory(int64_t hash_mb = 16, int thread_count = 1) {
    init_tables();
    options.hash = hash_mb;
    options.threads = thread_count;
    allocate_search_memory();
}

PositionState fen_state(const char* fen) {
    init_tables();
    PositionState s;
    EXPECT_TRUE(parse_fen(fen, s)) << fen;
    return s;
}

// Every legal move with its exact gives-check flag.
std::vector<Move> legal_moves(const PositionState& p) {
    MoveEntry list[512];
    MoveEntry* end = list;
    if (p.in_check()) {
        generate_evasions(p, &end, &end, true);
    } else {
        end = generate_captures(p, end);
        end = generate_underpromotions(p, end);
        end = generate_quiets(p, end, false, false);
    }
    std::vector<Move> out;
    for (MoveEntry* e = list; e < end; ++e)
        if (is_legal(p, e->move)) out.push_back(gives_check(p, e->move & ~MOVE_CHECK));
    return out;
}

bool is_quiet(Move m) { return !(m & (MOVE_CAPTURE | MOVE_PROMOTION)); }
bool is_underpromotion(Move m) { return (m & MOVE_PROMOTION) && move_promotion(m) != QUEEN; }

const char* const SEED_FENS[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1",
    "8/8/8/2k5/2pP4/8/B7/4K3 b - d3 0 3",
    "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
    "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1",
    "4k3/1P6/8/8/8/8/6p1/4K2R b K - 0 1",
    "r1bqkbnr/pppp1ppp/2n5/4p3/2B1P3/5Q2/PPPP1PPP/RNB1K1NR w KQkq - 2 3",
};
// Chess960 starting arrays and middle games (castling written with rook files).
const char* const SEED_FENS_960[] = {
    "bqnb1rkr/pp3ppp/3ppn2/2p5/5P2/P2P4/NPP1P1PP/BQ1BNRKR w HFhf - 2 9",
    "2nnrbkr/p1qppppp/8/1ppb4/6PP/3PP3/PPP2P2/BQNNRBKR w HEhe - 1 9",
    "1rqbkrbn/1ppppp1p/1n6/p1N3p1/8/2P4P/PP1PPPP1/1RQBKRBN w FBfb - 0 9",
    "rkrnnqbb/pppppppp/8/8/8/8/PPPPPPPP/RKRNNQBB w CAca - 0 1",
    "nrbbqknr/pppppppp/8/8/8/8/PPPPPPPP/NRBBQKNR w HBhb - 0 1",
};

// Positions reached by random play from the seeds; captures and checks are preferred now and
// then so that promotions, en passant and check evasions turn up often.
std::vector<PositionState> random_positions(bool chess960, int count, uint32_t seed) {
    init_tables();
    std::mt19937 rng(seed);
    std::vector<PositionState> out;
    auto pos = std::make_unique<Position>();
    const auto* seeds = chess960 ? SEED_FENS_960 : SEED_FENS;
    const size_t seed_count = chess960 ? std::size(SEED_FENS_960) : std::size(SEED_FENS);
    while (int(out.size()) < count) {
        set_position(*pos, seeds[rng() % seed_count], nullptr);
        const int length = int(rng() % 60);
        for (int ply = 0; ply < length; ++ply) {
            out.push_back(*pos->current);
            std::vector<Move> moves = legal_moves(*pos->current);
            if (moves.empty()) break;
            std::vector<Move> sharp;
            for (Move m : moves)
                if (!is_quiet(m) || (m & MOVE_CHECK)) sharp.push_back(m);
            const Move m = (!sharp.empty() && rng() % 3 == 0) ? sharp[rng() % sharp.size()] : moves[rng() % moves.size()];
            make_move(*pos, m, nullptr);
        }
    }
    out.resize(count);
    return out;
}

std::vector<PositionState> mixed_positions(int count, uint32_t seed) {
    std::vector<PositionState> a = random_positions(false, count * 3 / 4, seed);
    std::vector<PositionState> b = random_positions(true, count - count * 3 / 4, seed + 1);
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Plies at which the tests start node functions directly.
constexpr int TEST_PLIES = 32;

// Puts a state in thread 0 with the limits of an unbounded search. The tests call the node
// functions at plies 0 ... TEST_PLIES - 1 on this one record, so the network's first layer of
// the state is computed into each of those plies (the evaluation would otherwise rebuild it
// from the record "ply" places down the stack).
SearchThread& search_root(const PositionState& s, bool with_eval = true) {
    SearchThread& t = threads[0];
    t.position.states[0] = s;
    t.position.current = t.position.states;
    t.position.prior_move = t.position.last_move = 0;
    for (int i = 0; i < MAX_PLY; ++i) {
        t.static_eval[i] = SCORE_NONE;
        t.accumulators[i].computed = 0;
    }
    for (int i = 0; with_eval && i < TEST_PLIES; ++i) {
        refresh_perspective(s, false, t.accumulators[i].values[0]);
        refresh_perspective(s, true, t.accumulators[i].values[1]);
        t.accumulators[i].computed = 1;
    }
    std::memset(t.move_stack, 0, sizeof t.move_stack);
    control.stop.store(0);
    control.mode.store(Normal);
    control.node_limit = INT64_MAX;
    control.hard_deadline = INT64_MAX;
    control.soft_deadline = INT64_MAX;
    control.next_check = INT64_MAX;
    control.check_interval = INT64_MAX / 2;
    control.tb_probe_limit = 0;
    control.depth_limit = 200;
    t.nodes.store(0);
    t.sel_depth = 0;
    return t;
}

uint64_t slot_data(uint64_t key) {
    uint64_t d = 0;
    return tt_probe(key, d) ? d : 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Transposition table: score frame, entry fields, priority, writers, hashfull.

TEST(TranspositionTable, MateScoresAreStoredRelativeToTheStoringNode) {
    // Mate in 5 plies from the root, seen at ply 3: stored as mate in 2 from that node.
    const int mate_in_5 = MATE - 5;
    EXPECT_EQ(score_to_tt(mate_in_5, 3), MATE - 2);
    // Read back at ply 7: mate in 9 plies from the root.
    EXPECT_EQ(score_from_tt(MATE - 2, 7), MATE - 9);
    EXPECT_EQ(score_to_tt(-mate_in_5, 3), -(MATE - 2));
    EXPECT_EQ(score_from_tt(-(MATE - 2), 7), -(MATE - 9));
    // The band edge: 27765 is an ordinary score, 27766 a mate-band one.
    EXPECT_EQ(score_to_tt(27765, 9), 27765);
    EXPECT_EQ(score_from_tt(27765, 9), 27765);
    EXPECT_EQ(score_to_tt(-27765, 9), -27765);
    EXPECT_EQ(score_to_tt(27766, 9), 27775);
    EXPECT_EQ(score_from_tt(27766, 9), 27757);
    EXPECT_EQ(score_to_tt(-27766, 9), -27775);
    EXPECT_EQ(score_from_tt(-27766, 9), -27757);
}

TEST(TranspositionTable, PackedFieldsReadBack) {
    fresh_memory(1);
    tt.generation = 5 * TT_GENERATION_STEP;
    const struct {
        int depth, score, eval;
        uint32_t move;
        uint64_t bound;
    } cases[] = {
        {-1, -32766, -32767, 0x7FFF, 0}, {0, 0, 0, 1, TT_LOWER}, {200, 32765, 2000, 0x4FC1, TT_EXACT}, {1, -5, 7, 4660, TT_LOWER}};
    for (const auto& c : cases) {
        const uint64_t d = tt_pack(c.depth, c.move, c.bound, c.score, c.eval);
        EXPECT_EQ(tt_depth(d), c.depth);
        EXPECT_EQ(int(d & 0xFF), c.depth + 55);
        EXPECT_EQ(tt_move(d), c.move);
        EXPECT_EQ(d & TT_BOUND_MASK, c.bound);
        EXPECT_EQ(tt_raw_score(d), c.score);
        EXPECT_EQ(tt_eval(d), c.eval);
        EXPECT_TRUE(tt_current_generation(d));
        const uint64_t key = 0x9E3779B97F4A7C15ull * uint64_t(c.move + 1);
        tt_store(key, d);
        uint64_t got = 0;
        ASSERT_TRUE(tt_probe(key, got));
        EXPECT_EQ(got, d);
        EXPECT_FALSE(tt_probe(key ^ (tt.mask + 1), got));  // same slot, other key
    }
    // The 7-bit generation wraps after 128 searches.
    tt.generation = 127u * TT_GENERATION_STEP;
    tt.generation += TT_GENERATION_STEP;
    EXPECT_EQ(tt.generation, 0u);
}

TEST(TranspositionTable, PriorityFavoursExactEntriesOfRealDepth) {
    fresh_memory(1);
    EXPECT_EQ(tt_priority(0), -55);  // empty slot
    EXPECT_EQ(tt_priority(tt_pack(-1, 0, TT_EXACT, 0, 0)), -1);
    EXPECT_EQ(tt_priority(tt_pack(0, 0, TT_EXACT, 0, 0)), 0);
    EXPECT_EQ(tt_priority(tt_pack(1, 0, TT_EXACT, 0, 0)), 1025);
    EXPECT_EQ(tt_priority(tt_pack(5, 0, TT_EXACT, 0, 0)), 1029);
    EXPECT_EQ(tt_priority(tt_pack(5, 0, TT_LOWER, 0, 0)), 5);
    EXPECT_EQ(tt_priority(tt_pack(200, 0, 0, 0, 0)), 200);
}

TEST(TranspositionTable, EntryCountIsThePowerOfTwoBelowTheHashSize) {
    fresh_memory(1);
    EXPECT_EQ(tt.mask + 1, 65536u);
    fresh_memory(2);
    EXPECT_EQ(tt.mask + 1, 131072u);
    fresh_memory(3);
    EXPECT_EQ(tt.mask + 1, 131072u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(tt.entries) % 64, 0u);
}

TEST(TranspositionTable, HashfullIsAnEstimateFromTheNodeCount) {
    fresh_memory(1);  // 65,536 entries
    EXPECT_EQ(hashfull(0), 0);
    EXPECT_EQ(hashfull(65), 0);
    EXPECT_EQ(hashfull(66), 1);
    EXPECT_EQ(hashfull(32768), 500);
    EXPECT_EQ(hashfull(65535), 999);
    EXPECT_EQ(hashfull(65536), 1000);
    EXPECT_EQ(hashfull(int64_t(1) << 40), 1000);
}

TEST(TranspositionTable, NewGameEmptiesTheTable) {
    fresh_memory(1);
    tt_store(12345, tt_pack(3, 77, TT_EXACT, 10, 10));
    uint64_t d;
    ASSERT_TRUE(tt_probe(12345, d));
    fresh_memory(1);
    EXPECT_FALSE(tt_probe(12345, d));
    EXPECT_EQ(tt.generation, 0u);
}

// The quiescence writer keeps current entries of real depth and replaces the rest.
TEST(TranspositionTableWriters, QuiescenceReplacement) {
    fresh_memory(16);
    const PositionState s = fen_state("4k3/8/8/8/8/8/4P3/4K3 w - - 0 1");
    tt.generation = 3 * TT_GENERATION_STEP;
    const uint64_t old_generation = 2 * TT_GENERATION_STEP;
    struct Case {
        int depth;
        uint32_t generation;
        bool replaced;
    } cases[] = {{1, tt.generation, false}, {7, tt.generation, false}, {0, tt.generation, true},
                 {-1, tt.generation, true}, {7, uint32_t(old_generation), true}};
    for (int qdepth : {0, -1}) {
        for (const Case& c : cases) {
            SearchThread& t = search_root(s);
            // An upper bound far above the window: never a cut-off, so the node reaches its store.
            uint64_t old = tt_pack(c.depth, 0, 0, 5000, 100);
            old = (old & ~TT_GENERATION_MASK) | c.generation;
            tt_store(s.key, old);
            qsearch(t, NODE_ALL, 2, qdepth, -100, -99);
            const uint64_t now = slot_data(s.key);
            if (c.replaced) {
                EXPECT_NE(now, old) << "old depth " << c.depth;
                EXPECT_EQ(tt_depth(now), qdepth == 0 ? 0 : -1);
                EXPECT_TRUE(tt_current_generation(now));
            } else {
                EXPECT_EQ(now, old) << "old depth " << c.depth;
            }
        }
    }
}

// The main-search writer: +8 plies of slack, +1024 for PV nodes, only against current entries.
TEST(TranspositionTableWriters, MainSearchReplacement) {
    fresh_memory(64);
    const PositionState s = fen_state("8/8/4k3/8/8/4K3/4P3/8 w - - 0 1");
    const uint32_t e2e3 = uint32_t(E2) | uint32_t(E3) << 6;
    tt.generation = 9 * TT_GENERATION_STEP;
    struct Case {
        int node_type, depth;
        int old_depth;
        uint64_t old_bound;
        int old_score;
        bool current;
        bool replaced;
    } cases[] = {
        {NODE_ALL, 6, 1, TT_EXACT, 0, true, false},   // 6 + 8 < 1 + 1024
        {NODE_ALL, 6, 5, TT_EXACT, 0, true, false},   // 6 + 8 < 5 + 1024
        {NODE_PV, 6, 5, TT_EXACT, 0, true, true},     // 6 + 8 + 1024 >= 5 + 1024
        {NODE_ALL, 6, 1, TT_EXACT, 0, false, true},   // older generation
        {NODE_ALL, 6, 14, 0, 5000, true, true},       // 6 + 8 reaches 14
        {NODE_ALL, 6, 15, 0, 5000, true, false},      // 6 + 8 < 15
        {NODE_ALL, 6, 0, TT_EXACT, 0, true, true},    // depth-0 exact: no bonus
    };
    for (const Case& c : cases) {
        SearchThread& t = search_root(s);
        uint64_t old = tt_pack(c.old_depth, e2e3, c.old_bound, c.old_score, 100);
        if (!c.current) old = (old & ~TT_GENERATION_MASK) | (tt.generation - TT_GENERATION_STEP);
        tt_store(s.key, old);
        const int alpha = c.node_type == NODE_PV ? -SCORE_INFINITE : -1;
        const int beta = c.node_type == NODE_PV ? SCORE_INFINITE : 0;
        search(t, c.node_type, 2, c.depth, alpha, beta, 0);
        const uint64_t now = slot_data(s.key);
        if (c.replaced) {
            EXPECT_EQ(tt_depth(now), c.depth) << "case old depth " << c.old_depth << " node " << c.node_type;
            EXPECT_TRUE(tt_current_generation(now));
        } else {
            EXPECT_EQ(now, old) << "case old depth " << c.old_depth << " node " << c.node_type;
        }
    }
}

// ProbCut stores a lower bound at depth - 3 unless a current entry outranks depth + 5.
TEST(TranspositionTableWriters, ProbCutReplacement) {
    fresh_memory(64);
    // The material-counting first network: the trained one has seen few bare endings like this one.
    static std::vector<uint8_t> first;
    if (first.empty()) {
        const std::string path = testing::TempDir() + "first_network_probcut.nnue";
        ASSERT_EQ(std::system((std::string(MAKE_FIRST_NET_BINARY) + " " + path + " > /dev/null").c_str()), 0);
        ASSERT_TRUE(read_block(path, first));
        std::remove(path.c_str());
    }
    load_network(first.data());
    struct Restore {
        ~Restore() { unpack_network(); }
    } restore;
    // White's pawn takes an undefended queen; White has no piece for a null move.
    const PositionState s = fen_state("4k3/8/8/8/3q4/4P3/8/4K3 w - - 0 1");
    const Move exd4 = validate_tt_move(s, uint32_t(E3) | uint32_t(D4) << 6);
    ASSERT_NE(exd4, 0u);
    // beta 100 above the evaluation: the queen capture clears pb = beta + 150 by far.
    const int e = evaluate(search_root(s), 2);
    const int beta = e + 100;
    tt.generation = 4 * TT_GENERATION_STEP;
    struct Case {
        int old_depth;
        bool current;
        bool replaced;
    } cases[] = {{12, true, false}, {11, true, true}, {40, false, true}};
    for (const Case& c : cases) {
        SearchThread& t = search_root(s);
        // An upper bound above the window: no cut-off, and its score does not argue against ProbCut.
        uint64_t old = tt_pack(c.old_depth, 0, 0, beta + 500, e);
        if (!c.current) old = (old & ~TT_GENERATION_MASK) | (tt.generation - TT_GENERATION_STEP);
        tt_store(s.key, old);
        const int v = search(t, NODE_ALL, 2, 6, beta - 1, beta, 0);
        EXPECT_GE(v, beta + 150);
        const uint64_t now = slot_data(s.key);
        if (c.replaced) {
            EXPECT_EQ(tt_depth(now), 3) << "old depth " << c.old_depth;
            EXPECT_EQ(now & TT_BOUND_MASK, TT_LOWER);
            EXPECT_EQ(tt_move(now), move_to_tt(exd4));
            EXPECT_EQ(tt_eval(now), e);
        } else {
            EXPECT_EQ(now, old) << "old depth " << c.old_depth;
        }
    }
    // With no entry at all ProbCut fires and stores its lower bound.
    fresh_memory(64);
    search(search_root(s), NODE_ALL, 2, 6, beta - 1, beta, 0);
    const uint64_t now = slot_data(s.key);
    EXPECT_EQ(tt_depth(now), 3);
    EXPECT_EQ(now & TT_BOUND_MASK, TT_LOWER);
}

// ---------------------------------------------------------------------------------------------
// Stored moves: the 15-bit form and its validation against the board.

TEST(StoredMoves, EveryLegalMoveSurvivesTheFifteenBitForm) {
    for (bool chess960 : {false, true}) {
        options.chess960 = chess960;
        int castles = 0, en_passant = 0, promotions = 0, in_check = 0;
        for (const PositionState& p : random_positions(chess960, 3000, chess960 ? 11 : 7)) {
            in_check += p.in_check();
            for (Move m : legal_moves(p)) {
                const uint32_t v = move_to_tt(m);
                ASSERT_LT(v, 1u << 15);
                ASSERT_EQ(validate_tt_move(p, v), m) << std::hex << m << " from " << std::dec << move_from(m);
                castles += (m & MOVE_CASTLE) != 0;
                en_passant += (m & MOVE_EN_PASSANT) != 0;
                promotions += (m & MOVE_PROMOTION) != 0;
            }
        }
        // The sample must really contain the special moves.
        EXPECT_GT(castles, 50);
        EXPECT_GT(in_check, 50);
        if (!chess960) {
            EXPECT_GT(promotions, 50);
            EXPECT_GT(en_passant, 5);
        }
    }
    options.chess960 = false;
}

TEST(StoredMoves, RandomFifteenBitValuesNeverYieldAMoveOutsideTheLegalList) {
    int accepted = 0, checked_positions = 0;
    for (const PositionState& p : mixed_positions(240, 21)) {
        const std::vector<Move> legal = legal_moves(p);
        const std::set<Move> set(legal.begin(), legal.end());
        checked_positions += p.in_check();
        for (uint32_t v = 0; v < (1u << 15); ++v) {
            const Move m = validate_tt_move(p, v);
            if (!m) continue;
            ++accepted;
            ASSERT_TRUE(set.count(m)) << "value " << v << " gave " << std::hex << m;
        }
    }
    EXPECT_GT(accepted, 1000);
    EXPECT_GT(checked_positions, 5);
}

TEST(StoredMoves, QuietPseudoLegalAcceptsExactlyTheGeneratedQuietMoves) {
    for (const PositionState& p : mixed_positions(160, 33)) {
        MoveEntry list[256];
        MoveEntry* end = generate_quiets(p, list, false, false);
        std::set<Move> generated;
        for (MoveEntry* e = list; e < end; ++e) generated.insert(e->move & ~MOVE_CHECK);
        for (int piece = PAWN; piece <= KING; ++piece)
            for (int from = 0; from < 64; ++from)
                for (int to = 0; to < 64; ++to) {
                    const Move m = make_move_word(piece, from, to);
                    ASSERT_EQ(quiet_pseudo_legal(p, m), generated.count(m) == 1)
                        << "piece " << piece << " " << from << "-" << to;
                    if (piece == KING) {
                        const Move c = m | MOVE_CASTLE;
                        ASSERT_EQ(quiet_pseudo_legal(p, c), generated.count(c) == 1) << "castle " << from << "-" << to;
                    }
                }
        // Stored killers are never captures, promotions or en-passant moves.
        for (MoveEntry* e = list; e < end; ++e) {
            const Move m = e->move & ~MOVE_CHECK;
            EXPECT_FALSE(quiet_pseudo_legal(p, m | MOVE_CAPTURE));
            EXPECT_FALSE(quiet_pseudo_legal(p, m | MOVE_EN_PASSANT));
        }
    }
}

TEST(StoredMoves, CastlingIsRefusedInCheckAndThroughAttackedSquares) {
    options.chess960 = false;
    // e1 in check from the rook on e8.
    PositionState p = fen_state("4r1k1/8/8/8/8/8/8/R3K2R w KQ - 0 1");
    ASSERT_TRUE(p.in_check());
    const uint32_t short_castle = uint32_t(E1) | uint32_t(G1) << 6 | 1u << 12;
    const uint32_t long_castle = uint32_t(E1) | uint32_t(C1) << 6 | 1u << 12;
    EXPECT_EQ(validate_tt_move(p, short_castle), 0u);
    EXPECT_FALSE(quiet_pseudo_legal(p, make_move_word(KING, E1, G1) | MOVE_CASTLE));
    // f1 attacked: no short castling; long castling still fine.
    p = fen_state("5rk1/8/8/8/8/8/8/R3K2R w KQ - 0 1");
    EXPECT_EQ(validate_tt_move(p, short_castle), 0u);
    EXPECT_NE(validate_tt_move(p, long_castle), 0u);
    EXPECT_FALSE(quiet_pseudo_legal(p, make_move_word(KING, E1, G1) | MOVE_CASTLE));
    EXPECT_TRUE(quiet_pseudo_legal(p, make_move_word(KING, E1, C1) | MOVE_CASTLE));
    // b1 attacked does not stop long castling (the king does not cross it), an occupied b1 does.
    p = fen_state("1r4k1/8/8/8/8/8/8/R3K2R w KQ - 0 1");
    EXPECT_NE(validate_tt_move(p, long_castle), 0u);
    p = fen_state("6k1/8/8/8/8/8/8/RN2K2R w KQ - 0 1");
    EXPECT_EQ(validate_tt_move(p, long_castle), 0u);
}

TEST(StoredMoves, AnswersToACheckValidate) {
    // Knight on d3 checks e1: Qxd3 takes the checker; Qd2 neither takes nor blocks it.
    const PositionState p = fen_state("4k3/8/8/8/8/3n4/8/3QK3 w - - 0 1");
    ASSERT_TRUE(p.in_check());
    EXPECT_NE(validate_tt_move(p, uint32_t(D1) | uint32_t(D3) << 6), 0u);
    EXPECT_EQ(validate_tt_move(p, uint32_t(D1) | uint32_t(D2) << 6), 0u);
    // Rook check along the rank: blocking and capturing validate, other moves do not.
    const PositionState q = fen_state("4k3/8/8/8/8/8/1Q6/r3K3 w - - 0 1");
    ASSERT_TRUE(q.in_check());
    EXPECT_NE(validate_tt_move(q, uint32_t(B2) | uint32_t(B1) << 6), 0u);
    EXPECT_NE(validate_tt_move(q, uint32_t(B2) | uint32_t(A1) << 6), 0u);
    EXPECT_EQ(validate_tt_move(q, uint32_t(B2) | uint32_t(B5) << 6), 0u);
    // Double check: only king moves.
    const PositionState r = fen_state("4k3/8/8/8/8/3n4/8/Q3K2r w - - 0 1");
    ASSERT_TRUE(r.in_check());
    EXPECT_EQ(validate_tt_move(r, uint32_t(A1) | uint32_t(D4) << 6), 0u);
    EXPECT_NE(validate_tt_move(r, uint32_t(E1) | uint32_t(E2) << 6), 0u);
}

TEST(StoredMoves, CheckmateTest) {
    EXPECT_TRUE(is_checkmate(fen_state("7k/6Q1/6K1/8/8/8/8/8 b - - 0 1")));
    EXPECT_FALSE(is_checkmate(fen_state("7k/5Q2/6K1/8/8/8/8/8 b - - 0 1")));  // stalemate
    EXPECT_FALSE(is_checkmate(fen_state("7k/6Q1/8/8/8/8/8/6K1 b - - 0 1")));  // Kxg7
    EXPECT_TRUE(is_checkmate(fen_state("6rk/5Npp/8/8/8/8/8/6K1 b - - 0 1")));  // smothered
}

// ---------------------------------------------------------------------------------------------
// Static exchange evaluation and the history arithmetic.

namespace {
int see_of(const char* fen, const char* move) {
    const PositionState p = fen_state(fen);
    const Move m = parse_move(p, move, int(std::strlen(move)));
    EXPECT_NE(m, 0u) << move;
    return m ? see(p, m) : 99999;
}
}  // namespace

TEST(ExchangeEvaluation, TextbookCases) {
    EXPECT_EQ(see_of("4k3/8/8/8/3n4/8/8/3RK3 w - - 0 1", "d1d4"), 300);        // undefended knight
    EXPECT_EQ(see_of("4k3/8/4p3/3p4/8/8/8/3RK3 w - - 0 1", "d1d5"), -400);     // pawn defended by pawn
    EXPECT_EQ(see_of("4k3/8/4p3/3p4/8/8/8/3QK3 w - - 0 1", "d1d5"), -900);     // queen for a pawn
    EXPECT_EQ(see_of("4k3/8/8/3p4/8/8/8/3QK3 w - - 0 1", "d1d5"), 100);        // free pawn
    EXPECT_EQ(see_of("4k3/8/4p3/3r4/4P3/8/8/4K3 w - - 0 1", "e4d5"), 400);     // pawn wins the exchange
    EXPECT_EQ(see_of("4k3/8/1n3n2/3p4/8/2N1N3/8/4K3 w - - 0 1", "c3d5"), -200);  // NxP NxN NxN NxN
    EXPECT_EQ(see_of("3k4/8/8/3p4/8/8/8/3RK3 w - - 0 1", "d1d5"), 100);        // king too far
    EXPECT_EQ(see_of("8/8/3k4/3p4/8/8/8/3RK3 w - - 0 1", "d1d5"), -400);       // king recaptures
    EXPECT_EQ(see_of("8/8/3k4/3p4/8/8/6B1/3RK3 w - - 0 1", "d1d5"), 100);      // ...not into a bishop
    EXPECT_EQ(see_of("4k3/8/8/8/8/8/8/4K3 w - - 0 1", "e1f2"), 0);            // quiet king move
}

TEST(ExchangeEvaluation, XRaysBehindTheMovingPiece) {
    // Doubled rooks: the rear rook recaptures through the vacated square.
    EXPECT_EQ(see_of("3r2k1/8/8/3p4/8/8/3R4/3RK3 w - - 0 1", "d2d5"), 100);
    // Without the rear rook the same capture loses the exchange.
    EXPECT_EQ(see_of("3r2k1/8/8/3p4/8/8/3R4/4K3 w - - 0 1", "d2d5"), -400);
    // The defender's x-ray: two black rooks on the file.
    EXPECT_EQ(see_of("3r2k1/3r4/8/3p4/8/8/8/3RK3 w - - 0 1", "d1d5"), -400);
    // Bishop behind bishop on the diagonal: the rear one wins the knight back.
    EXPECT_EQ(see_of("4k3/8/5n2/3p4/2B5/1B6/8/4K3 w - - 0 1", "c4d5"), 100);
    EXPECT_EQ(see_of("4k3/8/5n2/3p4/2B5/8/8/4K3 w - - 0 1", "c4d5"), -200);
    // Queen and bishop battery: the pawn's recapture already gains more than the pawn is worth,
    // so the exchange is cut off there and the bishop's answer is not counted.
    EXPECT_EQ(see_of("4k3/8/4p3/3p4/2Q5/1B6/8/4K3 w - - 0 1", "c4d5"), -900);
    // A pawn capture uncovers the bishop behind it: the pawn recapture is answered by Bxd5.
    EXPECT_EQ(see_of("4k3/8/4p3/3n4/2P5/8/B7/4K3 w - - 0 1", "c4d5"), 300);
    // Promotion onto a square the rook guards: the new queen is lost for the rook's capture.
    EXPECT_EQ(see_of("r6k/4P3/8/8/8/8/8/4K3 w - - 0 1", "e7e8q"), -100);
    // Capture-promotion taken back by the king: rook plus promotion gain minus the queen.
    EXPECT_EQ(see_of("3rk3/4P3/8/8/8/8/8/4K3 w - - 0 1", "e7d8q"), 400);
    // A king capture counts only the captured piece, guarded or not.
    const PositionState p = fen_state("4k3/8/8/8/8/4p3/5p2/4K3 w - - 0 1");
    EXPECT_EQ(see(p, make_move_word(KING, E1, F2) | Move(PAWN) << MOVE_CAPTURED_SHIFT | MOVE_CAPTURE), 100);
}

TEST(HistoryArithmetic, BonusAndAddBounds) {
    EXPECT_EQ(history_bonus(1), 47);
    EXPECT_EQ(history_bonus(30), 36 * 900 + 330);
    EXPECT_EQ(history_bonus(31), 32767);
    EXPECT_EQ(history_bonus(200), 32767);
    auto add = [](int h, int delta) {
        int16_t v = int16_t(h);
        history_add(v, delta);
        return int(v);
    };
    EXPECT_EQ(add(32767, 32767), 32767);
    EXPECT_EQ(add(32767, -32767), -32767);
    EXPECT_EQ(add(-32767, -32767), -32767);
    EXPECT_EQ(add(-32767, 32767), 32767);
    EXPECT_EQ(add(0, 32767), 32767);
    EXPECT_EQ(add(1000, 0), 1000);
    EXPECT_EQ(add(16384, 16384), 16384 + 16384 - 16384 * 16384 / 32767);
    // Every entry stays inside -32767 ... 32767 whatever the sequence of updates.
    for (int h = -32767; h <= 32767; h += 97)
        for (int d = -32767; d <= 32767; d += 89) {
            const int r = add(h, d);
            ASSERT_GE(r, -32767) << h << " " << d;
            ASSERT_LE(r, 32767) << h << " " << d;
        }
}

// ---------------------------------------------------------------------------------------------
// Move picker.

namespace {

struct PickedMove {
    Move move;
    int32_t score;
};

// Installs a position at ply 0 of thread 0 with the given stored killer, counter move and history noise.
SearchThread& picker_root(const PositionState& p, std::mt19937& rng, Move killer, Move counter) {
    SearchThread& t = search_root(p, false);  // the pickers never evaluate
    const Move prev = make_move_word(1 + rng() % 6, rng() % 64, rng() % 64);
    t.move_stack[1] = prev;
    t.move_stack[0] = make_move_word(1 + rng() % 6, rng() % 64, rng() % 64);
    t.killer[0] = killer;
    t.counter_move[p.colour()][move_piece(prev)][move_from(prev)][move_to(prev)] = counter;
    return t;
}

// A stored killer or counter: a quiet move of this position, one of another position, or noise.
Move stored_quiet(const PositionState& p, const std::vector<Move>& other_quiets, std::mt19937& rng) {
    std::vector<Move> own;
    for (Move m : legal_moves(p))
        if (is_quiet(m)) own.push_back(m & MOVE_COMPARE_MASK);
    switch (rng() % 4) {
    case 0: return own.empty() ? 0 : own[rng() % own.size()];
    case 1: return other_quiets.empty() ? 0 : other_quiets[rng() % other_quiets.size()] & MOVE_COMPARE_MASK;
    case 2: return make_move_word(1 + rng() % 6, rng() % 64, rng() % 64) | (rng() % 8 == 0 ? MOVE_CASTLE : 0);
    default: return 0;
    }
}

int category(const PickedMove& pm, bool first_is_tt) {
    if (first_is_tt) return 0;
    if (pm.score >= SCORE_TT_MOVE) return 1;
    if (pm.score == SCORE_KILLER && is_quiet(pm.move)) return 2;
    if (is_quiet(pm.move)) return 3;
    if (pm.score >= REST_LIMIT) return pm.score >= BAD_CAPTURE_LIMIT ? 3 : 4;
    return 5;
}

}  // namespace

TEST(MovePicker, MainPickerYieldsEveryLegalMoveOnceWithItsCheckFlag) {
    fresh_memory(1);
    std::mt19937 rng(99);
    std::vector<Move> previous_quiets;
    int positions_in_check = 0, underpromotion_positions = 0;
    for (const PositionState& p : mixed_positions(1200, 5)) {
        const std::vector<Move> legal = legal_moves(p);
        for (int variant = 0; variant < 2; ++variant) {
            const int depth = variant == 0 ? 1 + int(rng() % 8) : 9 + int(rng() % 20);
            Move tt_m = 0;
            if (!legal.empty() && rng() % 2) tt_m = legal[rng() % legal.size()];
            SearchThread& t = picker_root(p, rng, stored_quiet(p, previous_quiets, rng), stored_quiet(p, previous_quiets, rng));
            MovePicker mp;
            picker_init(mp, t, 0, depth, tt_m, PICK_MAIN);
            std::vector<PickedMove> got;
            int32_t s;
            while (Move m = next_move(mp, t, &s)) {
                got.push_back({m, s});
                ASSERT_LT(got.size(), 400u);
            }
            // Expected: every legal move; underpromotions only deeper than 8 plies (or as the table move).
            std::multiset<Move> want;
            for (Move m : legal)
                if (!is_underpromotion(m) || depth > 8 || m == tt_m) want.insert(m);
            std::multiset<Move> have;
            for (const PickedMove& pm : got) have.insert(pm.move);
            ASSERT_EQ(have, want) << "depth " << depth << " in check " << p.in_check();
            if (tt_m) {
                ASSERT_EQ(got[0].move, tt_m);
                EXPECT_EQ(got[0].score, SCORE_TT_MOVE);
            }
            // Stage order: table move, good captures, killer/counter, quiets and losing captures, rest.
            int last = 0;
            for (size_t i = 0; i < got.size(); ++i) {
                const int c = category(got[i], tt_m && i == 0);
                EXPECT_GE(c, last) << "move " << i << " score " << got[i].score;
                last = std::max(last, c);
                const Move m = got[i].move;
                const bool losing = (m & MOVE_CAPTURE) && SEE_VALUE[move_captured(m)] < SEE_VALUE[move_piece(m)] &&
                                    see(p, m) < 0;
                if (c == 1 && (m & MOVE_CAPTURE)) { EXPECT_FALSE(losing); }
                if (got[i].score < BAD_CAPTURE_LIMIT && got[i].score >= REST_LIMIT) { EXPECT_TRUE(losing); }
                if (p.in_check()) { EXPECT_NE(c, 2) << "no killer or counter stage in check"; }
            }
            positions_in_check += p.in_check();
            for (Move m : legal) underpromotion_positions += is_underpromotion(m) && depth > 8;
        }
        for (Move m : legal)
            if (is_quiet(m)) previous_quiets.push_back(m);
        if (previous_quiets.size() > 64) previous_quiets.erase(previous_quiets.begin(), previous_quiets.begin() + 32);
    }
    EXPECT_GT(positions_in_check, 50);
    EXPECT_GT(underpromotion_positions, 20);
}

TEST(MovePicker, SkipQuietsDropsOnlyTheRemainingQuietMoves) {
    fresh_memory(1);
    std::mt19937 rng(1234);
    std::vector<Move> previous_quiets;
    for (const PositionState& p : mixed_positions(800, 8)) {
        const std::vector<Move> legal = legal_moves(p);
        if (legal.size() < 2) continue;
        const int depth = 1 + int(rng() % 16);
        const Move tt_m = rng() % 2 ? legal[rng() % legal.size()] : 0;
        SearchThread& t = picker_root(p, rng, stored_quiet(p, previous_quiets, rng), stored_quiet(p, previous_quiets, rng));
        MovePicker mp;
        picker_init(mp, t, 0, depth, tt_m, PICK_MAIN);
        const size_t skip_after = 1 + rng() % 4;
        std::multiset<Move> before, after;
        int32_t s;
        while (Move m = next_move(mp, t, &s)) {
            if (before.size() < skip_after) {
                before.insert(m);
                if (before.size() == skip_after) mp.skip_quiets = true;
            } else {
                after.insert(m);
                ASSERT_FALSE(is_quiet(m)) << "quiet move after skip_quiets";
            }
        }
        // No capture or promotion may be lost.
        for (Move m : legal) {
            if (is_quiet(m) || (is_underpromotion(m) && depth <= 8 && m != tt_m)) continue;
            ASSERT_EQ(before.count(m) + after.count(m), 1u) << std::hex << m;
        }
        for (Move m : legal)
            if (is_quiet(m)) previous_quiets.push_back(m);
        if (previous_quiets.size() > 64) previous_quiets.erase(previous_quiets.begin(), previous_quiets.begin() + 32);
    }
}

TEST(MovePicker, KillerAndCounterComeAfterGoodCapturesAndOnlyOnce) {
    // Quiet position: killer Nf3 and counter move d4 given as stored moves.
    fresh_memory(1);
    const PositionState p = fen_state("rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq - 0 2");
    std::mt19937 rng(3);
    const Move nf3 = make_move_word(KNIGHT, G1, F3), d4 = make_move_word(PAWN, D2, D4);
    SearchThread& t = picker_root(p, rng, nf3, d4);
    MovePicker mp;
    picker_init(mp, t, 0, 5, 0, PICK_MAIN);
    int32_t s;
    std::vector<Move> got;
    while (Move m = next_move(mp, t, &s)) {
        got.push_back(m & ~MOVE_CHECK);
        if (got.size() <= 2) { EXPECT_EQ(s, SCORE_KILLER); }
    }
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[0], nf3);
    EXPECT_EQ(got[1], d4);
    EXPECT_EQ(std::count(got.begin(), got.end(), nf3), 1);
    EXPECT_EQ(std::count(got.begin(), got.end(), d4), 1);
    EXPECT_EQ(mp.counter, d4);
    // The killer equal to the table move is not given twice.
    SearchThread& t2 = picker_root(p, rng, nf3, 0);
    picker_init(mp, t2, 0, 5, gives_check(p, nf3), PICK_MAIN);
    got.clear();
    while (Move m = next_move(mp, t2, &s)) got.push_back(m & ~MOVE_CHECK);
    EXPECT_EQ(std::count(got.begin(), got.end(), nf3), 1);
}

TEST(MovePicker, QuiescencePickerMoveSets) {
    fresh_memory(1);
    std::mt19937 rng(17);
    int quiet_checks = 0;
    for (const PositionState& p : mixed_positions(1200, 41)) {
        const std::vector<Move> legal = legal_moves(p);
        for (int depth : {0, -1, -5}) {
            const Move tt_m = (!legal.empty() && rng() % 3 == 0) ? legal[rng() % legal.size()] : 0;
            SearchThread& t = picker_root(p, rng, 0, 0);
            MovePicker mp;
            picker_init(mp, t, 0, depth, tt_m, PICK_QSEARCH);
            std::multiset<Move> have;
            int32_t s;
            bool first = true;
            while (Move m = next_qsearch_move(mp, t, &s)) {
                if (first && tt_m) { EXPECT_EQ(m, tt_m); }
                first = false;
                have.insert(m);
                ASSERT_LT(have.size(), 400u);
            }
            std::multiset<Move> want;
            for (Move m : legal) {
                bool in;
                if (m == tt_m) in = true;
                else if (p.in_check()) in = !is_underpromotion(m);
                else if (m & MOVE_CAPTURE) in = !is_underpromotion(m);
                else if (m & MOVE_PROMOTION) in = move_promotion(m) == QUEEN;
                else in = depth == 0 && (m & MOVE_CHECK) && !(m & MOVE_CASTLE);
                if (in) want.insert(m);
                quiet_checks += in && is_quiet(m) && !p.in_check();
            }
            ASSERT_EQ(have, want) << "depth " << depth << " in check " << p.in_check();
        }
    }
    EXPECT_GT(quiet_checks, 100);
}

TEST(MovePicker, ProbCutPickerGivesTacticalMovesOnly) {
    fresh_memory(1);
    std::mt19937 rng(71);
    for (const PositionState& p : random_positions(false, 600, 73)) {
        if (p.in_check()) continue;
        const std::vector<Move> legal = legal_moves(p);
        const Move tt_m = (!legal.empty() && rng() % 2) ? legal[rng() % legal.size()] : 0;
        SearchThread& t = picker_root(p, rng, 0, 0);
        MovePicker mp;
        picker_init(mp, t, 0, 8, tt_m, PICK_PROBCUT);
        std::multiset<Move> have, want;
        int32_t s;
        while (Move m = next_probcut_move(mp, t, &s)) have.insert(m);
        for (Move m : legal)
            if ((m == tt_m && !is_quiet(m)) || ((m & MOVE_CAPTURE) && !is_underpromotion(m)) ||
                ((m & MOVE_PROMOTION) && move_promotion(m) == QUEEN))
                want.insert(m);
        ASSERT_EQ(have, want);
    }
}

// ---------------------------------------------------------------------------------------------
// Node functions.

TEST(SearchNodes, BareMinorPieceIsADrawAtOnce) {
    fresh_memory(16);
    const PositionState s = fen_state("8/8/4k3/8/8/3BK3/8/8 w - - 0 1");
    // A deep exact entry claiming a win must not be consulted.
    tt.generation = 0;
    tt_store(s.key, tt_pack(50, 0, TT_EXACT, 900, 300));
    for (int draw : {0, 20}) {
        options.draw_score = draw;
        SearchThread& t = search_root(s);
        EXPECT_EQ(search(t, NODE_PV, 2, 12, -SCORE_INFINITE, SCORE_INFINITE, 0), draw);
        EXPECT_EQ(search(t, NODE_PV, 3, 12, -SCORE_INFINITE, SCORE_INFINITE, 0), -draw);
        EXPECT_EQ(qsearch(t, NODE_ALL, 5, 0, -1, 0), -draw);
        EXPECT_EQ(t.nodes.load(), 3);  // one node each, nothing below
    }
    options.draw_score = 0;
}

TEST(SearchNodes, RepetitionScoresTheDrawScoreByPlyParity) {
    fresh_memory(16);
    auto pos = std::make_unique<Position>();
    ASSERT_EQ(set_position(*pos, START_FEN, "g1f3 g8f6 f3g1 f6g8"), 2);
    const PositionState s = *pos->current;
    ASSERT_TRUE(s.flags & REPETITION);
    options.draw_score = 20;
    SearchThread& t = search_root(s);
    EXPECT_EQ(search(t, NODE_PV, 3, 6, -SCORE_INFINITE, SCORE_INFINITE, 0), -20);
    EXPECT_EQ(search(t, NODE_PV, 4, 6, -SCORE_INFINITE, SCORE_INFINITE, 0), 20);
    EXPECT_EQ(qsearch(t, NODE_PV, 3, 0, -SCORE_INFINITE, SCORE_INFINITE), -20);
    options.draw_score = 0;
}

TEST(SearchNodes, FiftyMoveRuleGivesWayToCheckmate) {
    fresh_memory(16);
    options.draw_score = 7;
    const PositionState mated = fen_state("7k/6Q1/6K1/8/8/8/8/8 b - - 100 80");
    ASSERT_EQ(mated.rule50, 100);
    SearchThread& t = search_root(mated);
    EXPECT_EQ(search(t, NODE_PV, 2, 5, -SCORE_INFINITE, SCORE_INFINITE, 0), 2 - MATE);
    EXPECT_EQ(qsearch(t, NODE_PV, 3, 0, -SCORE_INFINITE, SCORE_INFINITE), 3 - MATE);
    // Stalemated at the fifty-move mark, or simply with moves left: the draw score.
    SearchThread& t2 = search_root(fen_state("7k/5Q2/6K1/8/8/8/8/8 b - - 100 80"));
    EXPECT_EQ(search(t2, NODE_PV, 2, 5, -SCORE_INFINITE, SCORE_INFINITE, 0), 7);
    SearchThread& t3 = search_root(fen_state("7k/8/6K1/8/8/8/8/Q7 b - - 100 80"));
    EXPECT_EQ(search(t3, NODE_PV, 1, 5, -SCORE_INFINITE, SCORE_INFINITE, 0), -7);
    options.draw_score = 0;
}

TEST(SearchNodes, MateAndStalemateWithoutTheFiftyMoveRule) {
    fresh_memory(16);
    SearchThread& t = search_root(fen_state("7k/6Q1/6K1/8/8/8/8/8 b - - 0 1"));
    EXPECT_EQ(search(t, NODE_PV, 4, 3, -SCORE_INFINITE, SCORE_INFINITE, 0), 4 - MATE);
    EXPECT_EQ(qsearch(t, NODE_ALL, 4, -3, -1, 0), 4 - MATE);
    SearchThread& t2 = search_root(fen_state("7k/5Q2/6K1/8/8/8/8/8 b - - 0 1"));
    EXPECT_EQ(search(t2, NODE_PV, 4, 3, -SCORE_INFINITE, SCORE_INFINITE, 0), 0);
}

TEST(SearchNodes, MateInOneIsFoundFromBothSides) {
    fresh_memory(16);
    // White mates with Ra8: score mate in 1 ply from this node.
    SearchThread& t = search_root(fen_state("6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1"));
    EXPECT_EQ(search(t, NODE_PV, 0, 3, -SCORE_INFINITE, SCORE_INFINITE, 0), MATE - 1);
    // Black's only move walks into Ra8 mate: mated in 2 plies.
    SearchThread& t2 = search_root(fen_state("7k/8/6K1/8/8/8/8/R7 b - - 0 1"));
    EXPECT_EQ(search(t2, NODE_PV, 0, 4, -SCORE_INFINITE, SCORE_INFINITE, 0), 2 - MATE);
}

TEST(SearchNodes, MateDistancePruningClosesTheWindow) {
    fresh_memory(16);
    SearchThread& t = search_root(fen_state("r1bqkbnr/pppp1ppp/2n5/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R w KQkq - 2 3"));
    EXPECT_EQ(search(t, NODE_ALL, 10, 6, 32760, 32761, 0), 32760);
    EXPECT_EQ(t.nodes.load(), 1);
}

TEST(SearchNodes, ExcludingTheOnlyMoveReturnsAlpha) {
    fresh_memory(16);
    const PositionState s = fen_state("7k/8/6K1/8/8/8/8/R7 b - - 0 1");
    const std::vector<Move> legal = legal_moves(s);
    ASSERT_EQ(legal.size(), 1u);
    SearchThread& t = search_root(s);
    EXPECT_EQ(search(t, NODE_ALL, 2, 4, -50, -49, legal[0]), -50);
}

TEST(SearchNodes, ExactTableEntryCutsOffInPVNodes) {
    fresh_memory(16);
    const PositionState s = fen_state("8/8/4k3/8/8/4K3/4P3/8 w - - 0 1");
    tt.generation = TT_GENERATION_STEP;
    tt_store(s.key, tt_pack(9, 0, TT_EXACT, score_to_tt(MATE - 7, 3), 12));
    SearchThread& t = search_root(s);
    // Stored at ply 3 as mate in 7 plies from the root, read at ply 5: two plies later.
    EXPECT_EQ(search(t, NODE_PV, 5, 9, -SCORE_INFINITE, SCORE_INFINITE, 0), MATE - 9);
    EXPECT_EQ(t.nodes.load(), 1);
    // Not deep enough: no cut-off.
    EXPECT_NE(search(t, NODE_PV, 5, 10, -SCORE_INFINITE, SCORE_INFINITE, 0), MATE - 9);
}

TEST(SearchNodes, NodesAtThePlyBoundDoNotExpand) {
    fresh_memory(16);
    // A tactical position placed at ply 999 of the stacks: its children sit at the bound.
    const PositionState s = fen_state("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1");
    SearchThread& t = search_root(s, false);
    const int ply = MAX_SEARCH_PLY - 1;
    t.position.states[ply] = s;
    t.position.current = t.position.states + ply;
    refresh_perspective(s, false, t.accumulators[ply].values[0]);
    refresh_perspective(s, true, t.accumulators[ply].values[1]);
    t.accumulators[ply].computed = 1;
    for (int depth : {1, 4}) {
        t.sel_depth = 0;
        search(t, NODE_PV, ply, depth, -SCORE_INFINITE, SCORE_INFINITE, 0);
        EXPECT_EQ(t.sel_depth, MAX_SEARCH_PLY);
        EXPECT_EQ(t.position.current, t.position.states + ply);
        t.sel_depth = 0;
        tt_clear_range(0, tt.mask + 1);  // no table cut-off from the search above
        qsearch(t, NODE_PV, ply, 0, -SCORE_INFINITE, SCORE_INFINITE);
        EXPECT_EQ(t.sel_depth, MAX_SEARCH_PLY);
    }
    EXPECT_LT(MAX_SEARCH_PLY + 2, MAX_PLY);
    EXPECT_LE(MAX_GAME_RECORDS + MAX_SEARCH_PLY, POSITION_STACK_SIZE - 1);
}

TEST(SearchNodes, QuiescenceDepthFloorReturnsTheEvaluation) {
    fresh_memory(16);
    // White can win a queen, but below depth -16 only the evaluation counts.
    const PositionState s = fen_state("4k3/8/8/3q4/4P3/8/8/4K3 w - - 0 1");
    SearchThread& t = search_root(s);
    const int floor_value = qsearch(t, NODE_PV, 20, -17, -SCORE_INFINITE, SCORE_INFINITE);
    EXPECT_EQ(t.nodes.load(), 1);     // no capture was searched
    EXPECT_EQ(slot_data(s.key), 0u);  // nothing stored below the floor
    EXPECT_EQ(floor_value, evaluate(t, 20));
    qsearch(t, NODE_PV, 20, -3, -SCORE_INFINITE, SCORE_INFINITE);
    EXPECT_GT(t.nodes.load(), 2);     // one ply higher the capture is searched
    EXPECT_NE(slot_data(s.key), 0u);  // and the node stores itself
}

// ---------------------------------------------------------------------------------------------
// Time budget and the go driver's limits.

TEST(TimeBudget, WorkedExamples) {
    // One legal move, 60 s, no increment: (8 x 59900 / 130) / 20.
    EXPECT_EQ(time_budget(60000, 0, 0, 0, 1, 100, false), 184);
    // movetime 1000: t = 900, e = 8 x 900 / 20 + 2000, capped at t.
    EXPECT_EQ(time_budget(1000, 1000, 1, 0, 30, 100, false), 900);
    EXPECT_EQ(time_budget(60000, 0, 0, 0, 20, 100, false), 8 * 59900 / 130);
    EXPECT_EQ(time_budget(60000, 0, 0, 70, 20, 100, false), 8 * 59900 / 70);
    EXPECT_EQ(time_budget(60000, 600, 0, 10, 20, 100, false), 8 * 59900 / 95 + 1200);
    EXPECT_EQ(time_budget(60000, 600, 0, 60, 20, 100, false), 8 * 59900 / 45 + 1200);
    EXPECT_EQ(time_budget(60000, 0, 40, 0, 20, 100, false), 8 * 59900 / 98);
    EXPECT_EQ(time_budget(60000, 0, 0, 0, 20, 100, true), 3686 + 368);
    EXPECT_EQ(time_budget(50, 0, 0, 0, 20, 100, false), 0);  // less than the overhead
}

TEST(TimeBudget, AbsurdClocksDoNotOverflow) {
    const int64_t huge[] = {INT64_MAX, INT64_MAX / 2, int64_t(1) << 62, int64_t(1) << 60};
    for (int64_t v : huge) {
        for (int mtg : {0, 1, 30}) {
            const int64_t b = time_budget(v, 0, mtg, 0, 20, 100, false);
            EXPECT_GT(b, 0) << v << " " << mtg;
            EXPECT_LE(b, v) << v;
            const int64_t c = time_budget(v, v, mtg, 0, 20, 100, true);  // movetime-like
            EXPECT_GT(c, 0) << v << " " << mtg;
            EXPECT_LE(c, v);
        }
    }
}

namespace {
// Runs the go driver in this thread on a position with the given limits.
void run_go_on(const char* fen, int64_t time_left, int64_t increment, int moves_to_go, int64_t node_limit,
               int depth_limit, int thread_count = 1) {
    fresh_memory(16, thread_count);
    SearchThread& t = threads[0];
    ASSERT_GE(set_position(t.position, fen, nullptr), 0);
    t.root_end = generate_root_moves(t, t.root_moves);
    control.mode.store(Normal);
    control.time_left = time_left;
    control.increment = increment;
    control.node_limit = node_limit;
    control.moves_to_go = moves_to_go;
    control.depth_limit = depth_limit;
    control.game_moves = 0;
    control.stop.store(0);
    search_gate.acquire();
    testing::internal::CaptureStdout();
    run_go();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("bestmove "), std::string::npos);
}
}  // namespace

TEST(GoDriver, DeadlinesOfTheWorkedExamples) {
    // Only one legal move (Kg8): budget 184 ms, soft deadline 48 ms.
    run_go_on("7k/8/6K1/8/8/8/8/R7 b - - 0 1", 60000, 0, 0, INT64_MAX, 200);
    EXPECT_EQ(control.hard_deadline - control.start_time, 184);
    EXPECT_EQ(control.soft_deadline - control.start_time, 48);
    EXPECT_EQ(control.check_interval, 5 * 184 + 5);
    // movetime 1000.
    run_go_on("r1bqkbnr/pppp1ppp/2n5/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R w KQkq - 2 3", 1000, 1000, 1, INT64_MAX, 3);
    EXPECT_EQ(control.hard_deadline - control.start_time, 900);
    EXPECT_EQ(control.soft_deadline - control.start_time, 239);
    // Less time than the overhead: budget 0, check every 5 nodes.
    run_go_on("r1bqkbnr/pppp1ppp/2n5/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R w KQkq - 2 3", 50, 0, 0, INT64_MAX, 200);
    EXPECT_EQ(control.hard_deadline, control.start_time);
    EXPECT_EQ(control.check_interval, 5);
}

TEST(GoDriver, NodeLimitStopsThreadZeroAtItsFirstCheck) {
    run_go_on("r1bqkbnr/pppp1ppp/2n5/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R w KQkq - 2 3", 1000000000000LL, 0, 0, 1000, 200);
    EXPECT_EQ(control.check_interval, 1000);
    EXPECT_EQ(threads[0].nodes.load(), 1000);
    run_go_on("r1bqkbnr/pppp1ppp/2n5/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R w KQkq - 2 3", 1000000000000LL, 0, 0, 1234, 200, 2);
    EXPECT_EQ(threads[0].nodes.load(), 1234);
}

// Deepens the root search of t under a node cap of its own; true when the cap cut it off.
bool deepen_until_aborted(SearchThread& t, int64_t cap) {
    t.nodes.store(0);
    t.node_limit = cap;
    t.accumulators[0].computed = 0;
    t.move_stack[0] = t.move_stack[1] = 0;
    if (setjmp(t.abort_point)) return true;
    for (int d = 1; d <= 40; ++d) root_search(t, 0, d, -SCORE_INFINITE, SCORE_INFINITE);
    return false;
}

TEST(SearchNodes, AThreadsOwnNodeCapAbortsToItsSavedPointAndLeavesTheRootIntact) {
    fresh_memory(16, 2);
    const PositionState s = fen_state("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1");
    search_root(s, false);  // sets the shared limits to "none"
    SearchThread& t = threads[1];
    EXPECT_EQ(t.node_limit, INT64_MAX);  // a new block carries no cap
    t.position.states[0] = s;
    t.position.current = t.position.states;
    t.position.prior_move = t.position.last_move = 0;
    t.root_end = generate_root_moves(t, t.root_moves);
    std::vector<Move> before;
    for (RootMove* r = t.root_moves; r < t.root_end; ++r) before.push_back(r->move);
    for (int64_t cap : {1, 37, 5000}) {
        EXPECT_TRUE(deepen_until_aborted(t, cap)) << cap;
        t.position.current = t.position.states;
        EXPECT_EQ(t.nodes.load(), cap) << cap;
        // The root list is reordered, never lost or duplicated.
        std::vector<Move> after;
        for (RootMove* r = t.root_moves; r < t.root_end; ++r) after.push_back(r->move);
        std::sort(before.begin(), before.end());
        std::sort(after.begin(), after.end());
        EXPECT_EQ(before, after) << cap;
    }
    t.node_limit = INT64_MAX;
    EXPECT_EQ(control.stop.load(), 0);  // the cap is the thread's own; the shared stop is untouched
}

TEST(GoDriver, DepthLimitEndsTheSearchAndTheTableHoldsTheRootResult) {
    run_go_on("6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1", 1000000000000LL, 0, 0, INT64_MAX, 4);
    EXPECT_EQ(control.completed_depth.load(), 4);
    const SearchThread& t = threads[0];
    uint64_t d;
    ASSERT_TRUE(tt_probe(t.position.current->key, d));
    EXPECT_EQ(d & TT_BOUND_MASK, TT_EXACT);
    EXPECT_EQ(tt_depth(d), 4);
    EXPECT_EQ(tt_raw_score(d), MATE - 1);
    EXPECT_EQ(validate_tt_move(*t.position.current, tt_move(d)), t.root_moves[0].move);
}

// ---------------------------------------------------------------------------------------------
// Info line: the principal-variation walk over table moves.

namespace {
// A long walk of quiet moves that never repeats a position and never shares a table slot.
std::vector<Move> unique_walk(Position& pos, size_t length, std::mt19937& rng) {
    std::unordered_set<uint64_t> keys, slots;
    keys.insert(pos.current->key);
    slots.insert(pos.current->key & tt.mask);
    std::vector<Move> walk;
    while (walk.size() < length) {
        std::vector<Move> moves = legal_moves(*pos.current);
        std::shuffle(moves.begin(), moves.end(), rng);
        bool moved = false;
        for (Move m : moves) {
            if (!is_quiet(m) || (m & MOVE_CHECK)) continue;  // no checks: the walk never gets cornered
            make_move(pos, m, nullptr);
            const uint64_t k = pos.current->key;
            if (!keys.count(k) && !slots.count(k & tt.mask) && !legal_moves(*pos.current).empty()) {
                keys.insert(k);
                slots.insert(k & tt.mask);
                walk.push_back(m);
                moved = true;
                if (pos.current - pos.states >= POSITION_STACK_SIZE - 2) {
                    pos.states[0] = *pos.current;
                    pos.current = pos.states;
                }
                break;
            }
            unmake(pos);
        }
        if (!moved) break;
    }
    return walk;
}
}  // namespace

TEST(InfoLine, PrincipalVariationWalkIsBoundedByThePositionStack) {
    fresh_memory(16);
    options.chess960 = false;
    std::mt19937 rng(2024);
    auto scratch = std::make_unique<Position>();
    ASSERT_GE(set_position(*scratch, "q3k2r/1r2n3/2b5/8/8/5N2/3R1B2/Q3K2R w - - 0 1", nullptr), 0);
    const PositionState root = *scratch->current;
    const std::vector<Move> walk = unique_walk(*scratch, POSITION_STACK_SIZE + 60, rng);
    ASSERT_EQ(walk.size(), size_t(POSITION_STACK_SIZE + 60)) << "walk got stuck";
    // Exact entries along the whole chain.
    scratch->states[0] = root;
    scratch->current = scratch->states;
    tt.generation = 0;
    for (Move m : walk) {
        tt_store(scratch->current->key, tt_pack(5, move_to_tt(m), TT_EXACT, 0, 0));
        // Re-make from the stored record: the chain positions follow one another.
        make_move(*scratch, m, nullptr);
        if (scratch->current - scratch->states >= POSITION_STACK_SIZE - 1) {
            scratch->states[0] = *scratch->current;
            scratch->current = scratch->states;
        }
    }
    SearchThread& t = search_root(root);
    t.root_moves[0] = {walk[0], 0};
    t.root_end = t.root_moves + 1;
    t.root_scores[0] = 37;
    t.position.prior_move = 0x5A5A5A5A;
    t.position.last_move = 0xA5A5A5A5;
    t.move_stack[0] = 0x12345678;
    PositionState* const root_record = t.position.current;
    testing::internal::CaptureStdout();
    print_info(t, 0, SCORE_NONE, 10, 1000, 0, 7, 9);
    const std::string line = testing::internal::GetCapturedStdout();
    EXPECT_EQ(t.position.current, root_record);
    EXPECT_EQ(t.position.prior_move, 0x5A5A5A5Au);
    EXPECT_EQ(t.position.last_move, 0xA5A5A5A5u);
    EXPECT_EQ(t.move_stack[0], 0x12345678u);
    ASSERT_EQ(line.rfind("info multipv 1 depth 7 seldepth 9 time 10 nodes 1000 nps 90909 tbhits 0 hashfull 0 score cp 37 pv ", 0), 0u)
        << line.substr(0, 200);
    const size_t pv = line.find(" pv ") + 4;
    size_t moves = 0;
    for (size_t i = pv; i < line.size(); ++i) moves += line[i] == ' ';
    // The root move plus one move per free record above it.
    EXPECT_EQ(moves, size_t(POSITION_STACK_SIZE - 1));
}

TEST(InfoLine, WalkStopsAtRepetitionMissingOrInexactEntries) {
    fresh_memory(16);
    auto scratch = std::make_unique<Position>();
    set_position(*scratch, START_FEN, nullptr);
    const PositionState root = *scratch->current;
    // Nf3 Nf6 Ng1 Ng8 cycles back to the start: the walk ends at the repeated position.
    const char* texts[] = {"g1f3", "g8f6", "f3g1", "f6g8"};
    std::vector<Move> cycle;
    for (const char* m : texts) {
        const Move mv = parse_move(*scratch->current, m, 4);
        ASSERT_NE(mv, 0u);
        cycle.push_back(mv);
        tt_store(scratch->current->key, tt_pack(3, move_to_tt(mv), TT_EXACT, 0, 0));
        make_move(*scratch, mv, nullptr);
    }
    SearchThread& t = search_root(root);
    t.root_moves[0] = {cycle[0], 0};
    t.root_scores[0] = MATE - 3;
    testing::internal::CaptureStdout();
    print_info(t, 0, SCORE_NONE, 0, 0, 0, 4, 4);
    std::string line = testing::internal::GetCapturedStdout();
    EXPECT_NE(line.find("score mate 2 pv g1f3 g8f6 f3g1 f6g8 \n"), std::string::npos) << line;
    // A lower bound in the chain ends the walk there.
    scratch->current = scratch->states + 1;
    tt_store(scratch->current->key, tt_pack(3, move_to_tt(cycle[1]), TT_LOWER, 0, 0));
    t.root_scores[0] = 4 - MATE;
    testing::internal::CaptureStdout();
    print_info(t, 0, SCORE_NONE, 0, 0, 0, 4, 4);
    line = testing::internal::GetCapturedStdout();
    EXPECT_NE(line.find("score mate -2 pv g1f3 \n"), std::string::npos) << line;
    // A tablebase score replaces an ordinary score but not a mate score.
    t.root_scores[0] = 15;
    testing::internal::CaptureStdout();
    print_info(t, 0, 32400, 0, 0, 0, 4, 4);
    line = testing::internal::GetCapturedStdout();
    EXPECT_NE(line.find("score cp 29874 pv"), std::string::npos) << line;
}

// Mates within 39 plies lie above every tablebase value and are mates; everything from a
// tablebase result down to the edge of the mate band is centipawns, in the internal order.
TEST(InfoLine, ScoreBands) {
    const std::pair<int, UciScore> cases[] = {
        {MATE - 1, {true, 1}},
        {2 - MATE, {true, -1}},
        {TB_SCORE_TOP + 1, {true, 20}},
        {-TB_SCORE_TOP - 1, {true, -19}},
        {TB_SCORE_TOP, {false, TB_CP + 200}},
        {-TB_SCORE_TOP, {false, -TB_CP - 200}},
        {TB_WIN - 30, {false, TB_CP - 30}},
        {30 - TB_WIN, {false, 30 - TB_CP}},
        {MATE_BAND, {false, MATE_BAND}},
        {-MATE_BAND, {false, -MATE_BAND}},
    };
    for (const auto& [s, want] : cases) {
        const UciScore got = uci_score(s);
        EXPECT_EQ(got.mate, want.mate) << s;
        EXPECT_EQ(got.value, want.value) << s;
    }
    // Tablebase-derived values stay above (below) every score the evaluation can produce.
    EXPECT_GT(uci_score(TB_WIN - 200 - MAX_SEARCH_PLY).value, 25766);
}
