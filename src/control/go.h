// The go driver: runs one search and prints its best move.
#pragma once

int run_go();
