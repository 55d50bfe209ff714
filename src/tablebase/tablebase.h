// Syzygy endgame tablebases: registry, probing and root ranking.
#pragma once
#include "control/search_thread.h"

// Registers the embedded tables and those found in the directories of path (a SyzygyPath value:
// directories separated by ';'; "" and "<empty>" mean none); prints the report line; returns the
// largest piece count available. Never call it while a search runs.
int init_tablebases(const char* path);
// Builds the index tables; called once at start-up before init_tablebases.
void init_tablebase_indexing();

// WDL of the current position from the side to move: -2 loss, -1 loss spoiled by the 50-move rule,
// 0 draw, 1 spoiled win, 2 win. *success: 0 failure (no table, unusable file), 1 table value,
// 2 decided by a capture (or en passant). The position is unchanged on return.
int wdl_query(Position& pos, int* success);
// DTZ of the current position: plies to the next zeroing move under best play (sign as for WDL,
// beyond 100 when the 50-move rule spoils the result, 0 draw). *success is 0 on failure.
int dtz_query(Position& pos, int* success);

// Material balance from the side to move: 100 pawn, 300 knight or bishop, 500 rook, 1000 queen.
int material_balance(const PositionState& p);
// Score of a tablebase win or loss with the material correction clamp(F / 5, -200, 200).
int tablebase_score(bool won, int material);

// Rates every move of [begin, *end) by DTZ, keeps in place (order preserved) those that hold the
// best achievable result under Syzygy50MoveRule, moves *end, and returns the root score; returns
// -32767 with the list untouched when a probe fails.
int rank_root_by_dtz(Position& pos, RootMove* begin, RootMove** end);
// The go driver's root probe over thread 0's root list.
int rank_root_moves(SearchThread& t);
