// libFuzzer target over a Polyglot book file. The input is the whole file: it is written to a
// temporary file and read by the engine's own lookup, as the go driver reads BookFile.
//   - probe_book_file on a fixed set of opening, castling, promotion and Chess960 positions,
//     with and without BookRandom; a move it returns must be legal in the position;
//   - read_book_entries for keys taken from the file itself (first, middle and last record), so
//     that mutated files keep finding records, then the choice and conversion of what it read.
#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include "board/board.h"
#include "board/tables.h"
#include "engine/book.h"
#include "engine/options.h"

namespace {

struct FuzzPosition {
    const char* fen;
    const char* moves;
    bool chess960;
};

const FuzzPosition POSITIONS[] = {
    {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", nullptr, false},
    {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", "e2e4", false},
    {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", "d2d4 g8f6", false},
    {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", "e2e4 c7c5 g1f3", false},
    // White castles next in the book line; then Black.
    {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", "e2e4 e7e5 g1f3 b8c6 f1b5 a7a6 b5a4 g8f6", false},
    {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
     "e2e4 e7e5 g1f3 b8c6 f1b5 a7a6 b5a4 g8f6 e1g1 f8e7 f1e1 b7b5 a4b3 d7d6 c2c3", false},
    // An en-passant key and a Black move.
    {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", "e2e4 g8f6 e4e5 d7d5", false},
    {"r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1", nullptr, false},
    {"r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R b KQkq - 0 1", nullptr, false},
    {"8/P6k/8/8/8/8/8/K7 w - - 0 1", nullptr, false},
    {"k7/8/8/8/8/8/p6K/8 b - - 0 1", nullptr, false},
    {"rk5r/pppppppp/8/8/8/8/PPPPPPPP/RK5R w HAha - 0 1", nullptr, true},
};
constexpr int POSITION_COUNT = int(sizeof POSITIONS / sizeof *POSITIONS);

std::unique_ptr<Position> positions[POSITION_COUNT];
char book_path[64];

[[noreturn]] void fail(const char* what, const PositionState& p, Move m) {
    char fen[FEN_BUFFER], text[8];
    std::fprintf(stderr, "%s: %s in %s\n", what, move_to_text(p, m, text), position_to_fen(p, fen));
    std::abort();
}

void check_answer(const PositionState& p, Move m) {
    if (!m) return;
    char text[8];
    move_to_text(p, m, text);
    const size_t n = std::strlen(text);
    if (n < 4 || n > 5) fail("malformed move text", p, m);
    if (!parse_move(p, text, int(n))) fail("illegal book move", p, m);
}

uint64_t key_of_record(const uint8_t* data, size_t size, size_t index) {
    uint64_t k = 0;
    for (int i = 0; i < 8 && index * 16 + size_t(i) < size; ++i) k = k << 8 | data[index * 16 + size_t(i)];
    return k;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    set_option_defaults();
    init_board_tables();
    std::snprintf(book_path, sizeof book_path, "/tmp/tarnvik-fuzz-book-%d.bin", int(getpid()));
    for (int i = 0; i < POSITION_COUNT; ++i) {
        positions[i] = std::make_unique<Position>();
        options.chess960 = POSITIONS[i].chess960;
        if (set_position(*positions[i], POSITIONS[i].fen, POSITIONS[i].moves) < 0) std::abort();
    }
    options.chess960 = false;
    std::atexit([] { unlink(book_path); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(book_path, "wb");
    if (!f) return 0;
    const bool written = std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !written) return 0;

    uint32_t seed = 0;
    for (size_t i = 0; i < size && i < 64; ++i) seed = seed * 31 + data[i];
    for (int i = 0; i < POSITION_COUNT; ++i) {
        const PositionState& p = *positions[i]->current;
        options.chess960 = POSITIONS[i].chess960;
        check_answer(p, probe_book_file(p, book_path, false, seed));
        check_answer(p, probe_book_file(p, book_path, true, seed));
    }

    const size_t records = size / 16;
    if (records > 0) {
        const size_t picks[3] = {0, records / 2, records - 1};
        BookEntry entries[MAX_BOOK_ENTRIES];
        for (size_t index : picks) {
            const int n = read_book_entries(book_path, key_of_record(data, size, index), entries);
            if (n < 0 || n > MAX_BOOK_ENTRIES) std::abort();
            for (int random = 0; random < 2; ++random) {
                const int c = choose_book_entry(entries, n, random, seed);
                if (c < -1 || c >= n) std::abort();
                if (c < 0) continue;
                // Any move field, converted in any position, must print as move text.
                for (int i = 0; i < POSITION_COUNT; i += 4) {
                    const PositionState& p = *positions[i]->current;
                    char text[8];
                    move_to_text(p, convert_book_move(p, entries[c].move), text);
                }
            }
        }
    }
    options.chess960 = false;
    return 0;
}
