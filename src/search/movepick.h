// Staged move picker, history tables and stored-move validation.
#pragma once
#include "control/search_thread.h"

constexpr int32_t SCORE_TT_MOVE = 0x7FFFFF00;
constexpr int32_t SCORE_KILLER = 363835;
constexpr uint32_t LOSING_CAPTURE_SHIFT = 100000003;
constexpr int32_t BAD_CAPTURE_LIMIT = -2047483645;  // scores below it are losing captures
constexpr int32_t REST_LIMIT = -2147483645;         // scores below it are underpromotions

struct MovePicker {
    int stage;
    bool in_check;
    bool skip_quiets;
    int depth;
    int ply;
    Move tt_move;
    Move killer;
    Move counter;
    MoveEntry* caps_begin;
    MoveEntry* caps_end;
    MoveEntry* quiets_begin;
    MoveEntry* quiets_end;
    MoveEntry caps[MAX_MOVES];
    MoveEntry quiets[MAX_MOVES];
};

enum PickerKind { PICK_MAIN, PICK_PROBCUT, PICK_QSEARCH };

void picker_init(MovePicker& mp, SearchThread& t, int ply, int depth, Move tt_move, PickerKind kind);
// Next legal move with its check flag and its ordering score in *score; 0 when exhausted.
Move next_move(MovePicker& mp, SearchThread& t, int32_t* score);
Move next_probcut_move(MovePicker& mp, SearchThread& t, int32_t* score);
Move next_qsearch_move(MovePicker& mp, SearchThread& t, int32_t* score);

Move validate_tt_move(const PositionState& p, uint32_t v15);
bool quiet_pseudo_legal(const PositionState& p, Move m);
bool is_checkmate(const PositionState& p);

inline int history_bonus(int d) {
    int b = 36 * d * d + 11 * d;
    return b > 32767 ? 32767 : b;
}
inline void history_add(int16_t& h, int delta) {
    int v = h;
    h = int16_t(v + delta - v * (delta < 0 ? -delta : delta) / 32767);
}

// Squares the opponent's pawns, minor pieces and rooks attack, and the own pieces they threaten:
// the threat terms of the quiet scores.
struct ThreatInfo {
    Bitboard pawn_att, minor_att, rook_att, threatened;
    explicit ThreatInfo(const PositionState& p);
};

void cutoff_update(SearchThread& t, int ply, int depth, Move best, const Move* quiets, int quiet_count, bool in_check);
void tt_move_update(SearchThread& t, int ply, int depth, Move m, bool fail_high, bool in_check);
