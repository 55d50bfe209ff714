#include "search/movepick.h"
#include <utility>
#include "board/movegen.h"
#include "board/tables.h"
#include "search/see.h"
#include "search/tt.h"

enum Stage {
    ST_TT, ST_GENERATE, ST_GOOD_CAPTURES, ST_KILLER, ST_COUNTER, ST_QUIET_GEN, ST_QUIETS, ST_BAD_CAPTURES, ST_REST,
    ST_DONE,
    // quiescence and ProbCut
    QS_TT, QS_GENERATE, QS_CAPTURES, QS_CHECKS_GEN, QS_QUIETS, PC_TT, PC_GENERATE, PC_CAPTURES
};

static inline bool same_move(Move a, Move b) { return ((a ^ b) & ~MOVE_CHECK) == 0; }
static inline bool same_quiet(Move a, Move b) { return ((a ^ b) & MOVE_COMPARE_MASK) == 0; }

ThreatInfo::ThreatInfo(const PositionState& p) {
    const Bitboard them = p.them(), occ = p.by_type[0];
    const Bitboard opp_pawns = p.by_type[PAWN] & them;
    pawn_att = ((opp_pawns >> 7) & 0x00fefefefefefefeull) | ((opp_pawns >> 9) & 0x007f7f7f7f7f7f7full);
    minor_att = pawn_att;
    for (Bitboard b = p.by_type[KNIGHT] & them; b;) minor_att |= knight_attacks[pop_lsb(b)];
    for (Bitboard b = p.by_type[BISHOP] & them; b;) minor_att |= bishop_attacks(pop_lsb(b), occ);
    rook_att = minor_att;
    for (Bitboard b = p.by_type[ROOK] & them; b;) rook_att |= rook_attacks(pop_lsb(b), occ);
    threatened = (p.own_of(ROOK) & minor_att) | ((p.own_of(KNIGHT) | p.own_of(BISHOP)) & pawn_att) |
                 (p.own_of(QUEEN) & rook_att);
}

// Quiet scores of one node: the tables' rows for the node's colour and previous moves are found
// once, each move then costs three loads and the threat terms.
struct QuietScorer {
    const int16_t (*hist)[64][64];      // history[colour]
    const int16_t (*cont1)[64];         // cont_hist1[colour][previous piece][previous to]
    const int16_t (*cont2)[64];         // cont_hist2[colour][piece two plies back][its to]
    ThreatInfo ti;
    QuietScorer(const SearchThread& t, const PositionState& p, int ply) : ti(p) {
        const int c = p.colour();
        const Move m1 = t.move_stack[ply + 1], m2 = t.move_stack[ply];
        hist = t.history[c];
        cont1 = t.cont_hist1[c][move_piece(m1)][move_to(m1)];
        cont2 = t.cont_hist2[c][move_piece(m2)][move_to(m2)];
    }
    int32_t score(Move m) const {
        const int pc = move_piece(m), f = move_from(m), to = move_to(m);
        int32_t s = 2 * (cont1[pc][to] + cont2[pc][to]) + hist[pc][f][to];
        const Bitboard tb = bit(to);
        if (ti.threatened & bit(f)) {
            if (pc == QUEEN && !(ti.rook_att & tb)) s += 40000;
            else if (pc == ROOK && !(ti.minor_att & tb)) s += 20000;
            else if ((pc == KNIGHT || pc == BISHOP) && !(ti.pawn_att & tb)) s += 10000;
        }
        if (ti.rook_att & tb) {
            if (pc == QUEEN) s -= 32000;
            else if ((pc == KNIGHT || pc == BISHOP) && (ti.pawn_att & tb)) s -= 8000;
            else if (pc == ROOK && (ti.minor_att & tb)) s -= 16000;
        }
        return s;
    }
};

void picker_init(MovePicker& mp, SearchThread& t, int ply, int depth, Move tt_move, PickerKind kind) {
    const PositionState& p = *t.position.current;
    mp.in_check = p.in_check();
    mp.skip_quiets = false;
    mp.depth = depth;
    mp.ply = ply;
    mp.tt_move = tt_move;
    mp.killer = t.killer[ply];
    mp.counter = 0;
    mp.caps_begin = mp.caps_end = mp.caps;
    mp.quiets_begin = mp.quiets_end = mp.quiets;
    mp.stage = kind == PICK_MAIN ? ST_TT : kind == PICK_QSEARCH ? QS_TT : PC_TT;
}

// The greatest entry of [begin, end) (entries are all different: the move words differ). Written
// without a branch on the comparison, which would be mispredicted about half the time.
static inline MoveEntry* best_entry(MoveEntry* begin, MoveEntry* end) {
    MoveEntry* best = begin;
    int64_t bv = entry_value(*begin);
    for (MoveEntry* e = begin + 1; e < end; ++e) {
        const int64_t v = entry_value(*e);
        const bool greater = v > bv;
        bv = greater ? v : bv;
        best = greater ? e : best;
    }
    return best;
}

