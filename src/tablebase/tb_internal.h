// Internals shared by the tablebase sources (and the tests): registry, file images, decoders.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include "board/position.h"

enum TableKind { TABLE_WDL = 0, TABLE_DTZ = 1 };

constexpr uint32_t WDL_MAGIC = 0x5d23e871;
constexpr uint32_t DTZ_MAGIC = 0xa50c66d7;
constexpr int MAX_SYMBOLS = 4096;
constexpr int REGISTRY_SLOTS = 4096;
constexpr int MAX_PAWNLESS_ENTRIES = 650;
constexpr int MAX_PAWN_ENTRIES = 861;
constexpr int EMBEDDED_TABLES = 70;
constexpr int NAME_BUFFER = 256;

// Decoding tables of one subtable. One heap block holds the record, base[] and symbol_lengths[].
struct BlockDecoder {
    const uint8_t* index_table;  // 6-byte entries: block (u32), position offset (u16)
    const uint8_t* size_table;   // u16 per block: values in the block minus one
    const uint8_t* data;         // first block
    const uint8_t* offsets;      // u16 per code length, entry 0 for min_length
    uint8_t* symbol_lengths;     // values per symbol minus one
    const uint8_t* symbol_pairs; // 3-byte symbol records
    uint64_t* base;              // smallest left-aligned code of each length
    uint8_t block_size_log2;
    uint8_t index_bits;  // 0: constant subtable
    uint8_t min_length;
    uint8_t max_length;
    uint8_t constant[4];
    uint32_t symbol_count;
    // Bounds that keep a damaged table from steering reads outside its areas.
    uint64_t subtable_size;
    uint64_t blocks;       // size-table entries (real plus extra)
    uint64_t real_blocks;  // blocks present in the data area
};

struct SubtableCoding {
    BlockDecoder* decoder;
    uint64_t multiplier[7];
    uint8_t pieces[7];  // coloured piece codes, colours relative to the table's first side
    uint8_t groups[7];
};

struct TableEntry {
    uint64_t signature;
    const uint8_t* data[2];
    size_t mapping[2];  // length of the file mapping; 0 for an embedded (or borrowed) image
    std::atomic<uint8_t> ready[2];
    uint8_t men;
    bool symmetric;
    bool has_pawns;
    bool has_dtz;
    bool king_pair_coding;  // pawnless: only the two kings are unique
    uint8_t lead_pawns;     // pawn material
    uint8_t other_pawns;
    uint8_t counts[16];  // men per coloured piece code, first side as white
};

struct PawnlessEntry : TableEntry {
    SubtableCoding wdl[2];
    SubtableCoding dtz;
    const uint8_t* dtz_map;
    uint16_t map_start[4];
    uint16_t map_length[4];
    uint8_t dtz_flags;
};

struct PawnEntry : TableEntry {
    SubtableCoding wdl[8];  // file + 4 * side
    SubtableCoding dtz[4];
    const uint8_t* dtz_map;
    uint16_t map_start[4][4];
    uint16_t map_length[4][4];
    uint8_t dtz_flags[4];
};

struct RegistrySlot {
    uint64_t signature;
    std::atomic<TableEntry*> entry;
};

struct TableRegistry {
    RegistrySlot slots[REGISTRY_SLOTS];
    PawnlessEntry pawnless[MAX_PAWNLESS_ENTRIES];
    int pawnless_count;
    PawnEntry pawn[MAX_PAWN_ENTRIES];
    int pawn_count;
    int wdl_count;
    int dtz_count;
    char* path_copy;
    char** directories;
    int directory_count;
};

extern TableRegistry registry;

struct EmbeddedTableRow {
    char name[32];
    const uint8_t* data;
};
extern "C" const EmbeddedTableRow EmbeddedTableDirectory[EMBEDDED_TABLES];
extern "C" const uint8_t tb_embedded_block[];
extern "C" const uint8_t tb_embedded_block_end[];

extern const uint64_t SignatureWeights[16];

// Start-up index tables.
extern uint64_t ChooseTable[7][64];
extern uint64_t LeadPawnOffset[6][24];
extern uint64_t LeadPawnCount[6][4];
extern int16_t KingPairIndex[10][64];
extern const uint8_t PawnRankOrder[64];
extern uint8_t PawnFileIndex[64];
extern uint8_t TriangleIndex[64];
extern uint8_t DiagonalIndex[64];
extern uint8_t BelowDiagonalIndex[64];
extern uint8_t MirrorDiagonal[64];

inline uint16_t read_u16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}
inline uint32_t read_u32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline SubtableCoding& wdl_coding(TableEntry* e, int t, int side) {
    return e->has_pawns ? static_cast<PawnEntry*>(e)->wdl[t + 4 * side] : static_cast<PawnlessEntry*>(e)->wdl[side];
}
inline SubtableCoding& dtz_coding(TableEntry* e, int t) {
    return e->has_pawns ? static_cast<PawnEntry*>(e)->dtz[t] : static_cast<PawnlessEntry*>(e)->dtz;
}
inline uint8_t& dtz_flags(TableEntry* e, int t) {
    return e->has_pawns ? static_cast<PawnEntry*>(e)->dtz_flags[t] : static_cast<PawnlessEntry*>(e)->dtz_flags;
}
inline uint16_t* dtz_map_start(TableEntry* e, int t) {
    return e->has_pawns ? static_cast<PawnEntry*>(e)->map_start[t] : static_cast<PawnlessEntry*>(e)->map_start;
}
inline uint16_t* dtz_map_length(TableEntry* e, int t) {
    return e->has_pawns ? static_cast<PawnEntry*>(e)->map_length[t] : static_cast<PawnlessEntry*>(e)->map_length;
}
inline const uint8_t*& dtz_map(TableEntry* e) {
    return e->has_pawns ? static_cast<PawnEntry*>(e)->dtz_map : static_cast<PawnlessEntry*>(e)->dtz_map;
}

// Registry (registry.cpp).
uint64_t signature_of_name(const char* name, uint64_t* mirrored, uint8_t counts[16]);
TableEntry* lookup_table(uint64_t signature, int* slot);
bool table_available(const char* name, const char* suffix);
int open_table_file(const char* name, const char* suffix);  // file descriptor or -1
void register_table(const char* name, int* largest);
void release_table(TableEntry* e);

// Loading (loading.cpp). load_table clears the slot and returns false when the file cannot be used.
bool load_table(TableEntry* e, int slot, int kind, const PositionState& p);
// Parses and checks an image of size bytes; on success the entry's codings and decoders are built
// (ready is not set). On failure nothing stays allocated.
bool setup_table_image(TableEntry* e, int kind, const uint8_t* image, size_t size);
void free_table_decoders(TableEntry* e, int kind);
uint64_t position_signature(const PositionState& p);

// Decoding (decoder.cpp).
BlockDecoder* build_decoder(const uint8_t** cursor, const uint8_t* end, uint64_t subtable_size, int kind,
                            uint8_t* flags, uint64_t sizes[3]);
const uint8_t* decode_value(const BlockDecoder* d, uint64_t index);

// Probing (probe.cpp).
uint64_t position_index(uint8_t squares[7], const SubtableCoding& coding, const TableEntry* e);
int probe_table(Position& pos, int wdl, int* success, int kind);
