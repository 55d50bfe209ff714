// Search threads: iterative deepening, root search and "info" output.
#pragma once
#include "control/search_thread.h"

// Starts a thread with a stack large enough for the deepest search; detached threads clean up
// by themselves. Returns false when the thread could not be created.
bool start_search_thread(pthread_t* handle, void* (*body)(void*), void* arg, bool detached);

void search_worker(SearchThread& t);
// One root search of line k at depth d in the window (alpha, beta); returns the best score seen and
// keeps the root list ordered by score.
int root_search(SearchThread& t, int k, int d, int alpha, int beta);
// Line k at depth d: a window of +-6 around its last score from depth 4 on, widened by half
// again after every failure; ends with the line's score inside the window.
void aspiration_search(SearchThread& t, int k, int d);
// Stacks, root evaluation, killers and aged histories for a search from the current position.
void prepare_root(SearchThread& t);
// The score of an "info" line: "mate" only for a mate the search found, whose value no tablebase
// result can reach; tablebase results (and anything that could be one) in centipawns beyond any
// evaluation, TB_CP for TB_WIN, keeping the order of the internal values.
constexpr int TB_CP = 30000;
struct UciScore {
    bool mate;
    int value;  // moves to mate (negative when mated), or centipawns
};
UciScore uci_score(int s);
void print_info(SearchThread& t, int line, int tb_score, int64_t elapsed, int64_t nodes, int64_t tb_hits, int depth,
                int sel_depth);
// Snapshot of thread 0's stack and root list, copied by the other workers.
void take_root_snapshot(const SearchThread& t0);
