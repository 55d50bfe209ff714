// Late-move reduction table.
#pragma once
#include <cstdint>

extern int32_t reductions[201][128];
void init_reductions();
