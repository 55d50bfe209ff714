#include "platform/placement.h"

// Threads stay where the system puts them until the topology reader is in place.
void bind_to_numa_node(int) {}
