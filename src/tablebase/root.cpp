// Root probing: rate every root move by DTZ and keep those that hold the best result reachable
// under the 50-move rule; the search then runs only over them with a fixed tablebase score.
#include <algorithm>
#include "board/board.h"
#include "board/movegen.h"
#include "engine/options.h"
#include "search/movepick.h"
#include "tablebase/tablebase.h"

static const int ZeroingValue[5] = {-1, -101, 0, 101, 1};

int material_balance(const PositionState& p) {
    static const int value[6] = {0, 100, 300, 300, 500, 1000};
    int m = 0;
    for (int k = PAWN; k <= QUEEN; ++k) m += value[k] * (popcount(p.own_of(k)) - popcount(p.their(k)));
    return m;
}

int tablebase_score(bool won, int material) {
    const int c = std::clamp(material / 5, -200, 200);
    return won ? 32526 + c : -32526 + c;
}

// Whether the phase since the last zeroing move already holds a repeated position.
static bool phase_has_repetition(const Position& pos) {
    const PositionState* s = pos.current;
    for (int back = 0; back <= s->rule50 && s - back >= pos.states; back += 2)
        if ((s - back)->flags & REPETITION) return true;
    return false;
}

int rank_root_by_dtz(Position& pos, RootMove* begin, RootMove** end) {
    int success;
    const int dtz = dtz_query(pos, &success);
    if (!success) return -32767;
    const PositionState& root = *pos.current;
    const int count = int(*end - begin);
    int rating[MAX_MOVES];
    for (int i = 0; i < count; ++i) {
        Move m = begin[i].move;
        if (m & (MOVE_CAPTURE | MOVE_PROMOTION)) m = gives_check(root, m);
        make_move(pos, m, nullptr);
        const PositionState& c = *pos.current;
        success = 1;
        int r;
        if (c.bare_minor()) {
            r = 0;  // a dead draw
        } else if (dtz > 0 && is_checkmate(c)) {
            r = 1;
        } else if (c.rule50 != 0) {
            const int v = dtz_query(pos, &success);
            r = v < 0 ? 1 - v : v > 0 ? -v - 1 : 0;
        } else {
            const int w = wdl_query(pos, &success);
            r = ZeroingValue[-w + 2];
        }
        unmake(pos);
        if (!success) return -32767;
        rating[i] = r;
    }

    const int rule50 = root.rule50;
    const bool rule_on = options.syzygy_50_move_rule;
    const int material = material_balance(root);
    int score, lo, hi;  // ratings kept: lo <= r <= hi
    if (dtz > 0) {
        score = (rule_on && dtz + rule50 > 100) ? 0 : tablebase_score(true, material);
        int best = 65535;
        for (int i = 0; i < count; ++i)
            if (rating[i] > 0) best = std::min(best, rating[i]);
        const int limit = (!phase_has_repetition(pos) && best + rule50 < 100) ? 99 - rule50 : best;
        if (count == 0) return score;
        lo = 1;
        hi = limit;
    } else if (dtz < 0) {
        score = (rule_on && rule50 - dtz > 100) ? 0 : tablebase_score(false, material);
        int worst = 0;
        for (int i = 0; i < count; ++i) worst = std::min(worst, rating[i]);
        if (count == 0 || rule50 - 2 * worst < 100) return score;
        lo = hi = worst;
    } else {
        if (count == 0) return 0;
        score = 0;
        lo = hi = 0;
    }
    RootMove* out = begin;
    for (int i = 0; i < count; ++i)
        if (rating[i] >= lo && rating[i] <= hi) *out++ = begin[i];
    if (out != begin) *end = out;
    return score;
}

int rank_root_moves(SearchThread& t) { return rank_root_by_dtz(t.position, t.root_moves, &t.root_end); }
