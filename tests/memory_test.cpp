// The search-memory block (sizes, halving, large pages, parallel clearing) and thread placement.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>
#include "control/search_control.h"
#include "engine/options.h"
#include "platform/memory.h"
#include "platform/placement.h"
#include "search/tt.h"

namespace {

constexpr size_t MiB = size_t(1) << 20;

// A backend that records every request and refuses what the test asks it to refuse. Blocks come
// back full of garbage so that clearing has something to do.
struct FakeMemory {
    static inline size_t refuse_above = SIZE_MAX;
    static inline bool grant_large = false;
    static inline uint64_t available_bytes = UINT64_MAX;
    static inline std::vector<size_t> asked, asked_large, released_large;
    static inline int released = 0;

    static void reset() {
        refuse_above = SIZE_MAX;
        grant_large = false;
        available_bytes = UINT64_MAX;
        asked.clear();
        asked_large.clear();
        released_large.clear();
        released = 0;
    }
    static void* garbage(size_t bytes) {
        void* p = std::aligned_alloc(64, (bytes + 63) / 64 * 64);
        if (p) std::memset(p, 0xAB, bytes);
        return p;
    }
    static void* allocate(size_t bytes) {
        asked.push_back(bytes);
        return bytes > refuse_above ? nullptr : garbage(bytes);
    }
    static void release(void* p) {
        ++released;
        std::free(p);
    }
    static void* allocate_large(size_t bytes, size_t& mapped) {
        asked_large.push_back(bytes);
        if (!grant_large || bytes > refuse_above) return nullptr;
        mapped = (bytes + 2 * MiB - 1) / (2 * MiB) * (2 * MiB);
        return garbage(mapped);
    }
    static void release_large(void* p, size_t mapped) {
        released_large.push_back(mapped);
        std::free(p);
    }
    static uint64_t available() { return available_bytes; }
};

const MemoryBackend fake_memory = {FakeMemory::allocate_large, FakeMemory::release_large, FakeMemory::allocate,
                                   FakeMemory::release, FakeMemory::available};

class MemoryTest : public ::testing::Test {
protected:
    EngineOptions saved;
    void SetUp() override {
        saved = options;
        free_search_memory();
        FakeMemory::reset();
        set_memory_backend(&fake_memory);
    }
    void TearDown() override {
        free_search_memory();
        set_memory_backend(nullptr);
        options = saved;
    }
    static size_t block_bytes(uint64_t table_mib, int thread_count) {
        return table_mib * MiB + size_t(thread_count) * sizeof(SearchThread);
    }
    static uint64_t entries() { return tt.mask + 1; }
};

TEST_F(MemoryTest, EntryCounts) {
    EXPECT_EQ(tt_entry_count(1), 65536u);
    EXPECT_EQ(tt_entry_count(2), 131072u);
    EXPECT_EQ(tt_entry_count(3), 131072u);
    EXPECT_EQ(tt_entry_count(100), 65536u * 64);
    EXPECT_EQ(tt_entry_count(256), 16777216u);
    EXPECT_EQ(tt_entry_count(300), 16777216u);
    EXPECT_EQ(tt_entry_count(1000), 512 * MiB / 16);
    EXPECT_EQ(tt_entry_count(67108864), uint64_t(65536) << 26);

    // The same through a real allocation: the block is the table followed by the thread objects.
    options.threads = 2;
    const struct {
        int64_t hash;
        uint64_t entries;
    } cases[] = {{1, 65536}, {3, 131072}, {256, 16777216}, {300, 16777216}};
    for (const auto& c : cases) {
        options.hash = c.hash;
        FakeMemory::asked.clear();
        allocate_search_memory();
        EXPECT_EQ(entries(), c.entries) << "Hash " << c.hash;
        ASSERT_EQ(FakeMemory::asked.size(), 1u);
        EXPECT_EQ(FakeMemory::asked[0], c.entries * 16 + 2 * sizeof(SearchThread));
        EXPECT_EQ(reinterpret_cast<char*>(threads), reinterpret_cast<char*>(tt.entries) + c.entries * 16);
        EXPECT_EQ(control.thread_count, 2);
    }
}

TEST_F(MemoryTest, SliceRule) {
    const uint64_t expected[4][2] = {{0, 4}, {4, 2}, {6, 2}, {8, 2}};
    for (int i = 0; i < 4; ++i) {
        const TableSlice s = clear_slice(10, 4, i);
        EXPECT_EQ(s.first, expected[i][0]) << i;
        EXPECT_EQ(s.count, expected[i][1]) << i;
    }
    // Every entry is cleared by exactly one thread, including more threads than entries.
    for (uint64_t n : {1ull, 7ull, 10ull, 65536ull, 65537ull}) {
        for (int t : {1, 2, 3, 4, 7, 9, 64, 2048}) {
            uint64_t next = 0;
            for (int i = 0; i < t; ++i) {
                const TableSlice s = clear_slice(n, t, i);
                EXPECT_EQ(s.first, next) << n << " " << t << " " << i;
                next = s.first + s.count;
            }
            EXPECT_EQ(next, n) << n << " " << t;
        }
    }
}

bool all_bytes(const void* p, size_t n, unsigned char v) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i] != v) return false;
    return true;
}

