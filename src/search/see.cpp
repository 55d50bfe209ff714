#include "search/see.h"
#include "board/tables.h"

const int SEE_VALUE[7] = {0, 100, 300, 300, 500, 1000, 2000};

static inline Bitboard attackers_to(const PositionState& p, int s, Bitboard occ) {
    const Bitboard them = p.them();
    return (((pawn_attacks_up[s] & them) | (pawn_attacks_down[s] & p.own)) & p.by_type[PAWN]) |
           (knight_attacks[s] & p.by_type[KNIGHT]) | (king_attacks[s] & p.by_type[KING]) |
           (bishop_attacks(s, occ) & (p.by_type[BISHOP] | p.by_type[QUEEN])) |
           (rook_attacks(s, occ) & (p.by_type[ROOK] | p.by_type[QUEEN]));
}

int see(const PositionState& p, Move m) {
    const int piece = move_piece(m), to = move_to(m);
    if (piece == KING) return SEE_VALUE[move_captured(m)];
    int gain[40];
    int d = 0;
    gain[0] = SEE_VALUE[move_captured(m)];
    int on_target = piece;
    if (m & MOVE_PROMOTION) {
        gain[0] += SEE_VALUE[move_promotion(m)] - 100;
        on_target = move_promotion(m);
    }
    Bitboard occ = p.by_type[0] & ~bit(move_from(m));
    bool opponent = true;
    for (;;) {
        const Bitboard att = attackers_to(p, to, occ) & occ;
        const Bitboard side = att & (opponent ? p.them() : p.own);
        if (!side) break;
        int pt = PAWN;
        while (pt < KING && !(side & p.by_type[pt])) ++pt;
        // The king recaptures only when nothing can take it back.
        if (pt == KING && (att & ~side)) break;
        ++d;
        gain[d] = SEE_VALUE[on_target] - gain[d - 1];
        if (gain[d] > SEE_VALUE[pt]) break;
        occ &= ~bit(lsb(side & p.by_type[pt]));
        on_target = pt;
        opponent = !opponent;
    }
    for (; d > 0; --d) gain[d - 1] = -(-gain[d - 1] > gain[d] ? -gain[d - 1] : gain[d]);
    return gain[0];
}
