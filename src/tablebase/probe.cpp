// Position indexing and the WDL/DTZ queries. Tables hold positions without en-passant rights and
// with captures left to the prober, so captures are resolved by a small search on top of them.
#include <algorithm>
#include <climits>
#include "board/board.h"
#include "board/movegen.h"
#include "search/movepick.h"
#include "tablebase/tablebase.h"
#include "tablebase/tb_internal.h"

static const int ZeroingValue[5] = {-1, -101, 0, 101, 1};
static const int MapClass[5] = {1, 3, 0, 2, 0};
static const int StoredWhole[5] = {8, 0, 0, 0, 4};
static const int FileGroup[8] = {0, 1, 2, 3, 3, 2, 1, 0};

// A query pushes at most this many records (captures, one pawn move, one DTZ ply) on the stack.
constexpr int QUERY_STACK_RESERVE = 16;

static inline bool off_diagonal(int s) { return (s & 7) != (s >> 3); }
static inline bool above_diagonal(int s) { return (s >> 3) > (s & 7); }

uint64_t position_index(uint8_t p[7], const SubtableCoding& coding, const TableEntry* e) {
    const int n = e->men;
    uint64_t idx;
    int k;
    if (p[0] & 4)
        for (int i = 0; i < n; ++i) p[i] ^= 7;
    if (!e->has_pawns) {
        if (p[0] & 32)
            for (int i = 0; i < n; ++i) p[i] ^= 56;
        int i = 0;
        while (i < n && !off_diagonal(p[i])) ++i;
        if (i < (e->king_pair_coding ? 2 : 3) && above_diagonal(p[i]))
            for (int j = 0; j < n; ++j) p[j] = MirrorDiagonal[p[j]];
        if (e->king_pair_coding) {
            const int v = KingPairIndex[TriangleIndex[p[0]]][p[1]];
            if (v < 0) return UINT64_MAX;  // kings in contact: no such position
            idx = uint64_t(v);
            k = 2;
        } else {
            const int s1 = p[1] > p[0];
            const int s2 = (p[2] > p[0]) + (p[2] > p[1]);
            if (off_diagonal(p[0]))
                idx = TriangleIndex[p[0]] * 3906 + (p[1] - s1) * 62 + (p[2] - s2);
            else if (off_diagonal(p[1]))
                idx = 23436 + DiagonalIndex[p[0]] * 1736 + BelowDiagonalIndex[p[1]] * 62 + (p[2] - s2);
            else if (off_diagonal(p[2]))
                idx = 30380 + DiagonalIndex[p[0]] * 196 + (DiagonalIndex[p[1]] - s1) * 28 + BelowDiagonalIndex[p[2]];
            else
                idx = 31164 + DiagonalIndex[p[0]] * 42 + (DiagonalIndex[p[1]] - s1) * 6 + (DiagonalIndex[p[2]] - s2);
            k = 3;
        }
        idx *= coding.multiplier[0];
    } else {
        k = e->lead_pawns;
        for (int i = 1; i < k; ++i)
            for (int j = i + 1; j < k; ++j)
                if (PawnRankOrder[p[i]] < PawnRankOrder[p[j]]) std::swap(p[i], p[j]);
        idx = LeadPawnOffset[k - 1][PawnFileIndex[p[0]]];
        for (int i = 1; i < k; ++i) idx += ChooseTable[k - i][PawnRankOrder[p[i]]];
        idx *= coding.multiplier[0];
        if (e->other_pawns > 0) {
            const int t = k + e->other_pawns;
            for (int i = k; i < t; ++i)
                for (int j = i + 1; j < t; ++j)
                    if (p[j] < p[i]) std::swap(p[i], p[j]);
            uint64_t s = 0;
            for (int i = k; i < t; ++i) {
                int skips = 0;
                for (int j = 0; j < k; ++j) skips += p[i] > p[j];
                s += ChooseTable[i - k + 1][p[i] - skips - 8];
            }
            idx += s * coding.multiplier[k];
            k = t;
        }
    }
    while (k < n) {
        const int t = k + coding.groups[k];
        for (int i = k; i < t; ++i)
            for (int j = i + 1; j < t; ++j)
                if (p[j] < p[i]) std::swap(p[i], p[j]);
        uint64_t s = 0;
        for (int i = k; i < t; ++i) {
            int skips = 0;
            for (int j = 0; j < k; ++j) skips += p[i] > p[j];
            s += ChooseTable[i - k + 1][p[i] - skips];
        }
        idx += s * coding.multiplier[k];
        k = t;
    }
    return idx;
}

