// Prints timing figures of the evaluation with the embedded network:
//   - unpacking at start-up (first call in a fresh process, as the engine does it);
//   - one incremental accumulator step plus the output, over the children of middlegame positions
//     (make, evaluate the child, unmake), with the cost of make and unmake alone for comparison, and
//     a full refresh of one perspective (30 rows), for every kernel the processor runs;
//   - the incremental step along random games, where the rows are mostly not in the processor caches;
//   - the refresh-cache hit rate over search-like depth-first walks.
//   netbench [seconds per figure, default 1]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>
#include "board/board.h"
#include "board/movegen.h"
#include "board/tables.h"
#include "eval/evaluate.h"
#include "eval/network.h"

using Clock = std::chrono::steady_clock;

static double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

static const char* const POSITIONS[] = {
    "r1bqkb1r/pppp1ppp/2n2n2/4p3/2B1P3/5N2/PPPP1PPP/RNBQK2R w KQkq - 4 4",
    "r4rk1/1p2bppp/p3bn2/8/Pq1BP3/1BN1Q3/1PP3PP/R3K2R w KQ - 0 1",
    "r2qk2r/3nbpp1/2bBp2p/p3P3/1p6/8/PPPQBPPP/1NKR3R w kq - 0 1",
    "2r2rk1/p3qp1p/2b1pp1Q/2b5/1n6/2N2NP1/1P2PPBP/R2R2K1 w - - 0 1",
    "1rr3k1/1q3pp1/pnbQp2p/1p2P3/3B1P2/2PB4/P1P2RPP/R5K1 w - - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "6k1/1b2bp2/p3p2p/4P1p1/1pr5/4BP1P/PP2N1P1/3R2K1 b - - 0 1",
    "8/p4k2/1p3r2/2pPnb2/2Pr3P/PPK3P1/4B1Q1/8 b - - 0 1",
};

static std::vector<Move> legal_moves(const PositionState& p) {
    Move moves[256];
    const int n = generate_legal(p, moves);
    return std::vector<Move>(moves, moves + n);
}

static int64_t sink = 0;

static void walk(SearchThread& t, int ply, int depth, std::mt19937_64& rng, int64_t& nodes) {
    const PositionState& p = *t.position.current;
    ++nodes;
    if (!p.in_check()) sink += evaluate(t, ply);
    if (depth == 0) return;
    std::vector<Move> moves = legal_moves(p);
    std::shuffle(moves.begin(), moves.end(), rng);
    const size_t width = std::min<size_t>(moves.size(), 4);
    for (size_t i = 0; i < width; ++i) {
        make_move(t.position, moves[i], &t.accumulators[ply]);
        t.accumulators[ply + 1].computed = 0;
        walk(t, ply + 1, depth - 1, rng, nodes);
        unmake(t.position);
    }
}

