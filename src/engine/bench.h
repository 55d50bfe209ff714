// The fixed bench: ten positions searched to a given depth.
#pragma once

int run_bench(int depth);