int probe_table(Position& pos, int wdl, int* success, int kind) {
    const PositionState& p = *pos.current;
    const uint64_t sig = position_signature(p);
    if (kind == TABLE_WDL && sig == 2) return 0;  // two bare kings
    int slot;
    TableEntry* e = lookup_table(sig, &slot);
    if (!e || (kind == TABLE_DTZ && !e->has_dtz)) {
        *success = 0;
        return 0;
    }
    if (!e->ready[kind].load(std::memory_order_acquire) && !load_table(e, slot, kind, p)) {
        *success = 0;
        return 0;
    }
    const bool black = p.black_to_move();
    bool flip;
    int stored_side;
    if (!e->symmetric) {
        flip = sig != e->signature;
        stored_side = black != flip;
    } else {
        flip = black;
        stored_side = 0;
    }
    const Bitboard white_men = black ? p.them() : p.own;
    const Bitboard black_men = p.by_type[0] ^ white_men;
    // Absolute squares of the men of a table piece code, colours oriented to the table.
    auto men_of = [&](int code) {
        const bool table_black = code & 8;
        Bitboard b = p.by_type[code & 7] & ((table_black != flip) ? black_men : white_men);
        return black ? byte_reverse(b) : b;
    };
    const int men = e->men;
    uint8_t squares[7] = {};
    int n = 0;
    // Appends every man of each piece code from index `from` of the coding on.
    auto fill = [&](const SubtableCoding& c, int from, int xor_mask) {
        for (int i = from; i < men;) {
            Bitboard b = men_of(c.pieces[i]);
            const int count = popcount(b);
            if (count == 0 || n + count > men) return false;
            while (b) squares[n++] = uint8_t(pop_lsb(b) ^ xor_mask);
            i += count;
        }
        return true;
    };
    const SubtableCoding* coding;
    int t = 0;
    uint8_t flags = 0;
    if (!e->has_pawns) {
        flags = kind == TABLE_DTZ ? dtz_flags(e, 0) : 0;
        if (kind == TABLE_DTZ && !e->symmetric && (flags & 1) != stored_side) {
            *success = -1;
            return 0;
        }
        coding = kind == TABLE_WDL ? &wdl_coding(e, 0, stored_side) : &dtz_coding(e, 0);
        if (!fill(*coding, 0, 0)) {
            *success = 0;
            return 0;
        }
    } else {
        const int xor_mask = flip ? 56 : 0;
        const SubtableCoding& first = kind == TABLE_WDL ? wdl_coding(e, 0, 0) : dtz_coding(e, 0);
        Bitboard b = men_of(first.pieces[0]);
        if (popcount(b) != e->lead_pawns) {
            *success = 0;
            return 0;
        }
        while (b) squares[n++] = uint8_t(pop_lsb(b) ^ xor_mask);
        for (int i = 1; i < n; ++i)
            if (PawnFileIndex[squares[i]] < PawnFileIndex[squares[0]]) std::swap(squares[0], squares[i]);
        t = FileGroup[squares[0] & 7];
        if (kind == TABLE_DTZ) {
            flags = dtz_flags(e, t);
            if (!e->symmetric && (flags & 1) != stored_side) {
                *success = -1;
                return 0;
            }
        }
        coding = kind == TABLE_WDL ? &wdl_coding(e, t, stored_side) : &dtz_coding(e, t);
        if (!fill(*coding, n, xor_mask)) {
            *success = 0;
            return 0;
        }
    }
    const uint8_t* record = coding->decoder ? decode_value(coding->decoder, position_index(squares, *coding, e)) : nullptr;
    if (!record) {
        *success = 0;
        return 0;
    }
    if (kind == TABLE_WDL) {
        const int v = record[0] - 2;
        if (v < -2 || v > 2) *success = 0;
        return *success ? v : 0;
    }
    int v = record[0] | (record[1] & 0x0F) << 8;
    if (flags & 2) {
        const int cls = MapClass[wdl + 2];
        if (v >= dtz_map_length(e, t)[cls]) {
            *success = 0;
            return 0;
        }
        const int entry = dtz_map_start(e, t)[cls] + v;
        v = (flags & 16) ? read_u16(dtz_map(e) + 2 * entry) : dtz_map(e)[entry];
    }
    if (!(flags & StoredWhole[wdl + 2]) || (wdl & 1)) v *= 2;
    return v;
}

// Capture and promotion moves need their check bit before make_move.
static inline Move with_check(const PositionState& p, Move m) {
    return (m & (MOVE_CAPTURE | MOVE_PROMOTION)) ? gives_check(p, m) : m;
}

static MoveEntry* capture_list(const PositionState& p, MoveEntry* list) {
    MoveEntry* end = list;
    if (p.in_check()) {
        generate_evasions(p, &end, &end, true);
        return end;
    }
    end = generate_underpromotions(p, end);
    return generate_captures(p, end);
}

static MoveEntry* all_moves(const PositionState& p, MoveEntry* list) {
    MoveEntry* end = list;
    if (p.in_check()) {
        generate_evasions(p, &end, &end, true);
        return end;
    }
    end = generate_underpromotions(p, end);
    end = generate_quiets(p, end, false, true);
    return generate_captures(p, end);
}

