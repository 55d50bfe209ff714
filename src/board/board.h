// Making moves, position set-up from FEN and move text.
#pragma once
#include "board/position.h"
#include "eval/accumulator.h"

extern const char* const START_FEN;

void make_move(Position& pos, Move m, Accumulator* entry);
void make_null_move(Position& pos, Accumulator* entry);
inline void unmake(Position& pos) { --pos.current; }

// Reads a FEN into a record. Returns false, leaving out unspecified, when the text is not a valid
// position: bad characters, missing fields, ranks not of 8 squares, not one king a side, pawns on
// the first or last rank, or the side not to move in check.
bool parse_fen(const char* fen, PositionState& out);

// Sets the position from a FEN and plays the space-separated move list (may be null). Returns the
// number of moves played divided by two, or -1 when the FEN is rejected (the position is then
// unchanged). Playing stops at the first move text that is malformed or not legal.
int set_position(Position& pos, const char* fen, const char* moves);

// Finds the legal move written as text (either castling notation); 0 if none.
Move parse_move(const PositionState& p, const char* text, int len);

// Writes the move as UCI text into out (at least 6 bytes); returns out.
char* move_to_text(const PositionState& p, Move m, char* out);

// Writes the position as FEN into out (at least FEN_BUFFER bytes); returns out. Castling rights
// are written as K/Q/k/q when that letter names the right's rook, else as the rook's file letter,
// so that parse_fen reads back the same record. The fullmove number is not kept in the record.
constexpr int FEN_BUFFER = 128;
char* position_to_fen(const PositionState& p, char* out, int fullmove = 1);

// Number of stored records a game may occupy below the search plies.
constexpr int MAX_GAME_RECORDS = POSITION_STACK_SIZE - 1024;
