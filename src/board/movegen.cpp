#include "board/movegen.h"
#include <utility>
#include "board/tables.h"

namespace {

inline int32_t capture_score(int victim, int attacker) { return SCORE_CAPTURE_BASE + 8 * victim + (7 - attacker); }

inline Move capture_word(int piece, int from, int to, int victim) {
    return make_move_word(piece, from, to) | Move(victim) << MOVE_CAPTURED_SHIFT | MOVE_CAPTURE;
}

inline Move promo_word(int from, int to, int victim, int promo) {
    Move m = make_move_word(PAWN, from, to) | Move(promo) << MOVE_PROMOTION_SHIFT | MOVE_PROMOTION;
    if (victim) m |= Move(victim) << MOVE_CAPTURED_SHIFT | MOVE_CAPTURE;
    return m;
}

inline MoveEntry* add(MoveEntry* list, Move m, int32_t score) {
    list->move = m;
    list->score = score;
    return list + 1;
}

// Squares from which each piece type checks the enemy king, and the own pieces whose move can uncover check.
struct CheckInfo {
    Bitboard squares[7];
    Bitboard discoverers;
    int enemy_king;

    explicit CheckInfo(const PositionState& p) {
        Bitboard occ = p.by_type[0];
        enemy_king = p.their_king();
        squares[0] = 0;
        squares[PAWN] = pawn_attacks_down[enemy_king];
        squares[KNIGHT] = knight_attacks[enemy_king];
        squares[BISHOP] = bishop_attacks(enemy_king, occ);
        squares[ROOK] = rook_attacks(enemy_king, occ);
        squares[QUEEN] = squares[BISHOP] | squares[ROOK];
        squares[KING] = 0;
        discoverers = 0;
        Bitboard snipers = ((rook_attacks(enemy_king, 0) & (p.by_type[ROOK] | p.by_type[QUEEN])) |
                            (bishop_attacks(enemy_king, 0) & (p.by_type[BISHOP] | p.by_type[QUEEN]))) &
                           p.own;
        while (snipers) {
            int s = pop_lsb(snipers);
            Bitboard between = ray_to[enemy_king][s] & ~bit(s) & occ;
            if (between && !(between & (between - 1)) && (between & p.own)) discoverers |= between;
        }
    }

    bool checks(int piece, int from, int to) const {
        if (squares[piece] & bit(to)) return true;
        return (discoverers & bit(from)) && direction[enemy_king][from] != direction[enemy_king][to];
    }
};

// Squares the king and the rook need empty, and the squares that must not be attacked, per
// king file, rook file and wing. Covers standard chess as the special case king e1, rooks a1/h1.
struct CastlingPath {
    Bitboard empty;
    Bitboard safe;
};

Bitboard span(int a, int b) {
    if (a > b) std::swap(a, b);
    Bitboard m = 0;
    for (int s = a; s <= b; ++s) m |= bit(s);
    return m;
}

struct CastlingTables {
    CastlingPath path[8][8][2];
    CastlingTables() {
        for (int k = 0; k < 8; ++k)
            for (int r = 0; r < 8; ++r)
                for (int h = 0; h < 2; ++h) {
                    int kd = h ? G1 : C1, rd = h ? F1 : D1;
                    path[k][r][h].empty = (span(k, kd) | span(r, rd)) & ~bit(k) & ~bit(r);
                    path[k][r][h].safe = span(k, kd);
                }
    }
};
const CastlingTables castling_tables;

}  // namespace

static inline bool attacked_by(const PositionState& p, int s, Bitboard occ, Bitboard them) {
    if (knight_attacks[s] & p.by_type[KNIGHT] & them) return true;
    if (pawn_attacks_up[s] & p.by_type[PAWN] & them) return true;
    if (king_attacks[s] & p.by_type[KING] & them) return true;
    if (bishop_attacks(s, occ) & (p.by_type[BISHOP] | p.by_type[QUEEN]) & them) return true;
    return rook_attacks(s, occ) & (p.by_type[ROOK] | p.by_type[QUEEN]) & them;
}