static int capture_search(Position& pos, int alpha, int beta, int* success) {
    MoveEntry list[MAX_MOVES];
    const PositionState& p = *pos.current;
    MoveEntry* end = capture_list(p, list);
    for (MoveEntry* m = end; m-- > list;) {
        const Move move = m->move;
        if (!(move & MOVE_CAPTURE) || !is_legal(p, move)) continue;
        make_move(pos, with_check(p, move), nullptr);
        const int v = -capture_search(pos, -beta, -alpha, success);
        unmake(pos);
        if (*success == 0) return 0;
        if (v > alpha) {
            if (v >= beta) return v;
            alpha = v;
        }
    }
    const int v = probe_table(pos, 0, success, TABLE_WDL);
    return alpha > v ? alpha : v;
}

static bool stack_room(const Position& pos) {
    return pos.current + QUERY_STACK_RESERVE < pos.states + POSITION_STACK_SIZE;
}

int wdl_query(Position& pos, int* success) {
    if (!stack_room(pos)) {
        *success = 0;
        return 0;
    }
    *success = 1;
    int best_capture = -3, best_en_passant = -3;
    MoveEntry list[MAX_MOVES];
    const PositionState& p = *pos.current;
    MoveEntry* end = capture_list(p, list);
    for (MoveEntry* m = end; m-- > list;) {
        const Move move = m->move;
        if (!(move & MOVE_CAPTURE) || !is_legal(p, move)) continue;
        make_move(pos, with_check(p, move), nullptr);
        const int v = -capture_search(pos, -2, -best_capture, success);
        unmake(pos);
        if (*success == 0) return 0;
        if (v > best_capture) {
            if (v == 2) {
                *success = 2;
                return 2;
            }
            if (move & MOVE_EN_PASSANT) best_en_passant = std::max(best_en_passant, v);
            else best_capture = v;
        }
    }
    const int v = probe_table(pos, 0, success, TABLE_WDL);
    if (*success == 0) return 0;
    if (best_en_passant > best_capture) {
        if (best_en_passant > v) {
            *success = 2;
            return best_en_passant;
        }
        best_capture = best_en_passant;
    }
    if (best_capture >= v) {
        *success = 1 + (best_capture > 0);
        return best_capture;
    }
    if (best_en_passant > -3 && v == 0) {
        // The table says draw, but it knows the position without the en-passant right: if every
        // other move is illegal it would be stalemate, and the capture decides.
        bool other_move = false;
        for (MoveEntry* m = list; m < end && !other_move; ++m)
            other_move = !(m->move & MOVE_EN_PASSANT) && is_legal(p, m->move);
        if (!other_move && !p.in_check()) {
            MoveEntry* qend = generate_quiets(p, end, false, true);
            for (MoveEntry* m = end; m < qend && !other_move; ++m) other_move = is_legal(p, m->move);
        }
        if (!other_move) {
            *success = 2;
            return best_en_passant;
        }
    }
    return v;
}

int dtz_query(Position& pos, int* success) {
    const int wdl = wdl_query(pos, success);
    if (*success == 0 || wdl == 0) return 0;
    if (*success == 2) return ZeroingValue[wdl + 2];
    MoveEntry list[MAX_MOVES];
    MoveEntry* end = list;
    const PositionState& p = *pos.current;
    if (wdl > 0) {
        // A pawn move that keeps the win zeroes the count at once.
        end = all_moves(p, list);
        for (MoveEntry* m = end; m-- > list;) {
            const Move move = m->move;
            if (move_piece(move) != PAWN || (move & MOVE_CAPTURE) || !is_legal(p, move)) continue;
            make_move(pos, with_check(p, move), nullptr);
            const int v = -wdl_query(pos, success);
            unmake(pos);
            if (*success == 0) return 0;
            if (v == wdl) return ZeroingValue[wdl + 2];
        }
    }
    const int dtz = probe_table(pos, wdl, success, TABLE_DTZ);
    if (*success >= 0) return ZeroingValue[wdl + 2] + (wdl > 0 ? dtz : -dtz);
    // The DTZ file holds the other side to move: one ply of search over the non-zeroing moves.
    int best;
    if (wdl > 0) {
        best = INT_MAX;
    } else {
        best = ZeroingValue[wdl + 2];
        end = all_moves(p, list);
    }
    for (MoveEntry* m = end; m-- > list;) {
        const Move move = m->move;
        if ((move & MOVE_CAPTURE) || move_piece(move) == PAWN || !is_legal(p, move)) continue;
        make_move(pos, move, nullptr);
        const int v = -dtz_query(pos, success);
        if (v == 1 && is_checkmate(*pos.current)) best = 1;
        else if (wdl > 0 && v > 0 && v + 1 < best) best = v + 1;
        else if (wdl < 0 && v - 1 < best) best = v - 1;
        unmake(pos);
        if (*success == 0) return 0;
    }
    return best;
}
