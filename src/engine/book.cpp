#include "engine/book.h"
#include <sys/types.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "board/board.h"
#include "control/search_control.h"
#include "engine/options.h"

namespace {

constexpr int RECORD_SIZE = 16;
constexpr int CASTLE_KEYS = 768;
constexpr int EP_KEYS = 772;
constexpr int TURN_KEY = 780;

struct BookFile {
    FILE* f;
    explicit BookFile(const char* path) : f(std::fopen(path, "rb")) {}
    ~BookFile() {
        if (f) std::fclose(f);
    }
};

uint64_t read_big_endian(const unsigned char* b, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | b[i];
    return v;
}

struct Record {
    uint64_t key;
    uint16_t move;
    uint16_t weight;
};

bool read_record(FILE* f, Record& r) {
    unsigned char b[RECORD_SIZE];
    if (std::fread(b, 1, RECORD_SIZE, f) != RECORD_SIZE) return false;
    r.key = read_big_endian(b, 8);
    r.move = uint16_t(read_big_endian(b + 8, 2));
    r.weight = uint16_t(read_big_endian(b + 10, 2));
    return true;
}

bool read_record_at(FILE* f, uint64_t index, Record& r) {
    return fseeko(f, off_t(index * RECORD_SIZE), SEEK_SET) == 0 && read_record(f, r);
}

}  // namespace

uint64_t polyglot_key(const PositionState& p) {
    const bool white = !p.black_to_move();
    uint64_t key = 0;
    for (int type = PAWN; type <= KING; ++type) {
        for (Bitboard b = p.by_type[type]; b;) {
            const int s = pop_lsb(b);
            const bool white_piece = ((p.own & bit(s)) != 0) == white;
            const int real = white ? s : s ^ 56;  // the book numbers squares from White's side
            key ^= polyglot_random[64 * (2 * (type - 1) + (white_piece ? 1 : 0)) + real];
        }
    }
    // The castling word holds the mover's h-side and a-side rook files, then the opponent's.
    const int own_h = p.castling & 15, own_a = (p.castling >> 4) & 15;
    const int opp_h = (p.castling >> 8) & 15, opp_a = (p.castling >> 12) & 15;
    const int rights[4] = {white ? own_h : opp_h, white ? own_a : opp_a, white ? opp_h : own_h,
                           white ? opp_a : own_a};
    for (int i = 0; i < 4; ++i)
        if (rights[i] != 8) key ^= polyglot_random[CASTLE_KEYS + i];
    if (p.ep_file != NO_EP) key ^= polyglot_random[EP_KEYS + p.ep_file];
    if (white) key ^= polyglot_random[TURN_KEY];
    return key;
}

int read_book_entries(const char* path, uint64_t key, BookEntry* out) {
    BookFile book(path);
    if (!book.f) return 0;
    if (fseeko(book.f, 0, SEEK_END) != 0) return 0;
    const off_t size = ftello(book.f);
    if (size < RECORD_SIZE) return 0;  // also the error value -1
    // A trailing partial record is ignored.
    const uint64_t n = uint64_t(size) / RECORD_SIZE;

    // First record whose key is not below the wanted one; keys sort as unsigned numbers.
    uint64_t lo = 0, hi = n - 1;
    Record r;
    while (lo < hi) {
        const uint64_t mid = lo + (hi - lo) / 2;
        if (!read_record_at(book.f, mid, r)) return 0;
        if (r.key < key)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (!read_record_at(book.f, lo, r) || r.key != key) return 0;

    int count = 0;
    for (uint64_t i = lo;;) {
        out[count++] = {r.move, r.weight};
        if (++i >= n || count == MAX_BOOK_ENTRIES) break;
        if (!read_record(book.f, r)) return 0;
        if (r.key != key) break;
    }
    return count;
}

int choose_book_entry(const BookEntry* entries, int count, bool random, uint32_t seed) {
    uint32_t sum = 0;  // at most 256 x 65535: no overflow
    int best = -1;
    uint32_t best_weight = 0;
    for (int i = 0; i < count; ++i) {
        sum += entries[i].weight;
        if (entries[i].weight > best_weight) {
            best_weight = entries[i].weight;
            best = i;
        }
    }
    // Weight 0 means "never play": a key whose records all have it gives no move.
    if (sum == 0) return -1;
    if (!random) return best;
    std::srand(seed);
    int64_t r = int64_t(uint32_t(std::rand()) % sum);
    for (int i = 0; i < count; ++i) {
        r -= entries[i].weight;
        if (r < 0) return i;
    }
    return best;  // not reached: r is below the sum
}

Move convert_book_move(const PositionState& p, uint16_t book_move) {
    int to = book_move & 63, from = (book_move >> 6) & 63;
    const int promotion = (book_move >> 12) & 7;
    if (p.black_to_move()) {
        from ^= 56;
        to ^= 56;
    }
    // The book writes castling as the king taking its own rook.
    if (from == p.own_king()) {
        if (p.own_h_file() != 8 && to == p.own_h_file()) return make_move_word(KING, from, G1) | MOVE_CASTLE;
        if (p.own_a_file() != 8 && to == p.own_a_file()) return make_move_word(KING, from, C1) | MOVE_CASTLE;
    }
    Move m = Move(from) << MOVE_FROM_SHIFT | Move(to) << MOVE_TO_SHIFT;
    if (promotion >= 1 && promotion <= 4) m |= Move(promotion + 1) << MOVE_PROMOTION_SHIFT;
    return m;
}

Move probe_book_file(const PositionState& p, const char* path, bool random, uint32_t seed) {
    BookEntry entries[MAX_BOOK_ENTRIES];
    Move moves[MAX_BOOK_ENTRIES];
    const int count = read_book_entries(path, polyglot_key(p), entries);
    // A damaged or foreign book (or a key collision) can hold any move field: only records that
    // are legal moves here are candidates, and the legal move itself is what is played.
    int legal = 0;
    for (int i = 0; i < count; ++i) {
        const Move m = convert_book_move(p, entries[i].move);
        if (!m) continue;
        char text[8];
        move_to_text(p, m, text);
        if (const Move found = parse_move(p, text, int(std::strlen(text)))) {
            entries[legal] = entries[i];
            moves[legal++] = found;
        }
    }
    const int chosen = choose_book_entry(entries, legal, random, seed);
    return chosen < 0 ? 0 : moves[chosen];
}

Move probe_book(const PositionState& p) {
    return probe_book_file(p, options.book_file, options.book_random, uint32_t(now_ms()));
}
