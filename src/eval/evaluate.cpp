#include "eval/evaluate.h"
#include <immintrin.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include "eval/kernels.h"
#include "eval/network.h"

EvalKernel eval_kernel = best_eval_kernel();
thread_local constinit int64_t refresh_cache_lookups = 0;
thread_local constinit int64_t refresh_cache_hits = 0;

namespace {

constexpr int MAX_ROWS = 32;
constexpr int CHUNK = 256;  // neurons held in sixteen registers

inline int king_bucket(int sq) {
    const int f = sq & 7;
    return 4 * (sq >> 3) + (f <= 3 ? f : 7 - f);
}

// Where one perspective's features live: its bucket base, the frame flip and the file mirror.
struct Perspective {
    int base, flip, mirror;
    Bitboard mine;
    Perspective(const PositionState& s, bool other) {
        const int king = other ? (s.their_king() ^ 56) : s.own_king();
        base = 640 * king_bucket(king);
        flip = other ? 56 : 0;
        mirror = (king & 7) >= 4 ? 7 : 0;
        mine = other ? s.them() : s.own;
    }
    // slot 0..4 for this perspective's pieces, 5..9 for the other side's; sq in the position's frame
    int index(int slot, int sq) const { return base + 64 * slot + ((sq ^ flip) ^ mirror); }
};

void apply_rows_scalar(const int16_t* src, int16_t* dst, const int* add, int na, const int* sub, int ns) {
    for (int i = 0; i < FT_NEURONS; ++i) {
        int16_t v = src[i];
        for (int a = 0; a < na; ++a) v = int16_t(v + network.ft_weights[size_t(add[a]) * FT_NEURONS + i]);
        for (int r = 0; r < ns; ++r) v = int16_t(v - network.ft_weights[size_t(sub[r]) * FT_NEURONS + i]);
        dst[i] = v;
    }
}

// dst = src + added rows - removed rows, one 256-neuron chunk at a time in registers.
void apply_rows_avx2(const int16_t* src, int16_t* dst, const int* add, int na, const int* sub, int ns) {
    for (int c = 0; c < FT_NEURONS; c += CHUNK) {
        __m256i r[16];
        for (int i = 0; i < 16; ++i) r[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + c + 16 * i));
        const bool ahead = c + CHUNK < FT_NEURONS;
        for (int a = 0; a < na; ++a) {
            const int16_t* row = network.ft_weights + size_t(add[a]) * FT_NEURONS + c;
            if (ahead)
                for (int i = 0; i < 8; ++i) __builtin_prefetch(row + CHUNK + 32 * i);
            for (int i = 0; i < 16; ++i)
                r[i] = _mm256_add_epi16(r[i], _mm256_load_si256(reinterpret_cast<const __m256i*>(row + 16 * i)));
        }
        for (int s = 0; s < ns; ++s) {
            const int16_t* row = network.ft_weights + size_t(sub[s]) * FT_NEURONS + c;
            if (ahead)
                for (int i = 0; i < 8; ++i) __builtin_prefetch(row + CHUNK + 32 * i);
            for (int i = 0; i < 16; ++i)
                r[i] = _mm256_sub_epi16(r[i], _mm256_load_si256(reinterpret_cast<const __m256i*>(row + 16 * i)));
        }
        for (int i = 0; i < 16; ++i) _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + c + 16 * i), r[i]);
    }
}

// fetched: prefetch_update_rows requested the whole of these rows when the move was made.
void apply_rows(const int16_t* src, int16_t* dst, const int* add, int na, const int* sub, int ns, bool fetched = false) {
    switch (eval_kernel) {
    case EvalKernel::Avx512:
    case EvalKernel::Avx512Vnni:
        return apply_rows_avx512(network.ft_weights, src, dst, add, na, sub, ns, fetched);
    case EvalKernel::Avx2:
        return apply_rows_avx2(src, dst, add, na, sub, ns);
    default:
        return apply_rows_scalar(src, dst, add, na, sub, ns);
    }
}

int collect_features(const PositionState& s, const Perspective& pv, int* out) {
    int n = 0;
    for (int t = PAWN; t <= QUEEN; ++t) {
        for (Bitboard b = s.by_type[t] & pv.mine; b;) out[n++] = pv.index(t - 1, pop_lsb(b));
        for (Bitboard b = s.by_type[t] & ~pv.mine & s.by_type[0]; b;) out[n++] = pv.index(t + 4, pop_lsb(b));
    }
    return n;
}

int dot_scalar(const int16_t* v, const int8_t* w) {
    int sum = 0;
    for (int i = 0; i < FT_NEURONS; ++i) sum += std::clamp(v[i] >> 1, 0, 127) * w[i];
    return sum;
}

