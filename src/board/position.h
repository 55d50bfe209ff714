// Position state in the relative frame: the side to move always plays up the board.
#pragma once
#include "board/types.h"

// flags bits
constexpr uint16_t REPETITION = 1;
constexpr uint16_t IN_CHECK = 4;
constexpr uint16_t BLACK_TO_MOVE = 8;

constexpr uint16_t NO_CASTLING = 0x8888;
constexpr int NO_EP = 8;

struct alignas(16) PositionState {
    Bitboard by_type[7];  // [0] all pieces, [1..6] pawn..king of both colours
    Bitboard own;         // pieces of the side to move
    uint64_t key;
    uint16_t castling;  // 4-bit rook files: own h, own a, opp h, opp a (8 = none)
    int16_t rule50;
    int16_t ep_file;
    uint16_t flags;

    Bitboard them() const { return by_type[0] ^ own; }
    Bitboard own_of(int t) const { return by_type[t] & own; }
    Bitboard their(int t) const { return by_type[t] & ~own; }
    int own_king() const { return lsb(by_type[KING] & own); }
    int their_king() const { return lsb(by_type[KING] & ~own); }
    bool in_check() const { return flags & IN_CHECK; }
    // Kings and at most one minor piece: no mate is possible, a dead draw.
    bool bare_minor() const {
        return !(by_type[PAWN] | by_type[ROOK] | by_type[QUEEN]) && popcount(by_type[KNIGHT] | by_type[BISHOP]) <= 1;
    }
    bool black_to_move() const { return flags & BLACK_TO_MOVE; }
    int colour() const { return (flags & BLACK_TO_MOVE) ? 1 : 0; }
    int piece_on(int s) const {
        Bitboard b = bit(s);
        for (int t = PAWN; t <= KING; ++t)
            if (by_type[t] & b) return t;
        return NO_PIECE;
    }
    int own_h_file() const { return castling & 15; }
    int own_a_file() const { return (castling >> 4) & 15; }
};
static_assert(sizeof(PositionState) == 80);

constexpr int POSITION_STACK_SIZE = 1124;

struct Position {
    PositionState states[POSITION_STACK_SIZE];
    PositionState* current;
    Move prior_move;
    Move last_move;
};
