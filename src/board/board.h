// Making moves, position set-up from FEN and move text.
#pragma once
#include "board/position.h"
#include "board/tables.h"
#include "eval/accumulator.h"

extern const char* const START_FEN;

void make_move(Position& pos, Move m, Accumulator* entry);

// The key make_move will give the position after m, for prefetching its table slot before the move
// is made. Castling rights lost and a new en-passant file are left out: those moves prefetch
// another slot, which costs only the prefetch.
inline uint64_t approximate_key_after(const PositionState& p, Move m) {
    const uint64_t* pk = position_keys;
    const int own_code = 8 * p.colour(), opp_code = 8 - own_code;
    const int piece = move_piece(m), from = move_from(m), to = move_to(m);
    uint64_t k = p.key ^ pk[KEY_SIDE] ^ pk[(piece + own_code) * 64 + from];
    if (m & MOVE_CASTLE) {
        const bool h = to == G1;
        const int r = h ? p.own_h_file() : p.own_a_file();
        return k ^ pk[(KING + own_code) * 64 + to] ^ pk[(ROOK + own_code) * 64 + r] ^
               pk[(ROOK + own_code) * 64 + (h ? F1 : D1)] ^ (p.ep_file != NO_EP ? pk[KEY_EP + p.ep_file] : 0);
    }
    if (m & MOVE_CAPTURE) {
        const int x = (m & MOVE_EN_PASSANT) ? to - 8 : to;
        k ^= pk[(move_captured(m) + opp_code) * 64 + (x ^ 56)];
    }
    k ^= pk[((m & MOVE_PROMOTION ? move_promotion(m) : piece) + own_code) * 64 + to];
    if (p.ep_file != NO_EP) k ^= pk[KEY_EP + p.ep_file];
    return k;
}
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
