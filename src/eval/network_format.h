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
// Reads a file that must be exactly one block long.
bool read_block(const std::string& path, std::vector<uint8_t>& block);

// Plain parameter files: the members of NetworkParams back to back in their order, little-endian
// (first-layer weights as int16, biases int16, output weights int8, output biases int32, then the
// two int32 constants): PARAMS_FILE_BYTES in all.
constexpr size_t PARAMS_FILE_BYTES =
    FT_VALUES * 2 + FT_NEURONS * 2 + OUT_BUCKETS * OUT_INPUTS + OUT_BUCKETS * 4 + 8;
bool write_params(const std::string& path, const NetworkParams& p);
// False when the file cannot be read or is not exactly PARAMS_FILE_BYTES long.
bool read_params(const std::string& path, NetworkParams& p);
// Index of the first first-layer weight that the 12-bit packing cannot hold, or -1.
long first_unpackable_weight(const NetworkParams& p);