int dot_avx2(const int16_t* v, const int8_t* w) {
    const __m256i zero = _mm256_setzero_si256(), ones = _mm256_set1_epi16(1);
    __m256i acc0 = _mm256_setzero_si256(), acc1 = _mm256_setzero_si256();
    for (int i = 0; i < FT_NEURONS; i += 64) {
        __m256i x[2];
        for (int j = 0; j < 2; ++j) {
            const __m256i a = _mm256_srai_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + i + 32 * j)), 1);
            const __m256i b = _mm256_srai_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + i + 32 * j + 16)), 1);
            // The signed pack saturates at 127, the byte maximum clips at 0; the pack interleaves
            // 64-bit quarters, which the permutation puts back in neuron order.
            x[j] = _mm256_permute4x64_epi64(_mm256_max_epi8(_mm256_packs_epi16(a, b), zero), 0xD8);
        }
        const __m256i p0 = _mm256_maddubs_epi16(x[0], _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + i)));
        const __m256i p1 = _mm256_maddubs_epi16(x[1], _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + i + 32)));
        acc0 = _mm256_add_epi32(acc0, _mm256_madd_epi16(p0, ones));
        acc1 = _mm256_add_epi32(acc1, _mm256_madd_epi16(p1, ones));
    }
    const __m256i acc = _mm256_add_epi32(acc0, acc1);
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
    return _mm_cvtsi128_si32(s);
}

// M's half at ply k after M's king moved, from the closer of two positions cached for its square.
void cached_refresh(SearchThread& t, int k, const PositionState& s, int16_t* out) {
    const int z = lsb(s.by_type[KING] & ~s.own);
    RefreshSlot* slots = t.refresh_cache.slots[k & 1][z];
    RefreshSlot& a = slots[0];
    RefreshSlot& b = slots[1];
    const Bitboard now = s.by_type[0] ^ s.by_type[KING];
    const int da = popcount((a.boards[0] ^ a.boards[6]) ^ now);
    const int db = popcount((b.boards[0] ^ b.boards[6]) ^ now);
    RefreshSlot* src = &a;
    RefreshSlot* dst = &a;
    if (da < db) dst = &b;
    else if (db < da) src = &b;
    const Perspective pv(s, true);
    ++refresh_cache_lookups;
    if (std::min(da, db) >= popcount(s.by_type[0]) - 2) {
        refresh_perspective(s, true, out);
    } else {
        ++refresh_cache_hits;
        int add[64], sub[64], na = 0, ns = 0;
        const Bitboard src_own = src->boards[7], src_them = src->boards[0] ^ src_own;
        const Bitboard cur_them = s.them();
        for (int t2 = PAWN; t2 <= QUEEN; ++t2) {
            // Pieces of the side to move are the other side's pieces for M.
            const Bitboard was = src->boards[t2] & src_own, is = s.by_type[t2] & s.own;
            for (Bitboard x = was & ~is; x;) sub[ns++] = pv.index(t2 + 4, pop_lsb(x));
            for (Bitboard x = is & ~was; x;) add[na++] = pv.index(t2 + 4, pop_lsb(x));
            const Bitboard was_m = src->boards[t2] & src_them, is_m = s.by_type[t2] & cur_them;
            for (Bitboard x = was_m & ~is_m; x;) sub[ns++] = pv.index(t2 - 1, pop_lsb(x));
            for (Bitboard x = is_m & ~was_m; x;) add[na++] = pv.index(t2 - 1, pop_lsb(x));
        }
        apply_rows(src->values, out, add, na, sub, ns);
    }
    std::memcpy(dst->values, out, sizeof dst->values);
    std::memcpy(dst->boards, s.by_type, 7 * sizeof(Bitboard));
    dst->boards[7] = s.own;
}

// Rows one step adds and removes in each half: the dirty values of the entry below, turned into
// features of the side to move (o) and of the mover (m) at this ply.
struct StepRows {
    int add_o[3], sub_o[3], add_m[3], sub_m[3];
    int nao = 0, nso = 0, nam = 0, nsm = 0;
    StepRows(const Accumulator& prev, const PositionState& s) {
        const Perspective po(s, false), pm(s, true);
        for (int i = 0; i < prev.dirty_count; ++i) {
            const uint32_t v = prev.dirty[i];
            const bool added = v >= uint32_t(FEATURE_ADD);
            const int f = int(added ? v - FEATURE_ADD : v);
            const int slot = f >> 6, sq = (f & 63) ^ 56;  // the mover's square seen in this position's frame
            const int fo = po.index(slot < 5 ? slot + 5 : slot - 5, sq);
            const int fm = pm.index(slot, sq);
            if (added) {
                add_o[nao++] = fo;
                add_m[nam++] = fm;
            } else {
                sub_o[nso++] = fo;
                sub_m[nsm++] = fm;
            }
        }
    }
};

void update_entry(SearchThread& t, int k, const PositionState& s) {
    const Accumulator& prev = t.accumulators[k - 1];
    Accumulator& cur = t.accumulators[k];
    const StepRows r(prev, s);
    // The search requested these rows when it made the move (not for checking moves, rare here).
    apply_rows(prev.values[1], cur.values[0], r.add_o, r.nao, r.sub_o, r.nso, true);
    if (!prev.king_moved)
        apply_rows(prev.values[0], cur.values[1], r.add_m, r.nam, r.sub_m, r.nsm, true);
    else
        cached_refresh(t, k, s, cur.values[1]);
    cur.computed = 1;
}

