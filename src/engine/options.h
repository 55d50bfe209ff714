// Process-wide option values, set by "setoption".
#pragma once
#include <cstdint>

struct EngineOptions {
    int64_t hash = 256;
    int32_t threads = 1;
    bool ponder = false;
    bool own_book = false;
    char book_file[512] = "book.bin";
    bool book_random = false;
    int32_t draw_score = 0;
    int32_t move_overhead = 100;
    int32_t strength = 100;
    int32_t multi_pv = 1;
    bool large_pages = false;
    bool chess960 = false;
    char syzygy_path[4096] = "<empty>";
    bool syzygy_50_move_rule = true;
    int32_t syzygy_probe_limit = 7;
    int32_t syzygy_probe_depth = 0;
};

extern EngineOptions options;

void set_option_defaults();
