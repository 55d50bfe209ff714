// The search memory: the transposition table and every SearchThread in one block.
#pragma once
#include <cstddef>
#include <cstdint>

struct SearchThread;
struct RefreshCache;

constexpr int64_t MAX_HASH_MB = 67108864;
constexpr int MAX_THREADS = 2048;

// Table entries for a hash size in MiB: 65536 x 2^floor(log2 mb); mb is at least 1.
uint64_t tt_entry_count(int64_t mb);

// The entries of a table of the given size that thread i of thread_count clears: thread 0 takes
// the remainder of the even split, so the slices cover the table exactly once.
struct TableSlice {
    uint64_t first;
    uint64_t count;
};
TableSlice clear_slice(uint64_t entries, int thread_count, int thread_index);

// Clears one SearchThread of the current block (histories, killers, refresh cache and everything
// else) and zeroes its slice of the table.
void clear_thread(SearchThread& t, uint64_t entries);


// Frees the current block if any, then allocates and clears one for the current Hash, Threads and
// LargePages options. Halves the table size while the block cannot be had; failing even at 1 MiB
// prints "Memory allocation error" and ends the process with exit code 1. An ordinary block larger
// than the memory available at that moment (MemAvailable) counts as failed without being tried:
// with overcommit such an allocation would succeed and the process be killed while clearing it.
// So Hash 67108864 gives the largest table that fits (16 GiB on a machine with 24 GiB free). Huge
// pages are not capped that way: the kernel reserves them when mapping, or refuses.
void allocate_search_memory();
void free_search_memory();
bool search_memory_allocated();
// Byte size of the current block when it came from huge pages, else 0.
size_t large_page_bytes();

// Where the block comes from. The system one maps huge pages with mmap, allocates ordinary memory
// aligned to 64 bytes (2 MiB for large blocks, advised for transparent huge pages) and reports
// MemAvailable of /proc/meminfo as the memory the block may use. Tests install their own.
struct MemoryBackend {
    void* (*allocate_large)(size_t bytes, size_t& mapped);  // null when refused
    void (*release_large)(void* block, size_t mapped);
    void* (*allocate)(size_t bytes);  // 64-byte aligned; null when refused
    void (*release)(void* block);
    uint64_t (*available)();  // bytes that can be touched without swapping or the OOM killer
};
extern const MemoryBackend system_memory;
// Used by the following allocations; null restores the system backend. A block keeps the backend
// it came from for its release.
void set_memory_backend(const MemoryBackend* backend);
