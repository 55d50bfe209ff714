// Prints timing figures of the evaluation: unpacking at start-up, an incremental update plus the
// output, a full refresh, and the refresh-cache hit rate over search-like move sequences.
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include "board/board.h"
#include "board/movegen.h"
#include "board/tables.h"
#include "eval/evaluate.h"
#include "eval/network.h"

using Clock = std::chrono::steady_clock;

static double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

int main() {
    init_board_tables();
    auto t0 = Clock::now();
    unpack_network();
    std::printf("unpack: %.1f ms\n", seconds_since(t0) * 1000);

    auto thread = std::make_unique<SearchThread>();
    SearchThread& t = *thread;
    clear_refresh_cache(t.refresh_cache);
    std::mt19937_64 rng(1);
    const int games = 2000, plies = 24;
    int64_t evals = 0, king_moves = 0, cache_refreshes = 0;
    double update_time = 0;
    for (int g = 0; g < games; ++g) {
        set_position(t.position, START_FEN, nullptr);
        for (auto& a : t.accumulators) a.computed = 0;
        evaluate(t, 0);
        for (int ply = 0; ply < plies; ++ply) {
            MoveEntry list[256];
            MoveEntry* end = list;
            const PositionState& p = *t.position.current;
            if (p.in_check()) generate_evasions(p, &end, &end, true);
            else end = generate_quiets(p, generate_captures(p, end), false, false);
            MoveEntry* keep = list;
            for (MoveEntry* e = list; e < end; ++e)
                if (is_legal(p, e->move)) *keep++ = *e;
            if (keep == list) break;
            Move m = gives_check(p, list[rng() % (keep - list)].move);
            king_moves += move_piece(m) == KING;
            make_move(t.position, m, &t.accumulators[ply]);
            t.accumulators[ply + 1].computed = 0;
            auto s = Clock::now();
            evaluate(t, ply + 1);
            update_time += seconds_since(s);
            ++evals;
        }
        (void)cache_refreshes;
    }
    std::printf("incremental update + output: %.0f ns (%lld evaluations, %lld king moves)\n",
                update_time / evals * 1e9, (long long)evals, (long long)king_moves);

    int16_t out[FT_NEURONS] __attribute__((aligned(32)));
    set_position(t.position, START_FEN, nullptr);
    const int reps = 200000;
    t0 = Clock::now();
    for (int i = 0; i < reps; ++i) refresh_perspective(*t.position.current, i & 1, out);
    std::printf("full refresh of one perspective (32 pieces): %.0f ns\n", seconds_since(t0) / reps * 1e9);
    std::printf("refresh-cache hits: %lld of %lld cached refreshes\n", (long long)refresh_cache_hits,
                (long long)refresh_cache_lookups);
    return 0;
}
