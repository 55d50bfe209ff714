// Static evaluation of a search thread's position at a search ply, side-to-move relative.
#pragma once
#include "control/search_thread.h"
#include "eval/kernels.h"  // the kernels in use, chosen from the processor before main

// Ends the process (exit 1, with its message) when the embedded block's constants are wrong.
void check_network_quantisation();
void unpack_network();
int evaluate(SearchThread& t, int ply);
// Prefetches the rows evaluate will read to update entry k from entry k - 1, k being the ply of
// the thread's current position (called by the search right after making a move).
void prefetch_update_rows(const SearchThread& t, int k);

// Marks every slot of a refresh cache as holding no position.
void clear_refresh_cache(RefreshCache& cache);

// Cached refreshes attempted and served from a cached position, per thread (for the bench tool).
// constinit: readers in other files then skip the thread-local initialisation check, whose null
// test GCC 12 miscompiles under the undefined-behaviour sanitizer (a false "load of null pointer").
extern thread_local constinit int64_t refresh_cache_lookups;
extern thread_local constinit int64_t refresh_cache_hits;

// First-layer sums of one perspective computed from scratch (other = the side not to move).
void refresh_perspective(const PositionState& s, bool other, int16_t* out);
// Active first-layer rows of one perspective (at most 30); returns their count.
int network_features(const PositionState& s, bool other, int* out);
// Output layer over an accumulator entry of a position with the given piece count.
int network_output(const Accumulator& acc, int pieces);
