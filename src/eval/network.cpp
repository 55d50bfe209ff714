#include "eval/network.h"
#include <immintrin.h>
#include <sys/mman.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "eval/evaluate.h"

Network network;

static int32_t read_i32(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

int network_constants_fault(const uint8_t* block, int32_t* found) {
    const int32_t l1 = read_i32(block + L1_BITS_OFFSET), l2 = read_i32(block + L2_BITS_OFFSET);
    if (l1 != EXPECTED_L1_BITS) {
        *found = l1;
        return 1;
    }
    if (l2 != EXPECTED_L2_BITS) {
        *found = l2;
        return 2;
    }
    return 0;
}

void check_network_quantisation() { check_network_quantisation_of(tarnvik_network_block); }

void check_network_quantisation_of(const uint8_t* block) {
    int32_t found;
    switch (network_constants_fault(block, &found)) {
    case 1:
        std::printf("Bit decimali L1 non corretti! Valore corretto %d\n", found);
        std::fflush(stdout);
        std::exit(1);
    case 2:
        std::printf("Bit decimali L2 non corretti! Valore corretto %d\n", found);
        std::fflush(stdout);
        std::exit(1);
    default:
        break;
    }
}

void decode_weights_scalar(const uint8_t* packed, int16_t* out, size_t groups) {
    for (size_t i = 0; i < groups * 16; ++i) {
        const uint8_t b0 = packed[3 * i], b1 = packed[3 * i + 1], b2 = packed[3 * i + 2];
        out[2 * i] = int16_t((b0 << 4 | b1 >> 4) - 1024);
        out[2 * i + 1] = int16_t(((b1 & 15) << 8 | b2) - 1024);
    }
}

// Each 24-byte half-group holds sixteen values. Bytes are spread so that every 16-bit lane holds the
// two bytes a value spans; a shift on even lanes and a mask leave the 12 bits.
void decode_weights_avx2(const uint8_t* packed, int16_t* out, size_t groups) {
    // For value 2j: bytes 3j (high) and 3j+1 (low nibble high); for value 2j+1: bytes 3j+1 and 3j+2.
    // Lane word = (hi << 8) | lo, then even lanes shift right 4, odd lanes keep the low 12 bits.
    const __m256i shuffle = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10,  //
                                             1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
    const __m256i mask = _mm256_set1_epi16(0x0FFF);
    const __m256i offset = _mm256_set1_epi16(1024);
    for (size_t g = 0; g < groups; ++g) {
        const uint8_t* in = packed + 48 * g;
        for (int h = 0; h < 2; ++h) {
            // Two 12-byte pieces (eight values each) into the two 128-bit lanes.
            const uint8_t* p = in + 24 * h;
            __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));       // bytes 0..15
            __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12 - 4));  // bytes 8..23
            hi = _mm_srli_si128(hi, 4);                                               // bytes 12..23 at 0
            __m256i v = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
            v = _mm256_shuffle_epi8(v, shuffle);
            // Even lanes: (b0 << 8 | b1) >> 4; odd lanes: (b1 << 8 | b2) & 0xFFF.
            const __m256i even = _mm256_srli_epi16(v, 4);
            const __m256i blended = _mm256_blend_epi16(even, v, 0xAA);
            const __m256i vals = _mm256_sub_epi16(_mm256_and_si256(blended, mask), offset);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * g + 16 * h), vals);
        }
    }
}

// The unpacked table is read at random by every search thread, so it is placed on 2 MiB boundaries
// and offered to the kernel for huge pages before it is filled: the first writes then take whole
// 2 MiB pages (31 faults instead of 15,000, start-up 45-50 ms instead of 80-85 ms here) and the
// search has far fewer TLB misses (6% more nodes/second in the bench). Offered only after
// filling, the pages were never merged during a bench. When free memory is too fragmented the
// kernel may compact or fall back to small pages; either way the values are the same.
constexpr size_t HUGE_PAGE = size_t(2) << 20;
constexpr size_t TABLE_BYTES = (FT_VALUES * sizeof(int16_t) + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;

static int16_t* allocate_table() { return static_cast<int16_t*>(std::aligned_alloc(HUGE_PAGE, TABLE_BYTES)); }

static void offer_huge_pages(void* table) {
#ifdef MADV_HUGEPAGE
    madvise(table, TABLE_BYTES, MADV_HUGEPAGE);
#else
    (void)table;
#endif
}

// Asks the kernel to read the embedded block in large steps instead of one page per fault.
static void prefetch_block(const uint8_t* block) {
#ifdef MADV_WILLNEED
    const uintptr_t page = 4096, start = uintptr_t(block) & ~(page - 1);
    madvise(reinterpret_cast<void*>(start), uintptr_t(block) + NETWORK_BLOCK_BYTES - start, MADV_WILLNEED);
#else
    (void)block;
#endif
}

void load_network(const uint8_t* block) {
    if (block == tarnvik_network_block) prefetch_block(block);
    if (!network.ft_weights) network.ft_weights = allocate_table();
    if (!network.out_weights) network.out_weights = static_cast<int8_t*>(std::aligned_alloc(64, OUT_BUCKETS * OUT_INPUTS));
    if (!network.ft_weights || !network.out_weights) {
        std::printf("Memory allocation error\n");
        std::fflush(stdout);
        std::exit(1);
    }
    std::memcpy(network.out_weights, block + OUT_WEIGHT_OFFSET, OUT_BUCKETS * OUT_INPUTS);
    offer_huge_pages(network.ft_weights);
    decode_weights_avx2(block, network.ft_weights, PACKED_FT_BYTES / 48);
    network.ft_biases = reinterpret_cast<const int16_t*>(block + BIAS_OFFSET);
    network.out_biases = reinterpret_cast<const int32_t*>(block + OUT_BIAS_OFFSET);
    network.l1_bits = read_i32(block + L1_BITS_OFFSET);
    network.l2_bits = read_i32(block + L2_BITS_OFFSET);
}

void unpack_network() { load_network(tarnvik_network_block); }
