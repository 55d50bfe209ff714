// Self-play data generator: games of the engine against itself at a fixed node count, written as a
// game file (.tvg, layout in game_file.h), or with --text in the trainer's text format
// "<fen> | <score> | <result>" (score in centipawns and result from White's point of view).
//
//   datagen [--threads N] [--games G] [--nodes K] [--seed S] [--hash MB] [--text] --out FILE
//
// Each thread plays its own games in-process (no UCI) on its own search object; all share one
// transposition table. A game starts from the start position after 8 or 9 uniformly random legal
// plies (openings the search scores beyond +-400 cp are dropped) and ends by the rules, by the
// embedded three- and four-man tablebases, when the score stays beyond +-1500 cp for 6 plies, when
// it stays within +-8 cp for 12 plies after ply 80, or at ply 400 (draw). Kept positions: not in
// check, best move neither a capture nor a promotion, |score| < 3000. Games are appended whole; a game
// file left with a partly written game (a run killed while writing) is cut back to its last whole
// game before more are appended.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>
#include "board/board.h"
#include "board/root_moves.h"
#include "board/tables.h"
#include "control/search_control.h"
#include "control/worker.h"
#include "engine/options.h"
#include "eval/evaluate.h"
#include "game_file.h"
#include "platform/memory.h"
#include "search/reductions.h"
#include "search/search.h"
#include "search/tt.h"
#include "tablebase/tablebase.h"

