// The network: block decoding and packing, incremental accumulators against full refreshes, the
// refresh cache, vector kernels against plain loops, and what the first network is built to say.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <memory>
#include <random>
#include <vector>
#include <utility>
#include "board/board.h"
#include "board/movegen.h"
#include "board/tables.h"
#include "engine/options.h"
#include "eval/evaluate.h"
#include "eval/network.h"
#include "eval/network_format.h"

namespace {

void init_once() {
    static bool done = false;
    if (!done) {
        init_board_tables();
        unpack_network();
        done = true;
    }
}

std::unique_ptr<SearchThread> new_thread() {
    auto t = std::make_unique<SearchThread>();
    clear_refresh_cache(t->refresh_cache);
    for (auto& a : t->accumulators) a.computed = 0;
    return t;
}

// Evaluation with every entry recomputed from scratch: the reference for the incremental path.
int evaluate_fresh(const PositionState& p) {
    auto acc = std::make_unique<Accumulator>();
    refresh_perspective(p, false, acc->values[0]);
    refresh_perspective(p, true, acc->values[1]);
    return network_output(*acc, popcount(p.by_type[0]));
}

int eval_fen(const char* fen) {
    init_once();
    auto t = new_thread();
    EXPECT_GE(set_position(t->position, fen, nullptr), 0);
    return evaluate(*t, 0);
}

std::vector<Move> legal_moves(const PositionState& p) {
    Move moves[256];
    const int n = generate_legal(p, moves);
    return std::vector<Move>(moves, moves + n);
}

}  // namespace

TEST(NetworkFormat, DecodesTheDocumentedExamples) {
    uint8_t packed[48] = {0x12, 0x34, 0x56, 0x40, 0x04, 0x00};
    int16_t scalar[32], vector[32];
    decode_weights_scalar(packed, scalar, 1);
    decode_weights_avx2(packed, vector, 1);
    EXPECT_EQ(scalar[0], -733);
    EXPECT_EQ(scalar[1], 86);
    EXPECT_EQ(scalar[2], 0);
    EXPECT_EQ(scalar[3], 0);
    EXPECT_EQ(std::memcmp(scalar, vector, sizeof scalar), 0);
}

TEST(NetworkFormat, VectorDecodingEqualsScalarOnRandomBytes) {
    std::mt19937 rng(7);
    std::vector<uint8_t> packed(48 * 1000);
    for (auto& b : packed) b = uint8_t(rng());
    std::vector<int16_t> a(32 * 1000), b(32 * 1000);
    decode_weights_scalar(packed.data(), a.data(), 1000);
    decode_weights_avx2(packed.data(), b.data(), 1000);
    EXPECT_EQ(a, b);
    for (int16_t v : a) {
        EXPECT_GE(v, -1024);
        EXPECT_LE(v, 3071);
    }
}

TEST(NetworkFormat, PackThenUnpackGivesTheParametersBack) {
    std::mt19937 rng(11);
    auto p = std::make_unique<NetworkParams>();
    for (auto& w : p->ft_weights) w = int16_t(int(rng() % 4096) - 1024);
    for (auto& b : p->ft_biases) b = int16_t(rng());
    for (auto& w : p->out_weights) w = int8_t(rng());
    for (auto& b : p->out_biases) b = int32_t(rng());
    std::vector<uint8_t> block;
    ASSERT_TRUE(pack_network(*p, block));
    ASSERT_EQ(block.size(), NETWORK_BLOCK_BYTES);
    auto q = std::make_unique<NetworkParams>();
    unpack_network_block(block.data(), *q);
    EXPECT_EQ(p->ft_weights, q->ft_weights);
    EXPECT_EQ(p->ft_biases, q->ft_biases);
    EXPECT_EQ(p->out_weights, q->out_weights);
    EXPECT_EQ(p->out_biases, q->out_biases);
    EXPECT_EQ(q->l1_bits, 4);
    EXPECT_EQ(q->l2_bits, 3);
    // A value outside the 12-bit range cannot be packed.
    p->ft_weights[5] = 3072;
    EXPECT_FALSE(pack_network(*p, block));
}

TEST(NetworkFormat, WrongConstantsAreFoundWithTheirValue) {
    std::vector<uint8_t> block(tarnvik_network_block, tarnvik_network_block + NETWORK_BLOCK_BYTES);
    int32_t found = 0;
    EXPECT_EQ(network_constants_fault(block.data(), &found), 0);
    const int32_t five = 5, seven = 7;
    std::memcpy(&block[L1_BITS_OFFSET], &five, 4);
    EXPECT_EQ(network_constants_fault(block.data(), &found), 1);
    EXPECT_EQ(found, 5);
    std::memcpy(&block[L1_BITS_OFFSET], &tarnvik_network_block[L1_BITS_OFFSET], 4);
    std::memcpy(&block[L2_BITS_OFFSET], &seven, 4);
    EXPECT_EQ(network_constants_fault(block.data(), &found), 2);
    EXPECT_EQ(found, 7);
}