void expect_cleared_thread(const SearchThread& t, int index) {
    EXPECT_EQ(t.index, index);
    EXPECT_TRUE(all_bytes(t.killer, sizeof t.killer, 0));
    EXPECT_TRUE(all_bytes(t.counter_move, sizeof t.counter_move, 0));
    EXPECT_TRUE(all_bytes(t.history, sizeof t.history, 0));
    EXPECT_TRUE(all_bytes(t.cont_hist1, sizeof t.cont_hist1, 0));
    EXPECT_TRUE(all_bytes(t.cont_hist2, sizeof t.cont_hist2, 0));
    int bad_slots = 0;
    for (const auto& half : t.refresh_cache.slots)
        for (const auto& square : half)
            for (const RefreshSlot& slot : square) {
                bool ok = slot.boards[0] == ~Bitboard(0) && all_bytes(slot.values, sizeof slot.values, 0);
                for (int k = 1; k < 8; ++k) ok &= slot.boards[k] == 0;
                bad_slots += !ok;
            }
    EXPECT_EQ(bad_slots, 0) << "thread " << index;
}

TEST_F(MemoryTest, AllocationClearsTableAndEveryThreadInParallel) {
    options.hash = 2;
    options.threads = 5;  // 131072 entries do not split evenly over 5 threads
    tt.generation = 7u << 25;
    allocate_search_memory();
    EXPECT_EQ(tt.generation, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(tt.entries) % 64, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(threads) % 64, 0u);
    ASSERT_EQ(control.thread_count, 5);
    EXPECT_TRUE(all_bytes(tt.entries, entries() * sizeof(TTEntry), 0));
    for (int i = 0; i < 5; ++i) expect_cleared_thread(threads[i], i);

    // clear_thread on its own touches only its thread and its slice of the table.
    std::memset(static_cast<void*>(tt.entries), 0xCD, entries() * sizeof(TTEntry));
    std::memset(static_cast<void*>(&threads[2]), 0xCD, sizeof(SearchThread));
    std::memset(static_cast<void*>(&threads[3]), 0xCD, sizeof(SearchThread));
    clear_thread(threads[2], entries());
    expect_cleared_thread(threads[2], 2);
    EXPECT_TRUE(all_bytes(&threads[3], sizeof(SearchThread), 0xCD));
    const TableSlice s = clear_slice(entries(), 5, 2);
    const char* table = reinterpret_cast<const char*>(tt.entries);
    EXPECT_TRUE(all_bytes(table, s.first * 16, 0xCD));
    EXPECT_TRUE(all_bytes(table + s.first * 16, s.count * 16, 0));
    EXPECT_TRUE(all_bytes(table + (s.first + s.count) * 16, (entries() - s.first - s.count) * 16, 0xCD));
}