// Removes and returns the greatest entry of [begin, end).
static inline MoveEntry take_best(MoveEntry*& begin, MoveEntry* end) {
    std::swap(*best_entry(begin, end), *begin);
    return *begin++;
}

static void score_quiets(MovePicker& mp, SearchThread& t, const PositionState& p) {
    const QuietScorer q(t, p, mp.ply);
    for (MoveEntry* e = mp.quiets_begin; e < mp.quiets_end; ++e) e->score = q.score(e->move);
}

Move next_move(MovePicker& mp, SearchThread& t, int32_t* score) {
    const PositionState& p = *t.position.current;
    for (;;) {
        switch (mp.stage) {
        case ST_TT:
            mp.stage = ST_GENERATE;
            if (mp.tt_move) {
                *score = SCORE_TT_MOVE;
                return mp.tt_move;
            }
            break;
        case ST_GENERATE:
            if (mp.in_check) {
                MoveEntry* c = mp.caps;
                MoveEntry* q = mp.quiets;
                generate_evasions(p, &c, &q, mp.depth > 8);
                mp.caps_end = c;
                mp.quiets_end = q;
            } else {
                mp.caps_end = generate_captures(p, mp.caps);
            }
            mp.stage = ST_GOOD_CAPTURES;
            break;
        case ST_GOOD_CAPTURES:
            while (mp.caps_begin < mp.caps_end) {
                MoveEntry* b = best_entry(mp.caps_begin, mp.caps_end);
                if (b->score < SCORE_TT_MOVE) break;
                Move m = b->move;
                if (same_move(m, mp.tt_move)) {
                    std::swap(*b, *mp.caps_begin++);
                    continue;
                }
                if ((m & MOVE_CAPTURE) && SEE_VALUE[move_captured(m)] < SEE_VALUE[move_piece(m)] && see(p, m) < 0) {
                    b->score = int32_t(uint32_t(b->score) + LOSING_CAPTURE_SHIFT);
                    continue;
                }
                std::swap(*b, *mp.caps_begin++);
                if (!is_legal(p, m)) continue;
                *score = mp.caps_begin[-1].score;
                return gives_check(p, m);
            }
            if (mp.in_check)
                mp.stage = mp.skip_quiets ? ST_BAD_CAPTURES : ST_QUIET_GEN;
            else
                mp.stage = ST_KILLER;
            break;
        case ST_KILLER:
            mp.stage = ST_COUNTER;
            if (!mp.skip_quiets && mp.killer && !same_quiet(mp.killer, mp.tt_move) && quiet_pseudo_legal(p, mp.killer) &&
                is_legal(p, mp.killer)) {
                *score = SCORE_KILLER;
                return gives_check(p, mp.killer);
            }
            break;
        case ST_COUNTER: {
            mp.stage = ST_QUIET_GEN;
            if (mp.skip_quiets) break;
            const Move prev = t.move_stack[mp.ply + 1];
            mp.counter = t.counter_move[p.colour()][move_piece(prev)][move_from(prev)][move_to(prev)];
            Move c = mp.counter;
            if (c && !same_quiet(c, mp.tt_move) && !same_quiet(c, mp.killer) && quiet_pseudo_legal(p, c) && is_legal(p, c)) {
                *score = SCORE_KILLER;
                return gives_check(p, c);
            }
            break;
        }
        case ST_QUIET_GEN:
            if (mp.skip_quiets) {
                mp.stage = ST_BAD_CAPTURES;
                break;
            }
            if (!mp.in_check) mp.quiets_end = generate_quiets(p, mp.quiets, false, false);
            score_quiets(mp, t, p);
            mp.stage = ST_QUIETS;
            break;
        case ST_QUIETS:
            while (!mp.skip_quiets && mp.quiets_begin < mp.quiets_end) {
                MoveEntry e = take_best(mp.quiets_begin, mp.quiets_end);
                if (same_move(e.move, mp.tt_move)) continue;
                if (!mp.in_check && (same_quiet(e.move, mp.killer) || same_quiet(e.move, mp.counter))) continue;
                if (!is_legal(p, e.move)) continue;
                *score = e.score;
                return e.move;
            }
            mp.stage = ST_BAD_CAPTURES;
            break;
        case ST_BAD_CAPTURES:
            while (mp.caps_begin < mp.caps_end) {
                MoveEntry* b = best_entry(mp.caps_begin, mp.caps_end);
                if (b->score < REST_LIMIT) break;
                MoveEntry e = *b;
                std::swap(*b, *mp.caps_begin++);
                if (same_move(e.move, mp.tt_move) || !is_legal(p, e.move)) continue;
                *score = e.score;
                return gives_check(p, e.move);
            }
            if (mp.depth > 8 && !mp.in_check) mp.caps_end = generate_underpromotions(p, mp.caps_end);
            mp.stage = ST_REST;
            break;
        case ST_REST:
            while (mp.caps_begin < mp.caps_end) {
                MoveEntry e = take_best(mp.caps_begin, mp.caps_end);
                if (same_move(e.move, mp.tt_move) || !is_legal(p, e.move)) continue;
                *score = e.score;
                return gives_check(p, e.move);
            }
            mp.stage = ST_DONE;
            break;
        default:
            return 0;
        }
    }
}

