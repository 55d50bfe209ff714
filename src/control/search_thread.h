// The per-thread search object and the process-wide search limits.
#pragma once
#include <atomic>
#include <csetjmp>
#include <cstdint>
#include <pthread.h>
#include "board/position.h"
#include "eval/accumulator.h"

constexpr int MAX_PLY = 1024;
constexpr int MAX_MOVES = 256;

enum SearchMode { Normal = 0, Pondering = 1, Infinite = 2 };

typedef MoveEntry RootMove;

struct alignas(64) SearchThread {
    Accumulator accumulators[MAX_PLY];
    RefreshCache refresh_cache;
    Move counter_move[2][7][64][64];
    int16_t history[2][7][64][64];
    int16_t cont_hist1[2][7][64][7][64];
    int16_t cont_hist2[2][7][64][7][64];
    int32_t root_scores[MAX_MOVES];
    int32_t static_eval[MAX_PLY];
    Move killer[MAX_PLY];
    Position position;
    Move move_stack[MAX_PLY + 2];  // [0] prior_move, [1] last_move, then one per search ply
    pthread_t handle;  // the go driver (thread 0) or the worker running this object
    jmp_buf abort_point;
    RootMove root_moves[MAX_MOVES];
    RootMove* root_end;
    int64_t vote;
    std::atomic<int64_t> nodes;
    int64_t node_limit = INT64_MAX;  // a cap of this thread's own (self-play games); the search aborts past it
    std::atomic<int64_t> tb_hits;
    int32_t sel_depth;
    int32_t index;
};