bool square_attacked(const PositionState& p, int s, Bitboard occ) { return attacked_by(p, s, occ, p.them()); }

bool castling_allowed(const PositionState& p, bool h_side) {
    int r = h_side ? p.own_h_file() : p.own_a_file();
    if (r == 8 || (p.flags & IN_CHECK)) return false;
    int k = p.own_king();
    if (k > H1 || !(p.own_of(ROOK) & bit(r))) return false;
    const CastlingPath& path = castling_tables.path[k][r][h_side];
    if (p.by_type[0] & path.empty) return false;
    // The castling rook leaves rank 1: an enemy rook beyond it attacks through its square. The
    // king's own square is included: a Chess960 king already on its destination would otherwise
    // stay behind the rook that shielded it and be left in check.
    Bitboard occ = p.by_type[0] & ~bit(r);
    Bitboard them = p.them();
    for (Bitboard s = path.safe; s;)
        if (attacked_by(p, pop_lsb(s), occ, them)) return false;
    return true;
}

Move castling_move(const PositionState& p, bool h_side) {
    int k = p.own_king();
    int to = h_side ? G1 : C1;
    int rd = h_side ? F1 : D1;
    int r = h_side ? p.own_h_file() : p.own_a_file();
    Move m = make_move_word(KING, k, to) | MOVE_CASTLE;
    Bitboard occ = (p.by_type[0] & ~bit(k) & ~bit(r)) | bit(to) | bit(rd);
    if (rook_attacks(rd, occ) & bit(p.their_king())) m |= MOVE_CHECK;
    return m;
}

MoveEntry* generate_captures(const PositionState& p, MoveEntry* list) {
    const Bitboard occ = p.by_type[0], us = p.own, them = occ ^ us;
    int k = p.own_king();
    for (Bitboard t = king_attacks[k] & them; t;) {
        int to = pop_lsb(t);
        int v = p.piece_on(to);
        list = add(list, capture_word(KING, k, to, v), capture_score(v, KING));
    }
    for (int pt = QUEEN; pt >= KNIGHT; --pt) {
        for (Bitboard pieces = p.by_type[pt] & us; pieces;) {
            int from = pop_lsb(pieces);
            Bitboard att = pt == KNIGHT ? knight_attacks[from]
                         : pt == BISHOP ? bishop_attacks(from, occ)
                         : pt == ROOK   ? rook_attacks(from, occ)
                                        : queen_attacks(from, occ);
            for (Bitboard t = att & them; t;) {
                int to = pop_lsb(t);
                int v = p.piece_on(to);
                list = add(list, capture_word(pt, from, to, v), capture_score(v, pt));
            }
        }
    }
    const Bitboard pawns = p.by_type[PAWN] & us;
    for (Bitboard t = ((pawns & ~FILE_H) << 9) & them & ~RANK_8; t;) {
        int to = pop_lsb(t);
        int v = p.piece_on(to);
        list = add(list, capture_word(PAWN, to - 9, to, v), capture_score(v, PAWN));
    }
    for (Bitboard t = ((pawns & ~FILE_A) << 7) & them & ~RANK_8; t;) {
        int to = pop_lsb(t);
        int v = p.piece_on(to);
        list = add(list, capture_word(PAWN, to - 7, to, v), capture_score(v, PAWN));
    }
    if (p.ep_file != NO_EP) {
        int to = 40 + p.ep_file;
        for (Bitboard b = pawns & ep_neighbours_rank5[p.ep_file]; b;) {
            int from = pop_lsb(b);
            list = add(list, capture_word(PAWN, from, to, PAWN) | MOVE_EN_PASSANT, SCORE_CAPTURE_BASE + 0x0E);
        }
    }
    const Bitboard seventh = pawns & RANK_7;
    if (seventh) {
        for (Bitboard t = (seventh << 8) & ~occ; t;) {
            int to = pop_lsb(t);
            list = add(list, promo_word(to - 8, to, 0, QUEEN), SCORE_QUEEN_PROMO_PUSH);
        }
        for (Bitboard t = ((seventh & ~FILE_H) << 9) & them; t;) {
            int to = pop_lsb(t);
            int v = p.piece_on(to);
            list = add(list, promo_word(to - 9, to, v, QUEEN), SCORE_CAPTURE_BASE + 8 * (v + 6) + 6);
        }
        for (Bitboard t = ((seventh & ~FILE_A) << 7) & them; t;) {
            int to = pop_lsb(t);
            int v = p.piece_on(to);
            list = add(list, promo_word(to - 7, to, v, QUEEN), SCORE_CAPTURE_BASE + 8 * (v + 6) + 6);
        }
    }
    return list;
}