Move next_probcut_move(MovePicker& mp, SearchThread& t, int32_t* score) {
    const PositionState& p = *t.position.current;
    for (;;) {
        switch (mp.stage) {
        case PC_TT:
            mp.stage = PC_GENERATE;
            if (mp.tt_move && (mp.tt_move & (MOVE_CAPTURE | MOVE_PROMOTION))) {
                *score = SCORE_TT_MOVE;
                return mp.tt_move;
            }
            break;
        case PC_GENERATE:
            mp.caps_end = generate_captures(p, mp.caps);
            mp.stage = PC_CAPTURES;
            break;
        case PC_CAPTURES:
            while (mp.caps_begin < mp.caps_end) {
                MoveEntry e = take_best(mp.caps_begin, mp.caps_end);
                if (same_move(e.move, mp.tt_move) || !is_legal(p, e.move)) continue;
                *score = e.score;
                return gives_check(p, e.move);
            }
            mp.stage = ST_DONE;
            break;
        default:
            return 0;
        }
    }
}

Move next_qsearch_move(MovePicker& mp, SearchThread& t, int32_t* score) {
    const PositionState& p = *t.position.current;
    for (;;) {
        switch (mp.stage) {
        case QS_TT:
            mp.stage = QS_GENERATE;
            if (mp.tt_move) {
                *score = SCORE_TT_MOVE;
                return mp.tt_move;
            }
            break;
        case QS_GENERATE:
            if (mp.in_check) {
                MoveEntry* c = mp.caps;
                MoveEntry* q = mp.quiets;
                generate_evasions(p, &c, &q, false);
                mp.caps_end = c;
                mp.quiets_end = q;
            } else {
                mp.caps_end = generate_captures(p, mp.caps);
            }
            mp.stage = QS_CAPTURES;
            break;
        case QS_CAPTURES:
            while (mp.caps_begin < mp.caps_end) {
                MoveEntry e = take_best(mp.caps_begin, mp.caps_end);
                if (same_move(e.move, mp.tt_move) || !is_legal(p, e.move)) continue;
                *score = e.score;
                return gives_check(p, e.move);
            }
            mp.stage = QS_CHECKS_GEN;
            break;
        case QS_CHECKS_GEN:
            if (!mp.in_check) {
                if (mp.depth == 0) mp.quiets_end = generate_quiets(p, mp.quiets, true, true);
            }
            if (mp.quiets_end > mp.quiets) score_quiets(mp, t, p);
            mp.stage = QS_QUIETS;
            break;
        case QS_QUIETS:
            while (mp.quiets_begin < mp.quiets_end) {
                MoveEntry e = take_best(mp.quiets_begin, mp.quiets_end);
                if (same_move(e.move, mp.tt_move) || !is_legal(p, e.move)) continue;
                *score = e.score;
                return e.move;
            }
            mp.stage = ST_DONE;
            break;
        default:
            return 0;
        }
    }
}

bool quiet_pseudo_legal(const PositionState& p, Move m) {
    const int piece = move_piece(m), from = move_from(m), to = move_to(m);
    if (m & (MOVE_CAPTURE | MOVE_PROMOTION | MOVE_EN_PASSANT)) return false;
    if (!(p.own_of(piece) & bit(from))) return false;
    if (m & MOVE_CASTLE) {
        if (piece != KING || (to != G1 && to != C1)) return false;
        return castling_allowed(p, to == G1);
    }
    const Bitboard occ = p.by_type[0];
    if (occ & bit(to)) return false;
    switch (piece) {
    case PAWN:
        if (to >= A8) return false;
        if (to == from + 8) return true;
        return to == from + 16 && from < A3 && !(occ & bit(from + 8));
    case KNIGHT: return knight_attacks[from] & bit(to);
    case BISHOP: return bishop_attacks(from, occ) & bit(to);
    case ROOK: return rook_attacks(from, occ) & bit(to);
    case QUEEN: return queen_attacks(from, occ) & bit(to);
    case KING: return king_attacks[from] & bit(to);
    default: return false;
    }
}

