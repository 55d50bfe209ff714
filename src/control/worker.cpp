#include "control/worker.h"
#include <cmath>
#include <cstdio>
#include <cstring>
#include "board/board.h"
#include "control/search_control.h"
#include "engine/options.h"
#include "eval/evaluate.h"
#include "platform/placement.h"
#include "search/movepick.h"
#include "search/reductions.h"
#include "search/search.h"
#include "search/tt.h"

constexpr size_t SEARCH_STACK_BYTES = size_t(256) << 20;

bool start_search_thread(pthread_t* handle, void* (*body)(void*), void* arg, bool detached) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, SEARCH_STACK_BYTES);
    if (detached) pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(handle, &attr, body, arg);
    pthread_attr_destroy(&attr);
    return rc == 0;
}

static PositionState snapshot_states[POSITION_STACK_SIZE];
static int snapshot_depth;
static RootMove snapshot_moves[MAX_MOVES];
static int snapshot_move_count;

void take_root_snapshot(const SearchThread& t0) {
    snapshot_depth = int(t0.position.current - t0.position.states);
    std::memcpy(snapshot_states, t0.position.states, sizeof(PositionState) * (snapshot_depth + 1));
    snapshot_move_count = int(t0.root_end - t0.root_moves);
    std::memcpy(snapshot_moves, t0.root_moves, sizeof(RootMove) * snapshot_move_count);
}

UciScore uci_score(int s) {
    // A tablebase result is a proven win or loss, not a mate: printing it as "mate 110" would make
    // every GUI announce a mate nobody has seen. Mates beyond 39 plies are shown the same way, since
    // their values cannot be told apart from tablebase results.
    if (std::abs(s) > TB_SCORE_TOP) return {true, ((s > 0 ? 32767 : -32766) - s) / 2};
    if (s > MATE_BAND) return {false, s - TB_WIN + TB_CP};
    if (s < -MATE_BAND) return {false, s + TB_WIN - TB_CP};
    return {false, s};
}

void print_info(SearchThread& t, int line, int tb_score, int64_t elapsed, int64_t nodes, int64_t tb_hits, int depth,
                int sel_depth) {
    control.output_lock.lock();
    const int64_t nps = nodes * 1000 / (elapsed + 1);
    std::printf("info multipv %d depth %d seldepth %d time %lld nodes %lld nps %lld tbhits %lld hashfull %lld ", line + 1,
                depth, sel_depth, (long long)elapsed, (long long)nodes, (long long)nps, (long long)tb_hits,
                (long long)hashfull(nodes));
    int s = t.root_scores[line];
    if (std::abs(s) < 27766 && tb_score != SCORE_NONE) s = tb_score;
    const UciScore shown = uci_score(s);
    std::printf(shown.mate ? "score mate %d pv " : "score cp %d pv ", shown.value);
    Position& pos = t.position;
    PositionState* root = pos.current;
    char text[8];
    Move m = t.root_moves[line].move;
    std::printf("%s ", move_to_text(*pos.current, m, text));
    make_move(pos, m, nullptr);
    // Follow exact table moves; the walk is bounded by the room left on the position stack.
    while (!(pos.current->flags & REPETITION) && pos.current < pos.states + POSITION_STACK_SIZE - 1) {
        uint64_t d;
        if (!tt_probe(pos.current->key, d) || !(d & TT_EXACT)) break;
        Move next = validate_tt_move(*pos.current, tt_move(d));
        if (!next) break;
        std::printf("%s ", move_to_text(*pos.current, next, text));
        make_move(pos, next, nullptr);
    }
    pos.current = root;
    std::printf("\n");
    std::fflush(stdout);
    control.output_lock.unlock();
}