static inline MoveEntry* add_underpromotions(MoveEntry* list, int from, int to, int victim) {
    list = add(list, promo_word(from, to, victim, KNIGHT), SCORE_KNIGHT_PROMO);
    list = add(list, promo_word(from, to, victim, BISHOP), SCORE_BISHOP_PROMO);
    return add(list, promo_word(from, to, victim, ROOK), SCORE_ROOK_PROMO);
}

MoveEntry* generate_underpromotions(const PositionState& p, MoveEntry* list) {
    const Bitboard seventh = p.by_type[PAWN] & p.own & RANK_7;
    if (!seventh) return list;
    const Bitboard occ = p.by_type[0], them = occ ^ p.own;
    for (Bitboard t = (seventh << 8) & ~occ; t;) {
        int to = pop_lsb(t);
        list = add_underpromotions(list, to - 8, to, 0);
    }
    for (Bitboard t = ((seventh & ~FILE_H) << 9) & them; t;) {
        int to = pop_lsb(t);
        list = add_underpromotions(list, to - 9, to, p.piece_on(to));
    }
    for (Bitboard t = ((seventh & ~FILE_A) << 7) & them; t;) {
        int to = pop_lsb(t);
        list = add_underpromotions(list, to - 7, to, p.piece_on(to));
    }
    return list;
}

MoveEntry* generate_quiets(const PositionState& p, MoveEntry* list, bool checks_only, bool no_castling) {
    const Bitboard occ = p.by_type[0], us = p.own, empty = ~occ;
    const CheckInfo ci(p);
    auto emit = [&](int piece, int from, int to) {
        bool check = ci.checks(piece, from, to);
        if (checks_only && !check) return;
        list = add(list, make_move_word(piece, from, to) | (check ? MOVE_CHECK : 0), 0);
    };
    int k = p.own_king();
    if (!checks_only || (ci.discoverers & bit(k)))
        for (Bitboard t = king_attacks[k] & empty; t;) emit(KING, k, pop_lsb(t));
    for (int pt = QUEEN; pt >= KNIGHT; --pt) {
        for (Bitboard pieces = p.by_type[pt] & us; pieces;) {
            int from = pop_lsb(pieces);
            Bitboard att = pt == KNIGHT ? knight_attacks[from]
                         : pt == BISHOP ? bishop_attacks(from, occ)
                         : pt == ROOK   ? rook_attacks(from, occ)
                                        : queen_attacks(from, occ);
            Bitboard t = att & empty;
            // Without a discovered check only the checking squares can give check.
            if (checks_only && !(ci.discoverers & bit(from))) t &= ci.squares[pt];
            while (t) emit(pt, from, pop_lsb(t));
        }
    }
    const Bitboard pawns = p.by_type[PAWN] & us;
    const Bitboard single = (pawns << 8) & empty & ~RANK_8;
    for (Bitboard t = single; t;) {
        int to = pop_lsb(t);
        emit(PAWN, to - 8, to);
    }
    for (Bitboard t = ((single & RANK_3) << 8) & empty; t;) {
        int to = pop_lsb(t);
        emit(PAWN, to - 16, to);
    }
    if (!no_castling && (p.castling & 0xFF) != 0x88) {
        for (int h = 0; h < 2; ++h) {
            if (!castling_allowed(p, h)) continue;
            Move m = castling_move(p, h);
            if (checks_only && !(m & MOVE_CHECK)) continue;
            list = add(list, m, 0);
        }
    }
    return list;
}

