#include "search/search.h"
#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include "board/board.h"
#include "board/tables.h"
#include "control/search_control.h"
#include "engine/options.h"
#include "eval/evaluate.h"
#include "search/movepick.h"
#include "search/reductions.h"
#include "search/see.h"
#include "search/tt.h"
#include "tablebase/tablebase.h"

constexpr Move QS_STAND_PAT_MOVE = 520;  // marks a stand-pat improvement when no table move exists
static const int DELTA_MARGIN[7] = {0, 162, 391, 418, 570, 1059, 0};

int draw_score(int ply) { return (ply & 1) ? -options.draw_score : options.draw_score; }

void check_limits() {
    const int64_t nodes = threads[0].nodes.load(std::memory_order_relaxed);
    if (nodes < control.next_check) return;
    control.next_check += control.check_interval;
    if (control.mode.load(std::memory_order_relaxed) != Normal) return;
    if (now_ms() > control.hard_deadline || nodes >= control.node_limit) control.stop.store(1);
}

static inline void node_entry(SearchThread& t, int ply) {
    if (t.index == 0) check_limits();
    if (control.stop.load(std::memory_order_relaxed) & 1) longjmp(t.abort_point, 1);
    // Only this thread writes its counter; others read it for reports.
    const int64_t nodes = t.nodes.load(std::memory_order_relaxed) + 1;
    if (nodes > t.node_limit) longjmp(t.abort_point, 1);
    t.nodes.store(nodes, std::memory_order_relaxed);
    if (ply > t.sel_depth) t.sel_depth = ply;
}

// Draws known without search: repetition, fifty moves, bare minor pieces. Returns SCORE_INFINITE
// when none applies.
static inline int immediate_result(const PositionState& p, int ply) {
    if (p.flags & REPETITION) return draw_score(ply);
    if (p.rule50 >= 100) return is_checkmate(p) ? ply - MATE : draw_score(ply);
    if (p.bare_minor())
        return draw_score(ply);
    return SCORE_INFINITE;
}

// Makes a move whose table slot was prefetched from approximate_key_after; the slot is fetched again
// when the guess was wrong. The rows the child's evaluation will read are fetched meanwhile too
// (not when the move checks: positions in check are not evaluated).
static inline void make_prefetched(SearchThread& t, int ply, Move m, uint64_t guess) {
    make_move(t.position, m, &t.accumulators[ply]);
    if (t.position.current->key != guess) tt_prefetch(t.position.current->key);
    if (!(m & MOVE_CHECK)) prefetch_update_rows(t, ply + 1);
}

static inline void child_setup(SearchThread& t, int ply, Move m) {
    t.move_stack[ply + 2] = m;
    t.static_eval[ply + 1] = SCORE_NONE;
    t.accumulators[ply + 1].computed = 0;
}

static inline int material_correction(const PositionState& p) {
    static const int value[6] = {0, 100, 300, 300, 500, 1000};
    int m = 0;
    for (int pt = PAWN; pt <= QUEEN; ++pt) m += value[pt] * (popcount(p.own_of(pt)) - popcount(p.their(pt)));
    return std::clamp(m / 5, -200, 200);
}

static inline bool tb_probe_allowed(const PositionState& p, bool deep_enough) {
    const int pieces = popcount(p.by_type[0]);
    return pieces <= control.tb_probe_limit && (pieces < 5 || deep_enough) && p.rule50 == 0 && p.castling == NO_CASTLING;
}

struct TableProbe {
    bool hit = false;
    int score = SCORE_NONE;
    int depth = -100;
    bool exact = false, lower = false, upper = false;
    uint32_t move = 0;
    int eval = SCORE_NONE;

    void read(uint64_t key, int ply) {
        uint64_t d;
        hit = tt_probe(key, d);
        if (!hit) return;
        score = score_from_tt(tt_raw_score(d), ply);
        depth = tt_depth(d);
        exact = d & TT_EXACT;
        lower = !exact && (d & TT_LOWER);
        upper = !exact && !lower;
        move = tt_move(d);
        eval = tt_eval(d);
    }
    bool cuts(int need_depth, int alpha, int beta) const {
        return hit && depth >= need_depth && (exact || (lower && score >= beta) || (upper && score <= alpha));
    }
    int refined(bool in_check) const {
        return (exact || in_check || (lower && score > eval) || (upper && score < eval)) ? score : eval;
    }
};

