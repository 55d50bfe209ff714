#include "control/search_control.h"
#include <ctime>

SearchControl control;
std::counting_semaphore<1> search_gate(1);
SearchThread* threads = nullptr;
int tb_largest = 0;

int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