void generate_evasions(const PositionState& p, MoveEntry** caps, MoveEntry** quiets, bool all_promotions) {
    const Bitboard occ = p.by_type[0], us = p.own, them = occ ^ us, empty = ~occ;
    const int k = p.own_king();
    const CheckInfo ci(p);
    for (Bitboard t = king_attacks[k] & them; t;) {
        int to = pop_lsb(t);
        int v = p.piece_on(to);
        *caps = add(*caps, capture_word(KING, k, to, v), capture_score(v, KING));
    }
    for (Bitboard t = king_attacks[k] & empty; t;) {
        int to = pop_lsb(t);
        *quiets = add(*quiets, make_move_word(KING, k, to) | (ci.checks(KING, k, to) ? MOVE_CHECK : 0), 0);
    }
    Bitboard checkers = (knight_attacks[k] & p.by_type[KNIGHT]) | (pawn_attacks_up[k] & p.by_type[PAWN]) |
                        (bishop_attacks(k, occ) & (p.by_type[BISHOP] | p.by_type[QUEEN])) |
                        (rook_attacks(k, occ) & (p.by_type[ROOK] | p.by_type[QUEEN]));
    checkers &= them;
    if (!checkers || (checkers & (checkers - 1))) return;
    const int checker = lsb(checkers);
    const int victim = p.piece_on(checker);
    const Bitboard target = ray_to[k][checker];
    const Bitboard block = target & ~bit(checker);
    for (int pt = QUEEN; pt >= KNIGHT; --pt) {
        for (Bitboard pieces = p.by_type[pt] & us; pieces;) {
            int from = pop_lsb(pieces);
            Bitboard att = pt == KNIGHT ? knight_attacks[from]
                         : pt == BISHOP ? bishop_attacks(from, occ)
                         : pt == ROOK   ? rook_attacks(from, occ)
                                        : queen_attacks(from, occ);
            if (att & bit(checker))
                *caps = add(*caps, capture_word(pt, from, checker, victim), capture_score(victim, pt));
            for (Bitboard t = att & block; t;) {
                int to = pop_lsb(t);
                *quiets = add(*quiets, make_move_word(pt, from, to) | (ci.checks(pt, from, to) ? MOVE_CHECK : 0), 0);
            }
        }
    }
    const Bitboard pawns = p.by_type[PAWN] & us;
    const Bitboard pushes = (pawns << 8) & empty;
    for (Bitboard t = pushes & block; t;) {
        int to = pop_lsb(t);
        if (to >= A8) {
            *caps = add(*caps, promo_word(to - 8, to, 0, QUEEN), SCORE_QUEEN_PROMO_PUSH);
            if (all_promotions) *caps = add_underpromotions(*caps, to - 8, to, 0);
        } else {
            *quiets = add(*quiets, make_move_word(PAWN, to - 8, to) | (ci.checks(PAWN, to - 8, to) ? MOVE_CHECK : 0), 0);
        }
    }
    for (Bitboard b = pawns & pawn_attacks_down[checker]; b;) {
        int from = pop_lsb(b);
        if (checker >= A8) {
            *caps = add(*caps, promo_word(from, checker, victim, QUEEN), SCORE_CAPTURE_BASE + 8 * (victim + 6) + 6);
            if (all_promotions) *caps = add_underpromotions(*caps, from, checker, victim);
        } else {
            *caps = add(*caps, capture_word(PAWN, from, checker, victim), capture_score(victim, PAWN));
        }
    }
    for (Bitboard t = ((pushes & RANK_3) << 8) & empty & block; t;) {
        int to = pop_lsb(t);
        *quiets = add(*quiets, make_move_word(PAWN, to - 16, to) | (ci.checks(PAWN, to - 16, to) ? MOVE_CHECK : 0), 0);
    }
    if (p.ep_file != NO_EP && checker == 32 + p.ep_file) {
        int to = 40 + p.ep_file;
        for (Bitboard b = pawns & ep_neighbours_rank5[p.ep_file]; b;) {
            int from = pop_lsb(b);
            *caps = add(*caps, capture_word(PAWN, from, to, PAWN) | MOVE_EN_PASSANT, SCORE_CAPTURE_BASE + 0x0E);
        }
    }
}

