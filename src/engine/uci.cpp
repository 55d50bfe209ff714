#include "engine/uci.h"
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include "board/board.h"
#include "board/root_moves.h"
#include "control/go.h"
#include "control/search_control.h"
#include "control/worker.h"
#include "engine/options.h"
#include "platform/memory.h"
#include "tablebase/tablebase.h"

constexpr int LINE_BUFFER = 16384;
constexpr int MAX_SEARCH_MOVES = 256;

static int32_t game_moves = 0;

int64_t read_integer(const char* c) {
    while (*c == ' ') ++c;
    bool negative = false;
    if (*c == '-' || *c == '+') negative = *c++ == '-';
    if (*c < '0' || *c > '9') return 0;
    // Saturates: a value too large for 64 bits means "as much as possible", never a wrapped one.
    constexpr uint64_t LIMIT = uint64_t(INT64_MAX) + 1;
    uint64_t v = 0;
    for (; *c >= '0' && *c <= '9'; ++c) v = v > LIMIT / 10 ? LIMIT : std::min(LIMIT, v * 10 + uint64_t(*c - '0'));
    if (negative) return int64_t(0 - v);  // negated unsigned: no overflow at -2^63
    return v >= LIMIT ? INT64_MAX : int64_t(v);
}

static int64_t clamp(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : v > hi ? hi : v; }

static void print_identification() {
    std::printf("id name Tarnvik 4.0 %s\nid author Velkaro\n", "avx2");
    std::printf("option name Hash type spin default %d min 1 max 67108864\n", 256);
    std::printf("option name Threads type spin default 1 min 1 max %d\n", 2048);
    std::printf("option name Ponder type check default false\n");
    std::printf("option name OwnBook type check default false\n");
    std::printf("option name BookFile type string default %s\n", options.book_file);
    std::printf("option name BookRandom type check default false\n");
    std::printf("option name DrawScore type spin default %d min -100 max 100\n", 0);
    std::printf("option name MoveOverhead type spin default %d min 0 max 5000\n", 100);
    std::printf("option name Strength type spin default %d min 1 max %d\n", 100, 100);
    std::printf("option name MultiPV type spin default 1 min 1 max %d\n", 256);
    std::printf("option name LargePages type check default false\n");
    std::printf("option name UCI_Chess960 type check default false\n");
    std::printf("option name SyzygyPath type string default <empty>\n");
    std::printf("option name Syzygy50MoveRule type check default true\n");
    std::printf("option name SyzygyProbeLimit type spin default 7 min 0 max 7\n");
    std::printf("option name SyzygyProbeDepth type spin default 0 min 0 max %d\n", 200);
    std::printf("uciok\n");
    std::fflush(stdout);
}

