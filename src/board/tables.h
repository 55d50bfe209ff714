// Shared read-only tables: leaper and slider attacks, lines between squares, hash keys.
#pragma once
#include "board/types.h"

struct SliderMagic {
    Bitboard mask;
    Bitboard magic;
    uint64_t shift;
    Bitboard* attacks;
};

extern Bitboard knight_attacks[64];
extern Bitboard king_attacks[64];
extern Bitboard pawn_attacks_up[64];
extern Bitboard pawn_attacks_down[64];
extern Bitboard ep_neighbours_rank5[8];
extern Bitboard ep_neighbours_rank4[8];
extern SliderMagic bishop_magics[64];
extern SliderMagic rook_magics[64];
extern Bitboard ray_to[64][64];
extern int32_t direction[64][64];
extern uint64_t position_keys[1037];
extern uint64_t move_keys[4096];

// Key indices.
constexpr int KEY_CASTLING = 1024;  // + colour + 2 * wing (wing 0 h-side, 1 a-side)
constexpr int KEY_EP = 1028;        // + file
constexpr int KEY_SIDE = 1036;

void init_board_tables();

inline Bitboard bishop_attacks(int s, Bitboard occ) {
    const SliderMagic& m = bishop_magics[s];
    return m.attacks[((occ & m.mask) * m.magic) >> m.shift];
}
inline Bitboard rook_attacks(int s, Bitboard occ) {
    const SliderMagic& m = rook_magics[s];
    return m.attacks[((occ & m.mask) * m.magic) >> m.shift];
}
inline Bitboard queen_attacks(int s, Bitboard occ) { return bishop_attacks(s, occ) | rook_attacks(s, occ); }

// Slow reference walk used to build the tables (and by tests).
Bitboard slider_attacks_slow(int s, Bitboard occ, bool bishop);