Move gives_check(const PositionState& p, Move m) {
    const int from = move_from(m), to = move_to(m), ek = p.their_king();
    if (m & MOVE_CASTLE) {
        int r = to == G1 ? p.own_h_file() : p.own_a_file();
        int rd = to == G1 ? F1 : D1;
        Bitboard occ = (p.by_type[0] & ~bit(from) & ~bit(r)) | bit(to) | bit(rd);
        return (rook_attacks(rd, occ) & bit(ek)) ? m | MOVE_CHECK : m;
    }
    int arriving = (m & MOVE_PROMOTION) ? move_promotion(m) : move_piece(m);
    if (arriving == PAWN && (pawn_attacks_up[to] & bit(ek))) return m | MOVE_CHECK;
    if (arriving == KNIGHT && (knight_attacks[ek] & bit(to))) return m | MOVE_CHECK;
    Bitboard occ = (p.by_type[0] & ~bit(from)) | bit(to);
    if (m & MOVE_EN_PASSANT) occ &= ~bit(to - 8);
    const Bitboard own = p.own & ~bit(from);
    Bitboard diag = (p.by_type[BISHOP] | p.by_type[QUEEN]) & own;
    Bitboard line = (p.by_type[ROOK] | p.by_type[QUEEN]) & own;
    if (arriving == BISHOP || arriving == QUEEN) diag |= bit(to);
    if (arriving == ROOK || arriving == QUEEN) line |= bit(to);
    if ((bishop_attacks(ek, occ) & diag) || (rook_attacks(ek, occ) & line)) return m | MOVE_CHECK;
    return m;
}

bool is_legal(const PositionState& p, Move m) {
    const int from = move_from(m), to = move_to(m);
    const Bitboard occ = p.by_type[0];
    if (move_piece(m) == KING) {
        Bitboard occ2 = (occ & ~bit(from)) | bit(to);
        return !attacked_by(p, to, occ2, p.them() & ~bit(to));
    }
    const int k = p.own_king();
    // Off every line through the king, a move can only expose it by a capture en passant.
    if (!(p.flags & IN_CHECK) && direction[k][from] == 8 && !(m & MOVE_EN_PASSANT)) return true;
    Bitboard occ2 = (occ & ~bit(from)) | bit(to);
    Bitboard them = p.them() & ~bit(to);
    if (m & MOVE_EN_PASSANT) {
        occ2 &= ~bit(to - 8);
        them &= ~bit(to - 8);
    }
    return !((bishop_attacks(k, occ2) & (p.by_type[BISHOP] | p.by_type[QUEEN]) & them) ||
             (rook_attacks(k, occ2) & (p.by_type[ROOK] | p.by_type[QUEEN]) & them));
}