static void set_option(char* line) {
    if (char* lf = std::strchr(line, '\n')) *lf = 0;
    struct Entry {
        const char* prefix;
        int kind;  // 0 integer, 1 check, 2 text
        void* target;
        int64_t lo, hi;
    };
    const Entry table[] = {
        {"setoption name Hash value ", 0, &options.hash, 1, 67108864},
        {"setoption name Threads value ", 0, &options.threads, 1, 2048},
        {"setoption name Ponder value ", 1, &options.ponder, 0, 0},
        {"setoption name OwnBook value ", 1, &options.own_book, 0, 0},
        {"setoption name BookFile value ", 2, options.book_file, 0, sizeof options.book_file},
        {"setoption name BookRandom value ", 1, &options.book_random, 0, 0},
        {"setoption name DrawScore value ", 0, &options.draw_score, -100, 100},
        {"setoption name MoveOverhead value ", 0, &options.move_overhead, 0, 5000},
        {"setoption name Strength value ", 0, &options.strength, 1, 100},
        {"setoption name MultiPV value ", 0, &options.multi_pv, 1, 256},
        {"setoption name LargePages value ", 1, &options.large_pages, 0, 0},
        {"setoption name UCI_Chess960 value ", 1, &options.chess960, 0, 0},
        {"setoption name SyzygyPath value ", 2, options.syzygy_path, 0, sizeof options.syzygy_path},
        {"setoption name Syzygy50MoveRule value ", 1, &options.syzygy_50_move_rule, 0, 0},
        {"setoption name SyzygyProbeLimit value ", 0, &options.syzygy_probe_limit, 0, 7},
        {"setoption name SyzygyProbeDepth value ", 0, &options.syzygy_probe_depth, 0, 200},
    };
    for (const Entry& e : table) {
        size_t n = std::strlen(e.prefix);
        if (std::strncmp(line, e.prefix, n) != 0) continue;
        const char* value = line + n;
        if (e.kind == 0) {
            // Values outside the advertised range are clamped into it.
            int64_t v = clamp(read_integer(value), e.lo, e.hi);
            if (e.target == &options.hash)
                options.hash = v;
            else
                *static_cast<int32_t*>(e.target) = int32_t(v);
        } else if (e.kind == 1) {
            *static_cast<bool*>(e.target) = std::strcmp(value, "true") == 0;
        } else {
            char* dst = static_cast<char*>(e.target);
            std::snprintf(dst, size_t(e.hi), "%s", value);
            // A new tablebase path takes effect at once.
            if (e.target == options.syzygy_path) tb_largest = init_tablebases(value);
        }
        return;
    }
}

static void position_command(char* line) {
    if (!search_memory_allocated()) allocate_search_memory();
    size_t len = std::strlen(line);
    const char* moves = nullptr;
    if (len > 18) {
        if (char* m = std::strstr(line + 18, "moves")) {
            m[-1] = 0;
            moves = m + 5;
        }
    }
    const char* c = line + 8;
    while (*c == ' ') ++c;
    const char* fen = START_FEN;
    if (std::strncmp(c, "fen", 3) == 0) {
        fen = c + 3;
        while (*fen == ' ') ++fen;
    }
    // A rejected FEN leaves the previous position as it was.
    int result = set_position(threads[0].position, fen, moves);
    if (result >= 0) game_moves = result;
}

static bool token_equals(const char* tok, const char* word) { return std::strncmp(tok, word, std::strlen(word)) == 0; }

