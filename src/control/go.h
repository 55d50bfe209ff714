// The go driver: runs one search and prints its best move.
#pragma once
#include <cstdint>

int run_go();
int64_t time_budget(int64_t time_left, int64_t increment, int moves_to_go, int game_moves, int root_moves,
                    int move_overhead, bool ponder);
