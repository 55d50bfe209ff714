#include "platform/memory.h"
#include "eval/evaluate.h"
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>
#include "control/search_control.h"
#include "engine/options.h"
#include "search/tt.h"

namespace {

constexpr size_t HUGE_ALIGNMENT = size_t(2) << 20;

void* block = nullptr;
size_t large_marker = 0;  // mapped size when the block is made of huge pages
const MemoryBackend* backend = &system_memory;
const MemoryBackend* block_backend = nullptr;

size_t round_up(size_t n, size_t unit) { return (n + unit - 1) / unit * unit; }

// A "Name:   value kB" field of /proc/meminfo in bytes, 0 when absent.
uint64_t meminfo_bytes(const char* name) {
    FILE* f = std::fopen("/proc/meminfo", "r");
    if (!f) return 0;
    char line[256];
    uint64_t value = 0;
    const size_t len = std::strlen(name);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, name, len) == 0 && line[len] == ':') {
            value = std::strtoull(line + len + 1, nullptr, 10) * 1024;
            break;
        }
    }
    std::fclose(f);
    return value;
}

void* system_allocate_large(size_t bytes, size_t& mapped) {
    uint64_t page = meminfo_bytes("Hugepagesize");
    if (page == 0) page = HUGE_ALIGNMENT;
    // The kernel rounds the mapping up to whole huge pages; munmap needs that length.
    const size_t length = round_up(bytes, size_t(page));
    void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_HUGETLB, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    mapped = length;
    return p;
}

void system_release_large(void* p, size_t mapped) { munmap(p, mapped); }

void* system_allocate(size_t bytes) {
    // Large blocks start on a huge-page boundary so that transparent huge pages can back them.
    const size_t alignment = bytes >= HUGE_ALIGNMENT ? HUGE_ALIGNMENT : 64;
    const size_t size = round_up(bytes, alignment);
    void* p = std::aligned_alloc(alignment, size);
    if (p && alignment == HUGE_ALIGNMENT) madvise(p, size, MADV_HUGEPAGE);
    return p;
}

void system_release(void* p) { std::free(p); }

// Memory the block may occupy. On Linux an allocation far beyond this usually still succeeds
// (overcommit) and the process dies on first touch while clearing, so larger sizes are not tried.
uint64_t system_available() {
    if (uint64_t available = meminfo_bytes("MemAvailable")) return available;
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0) return uint64_t(pages) * uint64_t(page);
    return UINT64_MAX;
}

struct ClearJob {
    SearchThread* thread;
    uint64_t entries;
};

void* clear_job(void* arg) {
    const ClearJob* job = static_cast<const ClearJob*>(arg);
    clear_thread(*job->thread, job->entries);
    return nullptr;
}

int64_t clamp64(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : v > hi ? hi : v; }

}  // namespace

const MemoryBackend system_memory = {system_allocate_large, system_release_large, system_allocate, system_release,
                                     system_available};

void set_memory_backend(const MemoryBackend* b) { backend = b ? b : &system_memory; }

uint64_t tt_entry_count(int64_t mb) {
    int log2_mb = 0;
    while (log2_mb < 62 && (int64_t(2) << log2_mb) <= mb) ++log2_mb;
    return uint64_t(65536) << log2_mb;
}

TableSlice clear_slice(uint64_t entries, int thread_count, int i) {
    const uint64_t share = entries / uint64_t(thread_count), rest = entries % uint64_t(thread_count);
    if (i == 0) return {0, share + rest};
    return {rest + uint64_t(i) * share, share};
}

void clear_thread(SearchThread& t, uint64_t entries) {
    const int index = int(&t - threads);
    // Killers, counter moves, histories and whatever the last game left in the object.
    std::memset(static_cast<void*>(&t), 0, sizeof t);
    t.index = index;
    t.node_limit = INT64_MAX;
    clear_refresh_cache(t.refresh_cache);
    const TableSlice slice = clear_slice(entries, control.thread_count, index);
    tt_clear_range(slice.first, slice.count);
}

