// The main alpha-beta search and the quiescence search.
#pragma once
#include "control/search_thread.h"

constexpr int SCORE_INFINITE = 32767;
constexpr int SCORE_NONE = -32767;
constexpr int MATE = 32766;
constexpr int TB_WIN = 32526;
// Highest value a tablebase result reaches: TB_WIN plus the largest material correction (200).
// Mates the search finds within 39 plies lie above it; longer mates share values with tablebase results.
constexpr int TB_SCORE_TOP = TB_WIN + 200;

constexpr int NODE_ALL = 0;
constexpr int NODE_CUT = 1 << 23;
constexpr int NODE_PV = 1 << 24;

// Deepest ply a node may be entered at; the stacks hold 1024 plies.
constexpr int MAX_SEARCH_PLY = 1000;

int search(SearchThread& t, int node_type, int ply, int depth, int alpha, int beta, Move excluded);
int qsearch(SearchThread& t, int node_type, int ply, int depth, int alpha, int beta);
int draw_score(int ply);

// Run by thread 0 at every node entry.
void check_limits();
