// Trainer: data lines, gradients against finite differences, thread-independent updates, and the
// exported block evaluated by the engine against the float model.
#include <gtest/gtest.h>
#include <cmath>
#include <memory>
#include <random>
#include "board/board.h"
#include "board/tables.h"
#include "eval/evaluate.h"
#include "eval/network.h"
#include "trainer.h"

using namespace train;

namespace {

const char* const FENS[] = {
    "rnbqkbnr/3pppp1/pp6/1Pp4p/2P5/6P1/P2PPP1P/RNBQKBNR w KQkq - 0 5",
    "r1bq1rk1/ppp2ppp/2np1n2/2b1p3/2B1P3/2NP1N2/PPP2PPP/R1BQ1RK1 b - - 0 7",
    "8/5k2/3p4/1p1P1p2/1P3P2/4K3/8/8 w - - 0 50",
    "6k1/5ppp/8/8/8/8/5PPP/3R2K1 b - - 0 30",
    "4r1k1/1q3ppp/p7/1p6/8/1P3Q2/P4PPP/4R1K1 w - - 3 25",
    "8/8/8/4k3/8/8/3PK3/8 b - - 0 1",
};

struct Env {
    Env() { init_board_tables(); }
};

void init_env() { static Env env; }

Sample sample_of(const char* fen, int score = 0, const char* result = "0.5") {
    Sample s;
    const std::string line = std::string(fen) + " | " + std::to_string(score) + " | " + result;
    EXPECT_TRUE(parse_sample(line, s)) << line;
    return s;
}

// A model with bucket-dependent rows and output weights of trained size, all on the integer grid
// of the block (first-layer values even, so that the engine's halving is exact): the engine must then
// reproduce the float model up to its final division.
std::unique_ptr<Model> grid_model(uint64_t seed) {
    auto m = std::make_unique<Model>();
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int> small(-6, 6), out(-120, 120), bias(10, 50);
    for (auto& x : m->w) x = 2.0f * float(small(rng)) / FT_SCALE;
    for (auto& x : m->factor) x = 2.0f * float(small(rng)) / FT_SCALE;
    // The export adds one unit to each bias (rounding of the halving); with even sums in the model the
    // engine's sums are odd and halve to exactly the model's activations.
    for (auto& x : m->bias) x = 2.0f * float(bias(rng)) / FT_SCALE;
    for (auto& x : m->out_w) x = float(out(rng)) / OUT_SCALE;
    for (int b = 0; b < OUT_BUCKETS; ++b) m->out_b[b] = float(out(rng)) * 10 / 64.0f;
    return m;
}

}  // namespace

TEST(TrainerData, LinesBecomeSideToMoveSamplesWithTheEngineFeatures) {
    init_env();
    for (const char* fen : FENS) {
        PositionState p;
        ASSERT_TRUE(parse_fen(fen, p));
        const Sample s = sample_of(fen, 137, "1.0");
        const bool black = p.black_to_move();
        EXPECT_FLOAT_EQ(s.score, black ? -137.0f : 137.0f) << fen;
        EXPECT_FLOAT_EQ(s.result, black ? 0.0f : 1.0f) << fen;
        EXPECT_EQ(s.bucket, (popcount(p.by_type[0]) - 1) / 4) << fen;
        for (int side = 0; side < 2; ++side) {
            int rows[64];
            const int n = network_features(p, side == 1, rows);
            ASSERT_EQ(s.count[side], n);
            // Every piece but the kings is one feature of each perspective.
            EXPECT_EQ(n, popcount(p.by_type[0]) - 2);
            for (int i = 0; i < n; ++i) EXPECT_EQ(s.rows[side][i], rows[i]);
        }
    }
    Sample s;
    EXPECT_FALSE(parse_sample(std::string(FENS[0]) + " | 12", s));
    EXPECT_FALSE(parse_sample(std::string(FENS[0]) + " | x | 0.5", s));
    EXPECT_FALSE(parse_sample(std::string(FENS[0]) + " | 12 | 0.7", s));
    EXPECT_FALSE(parse_sample("8/8/8/8/8/8/8/8 w - - 0 1 | 0 | 0.5", s));  // no kings
    // A draw stays a draw from either side.
    EXPECT_FLOAT_EQ(sample_of(FENS[1], 0, "0.5").result, 0.5f);
    // The game ply that --min-ply filters on: from the fullmove number and the side to move, 0 when
    // the FEN stops before the counters, capped at 255 in long games.
    EXPECT_EQ(sample_of(FENS[0]).ply, 8);
    EXPECT_EQ(sample_of(FENS[1]).ply, 13);
    EXPECT_EQ(sample_of(FENS[5]).ply, 1);
    EXPECT_EQ(sample_of("8/8/8/4k3/8/8/3PK3/8 w - -").ply, 0);
    EXPECT_EQ(sample_of("8/8/8/4k3/8/8/3PK3/8 b - - 0 200").ply, 255);
    EXPECT_EQ(sample_of("8/8/8/4k3/8/8/3PK3/8 b - - 0 99999999999999999999").ply, 255);
}