TEST_F(MemoryTest, HalvesWhileAllocationFails) {
    options.hash = 64;
    options.threads = 1;
    FakeMemory::refuse_above = block_bytes(4, 1);
    allocate_search_memory();
    EXPECT_EQ(entries(), 4 * MiB / 16);
    const std::vector<size_t> expected = {block_bytes(64, 1), block_bytes(32, 1), block_bytes(16, 1), block_bytes(8, 1),
                                          block_bytes(4, 1)};
    EXPECT_EQ(FakeMemory::asked, expected);
    EXPECT_TRUE(FakeMemory::asked_large.empty());
    EXPECT_EQ(options.hash, 64);  // the option keeps its value

    // Each smaller size tries large pages again first; refused ones leave no message.
    free_search_memory();
    FakeMemory::asked.clear();
    options.large_pages = true;
    testing::internal::CaptureStdout();
    allocate_search_memory();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(FakeMemory::asked_large, expected);
    EXPECT_EQ(FakeMemory::asked, expected);
    EXPECT_EQ(large_page_bytes(), 0u);
    free_search_memory();
    EXPECT_EQ(FakeMemory::released, 2);
    EXPECT_TRUE(FakeMemory::released_large.empty());
}

TEST_F(MemoryTest, LargePages) {
    options.hash = 8;
    options.threads = 2;
    options.large_pages = true;
    FakeMemory::grant_large = true;
    testing::internal::CaptureStdout();
    allocate_search_memory();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Allocated large pages\n");
    EXPECT_TRUE(FakeMemory::asked.empty());
    const size_t mapped = large_page_bytes();
    EXPECT_GE(mapped, block_bytes(8, 2));
    EXPECT_TRUE(all_bytes(tt.entries, entries() * sizeof(TTEntry), 0));
    expect_cleared_thread(threads[1], 1);
    // Reallocation releases the mapping with its own call and size.
    options.large_pages = false;
    testing::internal::CaptureStdout();
    allocate_search_memory();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(FakeMemory::released_large, std::vector<size_t>{mapped});
    EXPECT_EQ(large_page_bytes(), 0u);
    EXPECT_EQ(FakeMemory::asked_large.size(), 1u);
}

TEST_F(MemoryTest, HugeHashIsCappedByAvailableMemory) {
    options.hash = 67108864;
    options.threads = 1;
    // Exactly room for a 32 MiB table: taken; one byte less: 16 MiB.
    FakeMemory::available_bytes = block_bytes(32, 1);
    allocate_search_memory();
    EXPECT_EQ(entries(), 32 * MiB / 16);
    for (size_t n : FakeMemory::asked) EXPECT_LE(n, FakeMemory::available_bytes);

    FakeMemory::available_bytes = block_bytes(32, 1) - 1;
    allocate_search_memory();
    EXPECT_EQ(entries(), 16 * MiB / 16);

    // Whatever the estimate says, 1 MiB is still tried before giving up.
    FakeMemory::available_bytes = 1;
    FakeMemory::asked.clear();
    allocate_search_memory();
    EXPECT_EQ(entries(), 65536u);
    EXPECT_EQ(FakeMemory::asked, std::vector<size_t>{block_bytes(1, 1)});
}

TEST_F(MemoryTest, OutOfRangeOptionsStillAllocate) {
    options.hash = 0;
    options.threads = 0;
    allocate_search_memory();
    EXPECT_EQ(entries(), 65536u);
    EXPECT_EQ(control.thread_count, 1);
}

TEST_F(MemoryTest, FailingAtOneMegabyteEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    options.hash = 4;
    options.threads = 1;
    FakeMemory::refuse_above = 0;
    EXPECT_EXIT(
        {
            dup2(2, 1);  // the message goes to standard output; let the death test see it
            allocate_search_memory();
        },
        testing::ExitedWithCode(1), "(^|\n)Memory allocation error\n$");
}

TEST_F(MemoryTest, SystemBackendGivesAlignedClearedMemory) {
    set_memory_backend(nullptr);
    options.hash = 2;
    options.threads = 2;
    allocate_search_memory();
    EXPECT_EQ(reinterpret_cast<uintptr_t>(tt.entries) % 64, 0u);
    EXPECT_TRUE(all_bytes(tt.entries, entries() * sizeof(TTEntry), 0));
    expect_cleared_thread(threads[0], 0);
    expect_cleared_thread(threads[1], 1);
    EXPECT_GT(system_memory.available(), 0u);
}

