// Table files: start-up index tables, lazy loading of an image (embedded or mapped), header
// parsing with bounds checks, codings, decoders and DTZ value maps.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "tablebase/tablebase.h"
#include "tablebase/tb_internal.h"

uint64_t ChooseTable[7][64];
uint64_t LeadPawnOffset[6][24];
uint64_t LeadPawnCount[6][4];
int16_t KingPairIndex[10][64];
uint8_t PawnFileIndex[64];
uint8_t TriangleIndex[64];
uint8_t DiagonalIndex[64];
uint8_t BelowDiagonalIndex[64];
uint8_t MirrorDiagonal[64];

// Order of pawn squares for the leading-pawn index (rank 1 first; ranks 1 and 8 unused).
const uint8_t PawnRankOrder[64] = {
    0,  0,  0,  0,  0,  0,  0,  0,   //
    47, 35, 23, 11, 10, 22, 34, 46,  //
    45, 33, 21, 9,  8,  20, 32, 44,  //
    43, 31, 19, 7,  6,  18, 30, 42,  //
    41, 29, 17, 5,  4,  16, 28, 40,  //
    39, 27, 15, 3,  2,  14, 26, 38,  //
    37, 25, 13, 1,  0,  12, 24, 36,  //
    0,  0,  0,  0,  0,  0,  0,  0,
};

// Serialises the first use of a table file; loaded tables are read without it.
std::atomic<uint32_t> table_loading_lock{0};

static void lock_loading() {
    while (table_loading_lock.exchange(1, std::memory_order_acquire) != 0) {
    }
}
static void unlock_loading() { table_loading_lock.exchange(0, std::memory_order_release); }

void init_tablebase_indexing() {
    for (int k = 0; k < 7; ++k)
        for (int n = 0; n < 64; ++n) {
            uint64_t v = n >= k ? 1 : 0;
            for (int i = 0; i < k && v; ++i) v = v * uint64_t(n - i) / uint64_t(i + 1);
            ChooseTable[k][n] = v;
        }
    for (int s = 0; s < 64; ++s) {
        const int f = s & 7, r = s >> 3;
        MirrorDiagonal[s] = uint8_t(f * 8 + r);
        PawnFileIndex[s] = (r >= 1 && r <= 6) ? uint8_t((f <= 3 ? f : 7 - f) * 6 + (r - 1)) : 0;
        DiagonalIndex[s] = f == r ? uint8_t(f) : (f + r == 7 ? uint8_t(8 + r) : 0);
    }
    static const uint8_t triangle_rows[4][8] = {
        {6, 0, 1, 2, 2, 1, 0, 6}, {0, 7, 3, 4, 4, 3, 7, 0}, {1, 3, 8, 5, 5, 8, 3, 1}, {2, 4, 5, 9, 9, 5, 4, 2}};
    for (int s = 0; s < 64; ++s) {
        const int r = s >> 3;
        TriangleIndex[s] = triangle_rows[r < 4 ? r : 7 - r][s & 7];
    }
    int below = 0;
    for (int s = 0; s < 64; ++s)
        if ((s & 7) > (s >> 3)) BelowDiagonalIndex[s] = uint8_t(below++);
    for (int s = 0; s < 64; ++s) {
        const int f = s & 7, r = s >> 3;
        if (f == r) BelowDiagonalIndex[s] = uint8_t(28 + f);
        else if (r > f) BelowDiagonalIndex[s] = BelowDiagonalIndex[MirrorDiagonal[s]];
    }
    for (int i = 0; i < 6; ++i)
        for (int f = 0; f < 4; ++f) {
            uint64_t sum = 0;
            for (int j = 0; j < 6; ++j) {
                const int sq = (1 + j) * 8 + f;
                LeadPawnOffset[i][f * 6 + j] = sum;
                sum += ChooseTable[i][PawnRankOrder[sq]];
            }
            LeadPawnCount[i][f] = sum;
        }
    // King pairs: first king in the a1-d1-d4 triangle, listed in triangle-index order.
    static const int triangle_squares[10] = {B1, C1, D1, C2, D2, D3, A1, B2, C3, D4};
    int number = 0, aside_count = 0;
    int aside[64][2];
    for (int i = 0; i < 10; ++i) {
        const int k1 = triangle_squares[i];
        for (int s2 = 0; s2 < 64; ++s2) {
            KingPairIndex[i][s2] = -1;
            const int df = (s2 & 7) - (k1 & 7), dr = (s2 >> 3) - (k1 >> 3);
            if (df >= -1 && df <= 1 && dr >= -1 && dr <= 1) continue;  // same or adjacent square
            const bool k1_diagonal = (k1 & 7) == (k1 >> 3);
            const bool s2_diagonal = (s2 & 7) == (s2 >> 3), s2_above = (s2 >> 3) > (s2 & 7);
            if (k1_diagonal && s2_above) continue;
            if (k1_diagonal && s2_diagonal) {
                aside[aside_count][0] = i;
                aside[aside_count++][1] = s2;
                continue;
            }
            KingPairIndex[i][s2] = int16_t(number++);
        }
    }
    for (int a = 0; a < aside_count; ++a) KingPairIndex[aside[a][0]][aside[a][1]] = int16_t(number++);
}

