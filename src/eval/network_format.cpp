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

namespace {

template <typename T>
bool write_all(FILE* f, const std::vector<T>& v) {
    return std::fwrite(v.data(), sizeof(T), v.size(), f) == v.size();
}

template <typename T>
bool read_all(FILE* f, std::vector<T>& v) {
    return std::fread(v.data(), sizeof(T), v.size(), f) == v.size();
}

}  // namespace

bool write_params(const std::string& path, const NetworkParams& p) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = write_all(f, p.ft_weights) && write_all(f, p.ft_biases) && write_all(f, p.out_weights) &&
              write_all(f, p.out_biases) && std::fwrite(&p.l1_bits, 4, 1, f) == 1 &&
              std::fwrite(&p.l2_bits, 4, 1, f) == 1;
    return std::fclose(f) == 0 && ok;
}

bool read_params(const std::string& path, NetworkParams& p) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    const bool ok = read_all(f, p.ft_weights) && read_all(f, p.ft_biases) && read_all(f, p.out_weights) &&
                    read_all(f, p.out_biases) && std::fread(&p.l1_bits, 4, 1, f) == 1 &&
                    std::fread(&p.l2_bits, 4, 1, f) == 1 && std::fgetc(f) == EOF;
    std::fclose(f);
    return ok;
}

long first_unpackable_weight(const NetworkParams& p) {
    for (size_t i = 0; i < p.ft_weights.size(); ++i)
        if (p.ft_weights[i] < -1024 || p.ft_weights[i] > 3071) return long(i);
    return -1;
}