// Reallocation replaces thread 0's position too: a "go" right after "ucinewgame" searches the start
// position instead of reading a position that is no longer there.
TEST(MemoryEngine, GoAfterUcinewgameSearchesTheStartPosition) {
    char dir[] = "/tmp/tarnvik-newgame-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string input = std::string(dir) + "/in", output = std::string(dir) + "/out";
    FILE* f = std::fopen(input.c_str(), "w");
    std::fputs("setoption name Hash value 1\nposition startpos moves e2e4\nucinewgame\ngo depth 2\nquit\n", f);
    std::fclose(f);
    const std::string cmd = "timeout 60 " + std::string(TARNVIK_BINARY) + " < " + input + " > " + output;
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    std::string out;
    f = std::fopen(output.c_str(), "r");
    char line[4096];
    while (f && std::fgets(line, sizeof line, f)) out += line;
    if (f) std::fclose(f);
    const size_t at = out.find("bestmove ");
    ASSERT_NE(at, std::string::npos) << out;
    // A move of White from the start position: from rank 1 or 2.
    EXPECT_TRUE(out[at + 10] == '1' || out[at + 10] == '2') << out.substr(at);
    EXPECT_EQ(std::system((std::string("rm -rf ") + dir).c_str()), 0);
}

// A fake sysfs tree: online processors, sibling lists and NUMA nodes.
class TopologyTest : public ::testing::Test {
protected:
    std::string root;
    void SetUp() override {
        char name[] = "/tmp/tarnvik-sys-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root = name;
    }
    void TearDown() override {
        const std::string cmd = "rm -rf '" + root + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    void write(const std::string& path, const std::string& text) {
        const std::string full = root + "/" + path;
        const std::string cmd = "mkdir -p \"$(dirname '" + full + "')\"";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        FILE* f = std::fopen(full.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fprintf(f, "%s\n", text.c_str());
        std::fclose(f);
    }
    void siblings(int cpu, const std::string& list) {
        write("cpu/cpu" + std::to_string(cpu) + "/topology/thread_siblings_list", list);
    }
};

TEST_F(TopologyTest, NodeTableRule) {
    // Physical cores node by node, then the second hardware threads dealt over the nodes.
    EXPECT_EQ(build_node_table(8, 16, 2), (std::vector<int>{0, 0, 0, 0, 1, 1, 1, 1, 0, 1, 0, 1, 0, 1, 0, 1}));
    EXPECT_EQ(build_node_table(6, 12, 3), (std::vector<int>{0, 0, 1, 1, 2, 2, 0, 1, 2, 0, 1, 2}));
    EXPECT_EQ(build_node_table(4, 4, 1), (std::vector<int>{0, 0, 0, 0}));
    // Cores that do not divide evenly leave the remainder out of the first part.
    EXPECT_EQ(build_node_table(5, 5, 2), (std::vector<int>{0, 0, 1, 1}));
    EXPECT_TRUE(build_node_table(4, 8, 0).empty());
}

TEST_F(TopologyTest, TwoNodesWithHyperThreads) {
    // 8 cores with two threads each; cpu k and k+8 share a core; node 0 has cores 0-3.
    write("cpu/online", "0-15");
    for (int c = 0; c < 8; ++c) {
        const std::string list = std::to_string(c) + "," + std::to_string(c + 8);
        siblings(c, list);
        siblings(c + 8, list);
    }
    write("node/online", "0-1");
    write("node/node0/cpulist", "0-3,8-11");
    write("node/node1/cpulist", "4-7,12-15");
    CpuTopology t;
    ASSERT_TRUE(read_cpu_topology(root, t));
    EXPECT_EQ(t.cores, 8);
    EXPECT_EQ(t.logical, 16);
    ASSERT_EQ(t.node_cpus.size(), 2u);
    const std::vector<int> node0 = {0, 1, 2, 3, 8, 9, 10, 11}, node1 = {4, 5, 6, 7, 12, 13, 14, 15};
    EXPECT_EQ(t.node_cpus[0], node0);
    EXPECT_EQ(t.node_cpus[1], node1);
    EXPECT_EQ(placement_cpus(t, 0), node0);
    EXPECT_EQ(placement_cpus(t, 3), node0);
    EXPECT_EQ(placement_cpus(t, 4), node1);
    EXPECT_EQ(placement_cpus(t, 8), node0);
    EXPECT_EQ(placement_cpus(t, 9), node1);
    EXPECT_EQ(placement_cpus(t, 15), node1);
    EXPECT_TRUE(placement_cpus(t, 16).empty());  // beyond the table: left alone
}

TEST_F(TopologyTest, PartialTrees) {
    // No NUMA directory: one node with every online processor; offline processors are not counted;
    // a missing sibling list makes the processor a core of its own.
    write("cpu/online", "0-2,4");
    siblings(0, "0-1");
    siblings(1, "0-1");
    siblings(2, "2");
    CpuTopology t;
    ASSERT_TRUE(read_cpu_topology(root, t));
    EXPECT_EQ(t.logical, 4);
    EXPECT_EQ(t.cores, 3);
    ASSERT_EQ(t.node_cpus.size(), 1u);
    EXPECT_EQ(t.node_cpus[0], (std::vector<int>{0, 1, 2, 4}));

    // A node without processors (memory only) is skipped; listed processors that are offline too.
    write("node/online", "0-2");
    write("node/node0/cpulist", "0-3");
    write("node/node1/cpulist", "");
    write("node/node2/cpulist", "4");
    ASSERT_TRUE(read_cpu_topology(root, t));
    ASSERT_EQ(t.node_cpus.size(), 2u);
    EXPECT_EQ(t.node_cpus[0], (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(t.node_cpus[1], (std::vector<int>{4}));

    // Unreadable or malformed processor lists: no topology, so no placement.
    write("cpu/online", "0-x");
    EXPECT_FALSE(read_cpu_topology(root, t));
    EXPECT_FALSE(read_cpu_topology(root + "/nothing", t));
}

TEST_F(TopologyTest, BindingOnThisMachine) {
    // Thread 0 lands on node 0 of the real machine; its processors become the thread's affinity.
    CpuTopology t;
    if (!read_cpu_topology("/sys/devices/system", t)) GTEST_SKIP() << "no sysfs processor information";
    const std::vector<int> expected = placement_cpus(t, 0);
    ASSERT_FALSE(expected.empty());
    std::vector<int> got;
    std::thread worker([&] {
        bind_to_numa_node(0);
        cpu_set_t set;
        CPU_ZERO(&set);
        if (pthread_getaffinity_np(pthread_self(), sizeof set, &set) == 0)
            for (int c = 0; c < CPU_SETSIZE; ++c)
                if (CPU_ISSET(c, &set)) got.push_back(c);
    });
    worker.join();
    EXPECT_EQ(got, expected);
}

}  // namespace

TEST_F(MemoryTest, SameSizeAgainClearsTheBlockInPlace) {
    options.hash = 2;
    options.threads = 3;
    allocate_search_memory();
    void* first = tt.entries;
    const size_t asked = FakeMemory::asked.size();
    std::memset(static_cast<void*>(tt.entries), 0xCD, entries() * sizeof(TTEntry));
    for (int i = 0; i < 3; ++i) std::memset(static_cast<void*>(&threads[i]), 0xCD, sizeof(SearchThread));
    tt.generation = 5u << 25;
    allocate_search_memory();  // as "ucinewgame" with unchanged options
    EXPECT_EQ(tt.entries, first);
    EXPECT_EQ(FakeMemory::asked.size(), asked);
    EXPECT_EQ(tt.generation, 0u);
    EXPECT_TRUE(all_bytes(tt.entries, entries() * sizeof(TTEntry), 0));
    for (int i = 0; i < 3; ++i) expect_cleared_thread(threads[i], i);
    // A changed size takes a new block.
    options.hash = 4;
    allocate_search_memory();
    EXPECT_EQ(entries(), 4u * 65536u);
    EXPECT_EQ(FakeMemory::asked.size(), asked + 1);
}
