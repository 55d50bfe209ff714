// Polyglot opening book lookup.
#pragma once
#include "board/position.h"

// A move from the book file of the options for this position, or 0.
Move probe_book(const PositionState& p);
