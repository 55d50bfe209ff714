// Placement of search threads on processors when many threads run.
#pragma once

void bind_to_numa_node(int thread_index);
