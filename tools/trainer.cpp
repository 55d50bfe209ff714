#include "trainer.h"
#include <immintrin.h>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>
#include "board/board.h"
#include "eval/evaluate.h"
#include "game_file.h"

namespace train {

namespace {

void add_row(float* __restrict acc, const float* __restrict a, const float* __restrict b) {
    for (int i = 0; i < N; i += 8) {
        __m256 x = _mm256_loadu_ps(acc + i);
        x = _mm256_add_ps(x, _mm256_add_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
        _mm256_storeu_ps(acc + i, x);
    }
}

void add_to(float* __restrict dst, const float* __restrict src) {
    for (int i = 0; i < N; i += 8)
        _mm256_storeu_ps(dst + i, _mm256_add_ps(_mm256_loadu_ps(dst + i), _mm256_loadu_ps(src + i)));
}

// One Adam step over n values (n a multiple of 8); g is the already averaged gradient.
void adam(float* __restrict w, float* __restrict m, float* __restrict v, const float* __restrict g, int n,
          float lr_t, const Optimizer& o, float lo, float hi) {
    const __m256 b1 = _mm256_set1_ps(o.beta1), b1c = _mm256_set1_ps(1 - o.beta1);
    const __m256 b2 = _mm256_set1_ps(o.beta2), b2c = _mm256_set1_ps(1 - o.beta2);
    const __m256 eps = _mm256_set1_ps(o.eps), lr = _mm256_set1_ps(lr_t);
    const __m256 vlo = _mm256_set1_ps(lo), vhi = _mm256_set1_ps(hi);
    for (int i = 0; i < n; i += 8) {
        const __m256 gi = _mm256_loadu_ps(g + i);
        const __m256 mi = _mm256_add_ps(_mm256_mul_ps(b1, _mm256_loadu_ps(m + i)), _mm256_mul_ps(b1c, gi));
        const __m256 vi =
            _mm256_add_ps(_mm256_mul_ps(b2, _mm256_loadu_ps(v + i)), _mm256_mul_ps(b2c, _mm256_mul_ps(gi, gi)));
        _mm256_storeu_ps(m + i, mi);
        _mm256_storeu_ps(v + i, vi);
        __m256 wi = _mm256_sub_ps(_mm256_loadu_ps(w + i),
                                  _mm256_div_ps(_mm256_mul_ps(lr, mi), _mm256_add_ps(_mm256_sqrt_ps(vi), eps)));
        wi = _mm256_min_ps(_mm256_max_ps(wi, vlo), vhi);
        _mm256_storeu_ps(w + i, wi);
    }
}

// Runs f(0) .. f(parts - 1), on up to `threads` threads; each part's work must not depend on which
// thread runs it.
template <class F>
void run_parts(int parts, int threads, F&& f) {
    if (threads <= 1 || parts <= 1) {
        for (int i = 0; i < parts; ++i) f(i);
        return;
    }
    std::vector<std::thread> pool;
    for (int t = 1; t < threads && t < parts; ++t)
        pool.emplace_back([&, t] {
            for (int i = t; i < parts; i += threads) f(i);
        });
    for (int i = 0; i < parts; i += threads) f(i);
    for (auto& th : pool) th.join();
}

}  // namespace

void sample_features(const PositionState& s, Sample& out) {
    for (int side = 0; side < 2; ++side) {
        int rows[64];
        const int n = network_features(s, side == 1, rows);
        out.count[side] = uint8_t(n);
        for (int i = 0; i < n; ++i) out.rows[side][i] = uint16_t(rows[i]);
    }
    out.bucket = uint8_t((popcount(s.by_type[0]) - 1) / 4);
}

void make_sample(const PositionState& s, double score, double result, Sample& out) {
    const bool black = s.black_to_move();
    out = Sample{};
    out.score = float(black ? -score : score);
    out.result = float(black ? 1.0 - result : result);
    sample_features(s, out);
}

namespace {

uint8_t game_ply(long fullmove, bool black) { return uint8_t(std::clamp(2 * (fullmove - 1) + (black ? 1 : 0), 0L, 255L)); }

}  // namespace

bool parse_sample(const std::string& line, Sample& out, PositionState* pos) {
    const size_t a = line.find('|');
    if (a == std::string::npos) return false;
    const size_t b = line.find('|', a + 1);
    if (b == std::string::npos) return false;
    std::string fen = line.substr(0, a);
    while (!fen.empty() && fen.back() == ' ') fen.pop_back();
    char* end = nullptr;
    const double score = std::strtod(line.c_str() + a + 1, &end);
    if (end == line.c_str() + a + 1) return false;
    const double result = std::strtod(line.c_str() + b + 1, &end);
    if (end == line.c_str() + b + 1 || !(result == 0.0 || result == 0.5 || result == 1.0)) return false;
    PositionState s;
    if (!parse_fen(fen.c_str(), s)) return false;
    make_sample(s, score, result, out);
    // The fullmove number, the sixth field, is optional; without it the position counts as ply 0.
    long fullmove = 1;
    size_t f = 0;
    for (int field = 0; field < 5 && f != std::string::npos; ++field) {
        f = fen.find_first_not_of(' ', f);
        if (f != std::string::npos) f = fen.find(' ', f);
    }
    if (f != std::string::npos) fullmove = std::clamp(std::strtol(fen.c_str() + f, nullptr, 10), 1L, 65535L);
    out.ply = game_ply(fullmove, s.black_to_move());
    if (pos) *pos = s;
    return true;
}

bool read_samples(const std::string& path, const std::function<void(const Sample&, const PositionState&)>& add,
                  long& rejected, std::string& error) {
    games::Input in;
    if (!in.open(path)) return error = "cannot open " + path, false;
    Sample sample;
    if (games::has_magic(in) || games::game_file_name(path)) {
        const bool ok = games::read_games(in, path, [&](const games::GamePosition& g) {
            make_sample(*g.state, g.score, 0.5 * g.result, sample);
            sample.ply = game_ply(g.fullmove, g.state->black_to_move());
            add(sample, *g.state);
        }, error);
        if (!in.close() && ok) return error = "cannot read " + path, false;
        return ok;
    }
    PositionState pos;
    for (std::string line; in.getline(line);) {
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.empty()) continue;
        if (parse_sample(line, sample, &pos)) add(sample, pos);
        else ++rejected;
    }
    if (!in.close()) return error = "cannot read " + path, false;
    return true;
}

Model::Model()
    : w(size_t(ROWS) * N), factor(size_t(FACTOR_ROWS) * N), bias(N), out_w(OUT_BUCKETS * 2 * N), out_b(OUT_BUCKETS) {}

void Model::init(uint64_t seed) {
    std::mt19937_64 rng(seed);
    auto uniform = [&](float r) { return float((rng() >> 11) * 0x1.0p-53 * 2 - 1) * r; };
    // Bucketed rows start equal (zero) so that every bucket starts as the factor.
    std::fill(w.begin(), w.end(), 0.0f);
    for (auto& x : factor) x = uniform(0.1f);
    for (auto& x : bias) x = 0.3f;
    for (auto& x : out_w) x = uniform(5.0f);
    std::fill(out_b.begin(), out_b.end(), 0.0f);
}

void accumulate(const Model& m, const uint16_t* rows, int count, float* acc) {
    std::memcpy(acc, m.bias.data(), N * sizeof(float));
    for (int i = 0; i < count; ++i)
        add_row(acc, &m.w[size_t(rows[i]) * N], &m.factor[size_t(rows[i] % FACTOR_ROWS) * N]);
}

namespace {

// Output in centipawns from the two perspectives' sums.
float output(const Model& m, int bucket, const float* acc_s, const float* acc_o) {
    const float* ow = &m.out_w[size_t(bucket) * 2 * N];
    const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f);
    __m256 sum = _mm256_setzero_ps();
    for (int i = 0; i < N; i += 8) {
        const __m256 as = _mm256_min_ps(_mm256_max_ps(_mm256_loadu_ps(acc_s + i), zero), one);
        const __m256 ao = _mm256_min_ps(_mm256_max_ps(_mm256_loadu_ps(acc_o + i), zero), one);
        sum = _mm256_fmadd_ps(as, _mm256_loadu_ps(ow + i), sum);
        sum = _mm256_fmadd_ps(ao, _mm256_loadu_ps(ow + N + i), sum);
    }
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, sum);
    float total = 0;
    for (float x : lanes) total += x;
    return m.out_b[bucket] + total;
}

}  // namespace

