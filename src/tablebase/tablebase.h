// Syzygy endgame tablebases: registry, probing and root ranking.
#pragma once
#include "control/search_thread.h"

// Registers the embedded tables and those found in the directories of path; prints the report
// line; returns the largest piece count available.
int init_tablebases(const char* path);
// Builds the index tables; called once at start-up before init_tablebases.
void init_tablebase_indexing();
// WDL of the current position (-2..2, side to move); success is non-zero.
int wdl_query(Position& pos, int* success);
int dtz_query(Position& pos, int* success);
// Root probe: ranks and filters thread 0's root moves; returns the root score or -32767.
int rank_root_moves(SearchThread& t);
