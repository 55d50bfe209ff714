#include "platform/memory.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include "control/search_control.h"
#include "engine/options.h"
#include "search/tt.h"

static void* block = nullptr;

void free_search_memory() {
    if (!block) return;
    for (int i = 0; i < control.thread_count; ++i) threads[i].~SearchThread();
    std::free(block);
    block = nullptr;
    threads = nullptr;
    tt.entries = nullptr;
    control.thread_count = 0;
}

bool search_memory_allocated() { return block != nullptr; }

void allocate_search_memory() {
    free_search_memory();
    const int n = options.threads < 1 ? 1 : options.threads;
    int log2_mb = 0;
    while (log2_mb < 26 && (int64_t(2) << log2_mb) <= options.hash) ++log2_mb;
    const size_t entries = size_t(65536) << log2_mb;
    const size_t table_bytes = entries * sizeof(TTEntry);
    const size_t bytes = table_bytes + sizeof(SearchThread) * size_t(n);
    block = std::aligned_alloc(64, (bytes + 63) & ~size_t(63));
    if (!block) {
        std::printf("Memory allocation error\n");
        std::fflush(stdout);
        std::exit(1);
    }
    std::memset(block, 0, bytes);
    tt.entries = static_cast<TTEntry*>(block);
    tt.mask = entries - 1;
    tt.generation = 0;
    threads = reinterpret_cast<SearchThread*>(static_cast<char*>(block) + table_bytes);
    for (int i = 0; i < n; ++i) {
        threads[i].index = i;
    }
    control.thread_count = n;
}
