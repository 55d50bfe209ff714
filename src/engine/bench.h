// The fixed bench: ten positions searched to a given depth.
#pragma once

// Depth of "bench" without a depth argument: about 4 million nodes, a few seconds on one core.
constexpr int BENCH_DEFAULT_DEPTH = 16;

enum class BenchSummary {
    Pgo,        // "pgo <depth>": the total on standard output, timing on standard error
    Framework,  // "bench [depth]": ends with "Nodes searched: N" and "Nodes/second: N"
};

int run_bench(int depth, BenchSummary summary);
