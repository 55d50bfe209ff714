#include "board/board.h"
#include <algorithm>
#include <cstring>
#include "board/movegen.h"
#include "board/tables.h"
#include "engine/options.h"

const char* const START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";

// Turns the board round for the other side: the opponent's pieces become the own pieces.
static inline void mirror(PositionState& s) {
    const Bitboard opponents = s.by_type[0] ^ s.own;
    for (int t = 0; t < 7; ++t) s.by_type[t] = byte_reverse(s.by_type[t]);
    s.own = byte_reverse(opponents);
    s.castling = uint16_t(s.castling >> 8 | s.castling << 8);
    s.flags ^= BLACK_TO_MOVE;
    s.key ^= position_keys[KEY_SIDE];
}

static inline void drop_castling(PositionState& s, int shift, int key_index) {
    if (((s.castling >> shift) & 15) != 8) {
        s.castling = uint16_t((s.castling & ~(15 << shift)) | (8 << shift));
        s.key ^= position_keys[key_index];
    }
}

void make_move(Position& pos, Move m, Accumulator* entry) {
    const PositionState* old = pos.current;
    PositionState* s = pos.current + 1;
    *s = *old;
    pos.current = s;
    const int c = old->colour(), opp = 1 - c;
    const int piece = move_piece(m), from = move_from(m), to = move_to(m);
    if (entry) {
        entry->dirty_count = 0;
        entry->king_moved = piece == KING && from != to;
    }
    s->flags = uint16_t((s->flags & ~(REPETITION | IN_CHECK)) | ((m & MOVE_CHECK) ? IN_CHECK : 0));
    const uint64_t* pk = position_keys;
    const int own_code = 8 * c, opp_code = 8 * opp;

    if (m & MOVE_CASTLE) {
        const bool h = to == G1;
        const int r = h ? old->own_h_file() : old->own_a_file();
        const int rd = h ? F1 : D1;
        s->by_type[KING] &= ~bit(from);
        s->by_type[ROOK] &= ~bit(r);
        s->own &= ~(bit(from) | bit(r));
        s->by_type[0] &= ~(bit(from) | bit(r));
        s->by_type[KING] |= bit(to);
        s->by_type[ROOK] |= bit(rd);
        s->own |= bit(to) | bit(rd);
        s->by_type[0] |= bit(to) | bit(rd);
        s->key ^= pk[(ROOK + own_code) * 64 + r] ^ pk[(ROOK + own_code) * 64 + rd] ^ pk[(KING + own_code) * 64 + from] ^
                  pk[(KING + own_code) * 64 + to];
        if (entry) {
            entry->dirty[0] = 192 + r;
            entry->dirty[1] = FEATURE_ADD + 192 + rd;
            entry->dirty_count = 2;
        }
        if (s->ep_file != NO_EP) {
            s->key ^= pk[KEY_EP + s->ep_file];
            s->ep_file = NO_EP;
        }
        drop_castling(*s, 0, KEY_CASTLING + c);
        drop_castling(*s, 4, KEY_CASTLING + 2 + c);
    } else {
        if (m & MOVE_CAPTURE) {
            const int x = (m & MOVE_EN_PASSANT) ? to - 8 : to;
            const int cap = move_captured(m);
            s->by_type[cap] &= ~bit(x);
            s->by_type[0] &= ~bit(x);
            s->key ^= pk[(cap + opp_code) * 64 + (x ^ 56)];
            if (entry) entry->dirty[entry->dirty_count++] = 256 + 64 * cap + x;
            if (x == 56 + ((s->castling >> 8) & 15))
                drop_castling(*s, 8, KEY_CASTLING + opp);
            else if (x == 56 + ((s->castling >> 12) & 15))
                drop_castling(*s, 12, KEY_CASTLING + 2 + opp);
        }
        const Bitboard ft = bit(from) | bit(to);
        s->by_type[0] ^= ft;
        s->own ^= ft;
        s->by_type[piece] ^= ft;
        s->key ^= pk[(piece + own_code) * 64 + from];
        if (!(m & MOVE_PROMOTION)) {
            s->key ^= pk[(piece + own_code) * 64 + to];
            if (entry && piece != KING) {
                entry->dirty[entry->dirty_count++] = 64 * (piece - 1) + from;
                entry->dirty[entry->dirty_count++] = FEATURE_ADD + 64 * (piece - 1) + to;
            }
        } else {
            const int promo = move_promotion(m);
            s->key ^= pk[(promo + own_code) * 64 + to];
            if (entry) {
                entry->dirty[entry->dirty_count++] = from;
                entry->dirty[entry->dirty_count++] = FEATURE_ADD + 64 * (promo - 1) + to;
            }
            s->by_type[PAWN] &= ~bit(to);
            s->by_type[promo] |= bit(to);
        }
        if (s->ep_file != NO_EP) {
            s->key ^= pk[KEY_EP + s->ep_file];
            s->ep_file = NO_EP;
        }
        if (piece == ROOK) {
            if (from == old->own_h_file())
                drop_castling(*s, 0, KEY_CASTLING + c);
            else if (from == old->own_a_file())
                drop_castling(*s, 4, KEY_CASTLING + 2 + c);
        } else if (piece == KING) {
            drop_castling(*s, 0, KEY_CASTLING + c);
            drop_castling(*s, 4, KEY_CASTLING + 2 + c);
        } else if (piece == PAWN && to == from + 16) {
            if (ep_neighbours_rank4[file_of(to)] & s->by_type[PAWN] & ~s->own) {
                s->ep_file = int16_t(file_of(to));
                s->key ^= pk[KEY_EP + s->ep_file];
            }
        }
    }
    mirror(*s);

    if ((m & MOVE_CAPTURE) || piece == PAWN) {
        s->rule50 = 0;
        return;
    }
    s->rule50++;
    const PositionState* limit = s - s->rule50;
    if (limit < pos.states) limit = pos.states;
    for (const PositionState* q = s - 4; q >= limit; q -= 2)
        if (q->key == s->key) {
            s->flags |= REPETITION;
            break;
        }
}