// One root search of line k; returns the best score seen.
int root_search(SearchThread& t, int k, int d, int alpha, int beta) {
    const int count = int(t.root_end - t.root_moves);
    int best = SCORE_NONE;
    PositionState& p = *t.position.current;
    char text[8];
    for (int i = k; i < count && alpha < beta; ++i) {
        const Move m = t.root_moves[i].move;
        int64_t v = t.root_moves[i].score;
        if (t.index == 0 && control.show_currmove.load(std::memory_order_relaxed)) {
            control.output_lock.lock();
            std::printf("info currmove %s currmovenumber %d\n", move_to_text(p, m, text), i + 1);
            std::fflush(stdout);
            control.output_lock.unlock();
        }
        if (m & MOVE_CHECK) v = 2147483392;
        const int nd = d - 1 + ((i <= 1 && (m & MOVE_CHECK)) ? 1 : 0);
        make_move(t.position, m, &t.accumulators[0]);
        tt_prefetch(t.position.current->key);
        t.move_stack[2] = m;
        t.static_eval[1] = SCORE_NONE;
        t.accumulators[1].computed = 0;
        int score;
        if (i == k) {
            score = -search(t, NODE_PV, 1, nd, -beta, -alpha, 0);
        } else {
            int r = 0;
            const bool tactical = (m & (MOVE_CAPTURE | MOVE_PROMOTION)) && v > -2047483646;
            if (d >= 3 && !tactical) {
                const int mnum = std::min(i + 1, 127);
                int divisor = v < BAD_CAPTURE_LIMIT ? 6 : 1;
                if (p.in_check()) divisor = v < BAD_CAPTURE_LIMIT ? 10 : 4;
                int tr = (reductions[std::min(d, 200)][mnum] / divisor + 64) >> 6;
                if (tr < 3) tr = 2;
                const Move last = t.position.last_move;
                const Move counter = t.counter_move[p.colour()][move_piece(last)][move_from(last)][move_to(last)];
                const Move plain = m & ~MOVE_CHECK;
                if (v < BAD_CAPTURE_LIMIT)
                    r = tr - 1;
                else if ((counter && plain == counter) || (t.killer[0] && plain == t.killer[0]) ||
                         (m & (MOVE_CASTLE | MOVE_CHECK)))
                    r = tr - 3;
                else
                    r = int(tr - 1 + v / (-32767));
                if (r < 0) r = 0;
            }
            score = -search(t, NODE_CUT, 1, nd - r, -alpha - 1, -alpha, 0);
            if (r != 0 && nd > 0 && score > alpha) score = -search(t, NODE_CUT, 1, nd, -alpha - 1, -alpha, 0);
            if (alpha < score && score < beta) score = -search(t, NODE_PV, 1, nd, -beta, -alpha, 0);
        }
        t.root_scores[i] = score;
        unmake(t.position);
        if (score > alpha) {
            int j = 0;
            while (j < i && t.root_scores[j] >= score) ++j;
            const RootMove moved = {m, t.root_moves[i].score};
            for (int x = i; x > j; --x) {
                t.root_moves[x] = t.root_moves[x - 1];
                t.root_scores[x] = t.root_scores[x - 1];
            }
            t.root_moves[j] = moved;
            t.root_scores[j] = score;
            alpha = t.root_scores[k];
            best = alpha;
        } else {
            best = std::max(best, score);
        }
    }
    return best;
}

void aspiration_search(SearchThread& t, int k, int d) {
    int alpha = -SCORE_INFINITE, beta = SCORE_INFINITE;
    if (d >= 4) {
        const int s = t.root_scores[k];
        alpha = s <= -32762 ? -SCORE_INFINITE : s - 6;
        beta = s >= 32762 ? SCORE_INFINITE : s + 6;
    }
    int delta = 6;
    for (;;) {
        const int best = root_search(t, k, d, alpha, beta);
        if (alpha < best && best < beta) break;
        if (delta > 65533) {
            alpha = -SCORE_INFINITE;
            beta = SCORE_INFINITE;
        } else if (best > alpha) {
            beta = std::min(best + delta, SCORE_INFINITE);
        } else {
            beta = (alpha + beta) / 2;
            alpha = best - delta < -32766 ? -SCORE_INFINITE : best - delta;
        }
        delta += delta >> 1;
    }
}