// Pinned pieces move only along the line to their pinner; in check they cannot move at all (two
// lines through the king meet only on the king). Pawns are counted by whole sets, promotions four
// times; en passant, rare, goes through is_legal.
int count_legal_moves(const PositionState& p) {
    const Bitboard occ = p.by_type[0], us = p.own, them = occ ^ us;
    const int k = p.own_king();
    const Bitboard diag = (p.by_type[BISHOP] | p.by_type[QUEEN]) & them;
    const Bitboard line = (p.by_type[ROOK] | p.by_type[QUEEN]) & them;
    int n = 0;
    for (Bitboard t = king_attacks[k] & ~us; t;)
        if (!attacked_by(p, pop_lsb(t), occ ^ bit(k), them)) ++n;
    const Bitboard checkers = ((knight_attacks[k] & p.by_type[KNIGHT]) | (pawn_attacks_up[k] & p.by_type[PAWN]) |
                               (bishop_attacks(k, occ) & diag) | (rook_attacks(k, occ) & line)) &
                              them;
    if (checkers & (checkers - 1)) return n;
    const int checker = checkers ? lsb(checkers) : -1;
    const Bitboard target = checkers ? ray_to[k][checker] | checkers : ~us;

    // Sliders that see the king through exactly one own piece pin it.
    Bitboard pinned = 0;
    for (Bitboard s = ((bishop_attacks(k, them) & diag) | (rook_attacks(k, them) & line)) & ~checkers; s;) {
        const int pinner = lsb(s);
        s &= s - 1;
        const Bitboard between = ray_to[k][pinner] & ~bit(pinner) & occ;
        if (!between || (between & (between - 1))) continue;
        pinned |= between;
        if (checkers) continue;
        const int q = lsb(between);
        const Bitboard allowed = ray_to[k][pinner];
        switch (p.piece_on(q)) {
        case BISHOP: n += popcount(bishop_attacks(q, occ) & allowed); break;
        case ROOK: n += popcount(rook_attacks(q, occ) & allowed); break;
        case QUEEN: n += popcount(queen_attacks(q, occ) & allowed); break;
        case PAWN: {
            const Bitboard push = bit(q + 8) & ~occ;
            const Bitboard moves = (push | ((push & RANK_3) << 8 & ~occ) | (pawn_attacks_up[q] & them)) & allowed;
            n += popcount(moves & ~RANK_8) + 4 * popcount(moves & RANK_8);
            break;
        }
        default: break;  // a pinned knight has no move
        }
    }

    const Bitboard free = us & ~pinned;
    for (Bitboard b = p.by_type[KNIGHT] & free; b;) n += popcount(knight_attacks[pop_lsb(b)] & target);
    for (Bitboard b = (p.by_type[BISHOP] | p.by_type[QUEEN]) & free; b;) n += popcount(bishop_attacks(pop_lsb(b), occ) & target);
    for (Bitboard b = (p.by_type[ROOK] | p.by_type[QUEEN]) & free; b;) n += popcount(rook_attacks(pop_lsb(b), occ) & target);

    const Bitboard pawns = p.by_type[PAWN] & free;
    const Bitboard single = (pawns << 8) & ~occ;
    const Bitboard pushes = single & target;
    const Bitboard doubles = ((single & RANK_3) << 8) & ~occ & target;
    const Bitboard left = ((pawns & ~FILE_A) << 7) & them & target, right = ((pawns & ~FILE_H) << 9) & them & target;
    n += popcount(pushes & ~RANK_8) + popcount(doubles) + popcount(left & ~RANK_8) + popcount(right & ~RANK_8) +
         4 * (popcount(pushes & RANK_8) + popcount(left & RANK_8) + popcount(right & RANK_8));

    if (p.ep_file != NO_EP && (!checkers || checker == 32 + p.ep_file)) {
        const int to = 40 + p.ep_file;
        for (Bitboard b = p.by_type[PAWN] & us & ep_neighbours_rank5[p.ep_file]; b;)
            n += is_legal(p, capture_word(PAWN, pop_lsb(b), to, PAWN) | MOVE_EN_PASSANT);
    }
    if (!checkers && (p.castling & 0xFF) != 0x88)
        n += castling_allowed(p, false) + castling_allowed(p, true);
    return n;
}

int generate_legal(const PositionState& p, Move* out) {
    MoveEntry list[256];
    MoveEntry* end = list;
    if (p.in_check()) {
        generate_evasions(p, &end, &end, true);
    } else {
        end = generate_captures(p, end);
        end = generate_underpromotions(p, end);
        end = generate_quiets(p, end, false, false);
    }
    int n = 0;
    for (MoveEntry* e = list; e < end; ++e)
        if (is_legal(p, e->move)) out[n++] = gives_check(p, e->move);
    return n;
}
