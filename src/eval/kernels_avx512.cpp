// AVX-512 kernels of the evaluation. The program is built for AVX2 only: each function here carries
// its own target attribute, so no other code (and no inline function of a shared header) is ever
// compiled for AVX-512. They are called only when best_eval_kernel found the instructions.
#include <immintrin.h>
#include <cstddef>
#include "eval/kernels.h"
#include "eval/network.h"

#define TARGET_AVX512 __attribute__((target("avx512f,avx512bw")))
#define TARGET_AVX512_VNNI __attribute__((target("avx512f,avx512bw,avx512vnni")))

namespace {

// 24 registers of 32 neurons: a row is read in two halves, each added into registers in one go.
constexpr int REGS = 24;
constexpr int CHUNK = 32 * REGS;
static_assert(FT_NEURONS % CHUNK == 0);

// Eight neurons per 128-bit lane of each input come out of the pack; this puts them back in order.
TARGET_AVX512 inline __m512i clipped_bytes(const int16_t* v, __m512i order) {
    const __m512i a = _mm512_srai_epi16(_mm512_loadu_si512(v), 1);
    const __m512i b = _mm512_srai_epi16(_mm512_loadu_si512(v + 32), 1);
    // The signed pack saturates at 127, the byte maximum clips at 0.
    const __m512i packed = _mm512_max_epi8(_mm512_packs_epi16(a, b), _mm512_setzero_si512());
    // The zero-masked forms: the plain ones start from an undefined register, which GCC 12 warns about.
    return _mm512_maskz_permutexvar_epi64(0xFF, order, packed);
}

TARGET_AVX512 inline int sum_lanes(__m512i v) {
    const __m256i h = _mm256_add_epi32(_mm512_maskz_extracti64x4_epi64(0xF, v, 0), _mm512_maskz_extracti64x4_epi64(0xF, v, 1));
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
    return _mm_cvtsi128_si32(s);
}

}  // namespace

TARGET_AVX512 void apply_rows_avx512(const int16_t* weights, const int16_t* src, int16_t* dst, const int* add,
                                     int na, const int* sub, int ns, bool fetched) {
    for (int c = 0; c < FT_NEURONS; c += CHUNK) {
        // Fully unrolled, or the registers would live on the stack.
        __m512i r[REGS];
#pragma GCC unroll 24
        for (int i = 0; i < REGS; ++i) r[i] = _mm512_loadu_si512(src + c + 32 * i);
        // The next chunk of each row is requested while this one is added: the rows are read in
        // short runs that the hardware prefetchers do not follow well. Not when the caller fetched
        // the rows already: the extra requests then only compete for the fill buffers (3% of the
        // bench on an Intel Xeon).
        const bool ahead = !fetched && c + CHUNK < FT_NEURONS;
        for (int a = 0; a < na; ++a) {
            const int16_t* row = weights + size_t(add[a]) * FT_NEURONS + c;
            if (ahead)
                for (int i = 0; i < REGS; ++i) __builtin_prefetch(row + CHUNK + 32 * i);
#pragma GCC unroll 24
            for (int i = 0; i < REGS; ++i) r[i] = _mm512_add_epi16(r[i], _mm512_load_si512(row + 32 * i));
        }
        for (int s = 0; s < ns; ++s) {
            const int16_t* row = weights + size_t(sub[s]) * FT_NEURONS + c;
            if (ahead)
                for (int i = 0; i < REGS; ++i) __builtin_prefetch(row + CHUNK + 32 * i);
#pragma GCC unroll 24
            for (int i = 0; i < REGS; ++i) r[i] = _mm512_sub_epi16(r[i], _mm512_load_si512(row + 32 * i));
        }
#pragma GCC unroll 24
        for (int i = 0; i < REGS; ++i) _mm512_storeu_si512(dst + c + 32 * i, r[i]);
    }
}

TARGET_AVX512 int output_dot_avx512(const int16_t* v, const int8_t* w, int n) {
    const __m512i order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
    const __m512i ones = _mm512_set1_epi16(1);
    __m512i acc0 = _mm512_setzero_si512(), acc1 = _mm512_setzero_si512();
    for (int i = 0; i < n; i += 128) {
        // Pairs of byte products stay within 16 bits: 2 x 127 x 128 < 32768.
        const __m512i p0 = _mm512_maddubs_epi16(clipped_bytes(v + i, order), _mm512_loadu_si512(w + i));
        const __m512i p1 = _mm512_maddubs_epi16(clipped_bytes(v + i + 64, order), _mm512_loadu_si512(w + i + 64));
        acc0 = _mm512_add_epi32(acc0, _mm512_madd_epi16(p0, ones));
        acc1 = _mm512_add_epi32(acc1, _mm512_madd_epi16(p1, ones));
    }
    return sum_lanes(_mm512_add_epi32(acc0, acc1));
}

TARGET_AVX512_VNNI int output_dot_avx512_vnni(const int16_t* v, const int8_t* w, int n) {
    const __m512i order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
    __m512i acc0 = _mm512_setzero_si512(), acc1 = _mm512_setzero_si512();
    for (int i = 0; i < n; i += 128) {
        acc0 = _mm512_dpbusd_epi32(acc0, clipped_bytes(v + i, order), _mm512_loadu_si512(w + i));
        acc1 = _mm512_dpbusd_epi32(acc1, clipped_bytes(v + i + 64, order), _mm512_loadu_si512(w + i + 64));
    }
    return sum_lanes(_mm512_add_epi32(acc0, acc1));
}
