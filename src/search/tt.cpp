#include "search/tt.h"
#include <cstring>

TranspositionTable tt;

Move tt_to_move(const PositionState& p, uint32_t v) {
    const int from = v & 63, to = (v >> 6) & 63;
    int piece = p.piece_on(from);
    Move m = make_move_word(piece, from, to);
    if (v & (1u << 14)) {
        m |= Move(((v >> 12) & 3) + 2) << MOVE_PROMOTION_SHIFT | MOVE_PROMOTION;
    } else if (v & (1u << 12)) {
        return make_move_word(KING, from, to) | MOVE_CASTLE;
    } else if (v & (1u << 13)) {
        return m | Move(PAWN) << MOVE_CAPTURED_SHIFT | MOVE_CAPTURE | MOVE_EN_PASSANT;
    }
    int captured = p.piece_on(to);
    if (captured) m |= Move(captured) << MOVE_CAPTURED_SHIFT | MOVE_CAPTURE;
    return m;
}

int64_t hashfull(int64_t nodes) {
    int64_t n = nodes * 1000 / int64_t(tt.mask + 1);
    return n > 1000 ? 1000 : n;
}

void tt_clear_range(uint64_t first, uint64_t count) { std::memset(static_cast<void*>(tt.entries + first), 0, count * sizeof(TTEntry)); }
