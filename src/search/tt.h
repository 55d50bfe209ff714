// The shared lock-free transposition table: 16-byte entries, key XOR data validation.
#pragma once
#include <atomic>
#include <cstdint>
#include "board/position.h"

struct TTEntry {
    std::atomic<uint64_t> signature;  // key XOR data
    std::atomic<uint64_t> data;
};
static_assert(sizeof(TTEntry) == 16);

struct TranspositionTable {
    TTEntry* entries = nullptr;
    uint64_t mask = 0;
    uint32_t generation = 0;
};

extern TranspositionTable tt;

// data word layout
constexpr uint64_t TT_LOWER = 1ull << 23;
constexpr uint64_t TT_EXACT = 1ull << 24;
constexpr uint64_t TT_BOUND_MASK = TT_LOWER | TT_EXACT;
constexpr uint32_t TT_GENERATION_STEP = 1u << 25;
constexpr uint64_t TT_GENERATION_MASK = 0x7Full << 25;

constexpr int MATE_BAND = 27765;

inline int tt_depth(uint64_t d) { return int(d & 0xFF) - 55; }
inline uint32_t tt_move(uint64_t d) { return uint32_t(d >> 8) & 0x7FFF; }
inline int tt_raw_score(uint64_t d) { return int16_t(d >> 32); }
inline int tt_eval(uint64_t d) { return int16_t(d >> 48); }

inline int score_to_tt(int s, int ply) { return s > MATE_BAND ? s + ply : s < -MATE_BAND ? s - ply : s; }
inline int score_from_tt(int s, int ply) { return s > MATE_BAND ? s - ply : s < -MATE_BAND ? s + ply : s; }

inline TTEntry* tt_slot(uint64_t key) { return &tt.entries[key & tt.mask]; }

// A hit returns true and the data word.
inline bool tt_probe(uint64_t key, uint64_t& data) {
    TTEntry* e = tt_slot(key);
    uint64_t sig = e->signature.load(std::memory_order_relaxed);
    uint64_t d = e->data.load(std::memory_order_relaxed);
    data = d;
    return (sig ^ d) == key;
}

inline void tt_store(uint64_t key, uint64_t data) {
    TTEntry* e = tt_slot(key);
    // Plain stores: a torn pair fails the XOR check on reading, so no locked exchange is needed.
    e->signature.store(key ^ data, std::memory_order_relaxed);
    e->data.store(data, std::memory_order_relaxed);
}

inline uint64_t tt_old_data(uint64_t key) { return tt_slot(key)->data.load(std::memory_order_relaxed); }

inline void tt_prefetch(uint64_t key) { __builtin_prefetch(tt_slot(key)); }

inline int tt_priority(uint64_t d) {
    int p = int(d & 0xFF) - 55;
    if ((d & TT_EXACT) && (d & 0xFF) >= 56) p += 1024;
    return p;
}

inline bool tt_current_generation(uint64_t d) { return (d & TT_GENERATION_MASK) == tt.generation; }

inline uint64_t tt_pack(int depth, uint32_t move15, uint64_t bound, int score, int eval) {
    return uint64_t(uint8_t(depth + 55)) | uint64_t(move15) << 8 | bound | tt.generation |
           uint64_t(uint16_t(int16_t(score))) << 32 | uint64_t(uint16_t(int16_t(eval))) << 48;
}

// 15-bit form of a move: from, to, and promotion type or castling/en-passant marks.
inline uint32_t move_to_tt(Move m) {
    uint32_t v = uint32_t(move_from(m)) | uint32_t(move_to(m)) << 6;
    if (m & MOVE_PROMOTION) return v | 1u << 14 | uint32_t(move_promotion(m) - 2) << 12;
    if (m & MOVE_CASTLE) v |= 1u << 12;
    if (m & MOVE_EN_PASSANT) v |= 1u << 13;
    return v;
}

// Expands a stored move against the board (moving and captured types); the check bit is not set.
Move tt_to_move(const PositionState& p, uint32_t v);

int64_t hashfull(int64_t nodes);
void tt_clear_range(uint64_t first, uint64_t count);
