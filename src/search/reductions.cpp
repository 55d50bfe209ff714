#include "search/reductions.h"
#include <cmath>

int32_t reductions[201][128];

void init_reductions() {
    for (int d = 1; d <= 200; ++d)
        for (int m = 1; m < 128; ++m) reductions[d][m] = int32_t(22.0 * std::log(double(d)) * std::log(double(m)));
}
