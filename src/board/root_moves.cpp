#include "board/root_moves.h"
#include <utility>
#include "board/movegen.h"
#include "board/tables.h"
#include "search/see.h"

constexpr int32_t ROOT_KILLER_SCORE = 363837;
constexpr int32_t ROOT_COUNTER_SCORE = 363836;
constexpr uint32_t LOSING_CAPTURE_SHIFT = 100000003;

RootMove* generate_root_moves(SearchThread& t, RootMove* out) {
    const PositionState& p = *t.position.current;
    MoveEntry list[MAX_MOVES];
    MoveEntry* end = list;
    if (p.in_check()) {
        generate_evasions(p, &end, &end, true);
    } else {
        end = generate_underpromotions(p, end);
        end = generate_quiets(p, end, false, false);
        end = generate_captures(p, end);
    }
    MoveEntry* keep = list;
    for (MoveEntry* e = list; e < end; ++e)
        if (is_legal(p, e->move)) *keep++ = *e;
    end = keep;

    const int colour = p.colour();
    const Move last = t.position.last_move, prior = t.position.prior_move;
    const Move counter = t.counter_move[colour][move_piece(last)][move_from(last)][move_to(last)];
    const Move killer = t.killer[2];
    const Bitboard occ = p.by_type[0], them = p.them();
    Bitboard threat_p = 0, threat_m = 0, threat_r = 0;
    for (Bitboard b = p.by_type[PAWN] & them; b;) threat_p |= pawn_attacks_down[pop_lsb(b)];
    threat_m = threat_p;
    for (Bitboard b = p.by_type[KNIGHT] & them; b;) threat_m |= knight_attacks[pop_lsb(b)];
    for (Bitboard b = p.by_type[BISHOP] & them; b;) threat_m |= bishop_attacks(pop_lsb(b), occ);
    threat_r = threat_m;
    for (Bitboard b = p.by_type[ROOK] & them; b;) threat_r |= rook_attacks(pop_lsb(b), occ);
    const Bitboard hanging = (p.own_of(ROOK) & threat_m) | ((p.own_of(KNIGHT) | p.own_of(BISHOP)) & threat_p) |
                             (p.own_of(QUEEN) & threat_r);

    for (MoveEntry* e = list; e < end; ++e) {
        Move m = e->move;
        const int piece = move_piece(m), from = move_from(m), to = move_to(m);
        if (m & (MOVE_CAPTURE | MOVE_PROMOTION)) {
            e->move = m = gives_check(p, m);
            bool under = (m & MOVE_PROMOTION) && move_promotion(m) != QUEEN;
            if (!under && see(p, m) < 0) e->score = int32_t(uint32_t(e->score) + LOSING_CAPTURE_SHIFT);
        } else if (killer && (m & MOVE_COMPARE_MASK) == (killer & MOVE_COMPARE_MASK)) {
            e->score = ROOT_KILLER_SCORE;
        } else if (counter && (m & MOVE_COMPARE_MASK) == (counter & MOVE_COMPARE_MASK)) {
            e->score = ROOT_COUNTER_SCORE;
        } else {
            int32_t s = t.history[colour][piece][from][to] +
                        2 * t.cont_hist2[colour][move_piece(prior)][move_to(prior)][piece][to] +
                        2 * t.cont_hist1[colour][move_piece(last)][move_to(last)][piece][to];
            if (hanging & bit(from)) {
                if (piece == QUEEN && !(threat_r & bit(to))) s += 40000;
                else if (piece == ROOK && !(threat_m & bit(to))) s += 20000;
                else if ((piece == KNIGHT || piece == BISHOP) && !(threat_p & bit(to))) s += 10000;
            }
            if (threat_r & bit(to)) {
                if (piece == QUEEN) s -= 32000;
                else if (piece == ROOK && (threat_m & bit(to))) s -= 16000;
                else if ((piece == KNIGHT || piece == BISHOP) && (threat_p & bit(to))) s -= 8000;
            }
            e->score = s;
        }
    }
    // Selection sort, greatest entry first.
    RootMove* o = out;
    for (MoveEntry* e = list; e < end; ++e) {
        MoveEntry* best = e;
        for (MoveEntry* f = e + 1; f < end; ++f)
            if (entry_value(*f) > entry_value(*best)) best = f;
        std::swap(*e, *best);
        *o++ = *e;
    }
    return o;
}