float forward(const Model& m, const Sample& s) {
    alignas(32) float acc[2][N];
    accumulate(m, s.rows[0], s.count[0], acc[0]);
    accumulate(m, s.rows[1], s.count[1], acc[1]);
    return output(m, s.bucket, acc[0], acc[1]);
}

float sigmoid(float x) { return 1.0f / (1.0f + std::exp(-x)); }

float target_of(const Sample& s, const Hyper& h) {
    return h.lambda * sigmoid(s.score / h.k) + (1 - h.lambda) * s.result;
}

Gradients::Gradients() : w(size_t(ROWS) * N), touched(ROWS), bias(N), out_w(OUT_BUCKETS * 2 * N), out_b(OUT_BUCKETS) {}

void Gradients::clear_dense() {
    std::fill(bias.begin(), bias.end(), 0.0f);
    std::fill(out_w.begin(), out_w.end(), 0.0f);
    std::fill(out_b.begin(), out_b.end(), 0.0f);
    loss = 0;
}

double backward(const Model& m, const Sample& s, const Hyper& h, Gradients& g) {
    alignas(32) float acc[2][N];
    accumulate(m, s.rows[0], s.count[0], acc[0]);
    accumulate(m, s.rows[1], s.count[1], acc[1]);
    const float eval = output(m, s.bucket, acc[0], acc[1]);
    const float p = sigmoid(eval / h.k);
    const float err = p - target_of(s, h);
    const float d = 2 * err * p * (1 - p) / h.k;  // d loss / d eval
    g.out_b[s.bucket] += d;
    const float* ow = &m.out_w[size_t(s.bucket) * 2 * N];
    float* gow = &g.out_w[size_t(s.bucket) * 2 * N];
    const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f), vd = _mm256_set1_ps(d);
    for (int side = 0; side < 2; ++side) {
        // The sums' gradient, kept in place of the sums.
        float* a = acc[side];
        for (int i = 0; i < N; i += 8) {
            const __m256 x = _mm256_loadu_ps(a + i);
            const __m256 clipped = _mm256_min_ps(_mm256_max_ps(x, zero), one);
            float* go = gow + side * N + i;
            _mm256_storeu_ps(go, _mm256_fmadd_ps(vd, clipped, _mm256_loadu_ps(go)));
            const __m256 inside = _mm256_and_ps(_mm256_cmp_ps(x, zero, _CMP_GT_OQ), _mm256_cmp_ps(x, one, _CMP_LT_OQ));
            const __m256 grad = _mm256_and_ps(inside, _mm256_mul_ps(vd, _mm256_loadu_ps(ow + side * N + i)));
            _mm256_storeu_ps(a + i, grad);
        }
        add_to(g.bias.data(), a);
        for (int i = 0; i < s.count[side]; ++i) {
            const int r = s.rows[side][i];
            g.touched[r] = 1;
            add_to(&g.w[size_t(r) * N], a);
        }
    }
    const double loss = double(err) * err;
    g.loss += loss;
    return loss;
}