bool search_memory_allocated() { return block != nullptr; }

size_t large_page_bytes() { return large_marker; }

void free_search_memory() {
    if (!block) return;
    if (large_marker)
        block_backend->release_large(block, large_marker);
    else
        block_backend->release(block);
    block = nullptr;
    block_backend = nullptr;
    large_marker = 0;
    threads = nullptr;
    tt.entries = nullptr;
    tt.mask = 0;
    control.thread_count = 0;
}

// What the current block was allocated for: a new request for the same is served by clearing it.
static int64_t block_hash_request = 0;
static int block_thread_request = 0;
static bool block_large_request = false;

static void clear_all(uint64_t entries, int thread_count);

void allocate_search_memory() {
    tt.generation = 0;
    // The option handler clamps both; the bounds here keep the arithmetic safe whatever is stored.
    const int thread_count = int(clamp64(options.threads, 1, MAX_THREADS));
    int64_t hash = clamp64(options.hash, 1, MAX_HASH_MB);
    const MemoryBackend* source = backend;
    if (block && block_backend == source && block_hash_request == hash && block_thread_request == thread_count &&
        block_large_request == options.large_pages && tt.mask + 1 == tt_entry_count(hash)) {
        // Same sizes, obtained in full: clearing in place spares the system zeroing every fresh page a second time.
        if (large_marker) {
            std::printf("Allocated large pages\n");
            std::fflush(stdout);
        }
        for (int i = 0; i < thread_count; ++i) threads[i].~SearchThread();
        for (int i = 0; i < thread_count; ++i) new (&threads[i]) SearchThread;
        clear_all(tt.mask + 1, thread_count);
        return;
    }
    free_search_memory();
    block_hash_request = hash;
    block_thread_request = thread_count;
    block_large_request = options.large_pages;
    const uint64_t available = source->available();

    uint64_t entries = 0;
    for (;;) {
        entries = tt_entry_count(hash);
        const size_t bytes = size_t(entries) * sizeof(TTEntry) + size_t(thread_count) * sizeof(SearchThread);
        if (options.large_pages) {
            size_t mapped = 0;
            if (void* p = source->allocate_large(bytes, mapped)) {
                block = p;
                large_marker = mapped;
                std::printf("Allocated large pages\n");
                std::fflush(stdout);
                break;
            }
        }
        // 1 MiB is always tried: the estimate of available memory is not worth an exit.
        if (hash == 1 || bytes <= available) block = source->allocate(bytes);
        hash >>= 1;
        if (block) break;
        if (hash == 0) {
            std::printf("Memory allocation error\n");
            std::fflush(stdout);
            std::exit(1);
        }
    }
    block_backend = source;

    tt.entries = static_cast<TTEntry*>(block);
    tt.mask = entries - 1;
    threads = reinterpret_cast<SearchThread*>(static_cast<char*>(block) + entries * sizeof(TTEntry));
    control.thread_count = thread_count;
    for (int i = 0; i < thread_count; ++i) new (&threads[i]) SearchThread;
    clear_all(entries, thread_count);
}

static void clear_all(uint64_t entries, int thread_count) {
    // Each extra thread clears its own object and table slice; a thread that cannot be started
    // leaves its share to the calling thread.
    const size_t count = size_t(thread_count);
    std::vector<ClearJob> jobs(count);
    std::vector<pthread_t> handles(count);
    std::vector<char> started(count, 0);
    for (size_t i = 1; i < count; ++i) {
        jobs[i] = {&threads[i], entries};
        started[i] = pthread_create(&handles[i], nullptr, clear_job, &jobs[i]) == 0;
    }
    clear_thread(threads[0], entries);
    for (size_t i = 1; i < count; ++i) {
        if (started[i])
            pthread_join(handles[i], nullptr);
        else
            clear_thread(threads[i], entries);
    }
}
