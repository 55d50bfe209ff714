// Static exchange evaluation.
#pragma once
#include "board/position.h"

extern const int SEE_VALUE[7];

int see(const PositionState& p, Move m);
