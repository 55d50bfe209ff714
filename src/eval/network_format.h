// Network parameters in plain form, and their conversion to and from the packed block.
#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "eval/network.h"

struct NetworkParams {
    std::vector<int16_t> ft_weights = std::vector<int16_t>(FT_VALUES);  // row-major, -1024..3071
    std::vector<int16_t> ft_biases = std::vector<int16_t>(FT_NEURONS);
    std::vector<int8_t> out_weights = std::vector<int8_t>(OUT_BUCKETS * OUT_INPUTS);
    std::vector<int32_t> out_biases = std::vector<int32_t>(OUT_BUCKETS);
    int32_t l1_bits = EXPECTED_L1_BITS;
    int32_t l2_bits = EXPECTED_L2_BITS;
};

// Packs parameters into a block; false when a first-layer weight lies outside -1024..3071.
bool pack_network(const NetworkParams& p, std::vector<uint8_t>& block);
// Reads a block of NETWORK_BLOCK_BYTES back into parameters.
void unpack_network_block(const uint8_t* block, NetworkParams& p);

bool write_block(const std::string& path, const std::vector<uint8_t>& block);
bool read_block(const std::string& path, std::vector<uint8_t>& block);