Optimizer::Optimizer()
    : mw(size_t(ROWS) * N), vw(size_t(ROWS) * N), mf(size_t(FACTOR_ROWS) * N), vf(size_t(FACTOR_ROWS) * N), mb(N),
      vb(N), mo(OUT_BUCKETS * 2 * N), vo(OUT_BUCKETS * 2 * N), mob(OUT_BUCKETS), vob(OUT_BUCKETS) {}

void apply_update(Model& m, Optimizer& o, std::vector<Gradients>& g, int batch, float lr, float out_lr_scale,
                  int threads) {
    ++o.step;
    const float correction = std::sqrt(1 - std::pow(o.beta2, float(o.step))) / (1 - std::pow(o.beta1, float(o.step)));
    const float lr_t = lr * correction, inv = 1.0f / float(batch);
    const int parts = 16;  // factor rows split in fixed ranges: the same arithmetic for any thread count
    run_parts(parts + 1, threads, [&](int part) {
        alignas(32) float row[N], frow[N];
        if (part == parts) {
            // Dense parameters: biases and the output layer.
            std::vector<float> gb(N), gow(OUT_BUCKETS * 2 * N);
            float gob[OUT_BUCKETS] = {};
            for (auto& gr : g) {
                for (int i = 0; i < N; ++i) gb[i] += gr.bias[i];
                for (size_t i = 0; i < gow.size(); ++i) gow[i] += gr.out_w[i];
                for (int b = 0; b < OUT_BUCKETS; ++b) gob[b] += gr.out_b[b];
            }
            for (auto& x : gb) x *= inv;
            for (auto& x : gow) x *= inv;
            adam(m.bias.data(), o.mb.data(), o.vb.data(), gb.data(), N, lr_t, o, W_MIN, W_MAX);
            adam(m.out_w.data(), o.mo.data(), o.vo.data(), gow.data(), int(gow.size()), lr_t * out_lr_scale, o,
                 -OUT_WEIGHT_LIMIT, OUT_WEIGHT_LIMIT);
            const float lro = lr_t * out_lr_scale;
            for (int b = 0; b < OUT_BUCKETS; ++b) {
                const float gi = gob[b] * inv;
                o.mob[b] = o.beta1 * o.mob[b] + (1 - o.beta1) * gi;
                o.vob[b] = o.beta2 * o.vob[b] + (1 - o.beta2) * gi * gi;
                m.out_b[b] -= lro * o.mob[b] / (std::sqrt(o.vob[b]) + o.eps);
            }
            return;
        }
        for (int j = part * FACTOR_ROWS / parts; j < (part + 1) * FACTOR_ROWS / parts; ++j) {
            bool any = false;
            std::memset(frow, 0, sizeof frow);
            for (int kb = 0; kb < ROWS / FACTOR_ROWS; ++kb) {
                const int r = kb * FACTOR_ROWS + j;
                bool hit = false;
                std::memset(row, 0, sizeof row);
                for (auto& gr : g)
                    if (gr.touched[r]) {
                        float* src = &gr.w[size_t(r) * N];
                        add_to(row, src);
                        std::memset(src, 0, N * sizeof(float));
                        gr.touched[r] = 0;
                        hit = true;
                    }
                if (!hit) continue;
                any = true;
                for (int i = 0; i < N; ++i) row[i] *= inv;
                add_to(frow, row);
                adam(&m.w[size_t(r) * N], &o.mw[size_t(r) * N], &o.vw[size_t(r) * N], row, N, lr_t * o.bucket_lr_scale, o,
                     W_MIN, W_MAX);
            }
            if (any)
                adam(&m.factor[size_t(j) * N], &o.mf[size_t(j) * N], &o.vf[size_t(j) * N], frow, N, lr_t, o, W_MIN,
                     W_MAX);
        }
    });
    for (auto& gr : g) gr.clear_dense();
}

