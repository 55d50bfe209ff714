// Float model of the evaluation network, its training step and its export to the packed block.
//
// The model is exactly the engine's network: per perspective, 20,480 king-bucketed features (the
// engine's own feature code picks the rows) feed 1,536 clipped-ReLU neurons; the two halves (side to
// move first) feed one of eight output neurons chosen by piece count. Float units are chosen so that
// quantisation is a plain scaling: a first-layer value of 1.0 is 254 in the integer accumulator (so the
// integer activation clamp(acc >> 1, 0, 127) is 127 x clamp(value, 0, 1)), and the output is in
// centipawns. A bucket-less factor (640 rows) is trained alongside the bucketed rows and added into every
// king bucket at export: with few positions most bucketed rows are seen rarely, the factor always.
#pragma once
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>
#include "board/position.h"
#include "eval/network_format.h"

namespace train {

constexpr int ROWS = FT_INPUTS;     // bucketed rows
constexpr int FACTOR_ROWS = 640;    // slot x square, no king bucket
constexpr int N = FT_NEURONS;
constexpr int MAX_FEATURES = 32;
constexpr float FT_SCALE = 254.0f;  // integer first-layer units per float unit
constexpr float OUT_SCALE = 64.0f / 127.0f;  // integer output weight per centipawn weight
constexpr float OUT_WEIGHT_LIMIT = 127.0f * 127.0f / 64.0f;  // keeps output weights within int8
// Bounds of a bucketed row value and of a factor value; their sum fits the packed -1024..3071 range.
constexpr float W_MIN = -2.0f, W_MAX = 6.0f;

struct Sample {
    uint16_t rows[2][MAX_FEATURES];  // [0] side to move, [1] the other side
    uint8_t count[2];
    uint8_t bucket;  // output bucket, (pieces - 1) / 4
    uint8_t ply;     // plies from the start of the game (fullmove number and side to move), capped at 255
    float score;     // centipawns, side to move's view
    float result;    // 1 win, 0.5 draw, 0 loss for the side to move
};

// Parses "<fen> | <score> | <result>" (score and result from White's view) into a sample in the side
// to move's view, and the position into *pos when given. False on a malformed line or a position
// the board code rejects.
bool parse_sample(const std::string& line, Sample& out, PositionState* pos = nullptr);
// Fills a sample's features from a position (the engine's feature code).
void sample_features(const PositionState& s, Sample& out);
// The sample of a position with score and result from White's view: the one way both the text lines
// and the game files make samples, so that a file in either form trains alike.
void make_sample(const PositionState& s, double score, double result, Sample& out);

// Reads one data file, text lines or a game file (by its magic, or by the name .tvg / .tvg.xz),
// plain or .xz, calling add for every sample in file order. Text lines that do not parse are
// counted in rejected. False with the reason in error when the file cannot be read or a game file
// is faulty.
bool read_samples(const std::string& path, const std::function<void(const Sample&, const PositionState&)>& add,
                  long& rejected, std::string& error);

struct Model {
    std::vector<float> w;        // ROWS x N
    std::vector<float> factor;   // FACTOR_ROWS x N
    std::vector<float> bias;     // N
    std::vector<float> out_w;    // OUT_BUCKETS x 2N, centipawns per unit of activation
    std::vector<float> out_b;    // OUT_BUCKETS, centipawns
    Model();
    void init(uint64_t seed);
};

// First-layer sums of one perspective (before clipping).
void accumulate(const Model& m, const uint16_t* rows, int count, float* acc);
// Evaluation in centipawns, side to move's view.
float forward(const Model& m, const Sample& s);

struct Hyper {
    float k = 400.0f;        // sigmoid scale in centipawns
    float lambda = 0.75f;    // weight of the score in the target, the rest on the result
};
float target_of(const Sample& s, const Hyper& h);
float sigmoid(float x);

// Gradients of one worker: bucketed rows are marked when touched so that only those are read and
// cleared by the update.
struct Gradients {
    std::vector<float> w;  // ROWS x N, zero outside touched rows
    std::vector<uint8_t> touched;  // ROWS
    std::vector<float> bias, out_w, out_b;
    double loss = 0;
    Gradients();
    void clear_dense();
};
// Adds the gradient of the squared error of one sample (in win probability) to g; returns the error.
double backward(const Model& m, const Sample& s, const Hyper& h, Gradients& g);

// Adam with lazy moments for the bucketed rows (updated only when a batch touches them).
struct Optimizer {
    std::vector<float> mw, vw, mf, vf, mb, vb, mo, vo, mob, vob;
    int64_t step = 0;
    float beta1 = 0.9f, beta2 = 0.999f, eps = 1e-8f;
    float bucket_lr_scale = 1.0f;  // bucketed rows learn at this fraction of the first-layer rate
    Optimizer();
};
// Applies the summed gradients of the workers (divided by batch) with learning rate lr (first layer)
// and lr x out_lr_scale (output layer). Uses `threads` threads; the result does not depend on it.
// Clears the gradients it reads.
void apply_update(Model& m, Optimizer& o, std::vector<Gradients>& g, int batch, float lr, float out_lr_scale,
                  int threads);

// Loss over samples, with the error of each sample computed the same way as in training.
double mean_loss(const Model& m, const std::vector<Sample>& samples, const Hyper& h, int threads);

struct ExportStats {
    int64_t clipped_ft = 0, clipped_out = 0;
};
// Quantises the model into block parameters.
ExportStats quantise(const Model& m, NetworkParams& p);

}  // namespace train
