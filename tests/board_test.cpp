// Board code against independent references: a slow square-by-square attack walk, keys rebuilt
// from the pieces, FEN round trips, published perft counts and the hand-worked cases below.
#include <gtest/gtest.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>
#include "board/board.h"
#include "board/movegen.h"
#include "board/root_moves.h"
#include "board/tables.h"
#include "control/search_thread.h"
#include "engine/options.h"

namespace {

void init_once() {
    static bool done = false;
    if (!done) {
        init_board_tables();
        done = true;
    }
}

// Chess960 mode for the lifetime of the guard.
struct Chess960Mode {
    bool saved = options.chess960;
    explicit Chess960Mode(bool on) { options.chess960 = on; }
    ~Chess960Mode() { options.chess960 = saved; }
};

std::unique_ptr<Position> make_position(const std::string& fen, const char* moves = nullptr) {
    auto pos = std::make_unique<Position>();
    std::string list = moves ? moves : "";
    const int r = set_position(*pos, fen.c_str(), moves ? list.c_str() : nullptr);
    EXPECT_GE(r, 0) << fen;
    if (r < 0) set_position(*pos, START_FEN, nullptr);  // keeps the caller's reads defined
    return pos;
}

int sq(const char* name) { return 8 * (name[1] - '1') + (name[0] - 'a'); }

Bitboard squares(std::initializer_list<const char*> names) {
    Bitboard b = 0;
    for (const char* n : names) b |= bit(sq(n));
    return b;
}

std::string fen_of(const PositionState& p) {
    char buf[FEN_BUFFER];
    return position_to_fen(p, buf);
}

// --- Slow references, written square by square without the engine's tables -------------------

const int ROOK_STEPS[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
const int BISHOP_STEPS[4][2] = {{1, 1}, {1, -1}, {-1, 1}, {-1, -1}};
const int KNIGHT_STEPS[8][2] = {{1, 2}, {2, 1}, {2, -1}, {1, -2}, {-1, -2}, {-2, -1}, {-2, 1}, {-1, 2}};
const int KING_STEPS[8][2] = {{1, 0}, {1, 1}, {0, 1}, {-1, 1}, {-1, 0}, {-1, -1}, {0, -1}, {1, -1}};

Bitboard walk(int s, Bitboard occ, const int (*steps)[2], int n, bool slide) {
    Bitboard a = 0;
    for (int i = 0; i < n; ++i) {
        int r = rank_of(s), f = file_of(s);
        for (;;) {
            r += steps[i][0];
            f += steps[i][1];
            if (r < 0 || r > 7 || f < 0 || f > 7) break;
            a |= bit(8 * r + f);
            if (!slide || (occ & bit(8 * r + f))) break;
        }
    }
    return a;
}

// Whether square s is attacked by the side to move's pieces (by_own) or by the opponent's.
bool attacked_slow(const PositionState& p, int s, bool by_own) {
    const Bitboard side = by_own ? p.own : p.them(), occ = p.by_type[0];
    const int up = by_own ? 1 : -1;
    const int pawn_steps[2][2] = {{up, 1}, {up, -1}};
    for (Bitboard b = side; b;) {
        const int from = pop_lsb(b);
        Bitboard a = 0;
        switch (p.piece_on(from)) {
        case PAWN: a = walk(from, occ, pawn_steps, 2, false); break;
        case KNIGHT: a = walk(from, occ, KNIGHT_STEPS, 8, false); break;
        case BISHOP: a = walk(from, occ, BISHOP_STEPS, 4, true); break;
        case ROOK: a = walk(from, occ, ROOK_STEPS, 4, true); break;
        case QUEEN: a = walk(from, occ, BISHOP_STEPS, 4, true) | walk(from, occ, ROOK_STEPS, 4, true); break;
        case KING: a = walk(from, occ, KING_STEPS, 8, false); break;
        }
        if (a & bit(s)) return true;
    }
    return false;
}

// The key as the sum of its parts, read off the record.
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

// Every pseudo-legal move the generators produce for this position, as the search would see it.
std::vector<Move> pseudo_moves(const PositionState& p) {
    MoveEntry list[256];
    MoveEntry* end = list;
    if (p.in_check()) {
        generate_evasions(p, &end, &end, true);
    } else {
        end = generate_captures(p, end);
        end = generate_underpromotions(p, end);
        end = generate_quiets(p, end, false, false);
    }
    std::vector<Move> out;
    for (MoveEntry* e = list; e < end; ++e) out.push_back(e->move);
    return out;
}

// Legal moves with the check bit as make_move needs it.
std::vector<Move> legal_moves(const PositionState& p) {
    std::vector<Move> out;
    for (Move m : pseudo_moves(p))
        if (is_legal(p, m)) out.push_back((m & (MOVE_CAPTURE | MOVE_PROMOTION)) ? gives_check(p, m) : m);
    return out;
}

// The record fields that a FEN determines (everything but the repetition flag).
void expect_same_record(const PositionState& a, const PositionState& b, const std::string& where) {
    for (int t = 0; t < 7; ++t) EXPECT_EQ(a.by_type[t], b.by_type[t]) << where << " by_type " << t;
    EXPECT_EQ(a.own, b.own) << where;
    EXPECT_EQ(a.key, b.key) << where;
    EXPECT_EQ(a.castling, b.castling) << where;
    EXPECT_EQ(a.ep_file, b.ep_file) << where;
    EXPECT_EQ(a.rule50, b.rule50) << where;
    EXPECT_EQ(a.flags & ~REPETITION, b.flags & ~REPETITION) << where;
}

std::vector<std::string> read_lines(const std::string& name) {
    std::ifstream in(std::string(TARNVIK_SOURCE_DIR) + "/tests/data/" + name);
    EXPECT_TRUE(in.good()) << name;
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (line.find(';') != std::string::npos) lines.push_back(line);
    return lines;
}

std::string fen_part(const std::string& epd_line) {
    std::string fen = epd_line.substr(0, epd_line.find(';'));
    while (!fen.empty() && fen.back() == ' ') fen.pop_back();
    return fen;
}

// A Chess960 start position from a seed, castling rights written with file letters.
std::string chess960_start(std::mt19937_64& rng) {
    char rank[9] = "        ";
    auto place = [&](char piece, int nth_free) {
        for (int f = 0; f < 8; ++f)
            if (rank[f] == ' ' && nth_free-- == 0) {
                rank[f] = piece;
                return f;
            }
        return -1;
    };
    rank[2 * (rng() % 4)] = 'b';
    rank[2 * (rng() % 4) + 1] = 'b';
    place('q', int(rng() % 6));
    place('n', int(rng() % 5));
    place('n', int(rng() % 4));
    const int a = place('r', 0);
    place('k', 0);
    const int h = place('r', 0);
    std::string black(rank), white(black);
    for (char& ch : white) ch = char(ch - 'a' + 'A');
    std::string castling = {char('A' + h), char('A' + a), char('a' + h), char('a' + a)};
    return black + "/pppppppp/8/8/8/8/PPPPPPPP/" + white + " w " + castling + " - 0 1";
}

struct GameStats {
    int castles = 0, en_passant = 0, promotions = 0, underpromotions = 0, checks = 0, positions = 0;
};

// Plays random legal games from fen and calls visit(position, move about to be played) at every
// ply (move 0 at the end of the game). Castling, en passant and promotions, when there are any,
// are played half of the time: uniform choice almost never reaches them.
template <class Visit>
void random_games(const std::string& fen, int games, int max_plies, std::mt19937_64& rng, GameStats& stats,
                  Visit visit) {
    for (int g = 0; g < games; ++g) {
        auto pos = make_position(fen);
        std::string texts;
        for (int ply = 0; ply < max_plies; ++ply) {
            const PositionState& p = *pos->current;
            const std::vector<Move> moves = legal_moves(p);
            ++stats.positions;
            if (moves.empty()) break;
            std::vector<Move> special;
            for (Move m : moves)
                if (m & (MOVE_CASTLE | MOVE_EN_PASSANT | MOVE_PROMOTION)) special.push_back(m);
            const Move m = !special.empty() && rng() % 2 ? special[rng() % special.size()] : moves[rng() % moves.size()];
            visit(*pos, m);
            char text[8];
            texts += std::string(move_to_text(p, m, text)) + " ";
            stats.castles += (m & MOVE_CASTLE) != 0;
            stats.en_passant += (m & MOVE_EN_PASSANT) != 0;
            stats.promotions += (m & MOVE_PROMOTION) != 0;
            stats.underpromotions += (m & MOVE_PROMOTION) && move_promotion(m) != QUEEN;
            stats.checks += (m & MOVE_CHECK) != 0;
            make_move(*pos, m, nullptr);
            ASSERT_FALSE(attacked_slow(*pos->current, pos->current->their_king(), true)) << fen << " moves " << texts;
            // Keep the stack short, as set_position does.
            if (pos->current->rule50 == 0 || pos->current - pos->states > 90) {
                pos->states[0] = *pos->current;
                pos->current = pos->states;
            }
        }
        visit(*pos, Move(0));
        // The same game read back as a move list ends in the same record.
        auto replay = make_position(fen, texts.c_str());
        expect_same_record(*replay->current, *pos->current, fen + " moves " + texts);
    }
}

std::vector<std::string> standard_sources() {
    std::vector<std::string> fens;
    for (const std::string& l : read_lines("perft.epd")) fens.push_back(fen_part(l));
    return fens;
}

std::vector<std::string> chess960_sources() {
    std::vector<std::string> fens;
    for (const std::string& l : read_lines("perft960.epd")) fens.push_back(fen_part(l));
    std::mt19937_64 rng(960);
    for (int i = 0; i < 60; ++i) fens.push_back(chess960_start(rng));
    return fens;
}

uint64_t perft(Position& pos, int depth) {
    const std::vector<Move> moves = legal_moves(*pos.current);
    if (depth == 1) return moves.size();
    uint64_t n = 0;
    for (Move m : moves) {
        make_move(pos, m, nullptr);
        n += perft(pos, depth - 1);
        unmake(pos);
    }
    return n;
}

// The same with the last ply counted by count_legal_moves, as the perft tool does.
uint64_t counted_perft(Position& pos, int depth) {
    if (depth == 1) return uint64_t(count_legal_moves(*pos.current));
    uint64_t n = 0;
    for (Move m : legal_moves(*pos.current)) {
        make_move(pos, m, nullptr);
        n += counted_perft(pos, depth - 1);
        unmake(pos);
    }
    return n;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Tables.

TEST(BoardTables, HashKeysComeFromTheSeededGenerator) {
    init_once();
    EXPECT_EQ(position_keys[0], 0x3E48CA43F3B16D8Cull);
    EXPECT_EQ(position_keys[1], 0x8781D0149AFC367Dull);
    EXPECT_EQ(position_keys[1036], 0x8C451EA563EF7AA6ull);
    EXPECT_EQ(move_keys[0], 0x4EC945AD2FD86CA5ull);
    // Keys that collide would make different positions indistinguishable.
    std::set<uint64_t> distinct(position_keys, position_keys + 1037);
    distinct.insert(move_keys, move_keys + 4096);
    EXPECT_EQ(distinct.size(), 1037u + 4096u);
}

TEST(BoardTables, LinesAndDirectionsBetweenSquares) {
    init_once();
    EXPECT_EQ(ray_to[sq("e1")][sq("e8")], squares({"e2", "e3", "e4", "e5", "e6", "e7", "e8"}));
    EXPECT_EQ(ray_to[sq("e8")][sq("e1")], squares({"e7", "e6", "e5", "e4", "e3", "e2", "e1"}));
    EXPECT_EQ(ray_to[sq("a1")][sq("b3")], 0u);
    EXPECT_EQ(direction[sq("a1")][sq("b3")], 8);
    EXPECT_EQ(direction[sq("a1")][sq("a1")], 8);
    EXPECT_EQ(ray_to[sq("a1")][sq("a1")], 0u);
    EXPECT_EQ(direction[sq("c1")][sq("a3")], 6);
    EXPECT_EQ(direction[sq("a3")][sq("c1")], 7);
    EXPECT_EQ(direction[sq("a1")][sq("h1")], 0);
    EXPECT_EQ(direction[sq("h1")][sq("a1")], 1);
    EXPECT_EQ(direction[sq("a1")][sq("a8")], 2);
    EXPECT_EQ(direction[sq("a8")][sq("a1")], 3);
    EXPECT_EQ(direction[sq("a1")][sq("h8")], 4);
    EXPECT_EQ(direction[sq("h8")][sq("a1")], 5);
    EXPECT_EQ(ray_to[sq("h1")][sq("a8")], squares({"g2", "f3", "e4", "d5", "c6", "b7", "a8"}));
    // No line wraps round the board edge.
    EXPECT_EQ(direction[sq("h1")][sq("a2")], 8);
    EXPECT_EQ(direction[sq("h2")][sq("a1")], 8);
    // For every pair: the line is the slow walk's ray that reaches b, and reversing it swaps the end.
    for (int a = 0; a < 64; ++a)
        for (int b = 0; b < 64; ++b) {
            Bitboard expected = 0;
            for (int d = 0; d < 8 && a != b; ++d) {
                const int step[1][2] = {{d < 4 ? ROOK_STEPS[d][0] : BISHOP_STEPS[d - 4][0],
                                         d < 4 ? ROOK_STEPS[d][1] : BISHOP_STEPS[d - 4][1]}};
                const Bitboard ray = walk(a, bit(b), step, 1, true);
                if (ray & bit(b)) expected = ray;
            }
            ASSERT_EQ(ray_to[a][b], expected) << a << " " << b;
            ASSERT_EQ(direction[a][b] == 8, expected == 0) << a << " " << b;
            if (expected) {
                ASSERT_EQ(ray_to[a][b] & ~bit(b), ray_to[b][a] & ~bit(a));
                ASSERT_EQ(direction[a][b] ^ 1, direction[b][a]);
            }
        }
}

TEST(BoardTables, LeaperAndPawnAttacks) {
    init_once();
    EXPECT_EQ(pawn_attacks_up[sq("h2")], squares({"g3"}));
    EXPECT_EQ(pawn_attacks_down[sq("a7")], squares({"b6"}));
    EXPECT_EQ(pawn_attacks_up[sq("d8")], 0u);
    EXPECT_EQ(pawn_attacks_down[sq("d1")], 0u);
    const int up[2][2] = {{1, 1}, {1, -1}}, down[2][2] = {{-1, 1}, {-1, -1}};
    int knight_total = 0, king_total = 0;
    for (int s = 0; s < 64; ++s) {
        EXPECT_EQ(pawn_attacks_up[s], walk(s, 0, up, 2, false)) << s;
        EXPECT_EQ(pawn_attacks_down[s], walk(s, 0, down, 2, false)) << s;
        EXPECT_EQ(knight_attacks[s], walk(s, 0, KNIGHT_STEPS, 8, false)) << s;
        EXPECT_EQ(king_attacks[s], walk(s, 0, KING_STEPS, 8, false)) << s;
        knight_total += popcount(knight_attacks[s]);
        king_total += popcount(king_attacks[s]);
    }
    EXPECT_EQ(knight_total, 336);
    EXPECT_EQ(king_total, 420);
    for (int f = 0; f < 8; ++f) {
        const Bitboard n = (f > 0 ? bit(f - 1) : 0) | (f < 7 ? bit(f + 1) : 0);
        EXPECT_EQ(ep_neighbours_rank5[f], n << 32);
        EXPECT_EQ(ep_neighbours_rank4[f], n << 24);
    }
}

TEST(BoardTables, MagicLookupsMatchTheSlowWalk) {
    init_once();
    EXPECT_EQ(rook_attacks(sq("a1"), squares({"a4", "c1"})), squares({"a2", "a3", "a4", "b1", "c1"}));
    std::mt19937_64 rng(7);
    for (int s = 0; s < 64; ++s)
        for (int i = 0; i < 3000; ++i) {
            // Sparse, medium and dense occupancies.
            Bitboard occ = rng();
            if (i % 3 == 0) occ &= rng() & rng();
            if (i % 3 == 1) occ |= rng();
            ASSERT_EQ(bishop_attacks(s, occ), walk(s, occ, BISHOP_STEPS, 4, true)) << s << " " << occ;
            ASSERT_EQ(rook_attacks(s, occ), walk(s, occ, ROOK_STEPS, 4, true)) << s << " " << occ;
            ASSERT_EQ(queen_attacks(s, occ), walk(s, occ, BISHOP_STEPS, 4, true) | walk(s, occ, ROOK_STEPS, 4, true));
        }
}

// ---------------------------------------------------------------------------------------------
// Random games: every record against the references.

TEST(RandomGames, IncrementalKeyEqualsAFreshSetUpOfTheSameFen) {
    init_once();
    std::mt19937_64 rng(2024);
    for (bool c960 : {false, true}) {
        Chess960Mode mode(c960);
        GameStats stats;
        for (const std::string& fen : c960 ? chess960_sources() : standard_sources())
            random_games(fen, 3, 200, rng, stats, [&](const Position& pos, Move) {
                const PositionState& p = *pos.current;
                const std::string text = fen_of(p);
                auto fresh = make_position(text);
                expect_same_record(*fresh->current, p, fen + " -> " + text);
                ASSERT_EQ(p.key, key_from_scratch(p)) << text;
            });
        // The games reached what the test is about.
        EXPECT_GT(stats.castles, 20) << c960;
        EXPECT_GT(stats.en_passant, 10) << c960;
        EXPECT_GT(stats.underpromotions, 10) << c960;
        EXPECT_GT(stats.positions, 10000) << c960;
    }
}

TEST(RandomGames, CheckFlagsAndLegalityMatchTheSlowAttackTest) {
    init_once();
    std::mt19937_64 rng(99);
    for (bool c960 : {false, true}) {
        Chess960Mode mode(c960);
        GameStats stats;
        int evasion_positions = 0;
        for (const std::string& fen : c960 ? chess960_sources() : standard_sources())
            random_games(fen, 2, 160, rng, stats, [&](Position& pos, Move) {
                const PositionState p = *pos.current;
                ASSERT_EQ(p.in_check(), attacked_slow(p, p.own_king(), false)) << fen_of(p);
                std::set<Move> legal_by_engine, legal_by_walk;
                for (Move m : pseudo_moves(p)) {
                    make_move(pos, (m & (MOVE_CAPTURE | MOVE_PROMOTION)) ? gives_check(p, m) : m, nullptr);
                    const PositionState& after = *pos.current;
                    const bool legal = !attacked_slow(after, after.their_king(), true);
                    const bool check = attacked_slow(after, after.own_king(), false);
                    unmake(pos);
                    char text[8];
                    const std::string where = fen_of(p) + " " + move_to_text(p, m, text);
                    ASSERT_EQ(is_legal(p, m), legal) << where;
                    if (!legal) continue;
                    legal_by_engine.insert(m & ~MOVE_CHECK);
                    EXPECT_EQ((gives_check(p, m) & MOVE_CHECK) != 0, check) << where;
                    // The generators set the bit themselves on quiet moves.
                    if (!(m & (MOVE_CAPTURE | MOVE_PROMOTION))) {
                        EXPECT_EQ((m & MOVE_CHECK) != 0, check) << where;
                    }
                }
                if (!p.in_check()) return;
                // Evasions are exactly the legal moves among everything the other generators make.
                ++evasion_positions;
                MoveEntry list[256];
                MoveEntry* end = generate_captures(p, list);
                end = generate_underpromotions(p, end);
                end = generate_quiets(p, end, false, true);
                for (MoveEntry* e = list; e < end; ++e) {
                    make_move(pos, gives_check(p, e->move), nullptr);
                    if (!attacked_slow(*pos.current, pos.current->their_king(), true))
                        legal_by_walk.insert(e->move & ~MOVE_CHECK);
                    unmake(pos);
                }
                ASSERT_EQ(legal_by_engine, legal_by_walk) << fen_of(p);
            });
        EXPECT_GT(evasion_positions, 300) << c960;
        EXPECT_GT(stats.checks, 300) << c960;
    }
}

TEST(RandomGames, CountOfLegalMovesEqualsTheGeneratedLegalMoves) {
    init_once();
    std::mt19937_64 rng(7);
    for (bool c960 : {false, true}) {
        Chess960Mode mode(c960);
        GameStats stats;
        int in_check = 0, filtered = 0;
        for (const std::string& fen : c960 ? chess960_sources() : standard_sources())
            random_games(fen, 3, 200, rng, stats, [&](const Position& pos, Move) {
                const PositionState& p = *pos.current;
                const int generated = int(legal_moves(p).size());
                ASSERT_EQ(count_legal_moves(p), generated) << fen_of(p);
                in_check += p.in_check();
                // Out of check, is_legal removed something: a pinned piece's or a king's move.
                filtered += !p.in_check() && int(pseudo_moves(p).size()) > generated;
            });
        EXPECT_GT(in_check, 1000) << c960;
        EXPECT_GT(filtered, 1000) << c960;
        EXPECT_GT(stats.en_passant, 10) << c960;
        EXPECT_GT(stats.underpromotions, 10) << c960;
    }
}

// The key guessed before a move (for prefetching) is the real one unless castling rights were
// lost or an en-passant file appeared.
TEST(RandomGames, ApproximateKeyAfterAMoveIsExactWhenRightsAndEnPassantStay) {
    init_once();
    std::mt19937_64 rng(11);
    for (bool c960 : {false, true}) {
        Chess960Mode mode(c960);
        GameStats stats;
        int exact = 0, other = 0;
        for (const std::string& fen : c960 ? chess960_sources() : standard_sources())
            random_games(fen, 2, 160, rng, stats, [&](Position& pos, Move) {
                const PositionState before = *pos.current;
                for (Move m : legal_moves(before)) {
                    make_move(pos, m, nullptr);
                    const PositionState& after = *pos.current;
                    const bool rights_kept = after.castling == uint16_t(before.castling >> 8 | before.castling << 8);
                    if (rights_kept && after.ep_file == NO_EP) {
                        ASSERT_EQ(approximate_key_after(before, m), after.key) << fen_of(before) << " " << m;
                        ++exact;
                    } else {
                        ++other;
                    }
                    unmake(pos);
                }
            });
        EXPECT_GT(exact, 20 * other) << c960;
        EXPECT_GT(stats.castles, 20) << c960;
        EXPECT_GT(stats.en_passant, 10) << c960;
    }
}

TEST(RandomGames, MoveTextReadsBackAsTheSameMoveInBothCastlingNotations) {
    init_once();
    std::mt19937_64 rng(5);
    for (bool c960 : {false, true}) {
        Chess960Mode mode(c960);
        GameStats stats;
        int castling_texts = 0;
        for (const std::string& fen : c960 ? chess960_sources() : standard_sources())
            random_games(fen, 2, 120, rng, stats, [&](const Position& pos, Move) {
                const PositionState& p = *pos.current;
                for (Move m : legal_moves(p)) {
                    std::vector<std::string> texts;
                    char text[8];
                    {
                        Chess960Mode as960(true);
                        texts.push_back(move_to_text(p, m, text));
                    }
                    {
                        Chess960Mode standard(false);
                        texts.push_back(move_to_text(p, m, text));
                    }
                    // The king's own two-square text is ambiguous with a king step when it moves one file.
                    if ((m & MOVE_CASTLE) && std::abs(file_of(move_from(m)) - move_to(m)) != 2) texts.pop_back();
                    castling_texts += (m & MOVE_CASTLE) ? int(texts.size()) : 0;
                    for (const std::string& t : texts)
                        ASSERT_EQ(parse_move(p, t.c_str(), int(t.size())), m) << fen_of(p) << " " << t;
                }
            });
        EXPECT_GT(castling_texts, 100) << c960;
    }
}

TEST(RandomGames, TwoNullMovesRestoreTheRecord) {
    init_once();
    std::mt19937_64 rng(11);
    GameStats stats;
    for (const std::string& fen : standard_sources())
        random_games(fen, 1, 100, rng, stats, [&](Position& pos, Move) {
            const PositionState before = *pos.current;
            make_null_move(pos, nullptr);
            EXPECT_NE(pos.current->black_to_move(), before.black_to_move());
            EXPECT_EQ(pos.current->key, key_from_scratch(*pos.current));
            make_null_move(pos, nullptr);
            const PositionState& after = *pos.current;
            for (int t = 0; t < 7; ++t) ASSERT_EQ(after.by_type[t], before.by_type[t]);
            ASSERT_EQ(after.own, before.own);
            ASSERT_EQ(after.castling, before.castling);
            ASSERT_EQ(after.flags & ~REPETITION, before.flags & ~REPETITION);
            ASSERT_EQ(after.ep_file, NO_EP);
            const uint64_t ep_key = before.ep_file != NO_EP ? position_keys[KEY_EP + before.ep_file] : 0;
            ASSERT_EQ(after.key, before.key ^ ep_key);
            ASSERT_EQ(after.rule50, before.rule50 + 2);
            unmake(pos);
            unmake(pos);
        });
}

// ---------------------------------------------------------------------------------------------
// Making moves: the cases worked by hand.

TEST(MakeMove, EnPassantFileOnlyWhenACaptureIsPossible) {
    init_once();
    auto pos = make_position(START_FEN, "e2e4");
    EXPECT_EQ(pos->current->ep_file, NO_EP);
    EXPECT_TRUE(pos->current->black_to_move());
    // White's pawn from e4 seen from black's side stands on e5.
    EXPECT_TRUE(pos->current->their(PAWN) & bit(sq("e5")));
    EXPECT_EQ(pos->current->own, RANK_1 | RANK_2);
    pos = make_position(START_FEN, "e2e4 d7d5 e4e5 f7f5");
    EXPECT_EQ(pos->current->ep_file, 5);
    EXPECT_EQ(pos->current->key, key_from_scratch(*pos->current));
    // The capture itself removes the pawn behind the target square.
    pos = make_position(START_FEN, "e2e4 d7d5 e4e5 f7f5 e5f6");
    EXPECT_EQ(fen_of(*pos->current), "rnbqkbnr/ppp1p1pp/5P2/3p4/8/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1");
}

TEST(MakeMove, CapturingARookOnItsCornerRemovesThatRightOnce) {
    init_once();
    auto pos = make_position("r3k2r/8/8/8/8/8/1B6/R3K2R w KQkq - 0 1", "b2h8");
    const PositionState& p = *pos->current;
    // Black to move: own rights in the low byte, h-side gone, a-side on file a; white keeps both.
    EXPECT_EQ(p.castling, 0x8 | 0x0 << 4 | 0x7 << 8 | 0x0 << 12);
    const uint64_t* k = position_keys;
    const uint64_t change = k[64 * BISHOP + sq("b2")] ^ k[64 * BISHOP + sq("h8")] ^ k[64 * (ROOK + 8) + sq("h1")] ^
                            k[KEY_CASTLING + 1] ^ k[KEY_SIDE];
    auto before = make_position("r3k2r/8/8/8/8/8/1B6/R3K2R w KQkq - 0 1");
    EXPECT_EQ(p.key ^ before->current->key, change);
    // A rook taking a rook on the far corner removes one right of each side.
    pos = make_position("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "a1a8");
    EXPECT_EQ(fen_of(*pos->current), "R3k2r/8/8/8/8/8/8/4K2R b Kk - 0 1");
    EXPECT_EQ(pos->current->key, key_from_scratch(*pos->current));
}

TEST(MakeMove, Chess960CastlingWithTheKingAlreadyOnG1) {
    init_once();
    Chess960Mode mode(true);
    auto pos = make_position("1r4kr/8/8/8/8/8/8/1R4KR w HBhb - 0 1");
    const Move m = parse_move(*pos->current, "g1h1", 4);
    ASSERT_NE(m, 0u);
    EXPECT_TRUE(m & MOVE_CASTLE);
    EXPECT_EQ(move_to(m), G1);
    auto entry = std::make_unique<Accumulator>();
    make_move(*pos, m, entry.get());
    EXPECT_EQ(entry->king_moved, 0);
    ASSERT_EQ(entry->dirty_count, 2);
    EXPECT_EQ(entry->dirty[0], 192u + 7);
    EXPECT_EQ(entry->dirty[1], 20677u);
    EXPECT_EQ(fen_of(*pos->current), "1r4kr/8/8/8/8/8/8/1R3RK1 b kq - 1 1");
    EXPECT_EQ(pos->current->key, key_from_scratch(*pos->current));
    // Both notations of a castling move with a two-file king step are read in both modes.
    for (bool c960 : {false, true}) {
        Chess960Mode inner(c960);
        for (const char* text : {"e1g1", "e1h1"}) {
            auto q = make_position("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", text);
            EXPECT_EQ(fen_of(*q->current), "r3k2r/8/8/8/8/8/8/R4RK1 b kq - 1 1") << text << c960;
        }
        for (const char* text : {"e1c1", "e1a1"}) {
            auto q = make_position("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", text);
            EXPECT_EQ(fen_of(*q->current), "r3k2r/8/8/8/8/8/8/2KR3R b kq - 1 1") << text << c960;
        }
    }
}

TEST(MakeMove, Chess960CastlingMayNotUncoverTheKingThatStays) {
    init_once();
    Chess960Mode mode(true);
    // The rook on b1 shields the king from the queen; castling would move it to d1 and leave the
    // king on c1 in check. Same on the other wing with the king on g1.
    for (const char* fen : {"4k3/8/8/8/8/8/8/qRK5 w B - 0 1", "4k3/8/8/8/8/8/8/5KRq w G - 0 1",
                            "Qrk5/8/8/8/8/8/8/5K2 b b - 0 1"}) {
        auto pos = make_position(fen);
        ASSERT_NE(pos->current->castling & 0xFF, 0x88) << fen;
        for (Move m : legal_moves(*pos->current)) EXPECT_FALSE(m & MOVE_CASTLE) << fen;
    }
    auto pos = make_position("4k3/8/8/8/8/8/8/qRK5 w B - 0 1");
    EXPECT_EQ(parse_move(*pos->current, "c1b1", 4), 0u);
    // Without the queen the same castling is fine.
    pos = make_position("4k3/8/8/8/8/8/8/1RK5 w B - 0 1");
    EXPECT_NE(parse_move(*pos->current, "c1b1", 4), 0u);
}

TEST(MakeMove, RepetitionFlagFromTheFourthPlyOn) {
    init_once();
    auto pos = make_position(START_FEN);
    const char* texts[] = {"g1f3", "g8f6", "f3g1", "f6g8"};
    for (int i = 0; i < 4; ++i) {
        const Move m = parse_move(*pos->current, texts[i], 4);
        ASSERT_NE(m, 0u);
        make_move(*pos, m, nullptr);
        EXPECT_EQ((pos->current->flags & REPETITION) != 0, i == 3) << texts[i];
    }
    EXPECT_EQ(pos->current->key, pos->states[0].key);
    // A null move never counts as a repetition.
    make_null_move(*pos, nullptr);
    EXPECT_FALSE(pos->current->flags & REPETITION);
    // The same through the move list, after a pawn move has reset the stack.
    pos = make_position(START_FEN, "e2e3 e7e6 g1f3 g8f6 f3g1");
    EXPECT_FALSE(pos->current->flags & REPETITION);
    pos = make_position(START_FEN, "e2e3 e7e6 g1f3 g8f6 f3g1 f6g8");
    EXPECT_TRUE(pos->current->flags & REPETITION);
}

TEST(MakeMove, NetworkChangesOfEachKindOfMove) {
    init_once();
    auto entry = std::make_unique<Accumulator>();
    struct Case {
        const char* fen;
        const char* move;
        std::vector<int> dirty;
        int king_moved;
    };
    const int ADD = 20480;
    const Case cases[] = {
        // Quiet knight move: slot 1.
        {START_FEN, "g1f3", {64 + sq("g1"), ADD + 64 + sq("f3")}, 0},
        // Black's move in black's own frame: e7e5 is e2e4 seen from black.
        {"rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1", "e7e5", {sq("e2"), ADD + sq("e4")}, 0},
        // Capture: victim first, at 256 + 64 x type + square.
        {"4k3/8/8/3r4/8/8/8/3QK3 w - - 0 1", "d1d5", {256 + 64 * ROOK + sq("d5"), 4 * 64 + sq("d1"), ADD + 4 * 64 + sq("d5")}, 0},
        // En passant: the victim stands behind the target square.
        {"4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", "e5d6", {256 + 64 + sq("d5"), sq("e5"), ADD + sq("d6")}, 0},
        // Promotion capturing a rook, queen arrives.
        {"r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "b7a8q", {256 + 64 * ROOK + sq("a8"), sq("b7"), ADD + 4 * 64 + sq("a8")}, 0},
        // Under-promotion by black, in black's frame.
        {"4k3/8/8/8/8/8/4p3/K7 b - - 0 1", "e2e1n", {sq("e7"), ADD + 64 + sq("e8")}, 0},
        // King capture: only the victim.
        {"4k3/8/8/8/8/8/3n4/4K3 w - - 0 1", "e1d2", {256 + 64 * KNIGHT + sq("d2")}, 1},
        // Quiet king move: nothing.
        {"4k3/8/8/8/8/8/8/4K3 w - - 0 1", "e1e2", {}, 1},
        // Castling: the rook only.
        {"4k3/8/8/8/8/8/8/R3K2R w KQ - 0 1", "e1c1", {192 + 0, 20675}, 1},
        {"4k3/8/8/8/8/8/8/R3K2R w KQ - 0 1", "e1g1", {192 + 7, 20677}, 1},
    };
    for (const Case& c : cases) {
        auto pos = make_position(c.fen);
        const Move m = parse_move(*pos->current, c.move, int(std::strlen(c.move)));
        ASSERT_NE(m, 0u) << c.move;
        entry->dirty_count = -1;
        make_move(*pos, m, entry.get());
        ASSERT_EQ(entry->dirty_count, int(c.dirty.size())) << c.fen << " " << c.move;
        for (size_t i = 0; i < c.dirty.size(); ++i) EXPECT_EQ(entry->dirty[i], uint32_t(c.dirty[i])) << c.move << " " << i;
        EXPECT_EQ(entry->king_moved, c.king_moved) << c.move;
    }
    auto pos = make_position(START_FEN);
    entry->dirty_count = 5;
    entry->king_moved = 1;
    make_null_move(*pos, entry.get());
    EXPECT_EQ(entry->dirty_count, 0);
    EXPECT_EQ(entry->king_moved, 0);
}

// ---------------------------------------------------------------------------------------------
// Set-up from FEN and moves.

TEST(SetPosition, MovesResetTheStackAtEveryIrreversibleMove) {
    init_once();
    auto pos = std::make_unique<Position>();
    std::string moves = "e2e4 e7e5";
    EXPECT_EQ(set_position(*pos, START_FEN, moves.c_str()), 1);
    EXPECT_EQ(pos->current, pos->states);
    EXPECT_EQ(pos->current->rule50, 0);
    EXPECT_EQ(pos->prior_move, make_move_word(PAWN, sq("e2"), sq("e4")));
    // e7e5 was played by black, in black's frame: e2e4.
    EXPECT_EQ(pos->last_move, make_move_word(PAWN, sq("e2"), sq("e4")));
    moves = "e2e4 e7e5 g1f3";
    EXPECT_EQ(set_position(*pos, START_FEN, moves.c_str()), 1);
    EXPECT_EQ(pos->current - pos->states, 1);
    EXPECT_EQ(pos->last_move, make_move_word(KNIGHT, sq("g1"), sq("f3")));
    EXPECT_EQ(set_position(*pos, START_FEN, nullptr), 0);
    EXPECT_EQ(pos->last_move | pos->prior_move, 0u);
}

TEST(SetPosition, FieldsOfTheFen) {
    init_once();
    auto pos = make_position("4k3/8/8/8/8/8/8/4K3 w - -");
    EXPECT_EQ(pos->current->rule50, 0);
    pos = make_position("4k3/8/8/8/8/8/8/4K3 w - - 37 80");
    EXPECT_EQ(pos->current->rule50, 37);
    pos = make_position("4k3/8/8/8/6pP/8/8/4K3 b - h3 0 1");
    EXPECT_EQ(pos->current->ep_file, 7);
    EXPECT_EQ(pos->current->key, key_from_scratch(*pos->current));
    // A target square with no capturing pawn beside it is dropped, key included.
    pos = make_position("4k3/8/8/8/7P/8/8/4K3 b - h3 0 1");
    EXPECT_EQ(pos->current->ep_file, NO_EP);
    EXPECT_EQ(pos->current->key, key_from_scratch(*pos->current));
    // Black to move: black's rights in the low byte.
    pos = make_position("r3k3/8/8/8/8/8/8/4K2R b Kq - 0 1");
    EXPECT_EQ(pos->current->castling, 0x8 | 0x0 << 4 | 0x7 << 8 | 0x8 << 12);
    EXPECT_EQ(pos->current->flags, BLACK_TO_MOVE);
    // In check, white and black.
    pos = make_position("4k3/8/8/8/8/8/8/r3K3 w - - 0 1");
    EXPECT_EQ(pos->current->flags, IN_CHECK);
    pos = make_position("4k3/8/8/1B6/8/8/8/4K3 b - - 0 1");
    EXPECT_EQ(pos->current->flags, IN_CHECK | BLACK_TO_MOVE);
    // K and Q name a rook on their own wing; a letter without one grants nothing.
    for (const char* fen : {"4k3/8/8/8/8/8/8/R3K3 w K - 0 1", "4k3/8/8/8/8/8/8/4K2R w Q - 0 1",
                            "r3k3/8/8/8/8/8/8/4K3 b k - 0 1", "4k2r/8/8/8/8/8/8/4K3 w q - 0 1"}) {
        pos = make_position(fen);
        EXPECT_EQ(pos->current->castling, NO_CASTLING) << fen;
        EXPECT_EQ(pos->current->key, key_from_scratch(*pos->current)) << fen;
    }
    pos = make_position("4k3/8/8/8/8/8/8/RR2K1RR w KQ - 0 1");
    EXPECT_EQ(pos->current->castling, 7 | 0 << 4 | 0x8800);
    // Both castling notations give the same record, in and out of Chess960 mode.
    for (bool c960 : {false, true}) {
        Chess960Mode mode(c960);
        auto a = make_position(START_FEN);
        auto b = make_position("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w HAha - 0 1");
        EXPECT_EQ(a->current->castling, 7 + 16 * 0 + 256 * 7 + 4096 * 0);
        expect_same_record(*a->current, *b->current, "HAha");
    }
}

TEST(SetPosition, BlackPromotionReadsWithMirroredRanksAndPrintsBack) {
    init_once();
    auto pos = make_position("4k3/8/8/8/8/8/4p3/K7 b - - 0 1");
    const Move m = parse_move(*pos->current, "e2e1q", 5);
    ASSERT_NE(m, 0u);
    EXPECT_EQ(move_from(m), sq("e7"));
    EXPECT_EQ(move_to(m), sq("e8"));
    EXPECT_EQ(move_promotion(m), QUEEN);
    char text[8];
    EXPECT_STREQ(move_to_text(*pos->current, m, text), "e2e1q");
    std::string moves = "e2e1q";
    set_position(*pos, "4k3/8/8/8/8/8/4p3/K7 b - - 0 1", moves.c_str());
    EXPECT_EQ(fen_of(*pos->current), "4k3/8/8/8/8/8/8/K3q3 w - - 0 1");
}

TEST(SetPosition, FenWriterRoundTrips) {
    init_once();
    const char* fens[] = {
        START_FEN,
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
        "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
        "4k3/8/8/8/6pP/8/8/4K3 b - h3 0 1",
        "4k3/8/8/8/8/8/8/4K3 w - - 99 1",
    };
    for (const char* fen : fens) {
        auto pos = make_position(fen);
        std::string expected = fen;
        expected = expected.substr(0, expected.rfind(' ')) + " 1";
        EXPECT_EQ(fen_of(*pos->current), expected);
    }
    // Chess960 rights whose rook is not the outermost one are written by file.
    auto pos = make_position("rk2r3/8/8/8/8/8/8/RK2R2R w Eea - 0 1");
    EXPECT_EQ(fen_of(*pos->current), "rk2r3/8/8/8/8/8/8/RK2R2R w Ekq - 0 1");
    EXPECT_EQ(pos->current->castling & 0xFF, 0x84);
}

// ---------------------------------------------------------------------------------------------
// Generators.

TEST(Generators, RootMovesOfTheStartPositionInDescendingMoveOrder) {
    init_once();
    auto t = std::make_unique<SearchThread>();
    set_position(t->position, START_FEN, nullptr);
    RootMove* end = generate_root_moves(*t, t->root_moves);
    ASSERT_EQ(end - t->root_moves, 20);
    std::set<std::string> texts;
    for (RootMove* r = t->root_moves; r < end; ++r) {
        EXPECT_EQ(r->score, 0);
        if (r > t->root_moves) {
            EXPECT_LT(r->move, r[-1].move);
        }
        char text[8];
        texts.insert(move_to_text(*t->position.current, r->move, text));
    }
    const std::set<std::string> expected = {"a2a3", "a2a4", "b2b3", "b2b4", "c2c3", "c2c4", "d2d3",
                                            "d2d4", "e2e3", "e2e4", "f2f3", "f2f4", "g2g3", "g2g4",
                                            "h2h3", "h2h4", "b1a3", "b1c3", "g1f3", "g1h3"};
    EXPECT_EQ(texts, expected);
    // No legal move: an empty list.
    set_position(t->position, "7k/5Q2/6K1/8/8/8/8/8 b - - 0 1", nullptr);
    EXPECT_EQ(generate_root_moves(*t, t->root_moves), t->root_moves);
}

TEST(Generators, DoubleCheckAllowsOnlyKingMoves) {
    init_once();
    // Rook e8 and knight d3 both check the king on e1; the queen could take either checker.
    auto pos = make_position("4r2k/8/8/8/8/3n4/R7/3QK3 w - - 0 1");
    ASSERT_TRUE(pos->current->in_check());
    MoveEntry list[256];
    MoveEntry* end = list;
    generate_evasions(*pos->current, &end, &end, true);
    ASSERT_GT(end - list, 0);
    for (MoveEntry* e = list; e < end; ++e) EXPECT_EQ(move_piece(e->move), KING);
    std::set<std::string> legal;
    for (Move m : legal_moves(*pos->current)) {
        char text[8];
        legal.insert(move_to_text(*pos->current, m, text));
    }
    EXPECT_EQ(legal, (std::set<std::string>{"e1d2", "e1f1"}));
}

TEST(Generators, EnPassantThatExposesTheKingIsRemoved) {
    init_once();
    auto pos = make_position("8/8/8/K2pP2r/8/8/8/4k3 w - d6 0 1");
    EXPECT_EQ(pos->current->ep_file, 3);
    bool generated = false;
    for (Move m : pseudo_moves(*pos->current))
        if (m & MOVE_EN_PASSANT) {
            generated = true;
            EXPECT_FALSE(is_legal(*pos->current, m));
        }
    EXPECT_TRUE(generated);
}

TEST(Generators, PerftCountsOfBothSuitesUpToDepthThree) {
    init_once();
    for (bool c960 : {false, true}) {
        Chess960Mode mode(c960);
        int checked = 0;
        for (const std::string& line : read_lines(c960 ? "perft960.epd" : "perft.epd")) {
            auto pos = make_position(fen_part(line));
            std::istringstream fields(line.substr(line.find(';')));
            std::string item;
            while (std::getline(fields, item, ';')) {
                int depth = 0;
                unsigned long long expected = 0;
                if (std::sscanf(item.c_str(), " D%d %llu", &depth, &expected) != 2 || depth > 3) continue;
                EXPECT_EQ(perft(*pos, depth), expected) << line << " depth " << depth;
                ++checked;
            }
        }
        EXPECT_GT(checked, 200) << c960;
    }
}

TEST(Generators, CountedLastPlyGivesTheSuiteCountsUpToDepthFour) {
    init_once();
    for (bool c960 : {false, true}) {
        Chess960Mode mode(c960);
        int checked = 0;
        for (const std::string& line : read_lines(c960 ? "perft960.epd" : "perft.epd")) {
            auto pos = make_position(fen_part(line));
            std::istringstream fields(line.substr(line.find(';')));
            std::string item;
            while (std::getline(fields, item, ';')) {
                int depth = 0;
                unsigned long long expected = 0;
                if (std::sscanf(item.c_str(), " D%d %llu", &depth, &expected) != 2 || depth > 4) continue;
                EXPECT_EQ(counted_perft(*pos, depth), expected) << line << " depth " << depth;
                ++checked;
            }
        }
        EXPECT_GT(checked, 300) << c960;
    }
}