Move validate_tt_move(const PositionState& p, uint32_t v) {
    if (!v) return 0;
    const int from = v & 63, to = (v >> 6) & 63;
    if (!(p.own & bit(from))) return 0;
    Move m = tt_to_move(p, v);
    const int piece = move_piece(m);
    const Bitboard occ = p.by_type[0], them = p.them();
    if (m & MOVE_CASTLE) {
        if (piece != KING || (to != G1 && to != C1) || !castling_allowed(p, to == G1)) return 0;
        if (move_from(castling_move(p, to == G1)) != from) return 0;
        return gives_check(p, m);  // the path tests of the generator already cover legality
    }
    if (p.own & bit(to)) return 0;
    if (m & MOVE_PROMOTION) {
        if (piece != PAWN || to < A8) return 0;
        if (!((to == from + 8 && !(occ & bit(to))) || (pawn_attacks_up[from] & them & bit(to)))) return 0;
    } else if (m & MOVE_EN_PASSANT) {
        if (piece != PAWN || p.ep_file == NO_EP || to != 40 + p.ep_file || !(ep_neighbours_rank5[p.ep_file] & bit(from)))
            return 0;
    } else {
        switch (piece) {
        case PAWN:
            if (to >= A8) return 0;
            if (m & MOVE_CAPTURE) {
                if (!(pawn_attacks_up[from] & bit(to))) return 0;
            } else if (!(to == from + 8 || (to == from + 16 && from < A3 && !(occ & bit(from + 8))))) {
                return 0;
            }
            break;
        case KNIGHT: if (!(knight_attacks[from] & bit(to))) return 0; break;
        case BISHOP: if (!(bishop_attacks(from, occ) & bit(to))) return 0; break;
        case ROOK: if (!(rook_attacks(from, occ) & bit(to))) return 0; break;
        case QUEEN: if (!(queen_attacks(from, occ) & bit(to))) return 0; break;
        case KING: if (!(king_attacks[from] & bit(to))) return 0; break;
        default: return 0;
        }
    }
    if (p.in_check() && piece != KING) {
        // Only a capture of the single checker or a block answers the check.
        const int k = p.own_king();
        Bitboard checkers = ((knight_attacks[k] & p.by_type[KNIGHT]) | (pawn_attacks_up[k] & p.by_type[PAWN]) |
                             (bishop_attacks(k, occ) & (p.by_type[BISHOP] | p.by_type[QUEEN])) |
                             (rook_attacks(k, occ) & (p.by_type[ROOK] | p.by_type[QUEEN]))) &
                            them;
        if (checkers & (checkers - 1)) return 0;
        const int checker = lsb(checkers);
        const bool ep_takes_checker = (m & MOVE_EN_PASSANT) && to - 8 == checker;
        // ray_to is empty for a knight checker, so the checker's own square is added.
        if (!((ray_to[k][checker] | bit(checker)) & bit(to)) && !ep_takes_checker) return 0;
    }
    if (!is_legal(p, m)) return 0;
    return gives_check(p, m);
}

bool is_checkmate(const PositionState& p) {
    if (!p.in_check()) return false;
    MoveEntry list[MAX_MOVES];
    MoveEntry* end = list;
    generate_evasions(p, &end, &end, false);
    for (MoveEntry* e = list; e < end; ++e)
        if (is_legal(p, e->move)) return false;
    return true;
}

static inline void update_three(SearchThread& t, int c, int ply, Move m, int delta) {
    const int pc = move_piece(m), f = move_from(m), to = move_to(m);
    const Move m1 = t.move_stack[ply + 1], m2 = t.move_stack[ply];
    history_add(t.history[c][pc][f][to], delta);
    history_add(t.cont_hist1[c][move_piece(m1)][move_to(m1)][pc][to], delta);
    history_add(t.cont_hist2[c][move_piece(m2)][move_to(m2)][pc][to], delta);
}

static inline void set_killer_counter(SearchThread& t, int c, int ply, Move m) {
    const Move clean = m & MOVE_COMPARE_MASK;
    t.killer[ply] = clean;
    const Move prev = t.move_stack[ply + 1];
    t.counter_move[c][move_piece(prev)][move_from(prev)][move_to(prev)] = clean;
}

void cutoff_update(SearchThread& t, int ply, int depth, Move best, const Move* quiets, int n, bool in_check) {
    const int c = t.position.current->colour();
    const int b = history_bonus(depth);
    update_three(t, c, ply, best, b);
    for (int i = 0; i < n; ++i) update_three(t, c, ply, quiets[i], -b);
    if (!in_check) set_killer_counter(t, c, ply, best);
}

void tt_move_update(SearchThread& t, int ply, int depth, Move m, bool fail_high, bool in_check) {
    const int c = t.position.current->colour();
    const int b = history_bonus(depth);
    update_three(t, c, ply, m, fail_high ? b : -b);
    if (fail_high && !in_check) set_killer_counter(t, c, ply, m);
}
