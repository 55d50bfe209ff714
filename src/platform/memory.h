// The search memory: the transposition table and every SearchThread in one block.
#pragma once
#include <cstddef>

// Frees any previous block, allocates and clears a new one for the current Hash and Threads.
void allocate_search_memory();
void free_search_memory();
bool search_memory_allocated();
