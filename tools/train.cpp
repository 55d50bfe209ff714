// Trains the evaluation network from labelled positions and writes the packed block.
//
//   train [options] FILE...      (FILE: game files .tvg or lines "<fen> | <score> | <result>",
//                                 plain or .xz; see game_file.h)
//
//   --out PATH        block to write (default trained.nnue)
//   --epochs N        passes over the training positions (default 10)
//   --batch N         positions per step (default 8192)
//   --lr X            first-layer learning rate (default 0.002); the output layer uses X x --out-lr
//   --out-lr X        (default 200: output weights are in centipawns, first-layer values near 1)
//   --bucket-lr X     bucketed rows learn at X times the first-layer rate (default 0.3)
//   --gamma X         learning rate multiplied by X after every epoch (default 0.85)
//   --lambda X        weight of the search score in the target, the rest on the game result (0.75)
//   --k X             sigmoid scale in centipawns (default 400)
//   --val-frac X      last fraction of the last file held out for validation (default 0.05)
//   --threads N       1 or 2 (default 2); the block does not depend on it
//   --seed N          (default 1)
//   --check N         positions of the validation set compared after writing (default 4000)
//   --max-score N     leave out training positions whose |score| exceeds N centipawns (default: keep
//                     all); the validation positions are never filtered, so losses stay comparable
//   --min-ply N       leave out training positions fewer than N plies into their game (by the
//                     fullmove number and side to move; default 0, keep all)
//
// The block written is the model of the epoch with the lowest validation loss. After writing it, the
// block is loaded into the engine's evaluation and compared with the float model.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>
#include "board/board.h"
#include "board/tables.h"
#include "eval/evaluate.h"
#include "eval/network.h"
#include "trainer.h"

using namespace train;
using Clock = std::chrono::steady_clock;

