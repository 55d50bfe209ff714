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
    if (argc == 3 && std::strncmp(argv[1], "pgo", 3) == 0) return run_bench(int(read_integer(argv[2])));
    return command_loop();
}
