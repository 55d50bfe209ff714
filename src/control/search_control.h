// Process-wide search limits, flags and the locks shared by the command loop and the search.
#pragma once
#include <atomic>
#include <cstdint>
#include <semaphore>
#include "control/search_thread.h"

struct SpinLock {
    std::atomic<uint32_t> word{0};
    void lock() {
        while (word.exchange(1, std::memory_order_acquire) != 0) {
        }
    }
    void unlock() { word.exchange(0, std::memory_order_release); }
};

struct SearchControl {
    std::atomic<int32_t> mode{Normal};
    int64_t time_left = 0;
    int64_t increment = 0;
    int64_t node_limit = 0;
    int32_t moves_to_go = 0;
    int32_t depth_limit = 0;
    int32_t game_moves = 0;
    std::atomic<uint8_t> stop{0};
    int64_t start_time = 0;
    int64_t soft_deadline = 0;
    int64_t hard_deadline = 0;
    int64_t next_check = 0;
    int64_t check_interval = 0;
    int32_t pv_lines = 1;
    int32_t tb_root_score = -32767;
    int32_t tb_probe_limit = 0;
    std::atomic<int32_t> completed_depth{0};
    std::atomic<int64_t> vote_counter{0};
    std::atomic<uint8_t> show_currmove{0};
    SpinLock depth_lock;
    SpinLock output_lock;
    int32_t thread_count = 0;
};

extern SearchControl control;
extern std::counting_semaphore<1> search_gate;
extern SearchThread* threads;  // thread_count objects, null until allocated
extern int tb_largest;        // largest piece count of the registered tablebases

// Monotonic clock in milliseconds.
int64_t now_ms();