TEST(NetworkFormat, WrongConstantMakesTheCheckPrintAndExit) {
    // A child runs the check on a damaged copy; its standard output and exit code are read here.
    std::vector<uint8_t> block(tarnvik_network_block, tarnvik_network_block + NETWORK_BLOCK_BYTES);
    const int32_t five = 5;
    std::memcpy(&block[L1_BITS_OFFSET], &five, 4);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        check_network_quantisation_of(block.data());
        _exit(0);
    }
    close(fds[1]);
    char buf[256] = {};
    ssize_t n = read(fds[0], buf, sizeof buf - 1);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_GT(n, 0);
    EXPECT_STREQ(buf, "Bit decimali L1 non corretti! Valore corretto 5\n");
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

// A network of random values: unlike the first network it differs between king buckets, files and
// perspectives, so a wrong bucket, mirror or half shows up in the values.
struct RandomNetwork {
    RandomNetwork() {
        init_once();
        std::mt19937 rng(3);
        auto p = std::make_unique<NetworkParams>();
        for (auto& w : p->ft_weights) w = int16_t(int(rng() % 4096) - 1024);
        for (auto& b : p->ft_biases) b = int16_t(int(rng() % 512) - 128);
        for (auto& w : p->out_weights) w = int8_t(rng());
        for (auto& b : p->out_biases) b = int32_t(rng() % 20000) - 10000;
        pack_network(*p, block);
        load_network(block.data());
    }
    ~RandomNetwork() { load_network(tarnvik_network_block); }
    std::vector<uint8_t> block;
};

// Random games through every kind of move, in both castling modes, with null moves: each
// incremental evaluation equals the evaluation recomputed from nothing, with both kernels.
class IncrementalEval : public ::testing::TestWithParam<bool> {};

TEST_P(IncrementalEval, EqualsFullRefreshAlongRandomGames) {
    RandomNetwork random_network;
    const bool chess960 = GetParam();
    const bool saved = options.chess960;
    options.chess960 = chess960;
    const char* std_fens[] = {START_FEN, "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
                              "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
                              "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1"};
    const char* c960_fens[] = {"bqnb1rkr/pp3ppp/3ppn2/2p5/5P2/P2P4/NPP1P1PP/BQ1BNRKR w HFhf - 2 9",
                               "1rqbkrbn/1ppppp1p/1n6/p1N3p1/8/2P4P/PP1PPPP1/1RQBKRBN w FBfb - 0 9",
                               "rkrbbnnq/pppppppp/8/8/8/8/PPPPPPPP/RKRBBNNQ w CAca - 0 1"};
    std::mt19937_64 rng(chess960 ? 960 : 42);
    auto t = new_thread();
    int checked = 0;
    for (int game = 0; game < 60; ++game) {
        const char* fen = chess960 ? c960_fens[game % 3] : std_fens[game % 4];
        ASSERT_GE(set_position(t->position, fen, nullptr), 0);
        eval_kernel = game % 2 == 1 ? EvalKernel::Scalar : best_eval_kernel();
        for (auto& a : t->accumulators) a.computed = 0;
        for (int ply = 0; ply < 80; ++ply) {
            const PositionState& p = *t->position.current;
            if (!p.in_check()) {
                // Evaluate only now and then, so that updates run over several plies at once.
                if (rng() % 3 == 0) {
                    const int incremental = evaluate(*t, ply);
                    ASSERT_EQ(incremental, evaluate_fresh(p)) << "game " << game << " ply " << ply;
                    const EvalKernel used = eval_kernel;
                    eval_kernel = used == EvalKernel::Scalar ? best_eval_kernel() : EvalKernel::Scalar;
                    ASSERT_EQ(incremental, evaluate_fresh(p)) << "kernels differ, game " << game << " ply " << ply;
                    eval_kernel = used;
                    ++checked;
                }
            }
            std::vector<Move> moves = legal_moves(p);
            if (moves.empty()) break;
            if (!p.in_check() && rng() % 10 == 0) {
                make_null_move(t->position, &t->accumulators[ply]);
            } else {
                // Prefer captures, castling and king moves: they are the interesting paths.
                Move m = moves[rng() % moves.size()];
                for (int tries = 0; tries < 3; ++tries) {
                    Move c = moves[rng() % moves.size()];
                    if (c & (MOVE_CAPTURE | MOVE_CASTLE | MOVE_PROMOTION) || move_piece(c) == KING) m = c;
                }
                make_move(t->position, m, &t->accumulators[ply]);
            }
            t->accumulators[ply + 1].computed = 0;
        }
    }
    eval_kernel = best_eval_kernel();
    options.chess960 = saved;
    EXPECT_GT(checked, 500);
}

INSTANTIATE_TEST_SUITE_P(BothCastlingModes, IncrementalEval, ::testing::Values(false, true));

