#include "platform/memory.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include "control/search_control.h"
#include "engine/options.h"

static void* block = nullptr;

void free_search_memory() {
    if (!block) return;
    for (int i = 0; i < control.thread_count; ++i) threads[i].~SearchThread();
    std::free(block);
    block = nullptr;
    threads = nullptr;
    control.thread_count = 0;
}

bool search_memory_allocated() { return block != nullptr; }

void allocate_search_memory() {
    free_search_memory();
    int n = options.threads < 1 ? 1 : options.threads;
    size_t bytes = sizeof(SearchThread) * size_t(n);
    block = std::aligned_alloc(64, (bytes + 63) & ~size_t(63));
    if (!block) {
        std::printf("Memory allocation error\n");
        std::fflush(stdout);
        std::exit(1);
    }
    std::memset(block, 0, bytes);
    threads = static_cast<SearchThread*>(block);
    for (int i = 0; i < n; ++i) {
        new (&threads[i].handle) std::thread();
        threads[i].index = i;
    }
    control.thread_count = n;
}
