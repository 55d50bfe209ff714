// Placement of search threads on NUMA nodes when many threads run.
#pragma once
#include <string>
#include <vector>

struct CpuTopology {
    int cores = 0;    // physical cores
    int logical = 0;  // logical processors (hardware threads)
    std::vector<std::vector<int>> node_cpus;  // per NUMA node that has processors, its processor numbers
};

// Reads the processor and NUMA layout from a sysfs tree (normally "/sys/devices/system"): the online
// processors, their cores from the thread-sibling lists, and the nodes with their processor lists.
// A tree without NUMA nodes counts as one node. False when the processors cannot be read.
bool read_cpu_topology(const std::string& root, CpuTopology& out);

// One node number per logical processor slot: the physical cores fill the table node by node
// (cores / nodes slots each), then the second hardware threads follow, dealt over the nodes in turn.
std::vector<int> build_node_table(int cores, int logical, int nodes);

// The processors thread i is to run on; empty when it is left where the system put it.
std::vector<int> placement_cpus(const CpuTopology& topology, int thread_index);

// Binds the calling thread to the processors of the node its index selects. Any failure leaves
// the thread where it is.
void bind_to_numa_node(int thread_index);