uint64_t position_signature(const PositionState& p) {
    const Bitboard white = p.black_to_move() ? p.them() : p.own;
    const Bitboard black = p.by_type[0] ^ white;
    uint64_t sig = 0;
    for (int k = PAWN; k <= KING; ++k) {
        sig += uint64_t(popcount(p.by_type[k] & white)) * SignatureWeights[k];
        sig += uint64_t(popcount(p.by_type[k] & black)) * SignatureWeights[k + 8];
    }
    return sig;
}

void free_table_decoders(TableEntry* e, int kind) {
    const int subtables = e->has_pawns ? 4 : 1;
    for (int t = 0; t < subtables; ++t) {
        if (kind == TABLE_WDL) {
            for (int side = 0; side < 2; ++side) {
                std::free(wdl_coding(e, t, side).decoder);
                wdl_coding(e, t, side).decoder = nullptr;
            }
        } else {
            std::free(dtz_coding(e, t).decoder);
            dtz_coding(e, t).decoder = nullptr;
        }
    }
}

// Reads one subtable's descriptor for one side into its coding and returns its number of
// positions, or 0 when the descriptor does not describe this material (pieces that are not the
// table's men, a kind split into separate runs, pawns not where the pawn index needs them).
static uint64_t setup_coding(const TableEntry* e, int t, const uint8_t* desc, int shift, SubtableCoding& c,
                             int lead_code) {
    const int men = e->men;
    const int more_pawns = e->has_pawns && e->other_pawns > 0;
    uint8_t seen[16] = {};
    for (int i = 0; i < 7; ++i) {
        c.pieces[i] = 0;
        c.groups[i] = 0;
        c.multiplier[i] = 0;
    }
    for (int i = 0; i < men; ++i) {
        const int code = (desc[i + 1 + more_pawns] >> shift) & 15;
        if ((code & 7) == 0 || (code & 7) == 7) return 0;
        if (i > 0 && code != c.pieces[i - 1] && seen[code]) return 0;
        seen[code]++;
        c.pieces[i] = uint8_t(code);
    }
    if (std::memcmp(seen, e->counts, 16) != 0) return 0;
    const int order = (desc[0] >> shift) & 15;
    const int order2 = more_pawns ? (desc[1] >> shift) & 15 : 15;
    int k;
    if (e->has_pawns) {
        const int lead = e->lead_pawns;
        if ((c.pieces[0] & 7) != PAWN || seen[c.pieces[0]] != lead || c.pieces[0] != lead_code) return 0;
        if (more_pawns && c.pieces[lead] != (c.pieces[0] ^ 8)) return 0;
        k = c.groups[0] = uint8_t(lead);
    } else {
        k = c.groups[0] = e->king_pair_coding ? 2 : 3;
    }
    if (more_pawns) {
        c.groups[k] = e->other_pawns;
        k += e->other_pawns;
    }
    for (int i = k; i < men; i += c.groups[i]) {
        int j = i;
        while (j < men && c.pieces[j] == c.pieces[i]) ++j;
        c.groups[i] = uint8_t(j - i);
    }
    int n = 64 - k;
    uint64_t size = 1;
    for (int i = 0; k < men || i == order || i == order2; ++i) {
        if (i == order) {
            c.multiplier[0] = size;
            size *= e->has_pawns ? LeadPawnCount[c.groups[0] - 1][t] : (e->king_pair_coding ? 462 : 31332);
        } else if (i == order2) {
            c.multiplier[c.groups[0]] = size;
            size *= ChooseTable[c.groups[c.groups[0]]][48 - c.groups[0]];
        } else {
            c.multiplier[k] = size;
            size *= ChooseTable[c.groups[k]][n];
            n -= c.groups[k];
            k += c.groups[k];
        }
    }
    return size;
}