int search(SearchThread& t, int node_type, int ply, int depth, int alpha, int beta, Move excluded) {
    if (depth < 1) return qsearch(t, node_type, ply, 0, alpha, beta);
    node_entry(t, ply);
    const PositionState& p = *t.position.current;
    const bool in_check = p.in_check();
    {
        int r = immediate_result(p, ply);
        if (r != SCORE_INFINITE) return r;
    }
    if (ply >= MAX_SEARCH_PLY) return in_check ? draw_score(ply) : evaluate(t, ply);
    const bool pv = node_type == NODE_PV;

    alpha = std::max(alpha, ply - MATE);
    beta = std::min(beta, MATE - 1 - ply);
    if (alpha >= beta) return alpha;

    const uint64_t key = excluded ? p.key ^ move_keys[move_from(excluded) + 64 * move_to(excluded)] : p.key;
    TableProbe tp;
    tp.read(key, ply);
    int adj = t.static_eval[ply];
    if (tp.hit) {
        if (tp.cuts(depth, alpha, beta)) {
            if (alpha < tp.score && tp.score < beta) return tp.score;
            const uint32_t v = tp.move;
            if (v && !(v & (3u << 13)) && !(p.them() & bit((v >> 6) & 63))) {
                Move m = validate_tt_move(p, v);
                if (m) tt_move_update(t, ply, depth, m, tp.score >= beta, in_check);
            }
            return tp.score;
        }
        t.static_eval[ply] = tp.eval;
        adj = tp.refined(in_check);
    }

    int best = SCORE_NONE, cap = SCORE_INFINITE;
    if (!excluded && tb_probe_allowed(p, depth >= options.syzygy_probe_depth)) {
        int success;
        const int wdl = wdl_query(t.position, &success);
        if (success) {
            t.tb_hits.fetch_add(1, std::memory_order_relaxed);
            const int margin = options.syzygy_50_move_rule ? 1 : 0;
            const int c = material_correction(p);
            if (wdl < -margin) {
                const int v = ply - TB_WIN + c;
                if (v <= alpha) return v;
                if (pv) cap = v;
            } else if (wdl > margin) {
                const int v = TB_WIN + c - ply;
                if (v >= beta) return v;
                if (pv) {
                    best = v;
                    alpha = std::max(alpha, v);
                }
            } else {
                return draw_score(ply);
            }
        }
    }

    if (t.static_eval[ply] == SCORE_NONE && !in_check) {
        t.static_eval[ply] = evaluate(t, ply);
        adj = t.static_eval[ply];
    }
    const int e = t.static_eval[ply];
    const bool improving =
        ply < 2 || e == SCORE_NONE || t.static_eval[ply - 2] == SCORE_NONE || e > t.static_eval[ply - 2];
    t.killer[ply + 1] = 0;

    Move tt_m = 0;
    bool tt_validated = false;
    if (!excluded && !in_check) {
        if ((!tp.hit || tp.move == 0) && node_type != NODE_ALL && depth >= 4) --depth;
        if (!pv) {
            if (depth <= 5 && e - 55 * (depth - improving) >= beta) return e;
            if (depth > 3) {
                const Bitboard pieces = p.own & ~(p.by_type[PAWN] | p.by_type[KING]);
                if (t.move_stack[ply + 1] && adj >= beta && beta >= -MATE_BAND && e + 20 * depth >= beta && pieces) {
                    make_null_move(t.position, &t.accumulators[ply]);
                    tt_prefetch(t.position.current->key);
                    child_setup(t, ply, 0);
                    const int nd = ((depth * 24) >> 5) - 3 - std::min((adj - beta) / 100, 3);
                    const int v = -search(t, NODE_ALL, ply + 1, nd, -beta, -alpha, 0);
                    unmake(t.position);
                    if (v >= beta) return v > MATE_BAND ? beta : v;
                }
                if (depth >= 6 && std::abs(beta) <= MATE_BAND &&
                    (!tp.hit || tp.depth < depth - 3 || tp.score >= beta + 150)) {
                    tt_m = validate_tt_move(p, tp.move);
                    tt_validated = true;
                    const int pb = beta + 150;
                    MovePicker mp;
                    picker_init(mp, t, ply, depth, tt_m, PICK_PROBCUT);
                    int32_t s;
                    while (Move m = next_probcut_move(mp, t, &s)) {
                        const int gain = SEE_VALUE[move_captured(m)] +
                                         ((m & MOVE_PROMOTION) ? SEE_VALUE[move_promotion(m)] - 100 : 0);
                        if (gain < pb - e || see(p, m) < pb - e) continue;
                        const uint64_t guess = approximate_key_after(p, m);
                        tt_prefetch(guess);
                        make_prefetched(t, ply, m, guess);
                        child_setup(t, ply, m);
                        int v = -search(t, NODE_ALL, ply + 1, 2, -pb, -pb + 1, 0);
                        if (v >= pb && depth != 6) v = -search(t, NODE_ALL, ply + 1, depth - 4, -pb, -pb + 1, 0);
                        unmake(t.position);
                        if (v >= pb) {
                            const uint64_t old = tt_old_data(key);
                            if (!(tt_current_generation(old) && depth + 5 < tt_priority(old)))
                                tt_store(key, tt_pack(depth - 3, move_to_tt(m), TT_LOWER, score_to_tt(v, ply), e));
                            return v;
                        }
                    }
                }
            }
        }
    }

    if (!tt_validated) tt_m = validate_tt_move(p, tp.move);
    const int first_child = pv ? NODE_PV : node_type ^ NODE_CUT;
    const int later_child = pv ? NODE_CUT : node_type ^ NODE_CUT;
    const int lmp_limit = ((14 + 8 * improving) * depth) >> 2;
    const int see_margin = -75 * depth;
    const bool singular_ok = depth >= 6 && !excluded;
    const int singular_beta = tp.score - 3 * depth;
    const int red_depth = std::min(depth, 200);
    const int c = p.colour();
    const Move prev1 = t.move_stack[ply + 1], prev2 = t.move_stack[ply];

    Move best_move = 0;
    int count = 0;
    Move quiets[MAX_MOVES];
    int quiet_count = 0;
    MovePicker mp;
    picker_init(mp, t, ply, depth, tt_m, PICK_MAIN);
    int32_t s;
    while (Move m = next_move(mp, t, &s)) {
        if (excluded && ((m ^ excluded) & ~MOVE_CHECK) == 0) {
            ++count;
            continue;
        }
        ++count;
        const bool quiet = !(m & (MOVE_CAPTURE | MOVE_PROMOTION));
        const bool bad_capture = s < BAD_CAPTURE_LIMIT;
        const int piece = move_piece(m), to = move_to(m);
        int r = 0;
        if (count >= 2 && depth >= 3 && (quiet || bad_capture)) {
            const int divisor = quiet ? (in_check ? 4 : 1) : (in_check ? 10 : 6);
            r = (reductions[red_depth][std::min(count, 127)] / divisor + 64) >> 6;
            if (pv) r -= 1;
            r = std::max(r, 1);
            if (node_type == NODE_CUT) r += 1;
            if (quiet) {
                if (((m ^ mp.counter) & MOVE_COMPARE_MASK) == 0 || ((m ^ t.killer[ply]) & MOVE_COMPARE_MASK) == 0 ||
                    (m & (MOVE_CHECK | MOVE_CASTLE)))
                    r -= 2;
                else
                    r -= s / 32767;
            }
            r = std::max(r, 0);
        }
        if (count >= 2 && best >= -MATE_BAND) {
            if (depth <= 8 && quiet && !in_check && count >= lmp_limit) mp.skip_quiets = true;
            const int lmr_depth = depth - 1 - r;
            if (quiet && !(m & (MOVE_CHECK | MOVE_CASTLE)) && !in_check && lmr_depth <= 8 &&
                ((m ^ mp.counter) & MOVE_COMPARE_MASK) != 0 && ((m ^ t.killer[ply]) & MOVE_COMPARE_MASK) != 0 &&
                (std::max(lmr_depth, 0) + improving) * 65 + e < alpha)
                continue;
            if (depth <= 4 && quiet && !in_check && t.cont_hist1[c][move_piece(prev1)][move_to(prev1)][piece][to] < 0 &&
                t.cont_hist2[c][move_piece(prev2)][move_to(prev2)][piece][to] < 0)
                continue;
            if (depth <= 6 && !in_check && s < SCORE_TT_MOVE &&
                !(SEE_VALUE[move_captured(m)] - SEE_VALUE[piece] > see_margin) && !(see(p, m) > see_margin))
                continue;
        }
        int ext = 0;
        if (pv && s >= BAD_CAPTURE_LIMIT && count <= 2 && (m & MOVE_CHECK))
            ext = s >= SCORE_TT_MOVE ? 1 : (see(p, m) >= 0 ? 1 : 0);
        if (singular_ok && tp.hit && ext == 0 && ((m ^ tt_m) & ~MOVE_CHECK) == 0 && std::abs(tp.score) <= MATE_BAND &&
            tp.lower && tp.depth >= depth - 3) {
            tt_prefetch(p.key ^ move_keys[move_from(m) + 64 * to]);
            const int v = search(t, NODE_ALL, ply, (depth * 6) >> 4, singular_beta - 1, singular_beta, m);
            ext = v < singular_beta ? 1 : 0;
            if (singular_beta >= beta && v >= singular_beta) return singular_beta;
        }

        const uint64_t guess = approximate_key_after(p, m);
        tt_prefetch(guess);
        make_prefetched(t, ply, m, guess);
        child_setup(t, ply, m);
        const int nd = depth - 1 + ext;
        int v;
        if (count == 1) {
            v = -search(t, first_child, ply + 1, nd, -beta, -alpha, 0);
        } else {
            v = -search(t, later_child, ply + 1, nd - r, -alpha - 1, -alpha, 0);
            if (r > 0 && nd >= 1 && v > alpha) v = -search(t, later_child, ply + 1, nd, -alpha - 1, -alpha, 0);
            if (alpha < v && v < beta) v = -search(t, NODE_PV, ply + 1, nd, -beta, -alpha, 0);
        }
        unmake(t.position);
        best = std::max(best, v);
        if (v > alpha) {
            best_move = m;
            alpha = v;
            if (alpha >= beta) break;
        }
        if (quiet) quiets[quiet_count++] = m;
    }

    if (count == 0) return in_check ? ply - MATE : draw_score(ply);
    if (best == SCORE_NONE) {
        best = alpha;
        if (alpha == SCORE_NONE) return SCORE_NONE;
    }
    if (pv) best = std::min(best, cap);
    if (!excluded && alpha >= beta && best_move && !(best_move & (MOVE_CAPTURE | MOVE_PROMOTION)))
        cutoff_update(t, ply, depth, best_move, quiets, quiet_count, in_check);

    const uint64_t bound = best_move ? (alpha < beta ? TT_EXACT : TT_LOWER) : 0;
    const Move stored = best_move ? best_move : tt_m;
    const int store_depth = std::min(depth, 200);
    const uint64_t old = tt_old_data(key);
    if (!(tt_current_generation(old) && store_depth + 8 + (pv ? 1024 : 0) < tt_priority(old)))
        tt_store(key, tt_pack(store_depth, stored ? move_to_tt(stored) : 0, bound, score_to_tt(best, ply), t.static_eval[ply]));
    return best;
}