namespace {

struct Settings {
    int threads = 2;
    int64_t games = 1000;
    int64_t nodes = 5000;
    uint64_t seed = 1;
    int hash_mb = 64;
    bool text = false;
    const char* out = nullptr;
};

Settings settings;
std::mutex out_lock;
std::FILE* out_file = nullptr;
std::atomic<int64_t> games_started{0};
std::atomic<int64_t> games_done{0};
std::atomic<int64_t> positions_written{0};
std::chrono::steady_clock::time_point started;

struct Rng {
    uint64_t s;
    uint64_t next() {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 2685821657736338717ULL;
    }
    int below(int n) { return int((next() >> 32) % uint64_t(n)); }
};

// The engine's iterative deepening with aspiration windows on one line. An iteration is begun only
// while fewer than half the node budget are spent, and the search is cut at the budget itself; the
// move and score are those of the last completed iteration. Thread 0's node checks never stop it
// (no time or node limit is set on the shared control).
struct SearchResult {
    Move move;
    int score;
};

SearchResult search_position(SearchThread& t, int64_t node_budget) {
    PositionState* const root = t.position.current;
    t.nodes.store(0);
    t.node_limit = INT64_MAX;
    prepare_root(t);
    t.root_scores[0] = 0;
    // Read after a longjmp, so kept in memory.
    volatile SearchResult result = {t.root_moves[0].move, 0};
    if (setjmp(t.abort_point)) {
        t.position.current = root;
        t.node_limit = INT64_MAX;
        return {result.move, result.score};
    }
    for (int d = 1; d <= 64; ++d) {
        t.accumulators[0].computed = 0;
        t.sel_depth = 0;
        aspiration_search(t, 0, d);
        t.position.current = root;
        result.move = t.root_moves[0].move;
        result.score = t.root_scores[0];
        t.node_limit = node_budget;  // the first iteration always completes
        if (2 * t.nodes.load(std::memory_order_relaxed) >= node_budget || std::abs(result.score) > MATE_BAND) break;
    }
    t.node_limit = INT64_MAX;
    return {result.move, result.score};
}

struct Record {
    std::string fen;
    int score;  // White's point of view
};

// Plays one game; returns false when the opening was dropped. result: White's score (2 win, 1 draw, 0 loss).
// The game record runs from the first kept position to the last, with the positions between them
// that are not kept as unscored plies.
bool play_game(SearchThread& t, Rng& rng, std::vector<Record>& records, games::GameRecord& game, int& result) {
    records.clear();
    game.plies.clear();
    bool recording = false;
    Move last_move = 0;
    PositionState last_position;
    std::string moves;
    char text[8];
    set_position(t.position, START_FEN, nullptr);
    const int random_plies = 8 + rng.below(2);
    for (int i = 0; i < random_plies; ++i) {
        t.root_end = generate_root_moves(t, t.root_moves);
        const int n = int(t.root_end - t.root_moves);
        if (n == 0) return false;
        moves += move_to_text(*t.position.current, t.root_moves[rng.below(n)].move, text);
        moves += ' ';
        set_position(t.position, START_FEN, moves.c_str());
    }
    int big = 0, small = 0;
    for (int ply = 0;; ++ply) {
        set_position(t.position, START_FEN, moves.c_str());
        const PositionState& p = *t.position.current;
        const bool white = !p.black_to_move();
        t.root_end = generate_root_moves(t, t.root_moves);
        if (t.root_end == t.root_moves) {  // mate or stalemate
            result = p.in_check() ? (white ? 0 : 2) : 1;
            return true;
        }
        if ((p.flags & REPETITION) || p.rule50 >= 100 || p.bare_minor()) {
            result = 1;
            return true;
        }
        if (popcount(p.by_type[0]) <= 4 && p.castling == NO_CASTLING) {
            int ok = 0;
            const int wdl = wdl_query(t.position, &ok);
            if (ok) {
                const int side = wdl >= 2 ? 2 : wdl <= -2 ? 0 : 1;
                result = white ? side : 2 - side;
                return true;
            }
        }
        if (ply >= 400) {
            result = 1;
            return true;
        }
        const SearchResult found = search_position(t, settings.nodes);
        const int score = found.score;
        const int white_score = white ? score : -score;
        if (ply == 0 && std::abs(score) > 400) return false;
        const Move best = found.move;
        const bool kept = !p.in_check() && !(best & (MOVE_CAPTURE | MOVE_PROMOTION)) && std::abs(score) < 3000;
        if (recording) {
            game.add(last_position, last_move, kept ? white_score : games::NO_SCORE);
        } else if (kept) {
            recording = true;
            game.start = p;
            game.fullmove = 1 + (random_plies + ply) / 2;
            game.score = white_score;
        }
        if (kept) {
            char fen[FEN_BUFFER];
            records.push_back({position_to_fen(p, fen, 1 + (random_plies + ply) / 2), white_score});
        }
        last_position = p;
        last_move = best;
        big = std::abs(score) > 1500 ? big + 1 : 0;
        small = (ply + random_plies >= 80 && std::abs(score) <= 8) ? small + 1 : 0;
        if (big >= 6) {
            result = white_score > 0 ? 2 : 0;
            return true;
        }
        if (small >= 12) {
            result = 1;
            return true;
        }
        moves += move_to_text(p, best, text);
        moves += ' ';
    }
}

void* game_thread(void* arg) {
    SearchThread& t = *static_cast<SearchThread*>(arg);
    Rng rng{settings.seed * 0x9E3779B97F4A7C15ULL + uint64_t(t.index) * 0xD1B54A32D192ED03ULL + 1};
    std::vector<Record> records;
    games::GameRecord game;
    std::string text;
    while (games_started.fetch_add(1) < settings.games) {
        int result = 1;
        while (!play_game(t, rng, records, game, result)) {
        }
        text.clear();
        if (settings.text) {
            for (const Record& r : records) {
                char line[FEN_BUFFER + 32];
                std::snprintf(line, sizeof line, "%s | %d | %s\n", r.fen.c_str(), r.score, games::RESULT_TEXT[result]);
                text += line;
            }
        } else if (!records.empty()) {
            // Plies after the last kept position carry nothing to train on.
            while (!game.plies.empty() && int16_t(game.plies.back() >> 16) == games::NO_SCORE) game.plies.pop_back();
            game.result = result;
            if (!games::append_game(game, text))
                std::fprintf(stderr, "datagen: a game did not fit the game file and was left out\n");
        }
        std::lock_guard<std::mutex> hold(out_lock);
        std::fwrite(text.data(), 1, text.size(), out_file);
        std::fflush(out_file);
        const int64_t done = games_done.fetch_add(1) + 1;
        const int64_t written = positions_written.fetch_add(int64_t(records.size())) + int64_t(records.size());
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (done % 20 == 0 || done == settings.games)
            std::fprintf(stderr, "games %" PRId64 "/%" PRId64 "  positions %" PRId64 "  %.0f positions/s  %.0f s\n", done,
                         settings.games, written, double(written) / seconds, seconds);
    }
    return nullptr;
}

// Opens a game file for appending: a new or empty file gets the file header; an existing one must be
// a game file, and a partly written last game is cut off.
bool open_game_file(const char* path) {
    namespace fs = std::filesystem;
    if (std::string(path).ends_with(".xz")) {
        std::fprintf(stderr, "datagen: cannot append to a compressed file %s\n", path);
        return false;
    }
    std::error_code ec;
    const uintmax_t size = fs::exists(path, ec) ? fs::file_size(path, ec) : 0;
    if (ec) {
        std::fprintf(stderr, "datagen: cannot read %s\n", path);
        return false;
    }
    if (size > 0) {
        std::FILE* f = std::fopen(path, "rb");
        uint8_t head[games::FILE_HEADER_BYTES] = {};
        const bool whole = f && std::fread(head, 1, sizeof head, f) == sizeof head;
        if (!whole || std::memcmp(head, games::MAGIC, sizeof games::MAGIC) != 0 ||
            (head[6] | head[7] << 8) != games::VERSION) {
            std::fprintf(stderr, "datagen: %s is not a game file of version %d (use another name, or --text)\n", path,
                         games::VERSION);
            if (f) std::fclose(f);
            return false;
        }
        uintmax_t end = games::FILE_HEADER_BYTES;
        uint8_t count[2];
        while (end + 2 <= size && std::fseek(f, long(end), SEEK_SET) == 0 && std::fread(count, 1, 2, f) == 2) {
            const uintmax_t next = end + games::RECORD_HEADER_BYTES + 4 * uintmax_t(count[0] | count[1] << 8);
            if (next > size) break;
            end = next;
        }
        std::fclose(f);
        if (end != size) {
            std::fprintf(stderr, "datagen: %s ends in a partly written game; cut back from %ju to %ju bytes\n", path,
                         size, end);
            fs::resize_file(path, end, ec);
            if (ec) {
                std::fprintf(stderr, "datagen: cannot cut back %s\n", path);
                return false;
            }
        }
    }
    out_file = std::fopen(path, "ab");
    if (out_file && size == 0) {
        std::string header;
        games::append_file_header(header);
        std::fwrite(header.data(), 1, header.size(), out_file);
        std::fflush(out_file);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--threads" && has_value) settings.threads = std::atoi(argv[++i]);
        else if (a == "--games" && has_value) settings.games = std::atoll(argv[++i]);
        else if (a == "--nodes" && has_value) settings.nodes = std::atoll(argv[++i]);
        else if (a == "--seed" && has_value) settings.seed = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--hash" && has_value) settings.hash_mb = std::atoi(argv[++i]);
        else if (a == "--out" && has_value) settings.out = argv[++i];
        else if (a == "--text") settings.text = true;
        else {
            std::fprintf(stderr, "usage: datagen [--threads N] [--games G] [--nodes K] [--seed S] [--hash MB] [--text] "
                                 "--out FILE\n");
            return 2;
        }
    }
    if (!settings.out || settings.threads < 1 || settings.threads > 256 || settings.games < 1 || settings.nodes < 1 ||
        settings.hash_mb < 1) {
        std::fprintf(stderr, "datagen: --out is needed; threads 1..256, games, nodes and hash at least 1\n");
        return 2;
    }
    if (!settings.text && !open_game_file(settings.out)) return 1;
    if (settings.text) out_file = std::fopen(settings.out, "a");
    if (!out_file) {
        std::fprintf(stderr, "datagen: cannot open %s\n", settings.out);
        return 1;
    }
    check_network_quantisation();
    set_option_defaults();
    init_board_tables();
    init_reductions();
    init_tablebase_indexing();
    tb_largest = init_tablebases("<empty>");
    unpack_network();
    options.hash = settings.hash_mb;
    options.threads = settings.threads;
    allocate_search_memory();
    // No deadline or node limit: the games end their searches themselves.
    control.mode.store(Normal);
    control.stop.store(0);
    control.node_limit = INT64_MAX;
    control.hard_deadline = INT64_MAX;
    control.next_check = INT64_MAX;
    control.check_interval = 0;
    control.tb_probe_limit = tb_largest;
    control.pv_lines = 1;

    started = std::chrono::steady_clock::now();
    std::vector<pthread_t> handles(size_t(settings.threads));
    for (int i = 0; i < settings.threads; ++i)
        if (!start_search_thread(&handles[size_t(i)], game_thread, &threads[i], false)) {
            std::fprintf(stderr, "datagen: cannot start a thread\n");
            return 1;
        }
    for (pthread_t h : handles) pthread_join(h, nullptr);
    std::fclose(out_file);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%" PRId64 " games, %" PRId64 " positions in %.0f s: %.0f positions/s\n", games_done.load(),
                positions_written.load(), seconds, double(positions_written.load()) / seconds);
    free_search_memory();
    return 0;
}