double mean_loss(const Model& m, const std::vector<Sample>& samples, const Hyper& h, int threads) {
    if (samples.empty()) return 0;
    const int parts = 2;
    double sums[parts] = {};
    run_parts(parts, threads, [&](int part) {
        const size_t lo = samples.size() * part / parts, hi = samples.size() * (part + 1) / parts;
        double s = 0;
        for (size_t i = lo; i < hi; ++i) {
            const float p = sigmoid(forward(m, samples[i]) / h.k);
            const double e = p - target_of(samples[i], h);
            s += e * e;
        }
        sums[part] = s;
    });
    return (sums[0] + sums[1]) / double(samples.size());
}

ExportStats quantise(const Model& m, NetworkParams& p) {
    ExportStats st;
    for (int r = 0; r < ROWS; ++r) {
        const float* w = &m.w[size_t(r) * N];
        const float* f = &m.factor[size_t(r % FACTOR_ROWS) * N];
        int16_t* out = &p.ft_weights[size_t(r) * N];
        for (int i = 0; i < N; ++i) {
            long v = std::lround((w[i] + f[i]) * FT_SCALE);
            if (v < -1024 || v > 3071) ++st.clipped_ft;
            out[i] = int16_t(std::clamp(v, -1024L, 3071L));
        }
    }
    // The engine halves the sums with a shift (rounding down); one extra unit in the bias makes it
    // round to nearest, as the float model's scaling does.
    for (int i = 0; i < N; ++i)
        p.ft_biases[i] = int16_t(std::clamp(std::lround(m.bias[i] * FT_SCALE) + 1, -32768L, 32767L));
    for (size_t i = 0; i < m.out_w.size(); ++i) {
        long v = std::lround(m.out_w[i] * OUT_SCALE);
        if (v < -127 || v > 127) ++st.clipped_out;
        p.out_weights[i] = int8_t(std::clamp(v, -127L, 127L));
    }
    for (int b = 0; b < OUT_BUCKETS; ++b) p.out_biases[b] = int32_t(std::lround(m.out_b[b] * 64.0f));
    p.l1_bits = EXPECTED_L1_BITS;
    p.l2_bits = EXPECTED_L2_BITS;
    return st;
}

}  // namespace train
