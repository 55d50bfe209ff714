// libFuzzer target over Syzygy table files, read by the engine's own loading and probing code.
// The first byte chooses what the rest is:
//   below 2 x TARGET_COUNT: a whole WDL or DTZ file of one of the three- and four-man materials
//     below. It is parsed by setup_table_image (the loader's step after mapping a file) into the
//     registry entry of that material in place of the embedded image, then a fixed set of
//     positions of the material is probed: WDL, DTZ and the root ranking.
//   otherwise: edits to the real five-man file tests/data/tb5/KNNNvK.rtbw (three bytes: a length
//     to cut the file to when below its size; then records of a 24-bit offset and a byte to
//     store there). The edited file is written to a directory given to init_tablebases and
//     probed, so it goes through the whole path of a file on disk: open, map, check, unmap.
// The image is copied into a heap block of exactly its size, so any read outside it is caught.
#include <sys/stat.h>
#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>
#include "board/board.h"
#include "board/movegen.h"
#include "board/tables.h"
#include "engine/options.h"
#include "tablebase/tablebase.h"
#include "tablebase/tb_internal.h"

namespace {

const char* const MATERIALS[] = {"KQvKN", "KNNvK", "KRvKR", "KQvK", "KRPvK", "KNvKP", "KPPvK", "KPvKP"};
constexpr int TARGET_COUNT = int(sizeof MATERIALS / sizeof *MATERIALS);
constexpr int POSITIONS_PER_MATERIAL = 24;
const char* const DISK_MATERIAL = "KNNNvK";

std::vector<std::unique_ptr<Position>> positions[TARGET_COUNT + 1];
std::vector<uint8_t> disk_file;
std::string disk_dir;
// Printed at exit: a run that never gets a file accepted would test only the header checks.
long accepted = 0, rejected = 0, probed = 0;

// Random legal placements of a material given by name (first side white), both sides to move.
void make_positions(const char* material, std::vector<std::unique_ptr<Position>>& out) {
    std::mt19937_64 rng(std::strlen(material) * 7919 + uint64_t(material[1]));
    for (int tries = 0; int(out.size()) < POSITIONS_PER_MATERIAL && tries < 10000; ++tries) {
        char board[64] = {};
        bool white = true;
        for (const char* c = material; *c; ++c) {
            if (*c == 'v') {
                white = false;
                continue;
            }
            int sq;
            do sq = int(rng() % 64);
            while (board[sq] || (*c == 'P' && (sq < 8 || sq >= 56)));
            board[sq] = white ? *c : char(*c + 32);
        }
        std::string fen;
        for (int r = 7; r >= 0; --r) {
            int empty = 0;
            for (int f = 0; f < 8; ++f) {
                if (!board[8 * r + f]) {
                    ++empty;
                    continue;
                }
                if (empty) fen += char('0' + empty);
                empty = 0;
                fen += board[8 * r + f];
            }
            if (empty) fen += char('0' + empty);
            if (r) fen += '/';
        }
        fen += out.size() & 1 ? " b - - 0 1" : " w - - 0 1";
        auto pos = std::make_unique<Position>();
        if (set_position(*pos, fen.c_str(), nullptr) == 0) out.push_back(std::move(pos));
    }
}

void probe_all(std::vector<std::unique_ptr<Position>>& list, bool rank) {
    for (auto& pos : list) {
        ++probed;
        int success;
        const int w = wdl_query(*pos, &success);
        if (success && (w < -2 || w > 2)) std::abort();
        dtz_query(*pos, &success);
        if (!rank) continue;
        const PositionState& p = *pos->current;
        MoveEntry generated[MAX_MOVES];
        MoveEntry* end = generated;
        if (p.in_check()) {
            generate_evasions(p, &end, &end, true);
        } else {
            end = generate_captures(p, end);
            end = generate_underpromotions(p, end);
            end = generate_quiets(p, end, false, true);
        }
        RootMove moves[MAX_MOVES];
        RootMove* last = moves;
        for (MoveEntry* m = generated; m < end; ++m)
            if (is_legal(p, m->move)) *last++ = {gives_check(p, m->move), 0};
        RootMove* const all = last;
        rank_root_by_dtz(*pos, moves, &last);
        if (last < moves || last > all || pos->current != pos->states) std::abort();
    }
}

void fuzz_image(int target, int kind, const uint8_t* bytes, size_t size) {
    uint64_t signature = signature_of_name(MATERIALS[target], nullptr, nullptr);
    int slot;
    TableEntry* e = lookup_table(signature, &slot);
    if (!e) {
        init_tablebases("<empty>");
        e = lookup_table(signature, &slot);
        if (!e) std::abort();
    }
    // Drop the embedded image of this file if an earlier probe loaded it.
    if (e->ready[kind].load()) {
        free_table_decoders(e, kind);
        e->ready[kind].store(0);
        e->data[kind] = nullptr;
    }
    void* block = nullptr;
    if (posix_memalign(&block, 64, size ? size : 1) != 0) return;
    if (size) std::memcpy(block, bytes, size);
    const uint8_t* image = static_cast<const uint8_t*>(block);
    if (!setup_table_image(e, kind, image, size)) {
        ++rejected;
    } else {
        ++accepted;
        e->data[kind] = image;
        e->ready[kind].store(1);
        probe_all(positions[target], true);
        free_table_decoders(e, kind);
        e->ready[kind].store(0);
        e->data[kind] = nullptr;
    }
    std::free(block);
}

void fuzz_disk_file(const uint8_t* edits, size_t size) {
    std::vector<uint8_t> file = disk_file;
    if (size >= 3) {
        const size_t cut = edits[0] | size_t(edits[1]) << 8 | size_t(edits[2]) << 16;
        if (cut < file.size()) file.resize(cut);
        for (size_t i = 3; i + 4 <= size && !file.empty(); i += 4) {
            const size_t at = edits[i] | size_t(edits[i + 1]) << 8 | size_t(edits[i + 2]) << 16;
            file[at % file.size()] = edits[i + 3];
        }
    }
    const std::string path = disk_dir + "/" + DISK_MATERIAL + ".rtbw";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    const bool written = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    if (std::fclose(f) != 0 || !written) return;
    init_tablebases(disk_dir.c_str());
    probe_all(positions[TARGET_COUNT], false);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "w", stdout)) return 0;  // the registry's report lines
    set_option_defaults();
    init_board_tables();
    init_tablebase_indexing();
    init_tablebases("<empty>");
    for (int t = 0; t < TARGET_COUNT; ++t) make_positions(MATERIALS[t], positions[t]);
    make_positions(DISK_MATERIAL, positions[TARGET_COUNT]);

    const std::string source = std::string(TARNVIK_SOURCE_DIR) + "/tests/data/tb5/" + DISK_MATERIAL + ".rtbw";
    if (FILE* f = std::fopen(source.c_str(), "rb")) {
        uint8_t chunk[65536];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) disk_file.insert(disk_file.end(), chunk, chunk + n);
        std::fclose(f);
    }
    if (disk_file.empty()) {
        std::fprintf(stderr, "cannot read %s\n", source.c_str());
        std::abort();
    }
    char dir[] = "/tmp/tarnvik-fuzz-tb-XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    disk_dir = dir;
    std::atexit([] {
        unlink((disk_dir + "/" + DISK_MATERIAL + ".rtbw").c_str());
        rmdir(disk_dir.c_str());
        std::fprintf(stderr, "fuzz_tb: %ld images accepted, %ld rejected, %ld positions probed\n", accepted, rejected,
                     probed);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int choice = data[0];
    if (choice < 2 * TARGET_COUNT)
        fuzz_image(choice / 2, choice & 1 ? TABLE_DTZ : TABLE_WDL, data + 1, size - 1);
    else
        fuzz_disk_file(data + 1, size - 1);
    return 0;
}