int qsearch(SearchThread& t, int node_type, int ply, int depth, int alpha, int beta) {
    node_entry(t, ply);
    const PositionState& p = *t.position.current;
    const bool in_check = p.in_check();
    {
        int r = immediate_result(p, ply);
        if (r != SCORE_INFINITE) return r;
    }
    if (ply >= MAX_SEARCH_PLY) return in_check ? draw_score(ply) : evaluate(t, ply);
    if (depth < -16 && !in_check) return evaluate(t, ply);
    const bool pv = node_type == NODE_PV;
    const int q = (depth != 0 && !in_check) ? 1 : 0;

    TableProbe tp;
    tp.read(p.key, ply);
    int adj = t.static_eval[ply];
    if (tp.hit) {
        if (tp.cuts(-q, alpha, beta)) return tp.score;
        t.static_eval[ply] = tp.eval;
        adj = tp.refined(in_check);
    }

    int best = SCORE_NONE, cap = SCORE_INFINITE;
    if (tb_probe_allowed(p, options.syzygy_probe_depth == 0)) {
        int success;
        const int wdl = wdl_query(t.position, &success);
        if (success) {
            t.tb_hits.fetch_add(1, std::memory_order_relaxed);
            const int margin = options.syzygy_50_move_rule ? 1 : 0;
            const int c = material_correction(p);
            if (wdl < -margin) {
                const int v = ply - TB_WIN + c;
                if (v <= alpha) return v;
                if (pv) cap = v;
            } else if (wdl > margin) {
                const int v = TB_WIN + c - ply;
                if (v >= beta) return v;
                if (pv) {
                    best = v;
                    alpha = std::max(alpha, v);
                }
            } else {
                return draw_score(ply);
            }
        }
    }

    const Move tt_m = validate_tt_move(p, tp.move);
    Move best_move = 0;
    bool cutoff = false;
    if (!in_check) {
        if (t.static_eval[ply] == SCORE_NONE) {
            t.static_eval[ply] = evaluate(t, ply);
            adj = t.static_eval[ply];
        }
        best = std::max(best, adj);
        if (best > alpha) {
            alpha = best;
            best_move = tt_m ? tt_m : QS_STAND_PAT_MOVE;
        }
        cutoff = alpha >= beta;
    }

    int taken = 0;
    if (!cutoff) {
        const int c = p.colour();
        const Move prev1 = t.move_stack[ply + 1], prev2 = t.move_stack[ply];
        const int child = pv ? NODE_PV : node_type ^ NODE_CUT;
        MovePicker mp;
        picker_init(mp, t, ply, depth, tt_m, PICK_QSEARCH);
        int32_t s;
        while (Move m = next_qsearch_move(mp, t, &s)) {
            const int n = taken++;
            const int piece = move_piece(m), captured = move_captured(m);
            if (best >= -MATE_BAND) {
                if (in_check) {
                    if (n >= 1 && SEE_VALUE[captured] < SEE_VALUE[piece] && see(p, m) < 0) continue;
                } else {
                    const bool plain_capture = (m & MOVE_CAPTURE) && !(m & (MOVE_PROMOTION | MOVE_CHECK));
                    const bool is_tt = ((m ^ tt_m) & ~MOVE_CHECK) == 0;
                    if (!pv && plain_capture && !is_tt && adj >= -MATE_BAND && adj + DELTA_MARGIN[captured] < alpha)
                        continue;
                    if (!(m & (MOVE_CAPTURE | MOVE_PROMOTION)) && !is_tt &&
                        t.cont_hist1[c][move_piece(prev1)][move_to(prev1)][piece][move_to(m)] < 0 &&
                        t.cont_hist2[c][move_piece(prev2)][move_to(prev2)][piece][move_to(m)] < 0)
                        continue;
                    if ((m & MOVE_CHECK) && SEE_VALUE[piece] > SEE_VALUE[captured] && see(p, m) < 0) continue;
                    if (plain_capture && SEE_VALUE[piece] >= SEE_VALUE[captured] && see(p, m) <= 0) continue;
                }
            }
            const uint64_t guess = approximate_key_after(p, m);
            tt_prefetch(guess);
            make_prefetched(t, ply, m, guess);
            child_setup(t, ply, m);
            const int v = -qsearch(t, child, ply + 1, depth - 1, -beta, -alpha);
            unmake(t.position);
            best = std::max(best, v);
            if (v > alpha) {
                best_move = m;
                alpha = v;
                if (alpha >= beta) break;
            }
        }
        if (in_check && taken == 0) return ply - MATE;
    }

    if (pv) best = std::min(best, cap);
    const uint64_t old = tt_old_data(p.key);
    if (!(tt_current_generation(old) && (old & 0xFF) >= 56)) {
        const uint64_t bound = best_move ? (alpha < beta ? TT_EXACT : TT_LOWER) : 0;
        const Move stored = (best_move && best_move != QS_STAND_PAT_MOVE) ? best_move : tt_m;
        tt_store(p.key, tt_pack(-q, stored ? move_to_tt(stored) : 0, bound, score_to_tt(best, ply), t.static_eval[ply]));
    }
    return best;
}
