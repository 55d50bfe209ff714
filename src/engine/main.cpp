#include <cstring>
#include "board/tables.h"
#include "control/search_control.h"
#include "engine/options.h"
#include "engine/uci.h"

int main(int argc, char** argv) {
    set_option_defaults();
    control.output_lock.unlock();
    init_board_tables();
    (void)argc;
    (void)argv;
    return command_loop();
}
