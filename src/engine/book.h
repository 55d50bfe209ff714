// Polyglot opening book lookup.
#pragma once
#include <cstdint>
#include "board/position.h"

// One matching record of the book: its move field and weight.
struct BookEntry {
    uint16_t move;
    uint16_t weight;
};

// Candidates held per lookup; further records of the same key are not read.
constexpr int MAX_BOOK_ENTRIES = 256;

extern const uint64_t polyglot_random[781];

// The standard Polyglot hash of a position.
uint64_t polyglot_key(const PositionState& p);

// Reads the records of one key from a book file into out (room for MAX_BOOK_ENTRIES), in file
// order. Returns their number: 0 when the file is missing, unreadable or does not hold the key.
int read_book_entries(const char* path, uint64_t key, BookEntry* out);

// Index of the candidate to play, or -1 when none may be played (every weight 0). Without random
// the first of the highest weight; with random a draw seeded with seed, in proportion to weight.
int choose_book_entry(const BookEntry* entries, int count, bool random, uint32_t seed);

// The engine move for a Polyglot move field in this position (castling, promotion and the
// mirrored board of Black are converted); 0 for a move field that converts to nothing.
Move convert_book_move(const PositionState& p, uint16_t book_move);

// Lookup with explicit file and choice parameters. Records that are not legal moves of the
// position are left out before the choice; the move returned is always legal (or 0).
Move probe_book_file(const PositionState& p, const char* path, bool random, uint32_t seed);

// A move from the book file of the options (BookFile, BookRandom) for this position, or 0. The
// random choice is seeded with the monotonic clock in milliseconds.
Move probe_book(const PositionState& p);
