#include <cstring>
#include "board/tables.h"
#include "control/search_control.h"
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
    (void)argc;
    (void)argv;
    return command_loop();
}
