#include "platform/placement.h"
#include <pthread.h>
#include <sched.h>
#include <cstdio>
#include <cstdlib>
#include <set>

namespace {

bool read_text(const std::string& path, std::string& out) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return false;
    char buffer[4096];
    out.clear();
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    std::fclose(f);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return true;
}

// A kernel list such as "0-3,8,10-11". False on anything else.
bool parse_cpu_list(const std::string& text, std::vector<int>& out) {
    out.clear();
    const char* c = text.c_str();
    while (*c) {
        char* end;
        const long first = std::strtol(c, &end, 10);
        if (end == c || first < 0) return false;
        long last = first;
        c = end;
        if (*c == '-') {
            last = std::strtol(c + 1, &end, 10);
            if (end == c + 1 || last < first) return false;
            c = end;
        }
        if (last >= (1 << 20)) return false;  // no machine has that many processors
        for (long v = first; v <= last; ++v) out.push_back(int(v));
        if (*c == ',') ++c;
        else if (*c) return false;
    }
    return true;
}

}  // namespace

bool read_cpu_topology(const std::string& root, CpuTopology& out) {
    out = CpuTopology();
    std::string text;
    std::vector<int> online;
    if (!read_text(root + "/cpu/online", text) || !parse_cpu_list(text, online) || online.empty()) return false;
    const std::set<int> online_set(online.begin(), online.end());

    // Hardware threads of one core share the same sibling list.
    std::set<std::string> cores;
    for (int cpu : online) {
        std::string siblings;
        if (!read_text(root + "/cpu/cpu" + std::to_string(cpu) + "/topology/thread_siblings_list", siblings))
            siblings = std::to_string(cpu);
        cores.insert(siblings);
    }
    out.cores = int(cores.size());
    out.logical = int(online.size());

    std::vector<int> nodes;
    if (read_text(root + "/node/online", text) && parse_cpu_list(text, nodes)) {
        for (int node : nodes) {
            std::vector<int> cpus, kept;
            if (!read_text(root + "/node/node" + std::to_string(node) + "/cpulist", text) || !parse_cpu_list(text, cpus))
                continue;
            for (int cpu : cpus)
                if (online_set.count(cpu)) kept.push_back(cpu);
            // Memory-only nodes have nothing to run a thread on.
            if (!kept.empty()) out.node_cpus.push_back(kept);
        }
    }
    if (out.node_cpus.empty()) out.node_cpus.push_back(online);
    return true;
}

std::vector<int> build_node_table(int cores, int logical, int nodes) {
    std::vector<int> table;
    if (nodes <= 0 || cores < 0) return table;
    for (int n = 0; n < nodes; ++n)
        for (int k = 0; k < cores / nodes; ++k) table.push_back(n);
    for (int k = 0; k < logical - cores; ++k) table.push_back(k % nodes);
    return table;
}

std::vector<int> placement_cpus(const CpuTopology& topology, int thread_index) {
    const std::vector<int> table = build_node_table(topology.cores, topology.logical, int(topology.node_cpus.size()));
    if (thread_index < 0 || size_t(thread_index) >= table.size()) return {};
    return topology.node_cpus[size_t(table[size_t(thread_index)])];
}

void bind_to_numa_node(int thread_index) {
    // The layout does not change while the engine runs: read it once.
    static CpuTopology topology;
    static const bool known = read_cpu_topology("/sys/devices/system", topology);
    if (!known) return;
    const std::vector<int> cpus = placement_cpus(topology, thread_index);
    if (cpus.empty()) return;
    int highest = 0;
    for (int cpu : cpus) highest = cpu > highest ? cpu : highest;
    cpu_set_t* set = CPU_ALLOC(highest + 1);
    if (!set) return;
    const size_t size = CPU_ALLOC_SIZE(highest + 1);
    CPU_ZERO_S(size, set);
    for (int cpu : cpus) CPU_SET_S(cpu, size, set);
    pthread_setaffinity_np(pthread_self(), size, set);
    CPU_FREE(set);
}
