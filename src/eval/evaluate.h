// Static evaluation of a search thread's position at a search ply, side-to-move relative.
#pragma once
#include "control/search_thread.h"

// Fails the process (exit 1, with its message) when the embedded block's constants are wrong.
void check_network_quantisation();
void unpack_network();
int evaluate(SearchThread& t, int ply);
