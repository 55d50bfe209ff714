// Writes the first network: a material and piece-square evaluation expressed in the network's
// exact format, so that the engine plays sensible chess before a trained network exists.
//
//   make_first_net OUTPUT
//
// Values: pawn 100, knight 320, bishop 330, rook 500, queen 900, with the widely published
// "simplified evaluation function" piece-square tables, made left-right symmetric (the network
// mirrors the board when the king stands on files e-h, so only symmetric tables are representable).
//
// Construction: every perspective gives each (slot, square) feature two dedicated first-layer
// neurons (640 features x 2 = 1,280 of the 1,536). A feature of value V sets both neurons to about
// V/2 x 64/127 / 2 each in the clipped range, so that through output weights of +-127 and the final
// division by 64 each perspective contributes V/2. The side to move's pieces count positively and
// the opponent's negatively, in both halves, so the output is (own - opponent) material and
// position. All king buckets and all eight output buckets are the same; biases are zero.
#include <cmath>
#include <cstdio>
#include "eval/network_format.h"

static const int MATERIAL[6] = {0, 100, 320, 330, 500, 900};

// Rank 8 first, as usually printed, from the owner's side.
static const int PST[6][64] = {
    {},
    {0,  0,  0,  0,  0,  0,  0,  0,  50, 50, 50,  50,  50,  50, 50, 50, 10, 10, 20, 30, 30, 20, 10, 10,
     5,  5,  10, 25, 25, 10, 5,  5,  0,  0,  0,   20,  20,  0,  0,  0,  5,  -5, -10, 0, 0,  -10, -5, 5,
     5,  10, 10, -20, -20, 10, 10, 5, 0,  0,  0,   0,   0,   0,  0,  0},
    {-50, -40, -30, -30, -30, -30, -40, -50, -40, -20, 0,   0,   0,   0,   -20, -40,
     -30, 0,   10,  15,  15,  10,  0,   -30, -30, 5,   15,  20,  20,  15,  5,   -30,
     -30, 0,   15,  20,  20,  15,  0,   -30, -30, 5,   10,  15,  15,  10,  5,   -30,
     -40, -20, 0,   5,   5,   0,   -20, -40, -50, -40, -30, -30, -30, -30, -40, -50},
    {-20, -10, -10, -10, -10, -10, -10, -20, -10, 0,   0,   0,   0,   0,   0,   -10,
     -10, 0,   5,   10,  10,  5,   0,   -10, -10, 5,   5,   10,  10,  5,   5,   -10,
     -10, 0,   10,  10,  10,  10,  0,   -10, -10, 10,  10,  10,  10,  10,  10,  -10,
     -10, 5,   0,   0,   0,   0,   5,   -10, -20, -10, -10, -10, -10, -10, -10, -20},
    {0,  0, 0, 0, 0, 0, 0, 0,  5,  10, 10, 10, 10, 10, 10, 5,  -5, 0, 0, 0, 0, 0, 0, -5,
     -5, 0, 0, 0, 0, 0, 0, -5, -5, 0,  0,  0,  0,  0,  0,  -5, -5, 0, 0, 0, 0, 0, 0, -5,
     -5, 0, 0, 0, 0, 0, 0, -5, 0,  0,  0,  5,  5,  0,  0,  0},
    {-20, -10, -10, -5, -5, -10, -10, -20, -10, 0,   0,   0,  0,  0,   0,   -10,
     -10, 0,   5,   5,  5,  5,   0,   -10, -5,  0,   5,   5,  5,  5,   0,   -5,
     0,   0,   5,   5,  5,  5,   0,   -5,  -10, 5,   5,   5,  5,  5,   0,   -10,
     -10, 0,   5,   0,  0,  0,   0,   -10, -20, -10, -10, -5, -5, -10, -10, -20},
};

// Value of a piece of this type on square sq (a1 = 0) seen from its owner, symmetric in files.
static double piece_value(int type, int sq) {
    const int rank = sq >> 3, file = sq & 7;
    const int a = PST[type][(7 - rank) * 8 + file], b = PST[type][(7 - rank) * 8 + (7 - file)];
    return MATERIAL[type] + (a + b) / 2.0;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_first_net OUTPUT\n");
        return 2;
    }
    NetworkParams p;
    for (int slot = 0; slot < 10; ++slot) {
        const bool own = slot < 5;
        const int type = slot % 5 + 1;
        for (int sq = 0; sq < 64; ++sq) {
            // Opponent pieces are seen from the other end of the board.
            const double v = piece_value(type, own ? sq : sq ^ 56);
            const int total = int(std::lround(v / 2 * 64 / 127));
            const int x1 = total / 2, x2 = total - x1;
            const int n = 2 * (64 * slot + sq);
            for (int bucket = 0; bucket < 32; ++bucket) {
                const size_t row = size_t(640 * bucket + 64 * slot + sq) * FT_NEURONS;
                p.ft_weights[row + n] = int16_t(2 * x1);
                p.ft_weights[row + n + 1] = int16_t(2 * x2);
            }
            for (int b = 0; b < OUT_BUCKETS; ++b)
                for (int k = 0; k < 2; ++k) {
                    p.out_weights[b * OUT_INPUTS + n + k] = int8_t(own ? 127 : -127);
                    p.out_weights[b * OUT_INPUTS + FT_NEURONS + n + k] = int8_t(own ? -127 : 127);
                }
        }
    }
    std::vector<uint8_t> block;
    if (!pack_network(p, block) || !write_block(argv[1], block)) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("wrote %s (%zu bytes)\n", argv[1], block.size());
    return 0;
}
