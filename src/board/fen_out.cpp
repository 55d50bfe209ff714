#include <cstdio>
#include "board/board.h"

// Castling letter of one right: K/Q (k/q) when the rook is the outermost one on that side, which
// is what the reader takes those letters for, otherwise the rook's file letter (Chess960).
static char castling_letter(Bitboard back_rank_rooks, int file, bool h_side, bool white) {
    const int outermost = h_side ? file_of(63 - __builtin_clzll(back_rank_rooks)) : file_of(lsb(back_rank_rooks));
    char c = outermost == file ? (h_side ? 'k' : 'q') : char('a' + file);
    return white ? char(c - 'a' + 'A') : c;
}

char* position_to_fen(const PositionState& p, char* out, int fullmove) {
    // Real-colour boards: the side to move's pieces are turned back when black is to move.
    const bool black = p.black_to_move();
    Bitboard by_type[7], white = black ? byte_reverse(p.by_type[0] ^ p.own) : p.own;
    for (int t = 0; t < 7; ++t) by_type[t] = black ? byte_reverse(p.by_type[t]) : p.by_type[t];
    char* o = out;
    for (int rank = 7; rank >= 0; --rank) {
        int empty = 0;
        for (int file = 0; file < 8; ++file) {
            const int sq = 8 * rank + file;
            int t = NO_PIECE;
            for (int k = PAWN; k <= KING; ++k)
                if (by_type[k] & bit(sq)) t = k;
            if (t == NO_PIECE) {
                ++empty;
                continue;
            }
            if (empty) *o++ = char('0' + empty);
            empty = 0;
            const char letter = " pnbrqk"[t];
            *o++ = (white & bit(sq)) ? char(letter - 'a' + 'A') : letter;
        }
        if (empty) *o++ = char('0' + empty);
        if (rank) *o++ = '/';
    }
    *o++ = ' ';
    *o++ = black ? 'b' : 'w';
    *o++ = ' ';

    // Castling fields in real colours: white's byte is the own one when white is to move.
    const uint16_t real = black ? uint16_t(p.castling >> 8 | p.castling << 8) : p.castling;
    const char* castling_start = o;
    for (int colour = 0; colour < 2; ++colour) {
        const Bitboard rank = colour ? RANK_8 : RANK_1;
        const Bitboard rooks = by_type[ROOK] & rank & (colour ? ~white : white);
        for (int wing = 0; wing < 2; ++wing) {
            const int file = (real >> (8 * colour + 4 * wing)) & 15;
            if (file == 8) continue;
            // A right whose rook is gone cannot be written; a valid record never has one.
            if (!(rooks & (FILE_A << file))) continue;
            *o++ = castling_letter(rooks, file, wing == 0, colour == 0);
        }
    }
    if (o == castling_start) *o++ = '-';
    *o++ = ' ';

    if (p.ep_file == NO_EP) {
        *o++ = '-';
    } else {
        *o++ = char('a' + p.ep_file);
        *o++ = black ? '3' : '6';
    }
    std::snprintf(o, 24, " %d %d", int(p.rule50), fullmove);
    return out;
}
