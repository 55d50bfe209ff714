#include "control/go.h"
#include <cstdio>
#include "board/board.h"
#include "control/search_control.h"

// Until the search exists, the best-ordered root move is played.
int run_go() {
    SearchThread& t = threads[0];
    char text[8];
    control.output_lock.lock();
    std::printf("bestmove %s\n", move_to_text(*t.position.current, t.root_moves[0].move, text));
    std::fflush(stdout);
    control.output_lock.unlock();
    search_gate.release();
    return 0;
}