// Smallest possible file for this material: magic, flags, descriptors, one 2-byte header each.
static size_t minimum_image_size(const TableEntry* e) {
    const int subtables = e->has_pawns ? 4 : 1;
    const int more_pawns = e->has_pawns && e->other_pawns > 0;
    size_t n = 5 + size_t(subtables) * (e->men + 1 + more_pawns);
    n += n & 1;
    return n + 2 * size_t(subtables);
}

bool setup_table_image(TableEntry* e, int kind, const uint8_t* image, size_t size) {
    if (size < minimum_image_size(e)) return false;
    if (read_u32(image) != (kind == TABLE_WDL ? WDL_MAGIC : DTZ_MAGIC)) return false;
    const uint8_t* const end = image + size;
    const bool split = kind == TABLE_WDL && (image[4] & 1);
    // Both sides to move of a non-symmetric material must be stored in its WDL file.
    if (kind == TABLE_WDL && !e->symmetric && !split) return false;
    const int subtables = e->has_pawns ? 4 : 1;
    const int sides = split ? 2 : 1;
    const int more_pawns = e->has_pawns && e->other_pawns > 0;
    auto coding = [&](int t, int side) -> SubtableCoding& {
        return kind == TABLE_WDL ? wdl_coding(e, t, side) : dtz_coding(e, t);
    };
    free_table_decoders(e, kind);

    size_t pos = 5;
    uint64_t subtable_size[4][2] = {};
    int lead_code = -1;
    for (int t = 0; t < subtables; ++t) {
        if (size - pos < size_t(e->men + 1 + more_pawns)) return false;
        if (e->has_pawns && lead_code < 0) lead_code = (image[pos + 1 + more_pawns]) & 15;
        for (int side = 0; side < sides; ++side) {
            subtable_size[t][side] = setup_coding(e, t, image + pos, 4 * side, coding(t, side), lead_code);
            if (subtable_size[t][side] == 0) return false;
        }
        pos += e->men + 1 + more_pawns;
    }
    pos += pos & 1;

    uint64_t areas[4][2][3];
    for (int t = 0; t < subtables; ++t)
        for (int side = 0; side < sides; ++side) {
            const uint8_t* cursor = image + pos;
            uint8_t flags = 0;
            BlockDecoder* d = build_decoder(&cursor, end, subtable_size[t][side], kind, &flags, areas[t][side]);
            if (!d) {
                free_table_decoders(e, kind);
                return false;
            }
            coding(t, side).decoder = d;
            if (kind == TABLE_DTZ) dtz_flags(e, t) = flags;
            pos = size_t(cursor - image);
        }

    if (kind == TABLE_DTZ) {
        const size_t base = pos;
        dtz_map(e) = image + base;
        for (int t = 0; t < subtables; ++t) {
            uint16_t* start = dtz_map_start(e, t);
            uint16_t* length = dtz_map_length(e, t);
            const uint8_t flags = dtz_flags(e, t);
            for (int i = 0; i < 4; ++i) start[i] = length[i] = 0;
            if (!(flags & 2)) continue;
            const bool wide = flags & 16;
            if (wide) pos += pos & 1;
            for (int i = 0; i < 4; ++i) {
                const size_t width = wide ? 2 : 1;
                if (size - pos < width) goto corrupt;
                const size_t count = wide ? read_u16(image + pos) : image[pos];
                const size_t first = pos + width;
                const size_t offset = wide ? (first - base) / 2 : first - base;
                if (offset > 0xFFFF || (size - first) / width < count) goto corrupt;
                start[i] = uint16_t(offset);
                length[i] = uint16_t(count);
                pos = first + count * width;
            }
        }
        pos += pos & 1;
    }

    // Index tables, size tables, then the data areas (each on a 64-byte boundary).
    for (int area = 0; area < 3; ++area)
        for (int t = 0; t < subtables; ++t)
            for (int side = 0; side < sides; ++side) {
                BlockDecoder* d = coding(t, side).decoder;
                if (area == 2) pos = (pos + 63) & ~size_t(63);
                if (pos > size || areas[t][side][area] > size - pos) goto corrupt;
                if (area == 0) d->index_table = image + pos;
                else if (area == 1) d->size_table = image + pos;
                else d->data = image + pos;
                pos += areas[t][side][area];
            }
    return true;

corrupt:
    free_table_decoders(e, kind);
    return false;
}

