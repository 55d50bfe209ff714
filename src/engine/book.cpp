// Placeholder until the book reader lands: no book move.
#include "engine/book.h"

Move probe_book(const PositionState&) { return 0; }
