// Basic types of the board: squares, pieces, the move word and the list entry.
#pragma once
#include <cstdint>
#include <cstring>

typedef uint64_t Bitboard;
typedef uint32_t Move;

enum PieceType { NO_PIECE = 0, PAWN = 1, KNIGHT = 2, BISHOP = 3, ROOK = 4, QUEEN = 5, KING = 6 };

// Move word layout.
constexpr int MOVE_FROM_SHIFT = 3;
constexpr int MOVE_TO_SHIFT = 9;
constexpr int MOVE_CAPTURED_SHIFT = 15;
constexpr int MOVE_PROMOTION_SHIFT = 18;
constexpr Move MOVE_CASTLE = 1u << 21;
constexpr Move MOVE_CAPTURE = 1u << 22;
constexpr Move MOVE_EN_PASSANT = 1u << 23;
constexpr Move MOVE_PROMOTION = 1u << 24;
constexpr Move MOVE_CHECK = 1u << 25;
// Bits that differ between the same move from different sources (generator vs stored).
constexpr Move MOVE_COMPARE_MASK = ~(MOVE_CAPTURE | MOVE_PROMOTION | MOVE_CHECK);

inline int move_piece(Move m) { return m & 7; }
inline int move_from(Move m) { return (m >> MOVE_FROM_SHIFT) & 63; }
inline int move_to(Move m) { return (m >> MOVE_TO_SHIFT) & 63; }
inline int move_captured(Move m) { return (m >> MOVE_CAPTURED_SHIFT) & 7; }
inline int move_promotion(Move m) { return (m >> MOVE_PROMOTION_SHIFT) & 7; }
inline Move make_move_word(int piece, int from, int to) {
    return Move(piece) | Move(from) << MOVE_FROM_SHIFT | Move(to) << MOVE_TO_SHIFT;
}

// Move plus signed ordering score; compared as one signed 64-bit number (score first, then move).
struct MoveEntry {
    Move move;
    int32_t score;
};
static_assert(sizeof(MoveEntry) == 8);
inline int64_t entry_value(const MoveEntry& e) {
    int64_t v;
    std::memcpy(&v, &e, 8);
    return v;
}

// Squares (relative frame: side to move plays up the board).
enum : int {
    A1 = 0, B1, C1, D1, E1, F1, G1, H1,
    A2, B2, C2, D2, E2, F2, G2, H2,
    A3, B3, C3, D3, E3, F3, G3, H3,
    A4, B4, C4, D4, E4, F4, G4, H4,
    A5, B5, C5, D5, E5, F5, G5, H5,
    A6, B6, C6, D6, E6, F6, G6, H6,
    A7, B7, C7, D7, E7, F7, G7, H7,
    A8, B8, C8, D8, E8, F8, G8, H8
};

constexpr Bitboard RANK_1 = 0xFFull;
constexpr Bitboard RANK_2 = RANK_1 << 8;
constexpr Bitboard RANK_3 = RANK_1 << 16;
constexpr Bitboard RANK_4 = RANK_1 << 24;
constexpr Bitboard RANK_5 = RANK_1 << 32;
constexpr Bitboard RANK_6 = RANK_1 << 40;
constexpr Bitboard RANK_7 = RANK_1 << 48;
constexpr Bitboard RANK_8 = RANK_1 << 56;
constexpr Bitboard FILE_A = 0x0101010101010101ull;
constexpr Bitboard FILE_H = FILE_A << 7;

inline int lsb(Bitboard b) { return __builtin_ctzll(b); }
inline int popcount(Bitboard b) { return __builtin_popcountll(b); }
inline Bitboard bit(int s) { return 1ull << s; }
inline int pop_lsb(Bitboard& b) {
    int s = lsb(b);
    b &= b - 1;
    return s;
}
inline Bitboard byte_reverse(Bitboard b) { return __builtin_bswap64(b); }
inline int file_of(int s) { return s & 7; }
inline int rank_of(int s) { return s >> 3; }
