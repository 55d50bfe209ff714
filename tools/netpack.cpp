// Converts between plain network parameters and the packed block the engine embeds.
//   netpack pack PARAMS BLOCK     parameters file -> block (12-bit first-layer weights)
//   netpack unpack BLOCK PARAMS   block -> parameters file
// The parameters file layout is described in src/eval/network_format.h.
#include <cstdio>
#include <cstring>
#include <memory>
#include "eval/network_format.h"

static int pack(const char* in, const char* out) {
    auto p = std::make_unique<NetworkParams>();
    if (!read_params(in, *p)) {
        std::fprintf(stderr, "%s is not a parameters file of %zu bytes\n", in, PARAMS_FILE_BYTES);
        return 1;
    }
    const long bad = first_unpackable_weight(*p);
    if (bad >= 0) {
        std::fprintf(stderr, "first-layer weight %ld (row %ld, neuron %ld) is %d, outside -1024..3071\n", bad,
                     bad / FT_NEURONS, bad % FT_NEURONS, int(p->ft_weights[size_t(bad)]));
        return 1;
    }
    std::vector<uint8_t> block;
    if (!pack_network(*p, block) || !write_block(out, block)) {
        std::fprintf(stderr, "cannot write %s\n", out);
        return 1;
    }
    if (p->l1_bits != EXPECTED_L1_BITS || p->l2_bits != EXPECTED_L2_BITS)
        std::fprintf(stderr, "warning: constants %d and %d; the engine refuses blocks without %d and %d\n",
                     p->l1_bits, p->l2_bits, EXPECTED_L1_BITS, EXPECTED_L2_BITS);
    std::printf("wrote %s (%zu bytes)\n", out, block.size());
    return 0;
}

static int unpack(const char* in, const char* out) {
    std::vector<uint8_t> block;
    if (!read_block(in, block)) {
        std::fprintf(stderr, "%s is not a block of %zu bytes\n", in, NETWORK_BLOCK_BYTES);
        return 1;
    }
    auto p = std::make_unique<NetworkParams>();
    unpack_network_block(block.data(), *p);
    if (!write_params(out, *p)) {
        std::fprintf(stderr, "cannot write %s\n", out);
        return 1;
    }
    std::printf("wrote %s (%zu bytes)\n", out, PARAMS_FILE_BYTES);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 4 && !std::strcmp(argv[1], "pack")) return pack(argv[2], argv[3]);
    if (argc == 4 && !std::strcmp(argv[1], "unpack")) return unpack(argv[2], argv[3]);
    std::fprintf(stderr, "usage: netpack pack PARAMS BLOCK\n       netpack unpack BLOCK PARAMS\n");
    return 2;
}