void make_null_move(Position& pos, Accumulator* entry) {
    PositionState* s = pos.current + 1;
    *s = *pos.current;
    pos.current = s;
    if (entry) {
        entry->dirty_count = 0;
        entry->king_moved = 0;
    }
    mirror(*s);
    if (s->ep_file != NO_EP) {
        s->key ^= position_keys[KEY_EP + s->ep_file];
        s->ep_file = NO_EP;
    }
    s->rule50++;
    s->flags &= ~REPETITION;
}

static int piece_of_letter(char ch) {
    switch (ch | 0x20) {
    case 'p': return PAWN;
    case 'n': return KNIGHT;
    case 'b': return BISHOP;
    case 'r': return ROOK;
    case 'q': return QUEEN;
    case 'k': return KING;
    default: return NO_PIECE;
    }
}

bool parse_fen(const char* fen, PositionState& out) {
    PositionState s;
    std::memset(&s, 0, sizeof s);
    s.castling = NO_CASTLING;
    s.ep_file = NO_EP;
    const char* c = fen;
    while (*c == ' ') ++c;
    // Placement, from a8 in real squares; white pieces are "own" until the board is turned.
    int rank = 7, file = 0;
    for (; *c && *c != ' '; ++c) {
        if (*c == '/') {
            if (file != 8 || rank == 0) return false;
            --rank;
            file = 0;
        } else if (*c >= '1' && *c <= '8') {
            file += *c - '0';
            if (file > 8) return false;
        } else {
            int t = piece_of_letter(*c);
            if (!t || file > 7) return false;
            bool white = *c < 'a';
            int sq = 8 * rank + file;
            s.by_type[0] |= bit(sq);
            s.by_type[t] |= bit(sq);
            if (white) s.own |= bit(sq);
            s.key ^= position_keys[64 * (t + (white ? 0 : 8)) + (white ? sq : sq ^ 56)];
            ++file;
        }
    }
    if (rank != 0 || file != 8) return false;
    const Bitboard white = s.own, black = s.by_type[0] ^ s.own;
    if (popcount(s.by_type[KING] & white) != 1 || popcount(s.by_type[KING] & black) != 1) return false;
    if (s.by_type[PAWN] & (RANK_1 | RANK_8)) return false;
    // Material no game can reach (more than 16 men or 8 pawns a side, more promoted pieces than
    // missing pawns) is refused: with it a position can have more pseudo-legal moves than the
    // 256-entry move lists hold.
    for (const Bitboard side : {white, black}) {
        auto extra = [&](int t, int initial) { return std::max(0, popcount(s.by_type[t] & side) - initial); };
        const int promoted = extra(QUEEN, 1) + extra(ROOK, 2) + extra(BISHOP, 2) + extra(KNIGHT, 2);
        if (popcount(side) > 16 || popcount(s.by_type[PAWN] & side) + promoted > 8) return false;
    }

    // Side to move.
    if (*c != ' ') return false;
    ++c;
    if (*c != 'w' && *c != 'b') return false;
    const bool black_to_move = *c == 'b';
    ++c;
    if (*c != ' ') return false;

    // Castling: K/Q pick the outermost rook, A-H/a-h name the rook file.
    ++c;
    if (!*c || *c == ' ') return false;
    for (; *c && *c != ' '; ++c) {
        if (*c == '-') continue;
        const bool w = *c < 'a';
        const Bitboard rooks = s.by_type[ROOK] & (w ? white : black) & (w ? RANK_1 : RANK_8);
        const Bitboard king = s.by_type[KING] & (w ? white : black) & (w ? RANK_1 : RANK_8);
        // K/k name the outermost rook beyond the king on the h-side, Q/q the one on the a-side;
        // without such a rook the letter grants nothing (never the other wing's right).
        const int ksq = king ? lsb(king) : 0;
        const Bitboard h_rooks = king ? rooks & (~0ull << ksq << 1) : 0, a_rooks = king ? rooks & (bit(ksq) - 1) : 0;
        int f = -1;
        if ((*c == 'K' || *c == 'k') && h_rooks) f = file_of(63 - __builtin_clzll(h_rooks));
        else if ((*c == 'Q' || *c == 'q') && a_rooks) f = file_of(lsb(a_rooks));
        else if ((*c | 0x20) >= 'a' && (*c | 0x20) <= 'h') f = (*c | 0x20) - 'a';
        else if (*c != 'K' && *c != 'k' && *c != 'Q' && *c != 'q') return false;
        // A right needs its king and rook on the back rank; otherwise it is dropped.
        if (f < 0 || !king || !(rooks & (w ? RANK_1 : RANK_8) & (FILE_A << f))) continue;
        const int colour = w ? 0 : 1;
        const int wing = file_of(lsb(king)) < f ? 0 : 1;
        const int shift = 8 * colour + 4 * wing;
        if (((s.castling >> shift) & 15) != 8) continue;  // repeated letter
        s.castling = uint16_t((s.castling & ~(15 << shift)) | (f << shift));
        s.key ^= position_keys[KEY_CASTLING + colour + 2 * wing];
    }
    if (*c != ' ') return false;
    ++c;

    // En passant: kept only when a capture is really possible in the relative frame.
    if (*c == '-') {
        ++c;
    } else if (*c >= 'a' && *c <= 'h' && c[1] >= '1' && c[1] <= '8') {
        const int f = *c - 'a';
        const Bitboard movers = s.by_type[PAWN] & (black_to_move ? black : white);
        const Bitboard victims = s.by_type[PAWN] & (black_to_move ? white : black);
        const int victim_sq = black_to_move ? 24 + f : 32 + f;
        const int behind1 = black_to_move ? 16 + f : 40 + f, behind2 = black_to_move ? 8 + f : 48 + f;
        const Bitboard neighbours = black_to_move ? ep_neighbours_rank4[f] : ep_neighbours_rank5[f];
        if ((movers & neighbours) && (victims & bit(victim_sq)) && !(s.by_type[0] & (bit(behind1) | bit(behind2)))) {
            s.ep_file = int16_t(f);
            s.key ^= position_keys[KEY_EP + f];
        }
        c += 2;
    } else {
        return false;
    }
    if (*c && *c != ' ' && *c != '\n' && *c != '\r') return false;

    // Halfmove clock, optional.
    while (*c == ' ') ++c;
    if (*c >= '0' && *c <= '9') {
        long v = 0;
        for (; *c >= '0' && *c <= '9'; ++c) v = v < 100000 ? v * 10 + (*c - '0') : v;
        s.rule50 = int16_t(v > 30000 ? 30000 : v);
    }

    if (black_to_move) {
        s.castling = uint16_t(s.castling >> 8 | s.castling << 8);
        const Bitboard blacks = s.by_type[0] ^ s.own;
        for (int t = 0; t < 7; ++t) s.by_type[t] = byte_reverse(s.by_type[t]);
        s.own = byte_reverse(blacks);
        s.flags = BLACK_TO_MOVE;
        s.key ^= position_keys[KEY_SIDE];
    }
    // The side that has just moved may not be in check.
    {
        const int ek = s.their_king();
        const Bitboard occ = s.by_type[0], us = s.own;
        if ((pawn_attacks_down[ek] & s.by_type[PAWN] & us) || (knight_attacks[ek] & s.by_type[KNIGHT] & us) ||
            (king_attacks[ek] & s.by_type[KING] & us) ||
            (bishop_attacks(ek, occ) & (s.by_type[BISHOP] | s.by_type[QUEEN]) & us) ||
            (rook_attacks(ek, occ) & (s.by_type[ROOK] | s.by_type[QUEEN]) & us))
            return false;
    }
    if (square_attacked(s, s.own_king(), s.by_type[0])) s.flags |= IN_CHECK;
    out = s;
    return true;
}