// Every history entry halved, rounding towards zero: done before each search.
static void halve_histories(SearchThread& t) {
    for (auto& a : t.history)
        for (auto& b : a)
            for (auto& c : b)
                for (auto& h : c) h = int16_t((h + (h < 0 ? 1 : 0)) >> 1);
    for (auto* table : {&t.cont_hist1, &t.cont_hist2})
        for (auto& a : *table)
            for (auto& b : a)
                for (auto& c : b)
                    for (auto& e : c)
                        for (auto& h : e) h = int16_t((h + (h < 0 ? 1 : 0)) >> 1);
}

void prepare_root(SearchThread& t) {
    const PositionState* const root = t.position.current;
    t.move_stack[0] = t.position.prior_move;
    t.move_stack[1] = t.position.last_move;
    t.accumulators[0].computed = 0;
    t.static_eval[0] = root->in_check() ? SCORE_NONE : evaluate(t, 0);
    t.killer[0] = t.killer[2];
    t.killer[1] = 0;
    halve_histories(t);
}

void search_worker(SearchThread& t) {
    if (control.thread_count >= 9) bind_to_numa_node(t.index);
    if (t.index != 0) {
        std::memcpy(t.position.states, snapshot_states, sizeof(PositionState) * (snapshot_depth + 1));
        t.position.current = t.position.states + snapshot_depth;
        std::memcpy(t.root_moves, snapshot_moves, sizeof(RootMove) * snapshot_move_count);
        t.root_end = t.root_moves + snapshot_move_count;
        t.position.prior_move = threads[0].position.prior_move;
        t.position.last_move = threads[0].position.last_move;
    }
    PositionState* const root = t.position.current;
    if (setjmp(t.abort_point)) {
        t.position.current = root;
        return;
    }
    prepare_root(t);
    for (int k = 0; k < control.pv_lines; ++k) t.root_scores[k] = 0;

    int d = 1;
    do {
        int64_t iteration_start = 0;
        if (options.strength != 100) iteration_start = now_ms();
        t.accumulators[0].computed = 0;
        for (int k = 0; k < control.pv_lines; ++k) {
            t.sel_depth = 0;
            aspiration_search(t, k, d);
            t.vote = (int64_t(t.root_scores[0]) + 32767) * 2048 + (int64_t(d) << 27);
        }
        if (options.strength != 100) {
            const int64_t now = now_ms();
            const int64_t wait = int64_t(std::pow(1.05, 150 - options.strength) * double(now - iteration_start + 1));
            const int64_t until = std::min(control.soft_deadline, iteration_start + wait);
            while (now_ms() <= until && !(control.stop.load() & 1)) {
            }
        }
        control.depth_lock.lock();
        if (d > control.completed_depth.load()) {
            const int old = control.completed_depth.load();
            control.completed_depth.store(d);
            control.vote_counter.store(2047);
            t.vote += 2047;
            tt_store(root->key, uint64_t(uint8_t(d + 55)) | uint64_t(move_to_tt(t.root_moves[0].move)) << 8 | TT_EXACT |
                                    tt.generation | uint64_t(uint16_t(int16_t(score_to_tt(t.root_scores[0], 0)))) << 32 |
                                    uint64_t(uint16_t(int16_t(t.static_eval[0]))) << 48);
            const int64_t now = now_ms();
            int64_t nodes = 0, tb_hits = 0;
            for (int i = 0; i < control.thread_count; ++i) {
                nodes += threads[i].nodes.load(std::memory_order_relaxed);
                tb_hits += threads[i].tb_hits.load(std::memory_order_relaxed);
            }
            for (int x = old + 1; x <= d; ++x)
                for (int line = control.pv_lines - 1; line >= 0; --line)
                    print_info(t, line, control.tb_root_score, now - control.start_time, nodes, tb_hits, x, t.sel_depth);
            if (now - control.start_time >= 3000) control.show_currmove.store(1);
            if (control.mode.load() == Normal && now >= control.soft_deadline) control.stop.store(1);
        } else {
            t.vote += control.vote_counter.fetch_sub(1) - 1;
        }
        d = control.completed_depth.load() + 1 + ((t.index % 4 == 3) ? 1 : 0);
        control.depth_lock.unlock();
    } while (d <= control.depth_limit && !(control.stop.load() & 1));
    t.position.current = root;
}
