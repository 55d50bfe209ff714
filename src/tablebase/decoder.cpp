// Block decompression: canonical prefix codes over paired symbols, a sparse index into blocks.
// Every read is kept inside the areas checked at load time, whatever bytes a damaged file holds.
#include <cstdlib>
#include "tablebase/tb_internal.h"

static inline uint64_t read_be64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}
static inline uint32_t read_be32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return __builtin_bswap32(v);
}

static inline int pair_left(const uint8_t* r) { return r[0] | (r[1] & 0x0F) << 8; }
static inline int pair_right(const uint8_t* r) { return (r[1] >> 4) | r[2] << 4; }

// Values per symbol minus one, children before parents. Depth-first with an explicit stack: a
// symbol met again while it is still open is a cycle, which only a damaged file can hold.
static bool compute_symbol_lengths(BlockDecoder* d) {
    enum : uint8_t { OPEN_NOT = 0, OPEN = 1, DONE = 2 };
    uint8_t state[MAX_SYMBOLS] = {};
    uint16_t stack[MAX_SYMBOLS];
    const int n = int(d->symbol_count);
    for (int s = 0; s < n; ++s) {
        if (state[s] == DONE) continue;
        int top = 0;
        stack[top++] = uint16_t(s);
        state[s] = OPEN;
        while (top > 0) {
            const int x = stack[top - 1];
            const uint8_t* r = d->symbol_pairs + 3 * x;
            const int right = pair_right(r);
            if (right == 0xFFF) {
                d->symbol_lengths[x] = 0;
                state[x] = DONE;
                --top;
                continue;
            }
            const int left = pair_left(r);
            if (left >= n || right >= n) return false;
            int next = -1;
            if (state[left] != DONE) next = left;
            else if (state[right] != DONE) next = right;
            if (next >= 0) {
                if (state[next] == OPEN) return false;  // cycle
                state[next] = OPEN;
                stack[top++] = uint16_t(next);
                continue;
            }
            const int len = d->symbol_lengths[left] + d->symbol_lengths[right] + 1;
            if (len > 255) return false;
            d->symbol_lengths[x] = uint8_t(len);
            state[x] = DONE;
            --top;
        }
    }
    return true;
}

BlockDecoder* build_decoder(const uint8_t** cursor, const uint8_t* end, uint64_t subtable_size, int kind,
                            uint8_t* flags, uint64_t sizes[3]) {
    const uint8_t* p = *cursor;
    if (end - p < 2) return nullptr;
    *flags = p[0];
    if (p[0] & 0x80) {
        BlockDecoder* d = static_cast<BlockDecoder*>(std::calloc(1, sizeof(BlockDecoder)));
        if (!d) return nullptr;
        d->index_bits = 0;
        d->constant[0] = kind == TABLE_WDL ? p[1] : 0;
        d->subtable_size = subtable_size;
        sizes[0] = sizes[1] = sizes[2] = 0;
        *cursor = p + 2;
        return d;
    }
    if (end - p < 12) return nullptr;
    const int block_size_log2 = p[1], index_bits = p[2], extra_blocks = p[3];
    const uint64_t real_blocks = read_u32(p + 4);
    const int max_length = p[8], min_length = p[9];
    // Lengths beyond 32 could not be decoded from the 64-bit window; blocks must hold the first
    // 8-byte read; the index step must be a sane power of two.
    if (min_length < 1 || max_length < min_length || max_length > 32) return nullptr;
    if (block_size_log2 < 3 || block_size_log2 > 30) return nullptr;
    if (index_bits < 1 || index_bits > 40) return nullptr;
    const int h = max_length - min_length + 1;
    if (end - p < 12 + 2 * h) return nullptr;
    const int symbols = read_u16(p + 10 + 2 * h);
    if (symbols < 1 || symbols > MAX_SYMBOLS) return nullptr;
    const ptrdiff_t header = 12 + 2 * h + 3 * symbols + (symbols & 1);
    if (end - p < header) return nullptr;

    const size_t fixed = (sizeof(BlockDecoder) + 7) & ~size_t(7);
    BlockDecoder* d = static_cast<BlockDecoder*>(std::calloc(1, fixed + 8 * size_t(h) + size_t(symbols)));
    if (!d) return nullptr;
    d->base = reinterpret_cast<uint64_t*>(reinterpret_cast<uint8_t*>(d) + fixed);
    d->symbol_lengths = reinterpret_cast<uint8_t*>(d->base + h);
    d->offsets = p + 10;
    d->symbol_pairs = p + 12 + 2 * h;
    d->block_size_log2 = uint8_t(block_size_log2);
    d->index_bits = uint8_t(index_bits);
    d->min_length = uint8_t(min_length);
    d->max_length = uint8_t(max_length);
    d->symbol_count = uint32_t(symbols);
    d->subtable_size = subtable_size;
    d->real_blocks = real_blocks;
    d->blocks = real_blocks + uint64_t(extra_blocks);
    *cursor = p + header;

    const uint64_t index_entries = (subtable_size >> index_bits) + ((subtable_size & ((1ull << index_bits) - 1)) != 0);
    sizes[0] = 6 * index_entries;
    sizes[1] = 2 * d->blocks;
    sizes[2] = real_blocks << block_size_log2;

    if (!compute_symbol_lengths(d)) {
        std::free(d);
        return nullptr;
    }
    d->base[h - 1] = 0;
    for (int i = h - 2; i >= 0; --i)
        d->base[i] = (d->base[i + 1] + read_u16(d->offsets + 2 * i) - read_u16(d->offsets + 2 * (i + 1))) / 2;
    for (int i = 0; i < h; ++i) {
        const int shift = 64 - (min_length + i);
        d->base[i] = shift >= 64 ? 0 : d->base[i] << shift;
    }
    return d;
}