TEST(TrainerGradients, MatchFiniteDifferences) {
    init_env();
    auto m = grid_model(7);
    // Smaller output weights keep the prediction away from the flat ends of the sigmoid.
    for (auto& x : m->out_w) x *= 0.1f;
    auto g = std::make_unique<Gradients>();
    Hyper h;
    const Sample s = sample_of(FENS[1], 80, "0.0");
    backward(*m, s, h, *g);
    auto loss = [&] {
        const double p = 1.0 / (1.0 + std::exp(-double(forward(*m, s)) / h.k));
        const double e = p - target_of(s, h);
        return e * e;
    };
    alignas(32) float acc[N];
    accumulate(*m, s.rows[0], s.count[0], acc);
    int checked = 0;
    auto check = [&](float& param, float analytic, float step) {
        const float keep = param;
        param = keep + step;
        const double up = loss();
        param = keep - step;
        const double down = loss();
        param = keep;
        const double numeric = (up - down) / (2.0 * step);
        EXPECT_NEAR(analytic, numeric, 1e-2 * std::fabs(numeric) + 1e-8);
        ++checked;
    };
    const int bucket = s.bucket;
    check(m->out_b[bucket], g->out_b[bucket], 1.0f);
    for (int i = 0; i < N; i += 97) {
        check(m->out_w[size_t(bucket) * 2 * N + i], g->out_w[size_t(bucket) * 2 * N + i], 1.0f);
        check(m->out_w[size_t(bucket) * 2 * N + N + i], g->out_w[size_t(bucket) * 2 * N + N + i], 1.0f);
        // First-layer values: only neurons away from the clipping edges have a smooth loss.
        if (acc[i] > 0.02f && acc[i] < 0.98f) {
            const int r = s.rows[0][3];
            EXPECT_TRUE(g->touched[r]);
            check(m->w[size_t(r) * N + i], g->w[size_t(r) * N + i], 1e-3f);
        }
    }
    // An output bucket other than the sample's gets no gradient.
    EXPECT_EQ(g->out_b[(bucket + 1) % OUT_BUCKETS], 0.0f);
    EXPECT_GT(checked, 40);
}

TEST(TrainerUpdate, SameResultOnOneOrTwoThreadsAndTheLossFalls) {
    init_env();
    std::vector<Sample> samples;
    for (const char* fen : FENS) samples.push_back(sample_of(fen, 250, "1.0"));
    Hyper h;
    std::vector<float> first_w, first_f, first_o;
    for (int threads = 1; threads <= 2; ++threads) {
        auto m = std::make_unique<Model>();
        m->init(3);
        auto o = std::make_unique<Optimizer>();
        std::vector<Gradients> g(2);
        const double before = mean_loss(*m, samples, h, threads);
        for (int step = 0; step < 20; ++step) {
            for (size_t i = 0; i < samples.size(); ++i) backward(*m, samples[i], h, g[i % 2]);
            apply_update(*m, *o, g, int(samples.size()), 0.002f, 200.0f, threads);
        }
        EXPECT_LT(mean_loss(*m, samples, h, threads), before * 0.5);
        // The update cleared every gradient it used.
        for (auto& gr : g)
            for (const Sample& s : samples)
                for (int side = 0; side < 2; ++side)
                    for (int k = 0; k < s.count[side]; ++k) {
                        EXPECT_FALSE(gr.touched[s.rows[side][k]]);
                        EXPECT_EQ(gr.w[size_t(s.rows[side][k]) * N], 0.0f);
                    }
        if (threads == 1) {
            first_w = m->w;
            first_f = m->factor;
            first_o = m->out_w;
        } else {
            EXPECT_TRUE(first_w == m->w);
            EXPECT_TRUE(first_f == m->factor);
            EXPECT_TRUE(first_o == m->out_w);
        }
    }
}

TEST(TrainerExport, EngineEvaluationEqualsTheFloatModelOnTheIntegerGrid) {
    init_env();
    auto m = grid_model(11);
    auto p = std::make_unique<NetworkParams>();
    const ExportStats st = quantise(*m, *p);
    EXPECT_EQ(st.clipped_ft, 0);
    EXPECT_EQ(st.clipped_out, 0);
    std::vector<uint8_t> block;
    ASSERT_TRUE(pack_network(*p, block));
    load_network(block.data());
    auto acc = std::make_unique<Accumulator>();
    alignas(32) float fa[1][N];
    for (const char* fen : FENS) {
        PositionState pos;
        ASSERT_TRUE(parse_fen(fen, pos));
        const Sample s = sample_of(fen);
        refresh_perspective(pos, false, acc->values[0]);
        refresh_perspective(pos, true, acc->values[1]);
        const int engine = network_output(*acc, popcount(pos.by_type[0]));
        const float model = forward(*m, s);
        // Truncation toward zero in the engine's division by 64, plus float summation error.
        EXPECT_LT(std::fabs(engine - model), 1.05f) << fen << " engine " << engine << " model " << model;
        // Most neurons lie strictly inside the clipping range, so the comparison is not trivial.
        accumulate(*m, s.rows[0], s.count[0], fa[0]);
        int inside = 0;
        for (int i = 0; i < N; ++i) inside += fa[0][i] > 0 && fa[0][i] < 1;
        EXPECT_GT(inside, N / 2);
    }
}