Move parse_move(const PositionState& p, const char* text, int len) {
    if (len < 4 || len > 5) return 0;
    if (text[0] < 'a' || text[0] > 'h' || text[1] < '1' || text[1] > '8' || text[2] < 'a' || text[2] > 'h' ||
        text[3] < '1' || text[3] > '8')
        return 0;
    const int flip = p.black_to_move() ? 56 : 0;
    const int from = (8 * (text[1] - '1') + (text[0] - 'a')) ^ flip;
    int to = (8 * (text[3] - '1') + (text[2] - 'a')) ^ flip;
    int promo = 0;
    if (len == 5) {
        promo = piece_of_letter(text[4]);
        if (text[4] < 'a' || promo < KNIGHT || promo > QUEEN) return 0;
    }
    Move wanted;
    if (p.own_of(ROOK) & bit(to) && p.own_of(KING) & bit(from)) {
        // Castling written as the king taking its own rook.
        wanted = make_move_word(KING, from, file_of(to) == p.own_h_file() ? G1 : C1) | MOVE_CASTLE;
    } else {
        int piece = p.piece_on(from);
        wanted = make_move_word(piece, from, to) | Move(promo) << MOVE_PROMOTION_SHIFT;
        if (piece == KING && (from - to == 2 || to - from == 2)) wanted |= MOVE_CASTLE;
    }
    // Only a move the generators produce in this position is accepted.
    Move legal[256];
    const int n = generate_legal(p, legal);
    const Move key_bits = 0x7FFF | (7u << MOVE_PROMOTION_SHIFT) | MOVE_CASTLE;
    for (int i = 0; i < n; ++i)
        if ((legal[i] & key_bits) == (wanted & key_bits)) return legal[i];
    return 0;
}

