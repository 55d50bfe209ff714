// Per-ply first-layer sums of the network and the per-thread refresh cache.
#pragma once
#include <cstdint>
#include "board/types.h"

constexpr int FT_SIZE = 1536;       // first-layer neurons per perspective
constexpr int FEATURE_ADD = 20480;  // dirty values at or above this are additions

// Cache-line aligned so that 64-byte vector loads and stores never straddle two lines.
struct alignas(64) Accumulator {
    int16_t values[2][FT_SIZE];  // [0] side to move at this ply, [1] the other side
    uint32_t dirty[3];
    int32_t dirty_count;
    uint8_t computed;
    uint8_t king_moved;
};

struct alignas(64) RefreshSlot {
    int16_t values[FT_SIZE];
    Bitboard boards[8];  // by_type[0..6], own
};

struct RefreshCache {
    RefreshSlot slots[2][64][2];  // ply parity, king square, two slots
};