TEST(RefreshCache, KingAwayAndBackUsesTheStoredPositionAndAgrees) {
    RandomNetwork random_network;
    auto t = new_thread();
    // The white king walks e1-f1-e1 while black answers with knight moves: the second arrival on
    // e1 with the same pieces comes from the cache.
    const char* moves = "e2e4 e7e5 e1e2 g8f6 e2e1 f6g8 e1e2 g8f6 e2e1";
    ASSERT_GE(set_position(t->position, START_FEN, nullptr), 0);
    char list[128];
    std::strcpy(list, moves);
    int ply = 0;
    evaluate(*t, 0);
    const int64_t hits_before = refresh_cache_hits, lookups_before = refresh_cache_lookups;
    for (char* tok = std::strtok(list, " "); tok; tok = std::strtok(nullptr, " ")) {
        Move m = parse_move(*t->position.current, tok, int(std::strlen(tok)));
        ASSERT_NE(m, 0u) << tok;
        make_move(t->position, m, &t->accumulators[ply]);
        t->accumulators[++ply].computed = 0;
        ASSERT_EQ(evaluate(*t, ply), evaluate_fresh(*t->position.current)) << tok;
    }
    EXPECT_EQ(refresh_cache_lookups - lookups_before, 4);
    // The first visit to e2 and to e1 after clearing compute from scratch, the returns hit.
    EXPECT_GE(refresh_cache_hits - hits_before, 2);
}

// The embedded block is a trained network; the first network is made by its tool when tested.
struct FirstNetwork : testing::Test {
    void SetUp() override {
        init_once();
        const std::string path = testing::TempDir() + "first_network.nnue";
        ASSERT_EQ(std::system((std::string(MAKE_FIRST_NET_BINARY) + " " + path + " > /dev/null").c_str()), 0);
        ASSERT_TRUE(read_block(path, block));
        std::remove(path.c_str());
        load_network(block.data());
    }
    void TearDown() override { load_network(tarnvik_network_block); }
    std::vector<uint8_t> block;
};

TEST_F(FirstNetwork, ScoresMaterialAndPlacementAsBuilt) {
    // A queen up: about a queen (900 plus placement), with the opposite sign for the other side.
    const int white_up = eval_fen("rnb1kbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1");
    const int black_view = eval_fen("rnb1kbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1");
    EXPECT_NEAR(white_up, 900, 40);
    EXPECT_EQ(black_view, -white_up);
    EXPECT_NEAR(eval_fen(START_FEN), 0, 2);
    // A knight on e4 is worth more than one on a1 (placement tables), a rook about 500.
    const int centre = eval_fen("4k3/8/8/8/4N3/8/8/4K3 w - - 0 1");
    const int corner = eval_fen("4k3/8/8/8/8/8/8/N3K3 w - - 0 1");
    EXPECT_GT(centre, corner + 40);
    EXPECT_NEAR(eval_fen("4k3/8/8/8/8/8/8/R3K3 w - - 0 1"), 500, 20);
    // Only kings: biases and bucket 0 alone, which are zero in the first network.
    EXPECT_EQ(eval_fen("4k3/8/8/8/8/8/8/4K3 w - - 0 1"), 0);
}

// The engine picks the widest kernels at start-up; TARNVIK_NO_AVX512 holds it to AVX2. Either way
// the bench searches exactly the same tree.
TEST(EvalKernels, EnvironmentVariableForcesAvx2AndTheBenchIsUnchanged) {
    auto run = [](const char* env) {
        const std::string cmd = std::string(env) + " " + TARNVIK_BINARY + " pgo 5 2>&1";
        FILE* f = popen(cmd.c_str(), "r");
        std::string kernels, total;
        char line[4096];
        while (f && std::fgets(line, sizeof line, f)) {
            const std::string l(line);
            if (l.rfind("Evaluation kernels: ", 0) == 0) kernels = l.substr(20, l.size() - 21);
            if (l.rfind("Total nodes searched: ", 0) == 0) total = l;
        }
        EXPECT_TRUE(f && pclose(f) == 0) << cmd;
        return std::make_pair(kernels, total);
    };
    const EvalKernel widest = eval_kernel_supported(EvalKernel::Avx512Vnni) ? EvalKernel::Avx512Vnni
                            : eval_kernel_supported(EvalKernel::Avx512)     ? EvalKernel::Avx512
                                                                            : EvalKernel::Avx2;
    const auto plain = run("env -u TARNVIK_NO_AVX512");
    const auto forced = run("env TARNVIK_NO_AVX512=1");
    const auto zero = run("env TARNVIK_NO_AVX512=0");
    EXPECT_EQ(plain.first, eval_kernel_name(widest));
    EXPECT_EQ(forced.first, "avx2");
    EXPECT_EQ(zero.first, eval_kernel_name(widest));
    ASSERT_NE(plain.second, "");
    EXPECT_EQ(forced.second, plain.second);
    EXPECT_EQ(zero.second, plain.second);
}