static void table_name(const TableEntry* e, const PositionState& p, char* name) {
    static const char letters[] = "KQRBNP";
    static const int kinds[] = {KING, QUEEN, ROOK, BISHOP, KNIGHT, PAWN};
    const Bitboard white = p.black_to_move() ? p.them() : p.own;
    const Bitboard black = p.by_type[0] ^ white;
    const bool white_first = position_signature(p) == e->signature;
    char* out = name;
    for (int side = 0; side < 2; ++side) {
        const Bitboard colour = (side == 0) == white_first ? white : black;
        if (side == 1) *out++ = 'v';
        for (int i = 0; i < 6; ++i)
            for (int n = popcount(p.by_type[kinds[i]] & colour); n > 0; --n) *out++ = letters[i];
    }
    *out = 0;
}

bool load_table(TableEntry* e, int slot, int kind, const PositionState& p) {
    if (e->ready[kind].load(std::memory_order_acquire)) return true;
    lock_loading();
    if (e->ready[kind].load(std::memory_order_acquire)) {
        unlock_loading();
        return true;
    }
    const char* suffix = kind == TABLE_WDL ? ".rtbw" : ".rtbz";
    char name[16];
    table_name(e, p, name);
    const uint8_t* image = nullptr;
    size_t size = 0, mapped = 0;
    if (std::strlen(name) > 5) {
        const int fd = open_table_file(name, suffix);
        if (fd < 0) goto fail;
        struct stat st;
        if (fstat(fd, &st) != 0 || size_t(st.st_size) < minimum_image_size(e)) {
            // Too short to be a table (an empty file cannot even be mapped).
            ::close(fd);
            std::fprintf(stderr, "Corrupted table.\n");
            goto fail;
        }
        size = size_t(st.st_size);
        void* view = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
        ::close(fd);
        if (view == MAP_FAILED) {
            std::fprintf(stderr, "Could not map %s%s into memory.\n", name, suffix);
            std::exit(1);
        }
        image = static_cast<const uint8_t*>(view);
        mapped = size;
    } else {
        char file[40];
        std::snprintf(file, sizeof file, "%s%s", name, suffix);
        for (int r = 0; r < EMBEDDED_TABLES; ++r)
            if (std::strcmp(EmbeddedTableDirectory[r].name, file) == 0) {
                image = EmbeddedTableDirectory[r].data;
                // Images lie back to back: the next one (or the block end) bounds this one.
                const uint8_t* next = r + 1 < EMBEDDED_TABLES ? EmbeddedTableDirectory[r + 1].data : tb_embedded_block_end;
                size = size_t(next - image);
                break;
            }
        if (!image) goto fail;
    }
    if (!setup_table_image(e, kind, image, size)) {
        std::fprintf(stderr, "Corrupted table.\n");
        if (mapped) munmap(const_cast<uint8_t*>(image), mapped);
        goto fail;
    }
    e->data[kind] = image;
    e->mapping[kind] = mapped;
    e->ready[kind].store(1, std::memory_order_release);
    unlock_loading();
    return true;

fail:
    registry.slots[slot].entry.store(nullptr, std::memory_order_release);
    unlock_loading();
    return false;
}
