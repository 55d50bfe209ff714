#include "eval/network_format.h"
#include <cstdio>
#include <cstring>

bool pack_network(const NetworkParams& p, std::vector<uint8_t>& block) {
    block.assign(NETWORK_BLOCK_BYTES, 0);
    for (size_t i = 0; i < FT_VALUES; i += 2) {
        const int a = p.ft_weights[i] + 1024, b = p.ft_weights[i + 1] + 1024;
        if (a < 0 || a > 4095 || b < 0 || b > 4095) return false;
        uint8_t* out = &block[i / 2 * 3];
        out[0] = uint8_t(a >> 4);
        out[1] = uint8_t((a & 15) << 4 | b >> 8);
        out[2] = uint8_t(b & 255);
    }
    std::memcpy(&block[BIAS_OFFSET], p.ft_biases.data(), FT_NEURONS * 2);
    std::memcpy(&block[OUT_WEIGHT_OFFSET], p.out_weights.data(), OUT_BUCKETS * OUT_INPUTS);
    std::memcpy(&block[OUT_BIAS_OFFSET], p.out_biases.data(), OUT_BUCKETS * 4);
    std::memcpy(&block[L1_BITS_OFFSET], &p.l1_bits, 4);
    std::memcpy(&block[L2_BITS_OFFSET], &p.l2_bits, 4);
    return true;
}

void unpack_network_block(const uint8_t* block, NetworkParams& p) {
    decode_weights_scalar(block, p.ft_weights.data(), PACKED_FT_BYTES / 48);
    std::memcpy(p.ft_biases.data(), block + BIAS_OFFSET, FT_NEURONS * 2);
    std::memcpy(p.out_weights.data(), block + OUT_WEIGHT_OFFSET, OUT_BUCKETS * OUT_INPUTS);
    std::memcpy(p.out_biases.data(), block + OUT_BIAS_OFFSET, OUT_BUCKETS * 4);
    std::memcpy(&p.l1_bits, block + L1_BITS_OFFSET, 4);
    std::memcpy(&p.l2_bits, block + L2_BITS_OFFSET, 4);
}

bool write_block(const std::string& path, const std::vector<uint8_t>& block) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(block.data(), 1, block.size(), f) == block.size();
    return std::fclose(f) == 0 && ok;
}

bool read_block(const std::string& path, std::vector<uint8_t>& block) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    block.assign(NETWORK_BLOCK_BYTES, 0);
    const bool ok = std::fread(block.data(), 1, block.size(), f) == block.size() && std::fgetc(f) == EOF;
    std::fclose(f);
    return ok;
}