int main(int argc, char** argv) {
    const double budget = argc > 1 ? std::atof(argv[1]) : 1.0;
    init_board_tables();
    auto t0 = Clock::now();
    unpack_network();
    std::printf("unpack at start-up: %.1f ms\n", seconds_since(t0) * 1000);

    auto thread = std::make_unique<SearchThread>();
    SearchThread& t = *thread;
    clear_refresh_cache(t.refresh_cache);

    // Children of the positions: the parent entry stays computed, so each evaluation is one step.
    // Every kernel the processor runs, in alternating slices so that other load on the machine
    // falls on all of them alike.
    std::vector<EvalKernel> kernels;
    for (EvalKernel k : {EvalKernel::Avx2, EvalKernel::Avx512, EvalKernel::Avx512Vnni})
        if (eval_kernel_supported(k)) kernels.push_back(k);
    const EvalKernel chosen = eval_kernel;
    std::printf("kernels chosen at start-up: %s\n", eval_kernel_name(chosen));
    auto children = [&](bool with_eval, double seconds, int64_t& steps) {
        t0 = Clock::now();
        while (seconds_since(t0) < seconds) {
            for (const char* fen : POSITIONS) {
                set_position(t.position, fen, nullptr);
                t.accumulators[0].computed = 0;
                evaluate(t, 0);
                const std::vector<Move> moves = legal_moves(*t.position.current);
                for (int rep = 0; rep < 50; ++rep)
                    for (Move m : moves) {
                        make_move(t.position, m, &t.accumulators[0]);
                        t.accumulators[1].computed = 0;
                        if (with_eval) sink += evaluate(t, 1);
                        unmake(t.position);
                        ++steps;
                    }
            }
        }
        return seconds_since(t0);
    };
    {
        int64_t steps = 0;
        const double s = children(false, budget, steps);
        std::printf("make + unmake alone: %.0f ns per child\n", s / double(steps) * 1e9);
    }
    {
        std::vector<double> time(kernels.size(), 0.0), refresh_time(kernels.size(), 0.0);
        std::vector<int64_t> steps(kernels.size(), 0), refreshes(kernels.size(), 0);
        alignas(64) int16_t out[FT_NEURONS];
        for (int slice = 0; slice < 10; ++slice)
            for (size_t k = 0; k < kernels.size(); ++k) {
                eval_kernel = kernels[k];
                time[k] += children(true, budget / 10, steps[k]);
                set_position(t.position, START_FEN, nullptr);
                t0 = Clock::now();
                for (int i = 0; i < 2000; ++i) refresh_perspective(*t.position.current, i & 1, out);
                refresh_time[k] += seconds_since(t0);
                refreshes[k] += 2000;
                sink += out[0];
            }
        for (size_t k = 0; k < kernels.size(); ++k)
            std::printf("%-12s make + incremental update + output + unmake: %.0f ns per child; full refresh of one "
                        "perspective (30 rows): %.0f ns\n",
                        eval_kernel_name(kernels[k]), time[k] / double(steps[k]) * 1e9,
                        refresh_time[k] / double(refreshes[k]) * 1e9);
        eval_kernel = chosen;
    }

    // Random games: every step reaches rows the previous ones did not touch.
    {
        std::mt19937_64 rng(1);
        int64_t evals = 0;
        double time = 0;
        t0 = Clock::now();
        while (seconds_since(t0) < budget) {
            set_position(t.position, START_FEN, nullptr);
            for (auto& a : t.accumulators) a.computed = 0;
            evaluate(t, 0);
            for (int ply = 0; ply < 60; ++ply) {
                const std::vector<Move> moves = legal_moves(*t.position.current);
                if (moves.empty()) break;
                make_move(t.position, moves[rng() % moves.size()], &t.accumulators[ply]);
                t.accumulators[ply + 1].computed = 0;
                auto s = Clock::now();
                sink += evaluate(t, ply + 1);
                time += seconds_since(s);
                ++evals;
            }
        }
        std::printf("incremental update + output along random games: %.0f ns (%lld evaluations, timer included)\n",
                    time / double(evals) * 1e9, (long long)evals);
    }

    // Search-like walks: depth-first, four children per node, depth 6, evaluation at every node not
    // in check, one cleared cache for all positions as in one game.
    {
        clear_refresh_cache(t.refresh_cache);
        std::mt19937_64 rng(2);
        const int64_t lookups = refresh_cache_lookups, hits = refresh_cache_hits;
        int64_t nodes = 0;
        t0 = Clock::now();
        for (const char* fen : POSITIONS) {
            set_position(t.position, fen, nullptr);
            for (auto& a : t.accumulators) a.computed = 0;
            walk(t, 0, 6, rng, nodes);
        }
        const double s = seconds_since(t0);
        const int64_t l = refresh_cache_lookups - lookups, h = refresh_cache_hits - hits;
        std::printf("search-like walks: %lld nodes in %.2f s, %lld cached refreshes, %lld served from the cache "
                    "(%.1f%%)\n",
                    (long long)nodes, s, (long long)l, (long long)h, l ? 100.0 * double(h) / double(l) : 0.0);
    }
    return sink == 42 ? 1 : 0;
}