static void go_command(char* line) {
    // A fresh block (also the one "ucinewgame" leaves) holds no position: search the start position.
    if (!search_memory_allocated() || !threads[0].position.current) {
        if (!search_memory_allocated()) allocate_search_memory();
        set_position(threads[0].position, START_FEN, nullptr);
        game_moves = 0;
    }
    SearchThread& t = threads[0];
    const bool black = t.position.current->black_to_move();
    t.root_end = generate_root_moves(t, t.root_moves);

    int32_t mode = Normal;
    int64_t time_left = 1000000000000LL, increment = 0, node_limit = INT64_MAX;
    int32_t moves_to_go = 0, depth_limit = 200;
    const char* search_moves[MAX_SEARCH_MOVES];
    int search_move_count = 0;
    bool search_moves_flag = false;

    // Split into tokens in place.
    char* tokens[LINE_BUFFER / 2];
    int n = 0;
    for (char* c = line + 2; *c;) {
        while (*c == ' ' || *c == '\n' || *c == '\r' || *c == '\t') *c++ = 0;
        if (!*c || n == LINE_BUFFER / 2) break;  // a reader's line never has more; a caller's might
        tokens[n++] = c;
        while (*c && *c != ' ' && *c != '\n' && *c != '\r' && *c != '\t') ++c;
    }
    for (int i = 0; i < n; ++i) {
        const char* tok = tokens[i];
        // Keywords that take a value ignore themselves when the value is missing.
        auto value = [&](int64_t& out) {
            if (i + 1 >= n) return false;
            out = read_integer(tokens[++i]);
            return true;
        };
        int64_t v;
        if (token_equals(tok, "ponder")) mode = Pondering;
        else if (token_equals(tok, "wtime")) { if (value(v) && !black) time_left = v; }
        else if (token_equals(tok, "btime")) { if (value(v) && black) time_left = v; }
        else if (token_equals(tok, "winc")) { if (value(v) && !black) increment = v; }
        else if (token_equals(tok, "binc")) { if (value(v) && black) increment = v; }
        else if (token_equals(tok, "movestogo")) { if (value(v)) moves_to_go = int32_t(clamp(v, 0, 1 << 30)); }
        else if (token_equals(tok, "depth")) { if (value(v)) depth_limit = int32_t(clamp(v, INT32_MIN, 200)); }
        else if (token_equals(tok, "nodes")) { if (value(v)) node_limit = v; }
        else if (token_equals(tok, "movetime")) {
            if (value(v)) { time_left = v; increment = v; moves_to_go = 1; }
        }
        else if (token_equals(tok, "infinite")) mode = Infinite;
        else if (token_equals(tok, "searchmoves")) search_moves_flag = true;
        else if (tok[0] >= 'a' && tok[0] <= 'h' && tok[1] >= '1' && tok[1] <= '8' && tok[2] >= 'a' && tok[2] <= 'h' &&
                 tok[3] >= '1' && tok[3] <= '8' && search_move_count < MAX_SEARCH_MOVES)
            search_moves[search_move_count++] = tok;
    }
    if (search_moves_flag) {
        RootMove* keep = t.root_moves;
        char text[8];
        for (RootMove* r = t.root_moves; r < t.root_end; ++r) {
            move_to_text(*t.position.current, r->move, text);
            for (int k = 0; k < search_move_count; ++k)
                if (std::strcmp(text, search_moves[k]) == 0) {
                    *keep++ = *r;
                    break;
                }
        }
        t.root_end = keep;
    }
    if (t.root_end == t.root_moves) {
        std::printf("bestmove 0000\n");
        std::fflush(stdout);
        search_gate.release();
        return;
    }
    control.mode.store(mode);
    control.time_left = time_left;
    control.increment = increment;
    control.node_limit = node_limit;
    control.moves_to_go = moves_to_go;
    control.depth_limit = depth_limit;
    control.game_moves = game_moves;
    control.stop.store(0);
    start_search_thread(&t.handle, [](void*) -> void* {
        run_go();
        return nullptr;
    }, nullptr, true);
}

bool handle_command(char* line) {
    // Lines from some GUIs end in a carriage return before the line feed.
    if (char* lf = std::strchr(line, '\n')) {
        if (lf > line && lf[-1] == '\r') {
            lf[-1] = '\n';
            lf[0] = 0;
        }
    }
    if (std::strncmp(line, "uci\n", 4) == 0) {
        print_identification();
    } else if (std::strncmp(line, "setoption", 9) == 0) {
        search_gate.acquire();
        set_option(line);
        search_gate.release();
    } else if (std::strncmp(line, "ucinewgame", 10) == 0) {
        search_gate.acquire();
        allocate_search_memory();
        search_gate.release();
    } else if (std::strncmp(line, "isready", 7) == 0) {
        control.output_lock.lock();
        std::printf("readyok\n");
        std::fflush(stdout);
        control.output_lock.unlock();
    } else if (std::strncmp(line, "ponderhit", 9) == 0) {
        control.mode.store(Normal);
    } else if (std::strncmp(line, "stop", 4) == 0) {
        control.stop.store(1);
    } else if (std::strncmp(line, "position", 8) == 0) {
        search_gate.acquire();
        position_command(line);
        search_gate.release();
    } else if (std::strncmp(line, "go", 2) == 0) {
        search_gate.acquire();
        go_command(line);  // the search releases the gate after its best move
    }
    return std::strncmp(line, "quit", 4) == 0;
}

int command_loop() {
    static char line[LINE_BUFFER];
    while (std::fgets(line, sizeof line, stdin)) {
        if (handle_command(line)) break;
    }
    control.stop.store(1);
    search_gate.acquire();
    search_gate.release();
    free_search_memory();
    return 0;
}
