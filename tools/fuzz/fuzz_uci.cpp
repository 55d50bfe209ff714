// libFuzzer target over the text the engine reads from outside.
//   first byte even: the rest is "<fen>[|<move list>]" for set_position (bit 1: Chess960 mode);
//                    every accepted position is checked against its invariants, its FEN round
//                    trip and the text round trip of each legal move, and one ply is played.
//   first byte odd:  the rest is a session of protocol lines, cut as the command loop's reader
//                    cuts them, fed to the command handler; each "go" is stopped at once.
#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>
#include "board/board.h"
#include "board/movegen.h"
#include "board/tables.h"
#include "control/search_control.h"
#include "engine/options.h"
#include "engine/uci.h"
#include "eval/evaluate.h"
#include "platform/memory.h"
#include "search/reductions.h"
#include "tablebase/tablebase.h"

namespace {

constexpr size_t READ_LIMIT = 16383;  // the command loop's fgets reads at most this per line

[[noreturn]] void fail(const char* what, const PositionState& p) {
    char fen[FEN_BUFFER];
    std::fprintf(stderr, "invariant broken: %s in %s\n", what, position_to_fen(p, fen));
    std::abort();
}

uint64_t key_from_scratch(const PositionState& p) {
    const int c = p.colour();
    uint64_t k = 0;
    for (int t = PAWN; t <= KING; ++t) {
        for (Bitboard b = p.by_type[t] & p.own; b;) k ^= position_keys[64 * (t + 8 * c) + pop_lsb(b)];
        for (Bitboard b = p.by_type[t] & p.them(); b;) k ^= position_keys[64 * (t + 8 * (1 - c)) + (pop_lsb(b) ^ 56)];
    }
    for (int side = 0; side < 2; ++side)
        for (int wing = 0; wing < 2; ++wing)
            if (((p.castling >> (8 * side + 4 * wing)) & 15) != 8)
                k ^= position_keys[KEY_CASTLING + (side == 0 ? c : 1 - c) + 2 * wing];
    if (p.ep_file != NO_EP) k ^= position_keys[KEY_EP + p.ep_file];
    if (p.black_to_move()) k ^= position_keys[KEY_SIDE];
    return k;
}

void check_record(const Position& pos) {
    if (pos.current < pos.states || pos.current - pos.states + MAX_PLY >= POSITION_STACK_SIZE)
        fail("stack", *pos.current);
    const PositionState& p = *pos.current;
    Bitboard all = 0;
    for (int t = PAWN; t <= KING; ++t) {
        if (all & p.by_type[t]) fail("overlapping types", p);
        all |= p.by_type[t];
    }
    if (all != p.by_type[0] || (p.own & ~all)) fail("occupancy", p);
    if (popcount(p.own_of(KING)) != 1 || popcount(p.their(KING)) != 1) fail("kings", p);
    if (p.by_type[PAWN] & (RANK_1 | RANK_8)) fail("pawn on an end rank", p);
    if (p.key != key_from_scratch(p)) fail("key", p);
    if (p.in_check() != square_attacked(p, p.own_king(), p.by_type[0])) fail("check flag", p);
    // The side that has just moved is never in check.
    const Bitboard occ = p.by_type[0];
    const int ek = p.their_king();
    if ((pawn_attacks_down[ek] & p.own_of(PAWN)) || (knight_attacks[ek] & p.own_of(KNIGHT)) ||
        (king_attacks[ek] & p.own_of(KING)) || (bishop_attacks(ek, occ) & (p.own_of(BISHOP) | p.own_of(QUEEN))) ||
        (rook_attacks(ek, occ) & (p.own_of(ROOK) | p.own_of(QUEEN))))
        fail("side not to move in check", p);
    if (p.ep_file != NO_EP && (p.ep_file < 0 || p.ep_file > 7 || !(p.own_of(PAWN) & ep_neighbours_rank5[p.ep_file]) ||
                               !(p.their(PAWN) & bit(32 + p.ep_file))))
        fail("en passant", p);
    for (int side = 0; side < 2; ++side)
        for (int wing = 0; wing < 2; ++wing) {
            const int f = (p.castling >> (8 * side + 4 * wing)) & 15;
            if (f == 8) continue;
            const Bitboard rooks = side == 0 ? p.own_of(ROOK) : byte_reverse(p.their(ROOK));
            const Bitboard king = side == 0 ? p.own_of(KING) : byte_reverse(p.their(KING));
            if (f > 7 || !(rooks & bit(f)) || !(king & RANK_1) || (wing == 0) != (file_of(lsb(king)) < f))
                fail("castling right without its king and rook", p);
        }
    if (p.rule50 < 0 || p.rule50 + MAX_PLY > 32767) fail("halfmove clock", p);
}

void check_position_deeply(Position& pos) {
    check_record(pos);
    const PositionState& p = *pos.current;
    char fen[FEN_BUFFER];
    position_to_fen(p, fen);
    static auto again = std::make_unique<Position>();
    if (set_position(*again, fen, nullptr) != 0 || again->current->key != p.key) fail("FEN round trip", p);

    MoveEntry list[256];
    MoveEntry* end = list;
    if (p.in_check()) {
        generate_evasions(p, &end, &end, true);
    } else {
        end = generate_captures(p, end);
        end = generate_underpromotions(p, end);
        end = generate_quiets(p, end, false, false);
    }
    if (end - list > 256) fail("move list overflow", p);
    for (MoveEntry* e = list; e < end; ++e) {
        if (!is_legal(p, e->move)) continue;
        const Move m = gives_check(p, e->move);
        char text[8];
        move_to_text(p, m, text);
        const Move back = parse_move(p, text, int(std::strlen(text)));
        if ((back & ~MOVE_CHECK) != (m & ~MOVE_CHECK)) fail("move text round trip", p);
        make_move(pos, m, nullptr);
        check_record(pos);
        unmake(pos);
    }
}

void fuzz_set_position(const uint8_t* data, size_t size, bool chess960) {
    static auto pos = std::make_unique<Position>();
    std::string text(reinterpret_cast<const char*>(data), size);
    const char* moves = nullptr;
    const size_t bar = text.find('|');
    if (bar != std::string::npos) {
        text[bar] = 0;
        moves = text.c_str() + bar + 1;
    }
    options.chess960 = chess960;
    if (set_position(*pos, text.c_str(), moves) >= 0) check_position_deeply(*pos);
    options.chess960 = false;
}

void feed_line(std::string line) {
    // Lines that would touch the file system or size memory beyond a fuzzing run are left out;
    // their parsing is the same table match as every other option.
    if (line.rfind("setoption name SyzygyPath", 0) == 0 || line.rfind("setoption name BookFile", 0) == 0) return;
    handle_command(line.data());
    options.hash = 1;
    options.threads = options.threads > 2 ? 2 : options.threads < 1 ? 1 : options.threads;
    options.large_pages = false;
    options.own_book = false;
    if (line.rfind("go", 0) == 0) {
        char stop[] = "stop\n";
        handle_command(stop);
        search_gate.acquire();
        search_gate.release();
    }
    if (threads && threads[0].position.current) check_record(threads[0].position);
}

void fuzz_session(const uint8_t* data, size_t size) {
    if (!search_memory_allocated()) allocate_search_memory();
    size_t start = 0;
    while (start < size) {
        size_t end = start;
        while (end < size && end - start < READ_LIMIT && data[end] != '\n') ++end;
        if (end < size && data[end] == '\n' && end - start < READ_LIMIT) ++end;
        // A line as fgets leaves it in the buffer: its bytes and a terminating NUL.
        std::string line(reinterpret_cast<const char*>(data) + start, end - start);
        feed_line(line + '\0');
        start = end;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    set_option_defaults();
    control.output_lock.unlock();
    init_board_tables();
    init_reductions();
    init_tablebase_indexing();
    tb_largest = init_tablebases("<empty>");
    unpack_network();
    options.hash = 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if (data[0] & 1)
        fuzz_session(data + 1, size - 1);
    else
        fuzz_set_position(data + 1, size - 1, data[0] & 2);
    return 0;
}