int set_position(Position& pos, const char* fen, const char* moves) {
    PositionState root;
    if (!parse_fen(fen, root)) return -1;
    pos.states[0] = root;
    pos.current = pos.states;
    pos.prior_move = pos.last_move = 0;
    if (!moves) return 0;
    int count = 0;
    const char* c = moves;
    for (;;) {
        while (*c == ' ') ++c;
        const char* start = c;
        while (*c && *c != ' ' && *c != '\n' && *c != '\r') ++c;
        if (c == start) break;
        Move m = parse_move(*pos.current, start, int(c - start));
        if (!m) break;
        pos.prior_move = pos.last_move;
        pos.last_move = m;
        make_move(pos, m, nullptr);
        ++count;
        // The clock only matters up to 100; keeping it far below the 16-bit limit leaves room for
        // the search plies on top (a FEN clock near the limit plus a long list would wrap it).
        if (pos.current->rule50 > 30000) pos.current->rule50 = 30000;
        if (pos.current->rule50 == 0) {
            pos.states[0] = *pos.current;
            pos.current = pos.states;
        } else if (pos.current - pos.states >= MAX_GAME_RECORDS - 1) {
            // Keep room for the search: forget the oldest reversible positions.
            std::memmove(pos.states, pos.states + 1, sizeof(PositionState) * (MAX_GAME_RECORDS - 1));
            --pos.current;
        }
        if (*c == '\n' || *c == '\r') break;
    }
    return count / 2;
}

char* move_to_text(const PositionState& p, Move m, char* out) {
    int from = move_from(m), to = move_to(m);
    if ((m & MOVE_CASTLE) && options.chess960) to = to == G1 ? p.own_h_file() : p.own_a_file();
    if (p.black_to_move()) {
        from ^= 56;
        to ^= 56;
    }
    out[0] = char('a' + file_of(from));
    out[1] = char('1' + rank_of(from));
    out[2] = char('a' + file_of(to));
    out[3] = char('1' + rank_of(to));
    static const char letters[] = "  nbrq  ";
    int promo = move_promotion(m);
    if (promo >= KNIGHT && promo <= QUEEN) {
        out[4] = letters[promo];
        out[5] = 0;
    } else {
        out[4] = 0;
    }
    return out;
}
