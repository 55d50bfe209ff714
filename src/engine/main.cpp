#include <algorithm>
#include <cstdint>
#include <cstring>
#include "board/tables.h"
#include "control/search_control.h"
#include "engine/bench.h"
#include "engine/options.h"
#include "engine/uci.h"
#include "eval/evaluate.h"
#include "search/reductions.h"
#include "tablebase/tablebase.h"

int main(int argc, char** argv) {
    set_option_defaults();
    control.output_lock.unlock();
    check_network_quantisation();
    init_board_tables();
    init_reductions();
    init_tablebase_indexing();
    tb_largest = init_tablebases("<empty>");
    unpack_network();
    // "pgo <depth>" on the command line runs the bench instead of the command loop.
    if (argc == 3 && std::strncmp(argv[1], "pgo", 3) == 0)
        return run_bench(int(read_integer(argv[2])), BenchSummary::Pgo);
    // "bench [depth]", the testing frameworks' convention; further arguments are ignored.
    if (argc >= 2 && std::strcmp(argv[1], "bench") == 0) {
        const int64_t depth = argc >= 3 ? read_integer(argv[2]) : BENCH_DEFAULT_DEPTH;
        return run_bench(int(std::clamp<int64_t>(depth, 1, 200)), BenchSummary::Framework);
    }
    return command_loop();
}