namespace {

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string fmt_time(double s) {
    char buf[32];
    const long t = long(s);
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", t / 3600, t / 60 % 60, t % 60);
    return buf;
}

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: train [--out PATH] [--epochs N] [--batch N] [--lr X] [--out-lr X] [--bucket-lr X] [--gamma X] "
                         "[--lambda X] [--k X] [--val-frac X] [--threads N] [--seed N] [--check N] [--max-score N] [--min-ply N] FILE...\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    std::string out_path = "trained.nnue";
    int epochs = 10, batch = 8192, threads = 2, check = 4000, min_ply = 0;
    float lr = 0.002f, out_lr = 200.0f, bucket_lr = 0.3f, gamma = 0.85f, val_frac = 0.05f;
    float max_score = std::numeric_limits<float>::infinity();
    uint64_t seed = 1;
    Hyper hyper;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) usage();
            return argv[++i];
        };
        if (a == "--out") out_path = value();
        else if (a == "--epochs") epochs = std::atoi(value());
        else if (a == "--batch") batch = std::atoi(value());
        else if (a == "--lr") lr = float(std::atof(value()));
        else if (a == "--out-lr") out_lr = float(std::atof(value()));
        else if (a == "--bucket-lr") bucket_lr = float(std::atof(value()));
        else if (a == "--gamma") gamma = float(std::atof(value()));
        else if (a == "--lambda") hyper.lambda = float(std::atof(value()));
        else if (a == "--k") hyper.k = float(std::atof(value()));
        else if (a == "--val-frac") val_frac = float(std::atof(value()));
        else if (a == "--threads") threads = std::clamp(std::atoi(value()), 1, 2);
        else if (a == "--seed") seed = std::strtoull(value(), nullptr, 10);
        else if (a == "--check") check = std::atoi(value());
        else if (a == "--max-score") max_score = float(std::atof(value()));
        else if (a == "--min-ply") min_ply = std::atoi(value());
        else if (a.size() > 1 && a[0] == '-') usage();
        else files.push_back(a);
    }
    if (files.empty() || epochs < 1 || batch < 2 || hyper.k <= 0 || val_frac < 0 || val_frac >= 1 || !(max_score >= 0) || min_ply < 0) usage();
    // The validation part is taken from the last file in name order (the name without its folder), so
    // the split depends neither on the order of the arguments nor on where the files are kept.
    auto base_name = [](const std::string& path) { return path.substr(path.find_last_of('/') + 1); };
    std::sort(files.begin(), files.end(), [&](const std::string& a, const std::string& b) {
        const std::string na = base_name(a), nb = base_name(b);
        return na != nb ? na < nb : a < b;
    });
    init_board_tables();

    auto t0 = Clock::now();
    std::vector<Sample> train_set, val_set;
    std::vector<PositionState> val_positions;
    long rejected = 0, filtered = 0, early = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        std::vector<Sample> part;
        std::vector<PositionState> positions;
        const bool last = i + 1 == files.size();
        std::string error;
        if (!read_samples(files[i], [&](const Sample& s, const PositionState& p) {
                part.push_back(s);
                if (last) positions.push_back(p);
            }, rejected, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        std::printf("%s: %zu positions\n", files[i].c_str(), part.size());
        size_t keep = part.size();
        if (last) keep = part.size() - size_t(double(part.size()) * val_frac);
        for (size_t j = 0; j < keep; ++j)
            if (std::fabs(part[j].score) > max_score) ++filtered;
            else if (part[j].ply < min_ply) ++early;
            else train_set.push_back(part[j]);
        if (last) {
            val_set.assign(part.begin() + long(keep), part.end());
            val_positions.assign(positions.begin() + long(keep), positions.end());
        }
    }
    std::printf("training positions %zu, validation positions %zu, rejected lines %ld, left out by --max-score %ld, "
                "by --min-ply %ld, loaded in %.1f s\n",
                train_set.size(), val_set.size(), rejected, filtered, early, since(t0));
    if (train_set.size() < size_t(batch)) {
        std::fprintf(stderr, "fewer training positions than one batch\n");
        return 1;
    }
    std::printf("epochs %d, batch %d, lr %g (output x%g, buckets x%g), gamma %g, lambda %g, K %g, seed %llu, threads %d\n", epochs,
                batch, lr, out_lr, bucket_lr, gamma, hyper.lambda, hyper.k, (unsigned long long)seed, threads);
    std::fflush(stdout);

    auto model = std::make_unique<Model>();
    model->init(seed);
    auto best = std::make_unique<Model>(*model);
    auto opt = std::make_unique<Optimizer>();
    opt->bucket_lr_scale = bucket_lr;
    const int shards = 2;  // fixed, so that the sums do not depend on the thread count
    std::vector<Gradients> grads(shards);
    std::mt19937_64 rng(seed ^ 0x9e3779b97f4a7c15ULL);
    std::vector<uint32_t> order(train_set.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = uint32_t(i);

    double best_val = mean_loss(*model, val_set, hyper, threads);
    std::printf("epoch 0: validation loss %.6f\n", best_val);
    int best_epoch = 0;
    const size_t batches = train_set.size() / size_t(batch);
    const auto start = Clock::now();
    auto last_print = start;
    float rate = lr;
    for (int e = 1; e <= epochs; ++e) {
        std::shuffle(order.begin(), order.end(), rng);
        double train_loss = 0;
        for (size_t b = 0; b < batches; ++b) {
            const uint32_t* idx = &order[b * size_t(batch)];
            auto work = [&](int s) {
                for (int i = batch * s / shards; i < batch * (s + 1) / shards; ++i)
                    backward(*model, train_set[idx[i]], hyper, grads[s]);
            };
            if (threads > 1) {
                std::thread other(work, 1);
                work(0);
                other.join();
            } else {
                for (int s = 0; s < shards; ++s) work(s);
            }
            for (auto& g : grads) train_loss += g.loss;
            apply_update(*model, *opt, grads, batch, rate, out_lr, threads);
            if (since(last_print) > 10 || b + 1 == batches) {
                last_print = Clock::now();
                const double done = double(e - 1) * double(batches) + double(b + 1);
                const double elapsed = since(start);
                const double pps = done * batch / elapsed;
                const double eta = elapsed / done * (double(epochs) * double(batches) - done);
                std::printf("epoch %d batch %zu/%zu  train loss %.6f  %.0f pos/s  elapsed %s  ETA %s\n", e, b + 1,
                            batches, train_loss / (double(b + 1) * batch), pps, fmt_time(elapsed).c_str(),
                            fmt_time(eta).c_str());
                std::fflush(stdout);
            }
        }
        const double val = mean_loss(*model, val_set, hyper, threads);
        const bool better = val < best_val || val_set.empty();
        std::printf("epoch %d: train loss %.6f  validation loss %.6f  lr %g%s\n", e,
                    train_loss / (double(batches) * batch), val, rate, better ? "  (best)" : "");
        std::fflush(stdout);
        if (better) {
            best_val = val;
            best_epoch = e;
            *best = *model;
        }
        rate *= gamma;
    }
    std::printf("best epoch %d, validation loss %.6f, training time %s\n", best_epoch, best_val,
                fmt_time(since(start)).c_str());

    auto params = std::make_unique<NetworkParams>();
    const ExportStats st = quantise(*best, *params);
    std::vector<uint8_t> block;
    if (!pack_network(*params, block) || !write_block(out_path, block)) {
        std::fprintf(stderr, "cannot write %s\n", out_path.c_str());
        return 1;
    }
    std::printf("wrote %s (%zu bytes); clipped first-layer values %lld, output weights %lld\n", out_path.c_str(),
                block.size(), (long long)st.clipped_ft, (long long)st.clipped_out);

    // Read the file back and compare the engine's evaluation with the float model.
    std::vector<uint8_t> written;
    if (!read_block(out_path, written) || written.size() != NETWORK_BLOCK_BYTES) {
        std::fprintf(stderr, "cannot read back %s\n", out_path.c_str());
        return 1;
    }
    load_network(written.data());
    auto acc = std::make_unique<Accumulator>();
    const size_t n = std::min(val_set.size(), size_t(std::max(check, 0)));
    double sum = 0, max_diff = 0, sum_abs_eval = 0;
    for (size_t i = 0; i < n; ++i) {
        const PositionState& s = val_positions[i];
        refresh_perspective(s, false, acc->values[0]);
        refresh_perspective(s, true, acc->values[1]);
        const int engine = network_output(*acc, popcount(s.by_type[0]));
        const double d = std::fabs(engine - double(forward(*best, val_set[i])));
        sum += d;
        sum_abs_eval += std::abs(engine);
        max_diff = std::max(max_diff, d);
    }
    if (n)
        std::printf("check on %zu validation positions: engine vs float model mean |diff| %.2f cp, max %.2f cp "
                    "(mean |eval| %.0f cp)\n",
                    n, sum / double(n), max_diff, sum_abs_eval / double(n));
    return 0;
}