const uint8_t* decode_value(const BlockDecoder* d, uint64_t index) {
    if (d->index_bits == 0) return d->constant;
    if (index >= d->subtable_size) return nullptr;
    const uint64_t main = index >> d->index_bits;
    int64_t literal = int64_t(index & ((1ull << d->index_bits) - 1)) - (int64_t(1) << (d->index_bits - 1));
    const uint8_t* entry = d->index_table + 6 * main;
    uint64_t block = read_u32(entry);
    literal += read_u16(entry + 4);
    if (block >= d->blocks) return nullptr;
    if (literal < 0) {
        do {
            if (block == 0) return nullptr;
            --block;
            literal += read_u16(d->size_table + 2 * block) + 1;
        } while (literal < 0);
    } else {
        while (literal > read_u16(d->size_table + 2 * block)) {
            literal -= read_u16(d->size_table + 2 * block) + 1;
            if (++block >= d->blocks) return nullptr;
        }
    }
    if (block >= d->real_blocks) return nullptr;

    const size_t block_size = size_t(1) << d->block_size_log2;
    const uint8_t* stream = d->data + (block << d->block_size_log2);
    uint64_t code = read_be64(stream);
    size_t next = 8;  // byte offset of the next refill word within the block
    int pending = 0;
    const int min_length = d->min_length;
    int sym;
    for (;;) {
        int len = min_length;
        while (code < d->base[len - min_length]) ++len;
        const uint64_t s = read_u16(d->offsets + 2 * (len - min_length)) + ((code - d->base[len - min_length]) >> (64 - len));
        if (s >= d->symbol_count) return nullptr;
        sym = int(s);
        if (literal <= d->symbol_lengths[sym]) break;
        literal -= d->symbol_lengths[sym] + 1;
        code <<= len;
        pending += len;
        if (pending >= 32) {
            pending -= 32;
            // The last refill of a block may look one word past its end; those bits are never
            // part of a code, so zeros stand in for them. Reading further means a damaged stream.
            if (next + 4 <= block_size) code |= uint64_t(read_be32(stream + next)) << pending;
            else if (next > block_size) return nullptr;
            next += 4;
        }
    }
    while (d->symbol_lengths[sym] != 0) {
        const uint8_t* r = d->symbol_pairs + 3 * sym;
        const int left = pair_left(r);
        if (literal <= d->symbol_lengths[left]) {
            sym = left;
        } else {
            literal -= d->symbol_lengths[left] + 1;
            sym = pair_right(r);
        }
    }
    return d->symbol_pairs + 3 * sym;
}