// The kernels request every chunk of a row but the first ahead of time themselves. With AVX2 only
// that first chunk is fetched here; with AVX-512 the whole row, which measured better for it (the
// AVX-512 kernel has only two chunks).
void prefetch_row(int row) {
    const char* p = reinterpret_cast<const char*>(network.ft_weights + size_t(row) * FT_NEURONS);
    const int bytes = eval_kernel >= EvalKernel::Avx512 ? 2 * FT_NEURONS : 2 * CHUNK;
    for (int i = 0; i < bytes; i += 64) __builtin_prefetch(p + i);
}

}  // namespace

void prefetch_update_rows(const SearchThread& t, int k) {
    const Accumulator& prev = t.accumulators[k - 1];
    const StepRows r(prev, *t.position.current);
    for (int i = 0; i < r.nao; ++i) prefetch_row(r.add_o[i]);
    for (int i = 0; i < r.nso; ++i) prefetch_row(r.sub_o[i]);
    if (prev.king_moved) return;  // that half comes from the refresh cache
    for (int i = 0; i < r.nam; ++i) prefetch_row(r.add_m[i]);
    for (int i = 0; i < r.nsm; ++i) prefetch_row(r.sub_m[i]);
}

int network_features(const PositionState& s, bool other, int* out) { return collect_features(s, Perspective(s, other), out); }

void refresh_perspective(const PositionState& s, bool other, int16_t* out) {
    int rows[MAX_ROWS];
    const int n = collect_features(s, Perspective(s, other), rows);
    apply_rows(network.ft_biases, out, rows, n, nullptr, 0);
}

int network_output(const Accumulator& acc, int pieces) {
    const int bucket = (pieces - 1) / 4;
    const int8_t* w = network.out_weights + bucket * OUT_INPUTS;
    // The dot products cannot overflow, but a bias near the int32 limits plus them could.
    int64_t sum = network.out_biases[bucket];
    // The two halves lie back to back: the side to move's first, as the weights are ordered.
    const int16_t* v = acc.values[0];
    switch (eval_kernel) {
    case EvalKernel::Avx512Vnni:
        sum += output_dot_avx512_vnni(v, w, OUT_INPUTS);
        break;
    case EvalKernel::Avx512:
        sum += output_dot_avx512(v, w, OUT_INPUTS);
        break;
    case EvalKernel::Avx2:
        sum += dot_avx2(acc.values[0], w) + dot_avx2(acc.values[1], w + FT_NEURONS);
        break;
    default:
        sum += dot_scalar(acc.values[0], w) + dot_scalar(acc.values[1], w + FT_NEURONS);
        break;
    }
    return int(std::clamp<int64_t>(sum / 64, -25766, 25766));
}

int evaluate(SearchThread& t, int n) {
    Accumulator* acc = t.accumulators;
    const PositionState* cur = t.position.current;
    if (!acc[n].computed) {
        int j = n - 1;
        while (j >= 0 && !acc[j].computed) --j;
        if (j < 0) {
            const PositionState& root = *(cur - n);
            refresh_perspective(root, false, acc[0].values[0]);
            refresh_perspective(root, true, acc[0].values[1]);
            acc[0].computed = 1;
            j = 0;
        }
        for (int k = j + 1; k <= n; ++k) update_entry(t, k, *(cur - (n - k)));
    }
    return network_output(acc[n], popcount(cur->by_type[0]));
}

void clear_refresh_cache(RefreshCache& cache) {
    std::memset(&cache, 0, sizeof cache);
    for (auto& half : cache.slots)
        for (auto& square : half)
            for (auto& slot : square) slot.boards[0] = ~Bitboard(0);
}

bool eval_kernel_supported(EvalKernel k) {
    // Also true only when the operating system saves the registers the instructions use.
    __builtin_cpu_init();
    switch (k) {
    case EvalKernel::Scalar:
        return true;
    case EvalKernel::Avx2:
        return __builtin_cpu_supports("avx2");
    case EvalKernel::Avx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
    case EvalKernel::Avx512Vnni:
        return eval_kernel_supported(EvalKernel::Avx512) && __builtin_cpu_supports("avx512vnni");
    }
    return false;
}

EvalKernel best_eval_kernel() {
    static const EvalKernel best = [] {
        const char* off = std::getenv("TARNVIK_NO_AVX512");
        if (!(off && *off && std::strcmp(off, "0") != 0)) {
            if (eval_kernel_supported(EvalKernel::Avx512Vnni)) return EvalKernel::Avx512Vnni;
            if (eval_kernel_supported(EvalKernel::Avx512)) return EvalKernel::Avx512;
        }
        return EvalKernel::Avx2;
    }();
    return best;
}

const char* eval_kernel_name(EvalKernel k) {
    switch (k) {
    case EvalKernel::Scalar:
        return "scalar";
    case EvalKernel::Avx2:
        return "avx2";
    case EvalKernel::Avx512:
        return "avx512";
    case EvalKernel::Avx512Vnni:
        return "avx512-vnni";
    }
    return "?";
}
