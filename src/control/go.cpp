#include "control/go.h"
#include <algorithm>
#include <cstdio>
#include "board/board.h"
#include "control/search_control.h"
#include "control/worker.h"
#include "engine/book.h"
#include "engine/options.h"
#include "search/movepick.h"
#include "search/search.h"
#include "search/tt.h"
#include "tablebase/tablebase.h"

static void* worker_body(void* arg) {
    search_worker(*static_cast<SearchThread*>(arg));
    return nullptr;
}

static int64_t sum_nodes() {
    int64_t n = 0;
    for (int i = 0; i < control.thread_count; ++i) n += threads[i].nodes.load(std::memory_order_relaxed);
    return n;
}

static int64_t sum_tb_hits() {
    int64_t n = 0;
    for (int i = 0; i < control.thread_count; ++i) n += threads[i].tb_hits.load(std::memory_order_relaxed);
    return n;
}

// Time budget in ms from the clock, per the allocation rules; exposed for tests.
int64_t time_budget(int64_t time_left, int64_t increment, int moves_to_go, int game_moves, int root_moves,
                    int move_overhead, bool ponder) {
    // Clocks beyond 2^40 ms (about 35 years) count as that long, so that the products below
    // cannot overflow on absurd input.
    constexpr int64_t CLOCK_LIMIT = int64_t(1) << 40;
    time_left = std::clamp(time_left, -CLOCK_LIMIT, CLOCK_LIMIT);
    increment = std::clamp(increment, -CLOCK_LIMIT, CLOCK_LIMIT);
    int64_t t = time_left - move_overhead;
    if (t < 0) t = 0;
    int64_t e;
    if (moves_to_go != 0) {
        e = 8 * t / (2 * int64_t(moves_to_go) + 18);
        if (increment != 0) e += 2 * increment;
    } else if (increment != 0) {
        e = 8 * t / (game_moves < 60 ? 105 - game_moves : 45) + 2 * increment;
    } else {
        e = 8 * t / (game_moves < 60 ? 130 - game_moves : 70);
    }
    if (root_moves == 1) e /= 20;
    if (ponder) e += e / 10;
    return e < t ? e : t;
}

int run_go() {
    SearchThread& t0 = threads[0];
    control.start_time = now_ms();
    char text[8];

    if (options.own_book && control.mode.load() != Infinite) {
        if (Move m = probe_book(*t0.position.current)) {
            while (control.mode.load() == Pondering && !(control.stop.load() & 1)) {
            }
            control.output_lock.lock();
            std::printf("bestmove %s\n", move_to_text(*t0.position.current, m, text));
            std::fflush(stdout);
            control.output_lock.unlock();
            search_gate.release();
            return 0;
        }
    }

    control.vote_counter.store(2047);
    control.show_currmove.store(0);
    for (int i = 0; i < control.thread_count; ++i) {
        threads[i].vote = 0;
        threads[i].nodes.store(0);
        threads[i].tb_hits.store(0);
    }

    control.tb_root_score = SCORE_NONE;
    control.tb_probe_limit = std::min(options.syzygy_probe_limit, tb_largest);
    const PositionState& root = *t0.position.current;
    if (control.tb_probe_limit >= popcount(root.by_type[0]) && root.castling == NO_CASTLING) {
        t0.tb_hits.store(t0.root_end - t0.root_moves);
        control.tb_root_score = rank_root_moves(t0);
        if (control.tb_root_score == SCORE_NONE)
            t0.tb_hits.store(0);
        else
            control.tb_probe_limit = 0;
    }

    uint64_t d;
    if (tt_probe(root.key, d) && tt_move(d)) {
        if (Move m = validate_tt_move(root, tt_move(d))) {
            for (RootMove* r = t0.root_moves; r < t0.root_end; ++r) {
                if (((r->move ^ m) & ~MOVE_CHECK) != 0) continue;
                const RootMove found = *r;
                for (RootMove* x = r; x > t0.root_moves; --x) x[0] = x[-1];
                t0.root_moves[0] = found;
                break;
            }
        }
    }
    if (control.thread_count > 1) take_root_snapshot(t0);

    const int root_count = int(t0.root_end - t0.root_moves);
    const int64_t budget = time_budget(control.time_left, control.increment, control.moves_to_go, control.game_moves,
                                       root_count, options.move_overhead, options.ponder);
    control.soft_deadline = control.start_time + 17 * budget / 64;
    control.hard_deadline = control.start_time + budget;
    control.pv_lines = std::min(root_count, options.multi_pv);
    tt.generation += TT_GENERATION_STEP;
    control.completed_depth.store(0);
    control.depth_lock.unlock();
    int64_t interval = budget < 2000 ? 5 * budget + 5 : 10000;
    if (interval > control.node_limit) interval = control.node_limit;
    if (options.strength != 100 || interval < 1) interval = 1;  // a negative budget or node limit checks at once
    control.check_interval = interval;
    control.next_check = interval;

    for (int i = 1; i < control.thread_count; ++i)
        if (!start_search_thread(&threads[i].handle, worker_body, &threads[i], false)) threads[i].handle = 0;
    search_worker(t0);
    while (control.mode.load() != Normal && !(control.stop.load() & 1)) {
    }
    control.stop.store(1);
    for (int i = 1; i < control.thread_count; ++i)
        if (threads[i].handle) pthread_join(threads[i].handle, nullptr);

    SearchThread* chosen = &t0;
    for (int i = 1; i < control.thread_count; ++i)
        if (threads[i].vote > chosen->vote) chosen = &threads[i];

    if (control.pv_lines == 1) {
        const int completed = control.completed_depth.load();
        print_info(*chosen, 0, control.tb_root_score, now_ms() - control.start_time, sum_nodes(), sum_tb_hits(),
                   completed < control.depth_limit ? completed + 1 : control.depth_limit, chosen->sel_depth);
    }

    control.output_lock.lock();
    Position& pos = chosen->position;
    const Move best = chosen->root_moves[0].move;
    std::printf("bestmove %s", move_to_text(*pos.current, best, text));
    make_move(pos, best, nullptr);
    if (tt_probe(pos.current->key, d) && tt_move(d))
        if (Move ponder = validate_tt_move(*pos.current, tt_move(d)))
            std::printf(" ponder %s", move_to_text(*pos.current, ponder, text));
    unmake(pos);
    std::printf("\n");
    std::fflush(stdout);
    control.output_lock.unlock();
    search_gate.release();
    return 0;
}
