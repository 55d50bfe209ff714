// The ordered list of legal moves at the root of a search.
#pragma once
#include "control/search_thread.h"

RootMove* generate_root_moves(SearchThread& t, RootMove* out);
