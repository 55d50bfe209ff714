// Pseudo-legal move generators, check and legality tests.
#pragma once
#include "board/position.h"

constexpr int32_t SCORE_CAPTURE_BASE = 0x7FFFFF00;
constexpr int32_t SCORE_QUEEN_PROMO_PUSH = 0x7FFFFF36;
constexpr int32_t SCORE_KNIGHT_PROMO = int32_t(0x80000002u);
constexpr int32_t SCORE_BISHOP_PROMO = int32_t(0x80000000u);
constexpr int32_t SCORE_ROOK_PROMO = int32_t(0x80000001u);

MoveEntry* generate_captures(const PositionState& p, MoveEntry* list);
MoveEntry* generate_underpromotions(const PositionState& p, MoveEntry* list);
MoveEntry* generate_quiets(const PositionState& p, MoveEntry* list, bool checks_only, bool no_castling);
// Captures and promotions go to *captures, the rest to *quiets (the two may be the same pointer).
void generate_evasions(const PositionState& p, MoveEntry** captures, MoveEntry** quiets, bool all_promotions);
Move gives_check(const PositionState& p, Move m);
// Number of legal moves (each promotion piece counted), without listing them: the count of the
// generators' moves that pass is_legal, found from attack sets and pins (perft's last ply).
int count_legal_moves(const PositionState& p);
bool is_legal(const PositionState& p, Move m);
// All legal moves of the position, each with its check flags set; returns their number (at most 256).
int generate_legal(const PositionState& p, Move* out);
// Whether square s is attacked by the opponent of the side to move, with occupancy occ.
bool square_attacked(const PositionState& p, int s, Bitboard occ);
// Whether the castling move of this wing (h-side true) may be generated in this position.
bool castling_allowed(const PositionState& p, bool h_side);
Move castling_move(const PositionState& p, bool h_side);
