// Accumulator stack and refresh cache against a slow reference written from the feature rules, on a
// random network; output-layer rounding and clamping; the netpack tool.
#include <gtest/gtest.h>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>
#include "board/board.h"
#include "board/movegen.h"
#include "board/tables.h"
#include "engine/options.h"
#include "eval/evaluate.h"
#include "eval/network.h"
#include "eval/network_format.h"

namespace {

// First-layer sums of one perspective, square by square, without the engine's feature code.
// other = false: the side to move; true: the side not to move (its frame is the ranks flipped).
void reference_half(const PositionState& s, bool other, int16_t* out) {
    const Bitboard mine = other ? s.by_type[0] ^ s.own : s.own;
    const int flip = other ? 56 : 0;
    const int king = lsb(s.by_type[KING] & mine) ^ flip;
    const int file = king % 8, bucket = 4 * (king / 8) + (file <= 3 ? file : 7 - file);
    const int mirror = file >= 4 ? 7 : 0;
    for (int i = 0; i < FT_NEURONS; ++i) out[i] = network.ft_biases[i];
    for (int sq = 0; sq < 64; ++sq) {
        int type = NO_PIECE;
        for (int t = PAWN; t <= KING; ++t)
            if (s.by_type[t] & bit(sq)) type = t;
        if (type == NO_PIECE || type == KING) continue;
        const int slot = (mine & bit(sq)) ? type - 1 : type + 4;
        const size_t row = size_t(640 * bucket + 64 * slot + ((sq ^ flip) ^ mirror)) * FT_NEURONS;
        for (int i = 0; i < FT_NEURONS; ++i) out[i] = int16_t(uint16_t(out[i]) + uint16_t(network.ft_weights[row + i]));
    }
}

int reference_output(const int16_t* to_move, const int16_t* other, int pieces) {
    const int bucket = (pieces - 1) / 4;
    const int8_t* w = network.out_weights + bucket * OUT_INPUTS;
    int64_t sum = network.out_biases[bucket];
    for (int i = 0; i < FT_NEURONS; ++i) {
        sum += std::clamp(to_move[i] >> 1, 0, 127) * w[i];
        sum += std::clamp(other[i] >> 1, 0, 127) * w[FT_NEURONS + i];
    }
    return int(std::clamp<int64_t>(sum / 64, -25766, 25766));
}

struct Halves {
    int16_t v[2][FT_NEURONS];
};

std::unique_ptr<Halves> reference_halves(const PositionState& s) {
    auto h = std::make_unique<Halves>();
    reference_half(s, false, h->v[0]);
    reference_half(s, true, h->v[1]);
    return h;
}

int reference_eval(const PositionState& s) {
    auto h = reference_halves(s);
    return reference_output(h->v[0], h->v[1], popcount(s.by_type[0]));
}

bool same_half(const int16_t* a, const int16_t* b) { return std::memcmp(a, b, FT_NEURONS * 2) == 0; }

std::vector<Move> legal_moves(const PositionState& p) {
    Move moves[256];
    const int n = generate_legal(p, moves);
    return std::vector<Move>(moves, moves + n);
}

// Packs parameters into a block and makes it the global network; the embedded one comes back after.
class NetworkUnderTest : public testing::Test {
protected:
    static void SetUpTestSuite() { init_board_tables(); }
    void TearDown() override {
        load_network(tarnvik_network_block);
        eval_kernel = best_eval_kernel();
        options.chess960 = false;
    }
    void install(const NetworkParams& p) {
        ASSERT_TRUE(pack_network(p, block));
        load_network(block.data());
    }
    // Moderate random weights so that the clipped range is crossed on both sides, different in
    // every bucket, square and perspective.
    void install_random(uint32_t seed) {
        std::mt19937 rng(seed);
        auto p = std::make_unique<NetworkParams>();
        for (auto& w : p->ft_weights) w = int16_t(int(rng() % 401) - 200);
        for (auto& b : p->ft_biases) b = int16_t(int(rng() % 512) - 128);
        for (auto& w : p->out_weights) w = int8_t(rng());
        for (auto& b : p->out_biases) b = int32_t(rng() % 200001) - 100000;
        install(*p);
    }
    std::unique_ptr<SearchThread> new_thread() {
        auto t = std::make_unique<SearchThread>();
        clear_refresh_cache(t->refresh_cache);
        for (auto& a : t->accumulators) a.computed = 0;
        return t;
    }
    void set(SearchThread& t, const char* fen, const char* moves = nullptr) {
        ASSERT_GE(set_position(t.position, fen, moves), 0) << fen;
        for (auto& a : t.accumulators) a.computed = 0;
    }
    // Plays a move given as text from ply `ply`, as the search does.
    void play(SearchThread& t, int ply, const char* text) {
        const Move m = parse_move(*t.position.current, text, int(std::strlen(text)));
        ASSERT_NE(m, 0u) << text;
        make_move(t.position, gives_check(*t.position.current, m), &t.accumulators[ply]);
        t.accumulators[ply + 1].computed = 0;
    }
    // Every computed entry 0..n against the reference of the position at its ply.
    void expect_entries_exact(const SearchThread& t, int n) {
        for (int k = 0; k <= n; ++k) {
            const Accumulator& a = t.accumulators[k];
            if (!a.computed) continue;
            auto h = reference_halves(*(t.position.current - (n - k)));
            ASSERT_TRUE(same_half(a.values[0], h->v[0])) << "ply " << k << " of " << n << ", side to move";
            ASSERT_TRUE(same_half(a.values[1], h->v[1])) << "ply " << k << " of " << n << ", other side";
        }
    }
    // Every occupied cache slot holds the refresh of the side not to move of the position it records.
    void expect_cache_exact(const SearchThread& t) {
        auto out = std::make_unique<Halves>();
        for (int half = 0; half < 2; ++half)
            for (int z = 0; z < 64; ++z)
                for (int j = 0; j < 2; ++j) {
                    const RefreshSlot& s = t.refresh_cache.slots[half][z][j];
                    if (s.boards[0] == ~Bitboard(0)) continue;
                    PositionState p{};
                    std::memcpy(p.by_type, s.boards, 7 * sizeof(Bitboard));
                    p.own = s.boards[7];
                    ASSERT_EQ(lsb(p.by_type[KING] & ~p.own), z);
                    reference_half(p, true, out->v[0]);
                    ASSERT_TRUE(same_half(s.values, out->v[0])) << "half " << half << " square " << z << " slot " << j;
                }
    }
    std::vector<uint8_t> block;
};

// Depth-first walks as the search makes them: siblings after unmaking, null moves, evaluations at
// some nodes only, so that updates start from older plies and deeper entries are stale.
class SearchLikeWalks : public NetworkUnderTest, public testing::WithParamInterface<bool> {
protected:
    void walk(SearchThread& t, int ply, int depth, std::mt19937_64& rng, int& evaluated) {
        const PositionState& p = *t.position.current;
        if (!p.in_check() && (depth == 0 || rng() % 2 == 0)) {
            const int v = evaluate(t, ply);
            ASSERT_EQ(v, reference_eval(p)) << "ply " << ply;
            expect_entries_exact(t, ply);
            ++evaluated;
        }
        if (depth == 0 || HasFatalFailure()) return;
        std::vector<Move> moves = legal_moves(p);
        std::shuffle(moves.begin(), moves.end(), rng);
        // Captures, promotions, castling and king moves first: they take the unusual paths.
        std::stable_partition(moves.begin(), moves.end(), [](Move m) {
            return (m & (MOVE_CAPTURE | MOVE_PROMOTION | MOVE_CASTLE)) || move_piece(m) == KING;
        });
        if (!p.in_check() && rng() % 8 == 0) {
            make_null_move(t.position, &t.accumulators[ply]);
            t.accumulators[ply + 1].computed = 0;
            walk(t, ply + 1, depth - 1, rng, evaluated);
            unmake(t.position);
        }
        const size_t width = std::min<size_t>(moves.size(), depth > 3 ? 2 : 3);
        for (size_t i = 0; i < width && !HasFatalFailure(); ++i) {
            make_move(t.position, moves[i], &t.accumulators[ply]);
            t.accumulators[ply + 1].computed = 0;
            walk(t, ply + 1, depth - 1, rng, evaluated);
            unmake(t.position);
        }
    }
};

TEST_P(SearchLikeWalks, EveryEntryAndCacheSlotEqualsTheReference) {
    install_random(5);
    const bool chess960 = GetParam();
    options.chess960 = chess960;
    const char* fens[] = {
        START_FEN,
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
        "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
        "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
        "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
        "4k3/8/8/2pP4/8/8/8/3K4 w - c6 0 1",
    };
    const char* fens960[] = {
        "bqnb1rkr/pp3ppp/3ppn2/2p5/5P2/P2P4/NPP1P1PP/BQ1BNRKR w HFhf - 2 9",
        "1rqbkrbn/1ppppp1p/1n6/p1N3p1/8/2P4P/PP1PPPP1/1RQBKRBN w FBfb - 0 9",
        "rkrbbnnq/pppppppp/8/8/8/8/PPPPPPPP/RKRBBNNQ w CAca - 0 1",
        "r5kr/pppppppp/8/8/8/8/PPPPPPPP/R5KR w HAha - 0 1",
    };
    std::mt19937_64 rng(chess960 ? 960 : 64);
    auto t = new_thread();
    int evaluated = 0;
    const int count = chess960 ? 4 : 6;
    for (int i = 0; i < 2 * count && !HasFatalFailure(); ++i) {
        set(*t, chess960 ? fens960[i % count] : fens[i % count]);
        eval_kernel = i >= count ? EvalKernel::Scalar : best_eval_kernel();  // each position with both kernels
        walk(*t, 0, 5, rng, evaluated);
        expect_cache_exact(*t);
    }
    EXPECT_GT(evaluated, 1000);
}

INSTANTIATE_TEST_SUITE_P(BothCastlingModes, SearchLikeWalks, testing::Values(false, true));

// Every vector kernel this processor runs, along random games (incremental updates, refreshes and
// cached refreshes after king moves), against the plain loops: the same entries and the same values.
class VectorKernels : public NetworkUnderTest, public testing::WithParamInterface<EvalKernel> {};

TEST_P(VectorKernels, GiveTheScalarEntriesAndValues) {
    if (!eval_kernel_supported(GetParam())) GTEST_SKIP() << eval_kernel_name(GetParam()) << " not on this processor";
    install_random(9);
    auto a = new_thread(), b = new_thread();
    std::mt19937_64 rng(17);
    for (int game = 0; game < 20; ++game) {
        set(*a, START_FEN);
        set(*b, START_FEN);
        for (int ply = 0; ply < 100; ++ply) {
            const PositionState& p = *a->position.current;
            eval_kernel = GetParam();
            const int va = evaluate(*a, ply);
            eval_kernel = EvalKernel::Scalar;
            const int vb = evaluate(*b, ply);
            ASSERT_EQ(va, vb);
            ASSERT_TRUE(same_half(a->accumulators[ply].values[0], b->accumulators[ply].values[0]));
            ASSERT_TRUE(same_half(a->accumulators[ply].values[1], b->accumulators[ply].values[1]));
            std::vector<Move> moves = legal_moves(p);
            if (moves.empty()) break;
            const Move m = moves[rng() % moves.size()];
            make_move(a->position, m, &a->accumulators[ply]);
            make_move(b->position, m, &b->accumulators[ply]);
            a->accumulators[ply + 1].computed = b->accumulators[ply + 1].computed = 0;
        }
    }
    // The output layer over accumulators of random values, the clipping edges included.
    auto acc = std::make_unique<Accumulator>();
    for (int round = 0; round < 200; ++round) {
        for (auto& half : acc->values)
            for (int16_t& v : half)
                v = int16_t(round % 4 == 0 ? int(rng() % 520) - 4 : round % 4 == 1 ? 300 : int(uint16_t(rng())));
        const int pieces = 2 + round % 31;
        eval_kernel = GetParam();
        const int va = network_output(*acc, pieces);
        eval_kernel = EvalKernel::Scalar;
        ASSERT_EQ(va, network_output(*acc, pieces)) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(EachKernel, VectorKernels,
                         testing::Values(EvalKernel::Avx2, EvalKernel::Avx512, EvalKernel::Avx512Vnni),
                         [](const testing::TestParamInfo<EvalKernel>& i) {
                             std::string name = eval_kernel_name(i.param);
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

TEST_F(NetworkUnderTest, NullMoveSwapsTheHalves) {
    install_random(21);
    auto t = new_thread();
    set(*t, "r1bqkbnr/pppp1ppp/2n5/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R w KQkq - 2 3");
    evaluate(*t, 0);
    make_null_move(t->position, &t->accumulators[0]);
    t->accumulators[1].computed = 0;
    evaluate(*t, 1);
    EXPECT_TRUE(same_half(t->accumulators[1].values[0], t->accumulators[0].values[1]));
    EXPECT_TRUE(same_half(t->accumulators[1].values[1], t->accumulators[0].values[0]));
    expect_entries_exact(*t, 1);
}

TEST_F(NetworkUnderTest, KingCaptureRefreshesOnlyTheMoversHalf) {
    install_random(22);
    auto t = new_thread();
    set(*t, "4k3/8/8/8/8/8/3n4/4K2R w K - 0 1");
    evaluate(*t, 0);
    const int64_t lookups = refresh_cache_lookups;
    play(*t, 0, "e1d2");
    EXPECT_EQ(t->accumulators[0].king_moved, 1);
    EXPECT_EQ(t->accumulators[0].dirty_count, 1);
    evaluate(*t, 1);
    EXPECT_EQ(refresh_cache_lookups - lookups, 1);
    // Black's half only loses its own knight on d2: d7 (51) from black, whose king stands on e1 of
    // its frame (bucket 3, files mirrored), so e7.
    auto expected = std::make_unique<Halves>();
    std::memcpy(expected->v[0], t->accumulators[0].values[1], FT_NEURONS * 2);
    const size_t row = size_t(640 * 3 + 64 * 1 + (51 ^ 7)) * FT_NEURONS;
    for (int i = 0; i < FT_NEURONS; ++i)
        expected->v[0][i] = int16_t(uint16_t(expected->v[0][i]) - uint16_t(network.ft_weights[row + i]));
    EXPECT_TRUE(same_half(t->accumulators[1].values[0], expected->v[0]));
    expect_entries_exact(*t, 1);
}

TEST_F(NetworkUnderTest, Chess960CastlingWithTheKingStayingPutIsIncremental) {
    install_random(23);
    options.chess960 = true;
    auto t = new_thread();
    set(*t, "6kr/8/8/8/8/8/8/6KR w Hh - 0 1");
    evaluate(*t, 0);
    const int64_t lookups = refresh_cache_lookups;
    play(*t, 0, "g1h1");
    EXPECT_EQ(t->accumulators[0].king_moved, 0);
    EXPECT_EQ(t->accumulators[0].dirty_count, 2);
    play(*t, 1, "g8h8");
    EXPECT_EQ(t->accumulators[1].king_moved, 0);
    evaluate(*t, 2);
    EXPECT_EQ(refresh_cache_lookups, lookups);
    expect_entries_exact(*t, 2);
}

TEST_F(NetworkUnderTest, KingCrossingFromDToEFilesMirrorsItsOwnHalf) {
    install_random(24);
    auto t = new_thread();
    // A lone knight on b1: from a king on d1 it is the b1 feature, from e1 the g1 feature.
    set(*t, "4k3/8/8/8/8/8/8/1N1K4 w - - 0 1");
    evaluate(*t, 0);
    play(*t, 0, "d1e1");
    play(*t, 1, "e8d8");
    play(*t, 2, "e1d1");
    evaluate(*t, 3);
    expect_entries_exact(*t, 3);
    // White's half at ply 1 (king e1, bucket 3): bias + row of the knight seen on g1 = 6.
    std::vector<int16_t> expected(network.ft_biases, network.ft_biases + FT_NEURONS);
    const size_t row = size_t(640 * 3 + 64 * 1 + 6) * FT_NEURONS;
    for (int i = 0; i < FT_NEURONS; ++i) expected[i] = int16_t(uint16_t(expected[i]) + uint16_t(network.ft_weights[row + i]));
    EXPECT_TRUE(same_half(t->accumulators[1].values[1], expected.data()));
}

TEST_F(NetworkUnderTest, CacheSlotsAreFilledAndReplacedByTheirRules) {
    install_random(25);
    auto t = new_thread();
    set(*t, START_FEN, "e2e4 e7e5");
    evaluate(*t, 0);
    int64_t lookups = refresh_cache_lookups, hits = refresh_cache_hits;
    // Ply 1: the white king arrives on e2 for the first time since the clearing: both slots are
    // empty and equally far, so it is computed from scratch and stored in slot A.
    play(*t, 0, "e1e2");
    evaluate(*t, 1);
    const int z = lsb(t->position.current->by_type[KING] & ~t->position.current->own);
    const RefreshSlot* slots = t->refresh_cache.slots[1][z];
    EXPECT_EQ(refresh_cache_lookups - lookups, 1);
    EXPECT_EQ(refresh_cache_hits - hits, 0);
    EXPECT_EQ(slots[0].boards[0], t->position.current->by_type[0]);
    EXPECT_EQ(slots[0].boards[7], t->position.current->own);
    EXPECT_EQ(slots[1].boards[0], ~Bitboard(0));
    // Away and back with a black knight out: the return (ply 5, same parity) updates from slot A and
    // stores into the empty, further slot B.
    play(*t, 1, "g8f6");
    play(*t, 2, "e2e1");
    play(*t, 3, "b8c6");
    play(*t, 4, "e1e2");
    lookups = refresh_cache_lookups, hits = refresh_cache_hits;
    evaluate(*t, 5);
    EXPECT_EQ(refresh_cache_lookups - lookups, 2);  // the e1 arrival at ply 3 and the e2 return
    EXPECT_EQ(refresh_cache_hits - hits, 1);        // e1 was never cached; e2 was
    EXPECT_EQ(slots[1].boards[0], t->position.current->by_type[0]);
    EXPECT_NE(slots[0].boards[0], slots[1].boards[0]);
    expect_entries_exact(*t, 5);
    expect_cache_exact(*t);
    const Bitboard p1 = slots[0].boards[0], p5 = slots[1].boards[0];
    // Back to the ply-5 position at ply 9: B is the source (no difference), A the further slot and
    // the target.
    play(*t, 5, "f6g8");
    play(*t, 6, "e2e1");
    play(*t, 7, "g8f6");
    play(*t, 8, "e1e2");
    hits = refresh_cache_hits;
    evaluate(*t, 9);
    EXPECT_EQ(refresh_cache_hits - hits, 2);  // e1 at ply 7 from ply 3, e2 from B
    EXPECT_NE(p1, p5);
    EXPECT_EQ(slots[0].boards[0], p5);
    EXPECT_EQ(slots[1].boards[0], p5);
    // One knight elsewhere at ply 13: both slots are two squares away, so A is source and target.
    play(*t, 9, "c6b8");
    play(*t, 10, "e2e1");
    play(*t, 11, "b8a6");
    play(*t, 12, "e1e2");
    evaluate(*t, 13);
    EXPECT_EQ(slots[0].boards[0], t->position.current->by_type[0]);
    EXPECT_EQ(slots[1].boards[0], p5);
    expect_entries_exact(*t, 13);
    expect_cache_exact(*t);
}

TEST_F(NetworkUnderTest, OnlyKingsUseBucketZeroAndTheBiases) {
    install_random(26);
    auto t = new_thread();
    set(*t, "8/8/3k4/8/8/4K3/8/8 w - - 0 1");
    const int8_t* w = network.out_weights;  // bucket 0
    int64_t sum = network.out_biases[0];
    for (int i = 0; i < FT_NEURONS; ++i) sum += std::clamp(network.ft_biases[i] >> 1, 0, 127) * (w[i] + w[FT_NEURONS + i]);
    EXPECT_EQ(evaluate(*t, 0), int(sum / 64));
}

TEST_F(NetworkUnderTest, OutputClipsNeuronsTruncatesAndClampsTheResult) {
    auto p = std::make_unique<NetworkParams>();
    // Neurons 0..5 feed bucket 0 with weight 64 from the side to move's half: with only kings on the
    // board the result is the sum of their clipped halves, clamp(bias >> 1, 0, 127).
    const int16_t biases[6] = {1000, -7, 255, 254, 3, -1};  // 127, 0, 127, 127, 1, 0
    for (int i = 0; i < 6; ++i) {
        p->ft_biases[i] = biases[i];
        p->out_weights[i] = 64;
    }
    install(*p);
    auto t = new_thread();
    const char* kings = "8/8/3k4/8/8/4K3/8/8 w - - 0 1";
    set(*t, kings);
    EXPECT_EQ(evaluate(*t, 0), 382);
    // Output bias alone: truncation toward zero and the clamp at 25766.
    p->out_weights.assign(p->out_weights.size(), 0);
    const struct {
        int32_t bias, result;
    } cases[] = {{-100, -1}, {100, 1}, {-63, 0}, {1649024, 25766}, {1649088, 25766}, {-2000000, -25766}};
    for (const auto& c : cases) {
        p->out_biases[0] = c.bias;
        install(*p);
        set(*t, kings);
        EXPECT_EQ(evaluate(*t, 0), c.result) << c.bias;
    }
    // The largest product pairs, 127 x -128 twice, on the first 48 inputs of each half of bucket 7:
    // -(127 x 128 x 96) / 64 = -24384, exact (no saturation in the byte multiply-add).
    p->ft_biases.assign(FT_NEURONS, 1000);
    p->out_weights.assign(p->out_weights.size(), 0);
    for (int i = 0; i < 48; ++i) p->out_weights[7 * OUT_INPUTS + i] = p->out_weights[7 * OUT_INPUTS + FT_NEURONS + i] = -128;
    p->out_biases.assign(OUT_BUCKETS, 0);
    install(*p);
    set(*t, START_FEN);
    EXPECT_EQ(evaluate(*t, 0), -24384);
    // A bias at the top of its range plus a positive sum still gives the upper clamp.
    for (int i = 0; i < 48; ++i) p->out_weights[7 * OUT_INPUTS + i] = p->out_weights[7 * OUT_INPUTS + FT_NEURONS + i] = 127;
    p->out_biases[7] = INT32_MAX;
    install(*p);
    set(*t, START_FEN);
    EXPECT_EQ(evaluate(*t, 0), 25766);
}

// The first network as its tool writes it, against figures worked out by hand from the published
// material values and piece-square tables (side to move's view). Each piece whose value is not
// cancelled by a mirror-image piece of the other side may be off by up to 3 through rounding.
class FirstNetworkFigures : public NetworkUnderTest {
protected:
    void SetUp() override {
        const std::string path = testing::TempDir() + "first_net_figures.nnue";
        ASSERT_EQ(std::system((std::string(MAKE_FIRST_NET_BINARY) + " " + path + " > /dev/null").c_str()), 0);
        ASSERT_TRUE(read_block(path, block));
        std::remove(path.c_str());
        load_network(block.data());
    }
    int eval(const char* fen, const char* moves = nullptr) {
        auto t = new_thread();
        set(*t, fen, moves);
        return evaluate(*t, 0);
    }
};

TEST_F(FirstNetworkFigures, MaterialAndPlacementFromBothSides) {
    // Black's queen missing: White's d1 queen, 900 - 5.
    const char* queen_up = "rnb1kbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";
    const char* queen_down = "rnb1kbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1";
    EXPECT_NEAR(eval(queen_up), 895, 3);
    EXPECT_EQ(eval(queen_down), -eval(queen_up));
    EXPECT_EQ(eval(START_FEN), 0);
    // Development, seen by Black to move: Nf3 (g1 -40 to f3 +10) and e4 (e2 -20 to e4 +20).
    EXPECT_NEAR(eval(START_FEN, "g1f3"), -50, 5);
    EXPECT_NEAR(eval(START_FEN, "e2e4"), -40, 5);
    EXPECT_NEAR(eval(START_FEN, "g1f3 g8f6"), 0, 1);
    // Lone pieces: knight e4 320 + 20, knight a1 320 - 50, rook a1 500 + 0, queen b3 900 + (5 + 0) / 2
    // (the queen table made symmetric), Black's e7 pawn 100 - 20 from either side.
    EXPECT_NEAR(eval("4k3/8/8/8/4N3/8/8/4K3 w - - 0 1"), 340, 3);
    EXPECT_NEAR(eval("4k3/8/8/8/8/8/8/N3K3 w - - 0 1"), 270, 3);
    EXPECT_NEAR(eval("4k3/8/8/8/8/8/8/R3K3 w - - 0 1"), 500, 3);
    EXPECT_NEAR(eval("4k3/8/8/8/8/1Q6/8/4K3 w - - 0 1"), 902, 3);
    EXPECT_NEAR(eval("4k3/4p3/8/8/8/8/8/4K3 b - - 0 1"), 80, 3);
    EXPECT_NEAR(eval("4k3/4p3/8/8/8/8/8/4K3 w - - 0 1"), -80, 3);
    // The king's place changes nothing but the mirror: the same knight with the king on g1.
    EXPECT_EQ(eval("4k3/8/8/8/4N3/8/8/6K1 w - - 0 1"), eval("4k3/8/8/8/4N3/8/8/4K3 w - - 0 1"));
}

TEST(NetpackTool, PacksAndUnpacksParameterFilesExactly) {
    const std::string dir = testing::TempDir();
    const std::string params = dir + "netpack_params.bin", block_path = dir + "netpack_block.nnue",
                      back = dir + "netpack_back.bin";
    std::mt19937 rng(31);
    auto p = std::make_unique<NetworkParams>();
    for (auto& w : p->ft_weights) w = int16_t(int(rng() % 4096) - 1024);
    for (auto& b : p->ft_biases) b = int16_t(rng());
    for (auto& w : p->out_weights) w = int8_t(rng());
    for (auto& b : p->out_biases) b = int32_t(rng());
    ASSERT_TRUE(write_params(params, *p));
    const std::string tool = NETPACK_BINARY;
    ASSERT_EQ(std::system((tool + " pack " + params + " " + block_path + " > /dev/null").c_str()), 0);
    std::vector<uint8_t> from_tool, direct;
    ASSERT_TRUE(read_block(block_path, from_tool));
    ASSERT_TRUE(pack_network(*p, direct));
    EXPECT_TRUE(from_tool == direct);
    ASSERT_EQ(std::system((tool + " unpack " + block_path + " " + back + " > /dev/null").c_str()), 0);
    auto q = std::make_unique<NetworkParams>();
    ASSERT_TRUE(read_params(back, *q));
    EXPECT_TRUE(p->ft_weights == q->ft_weights);
    EXPECT_TRUE(p->ft_biases == q->ft_biases);
    EXPECT_TRUE(p->out_weights == q->out_weights);
    EXPECT_TRUE(p->out_biases == q->out_biases);
    EXPECT_EQ(q->l1_bits, 4);
    EXPECT_EQ(q->l2_bits, 3);
    // A weight the 12 bits cannot hold, and a file of the wrong length, are refused.
    p->ft_weights[12345] = -1025;
    ASSERT_TRUE(write_params(params, *p));
    EXPECT_NE(std::system((tool + " pack " + params + " " + block_path + " 2> /dev/null").c_str()), 0);
    FILE* f = std::fopen(params.c_str(), "ab");
    ASSERT_NE(f, nullptr);
    std::fputc(0, f);
    std::fclose(f);
    EXPECT_FALSE(read_params(params, *q));
    EXPECT_NE(std::system((tool + " unpack " + params + " " + back + " 2> /dev/null").c_str()), 0);
    std::remove(params.c_str());
    std::remove(block_path.c_str());
    std::remove(back.c_str());
}

}  // namespace
