// The embedded network block, its layout and the unpacked parameters.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int FT_INPUTS = 20480;          // 32 king buckets x 640 piece-square features
constexpr int FT_NEURONS = 1536;          // first-layer neurons per perspective
constexpr int OUT_BUCKETS = 8;
constexpr int OUT_INPUTS = 2 * FT_NEURONS;

constexpr size_t FT_VALUES = size_t(FT_INPUTS) * FT_NEURONS;          // 31,457,280
constexpr size_t PACKED_FT_BYTES = FT_VALUES / 2 * 3;                 // 47,185,920
constexpr size_t BIAS_OFFSET = PACKED_FT_BYTES;
constexpr size_t OUT_WEIGHT_OFFSET = BIAS_OFFSET + FT_NEURONS * 2;    // 47,188,992
constexpr size_t OUT_BIAS_OFFSET = OUT_WEIGHT_OFFSET + OUT_BUCKETS * OUT_INPUTS;  // 47,213,568
constexpr size_t L1_BITS_OFFSET = OUT_BIAS_OFFSET + OUT_BUCKETS * 4;  // 47,213,600
constexpr size_t L2_BITS_OFFSET = L1_BITS_OFFSET + 4;
constexpr size_t NETWORK_BLOCK_BYTES = L2_BITS_OFFSET + 4;           // 47,213,608

constexpr int32_t EXPECTED_L1_BITS = 4;
constexpr int32_t EXPECTED_L2_BITS = 3;

struct Network {
    int16_t* ft_weights;        // FT_INPUTS rows x FT_NEURONS, 32-byte aligned
    const int16_t* ft_biases;   // in the block
    int8_t* out_weights;        // OUT_BUCKETS x OUT_INPUTS, 32-byte aligned
    const int32_t* out_biases;  // in the block
    int32_t l1_bits;
    int32_t l2_bits;
};

extern Network network;

// The block linked into the program.
extern "C" const uint8_t tarnvik_network_block[];

// 0 when the constants of a block are right, else 1 (first layer) or 2 (output layer), with the value
// found in *found.
int network_constants_fault(const uint8_t* block, int32_t* found);
// Prints the message and ends the process with exit code 1 when a block's constants are wrong.
void check_network_quantisation_of(const uint8_t* block);

// Decodes groups of 48 packed bytes into 32 values each.
void decode_weights_scalar(const uint8_t* packed, int16_t* out, size_t groups);
void decode_weights_avx2(const uint8_t* packed, int16_t* out, size_t groups);

// Unpacks a block (the embedded one at start-up) into the global network.
void load_network(const uint8_t* block);
