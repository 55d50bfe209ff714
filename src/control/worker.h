// Search threads: iterative deepening, root search and "info" output.
#pragma once
#include "control/search_thread.h"

// Starts a thread with a stack large enough for the deepest search; detached threads clean up
// by themselves. Returns false when the thread could not be created.
bool start_search_thread(pthread_t* handle, void* (*body)(void*), void* arg, bool detached);

void search_worker(SearchThread& t);
void print_info(SearchThread& t, int line, int tb_score, int64_t elapsed, int64_t nodes, int64_t tb_hits, int depth,
                int sel_depth);
// Snapshot of thread 0's stack and root list, copied by the other workers.
void take_root_snapshot(const SearchThread& t0);
