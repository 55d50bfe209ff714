// Probes the engine's own tablebase code.
//   tbprobe [--path DIRS] <fen>             prints "wdl W dtz D" ("fail" for a failed probe)
//   tbprobe [--path DIRS] --suite FILE      checks lines "<fen> ;wdl W ;dtz D" and/or
//                                           "<fen> ;wdl W ;keep m1 m2 ..." (root ranking)
//   tbprobe [--path DIRS] --bench [FILE]    wdl_query probes per second on loaded tables, over the
//                                           positions of FILE or random three- and four-man ones
// DIRS is a SyzygyPath value. The registry's report line goes to standard error.
#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>
#include "board/board.h"
#include "board/movegen.h"
#include "board/tables.h"
#include "engine/options.h"
#include "tablebase/tablebase.h"

static void init_quietly(const char* path) {
    // Keep standard output for results only.
    std::fflush(stdout);
    int saved = dup(1);
    int null = open("/dev/null", O_WRONLY);
    if (saved >= 0 && null >= 0) dup2(null, 1);
    int largest = init_tablebases(path);
    std::fflush(stdout);
    if (saved >= 0) {
        dup2(saved, 1);
        close(saved);
    }
    if (null >= 0) close(null);
    std::fprintf(stderr, "tablebases: largest %d-men (SyzygyPath \"%s\")\n", largest, path);
}

static std::string value_text(int v, int success) { return success ? std::to_string(v) : "fail"; }

static MoveEntry* legal_moves(const PositionState& p, MoveEntry* list) {
    MoveEntry tmp[MAX_MOVES];
    MoveEntry* end = tmp;
    if (p.in_check()) {
        generate_evasions(p, &end, &end, true);
    } else {
        end = generate_underpromotions(p, end);
        end = generate_quiets(p, end, false, false);
        end = generate_captures(p, end);
    }
    MoveEntry* out = list;
    for (MoveEntry* m = tmp; m < end; ++m)
        if (is_legal(p, m->move)) *out++ = *m;
    return out;
}

static std::string trim(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\r' || s.back() == '\t')) s.pop_back();
    size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    return s.substr(i);
}

static int run_suite(Position& pos, const char* file) {
    FILE* f = std::fopen(file, "r");
    if (!f) {
        std::fprintf(stderr, "cannot open %s\n", file);
        return 2;
    }
    char line[4096];
    int passed = 0, failed = 0;
    while (std::fgets(line, sizeof line, f)) {
        char* semi = std::strchr(line, ';');
        if (!semi) continue;
        const std::string fen = trim(std::string(line, semi));
        if (set_position(pos, fen.c_str(), nullptr) < 0) {
            std::printf("FAIL %s (bad fen)\n", fen.c_str());
            ++failed;
            continue;
        }
        bool ok = true;
        std::string report;
        for (char* c = semi; c && *c; c = std::strchr(c + 1, ';')) {
            const std::string field = trim(std::string(c + 1, std::strchr(c + 1, ';') ? std::strchr(c + 1, ';') : c + std::strlen(c)));
            int expected;
            if (std::sscanf(field.c_str(), "wdl %d", &expected) == 1) {
                int success;
                const int v = wdl_query(pos, &success);
                report += " wdl " + value_text(v, success);
                if (!success || v != expected) {
                    ok = false;
                    report += " (expected " + std::to_string(expected) + ")";
                }
            } else if (std::sscanf(field.c_str(), "dtz %d", &expected) == 1) {
                int success;
                const int v = dtz_query(pos, &success);
                report += " dtz " + value_text(v, success);
                if (!success || v != expected) {
                    ok = false;
                    report += " (expected " + std::to_string(expected) + ")";
                }
            } else if (field.rfind("keep", 0) == 0) {
                std::set<std::string> want;
                char buf[4096];
                std::snprintf(buf, sizeof buf, "%s", field.c_str() + 4);
                for (char* tok = std::strtok(buf, " "); tok; tok = std::strtok(nullptr, " ")) want.insert(tok);
                RootMove moves[MAX_MOVES];
                RootMove* end = legal_moves(*pos.current, moves);
                const int score = rank_root_by_dtz(pos, moves, &end);
                std::set<std::string> got;
                for (RootMove* m = moves; m < end; ++m) {
                    char text[8];
                    got.insert(move_to_text(*pos.current, m->move, text));
                }
                report += " keep";
                for (const std::string& s : got) report += " " + s;
                report += " score " + (score == -32767 ? std::string("fail") : std::to_string(score));
                if (score == -32767 || got != want) {
                    ok = false;
                    report += " (expected";
                    for (const std::string& s : want) report += " " + s;
                    report += ")";
                }
            }
        }
        std::printf("%s %s ;%s\n", ok ? "ok  " : "FAIL", fen.c_str(), report.c_str());
        (ok ? passed : failed)++;
    }
    std::fclose(f);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}

// Random legal positions over the embedded materials, for the speed figure.
static std::vector<std::string> random_positions(int count) {
    static const char* materials[] = {"KQvK", "KRvK", "KPvK", "KQvKQ", "KQvKR", "KRvKB", "KRvKN", "KPvKP",
                                      "KBvKP", "KRvKP", "KQvKP", "KBNvK", "KBBvK", "KRPvK", "KQPvK", "KPPvK",
                                      "KNPvK", "KBPvK", "KRRvK", "KQRvK", "KRvKR", "KNvKP", "KQvKN", "KQvKB"};
    std::mt19937_64 rng(20240611);
    std::vector<std::string> out;
    auto state = std::make_unique<PositionState>();
    while (int(out.size()) < count) {
        const char* m = materials[rng() % (sizeof materials / sizeof *materials)];
        char board[64];
        std::memset(board, 0, sizeof board);
        bool white = true, ok = true;
        for (const char* c = m; *c && ok; ++c) {
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
                const char pc = board[r * 8 + f];
                if (!pc) {
                    ++empty;
                    continue;
                }
                if (empty) fen += char('0' + empty);
                empty = 0;
                fen += pc;
            }
            if (empty) fen += char('0' + empty);
            if (r) fen += '/';
        }
        fen += (rng() & 1) ? " w - - 0 1" : " b - - 0 1";
        if (parse_fen(fen.c_str(), *state)) out.push_back(fen);
    }
    return out;
}

static int run_bench(Position& pos, const char* file) {
    std::vector<std::string> fens;
    if (file) {
        FILE* f = std::fopen(file, "r");
        if (!f) {
            std::fprintf(stderr, "cannot open %s\n", file);
            return 2;
        }
        char line[4096];
        while (std::fgets(line, sizeof line, f)) {
            char* semi = std::strchr(line, ';');
            std::string fen = trim(semi ? std::string(line, semi) : std::string(line));
            if (!fen.empty()) fens.push_back(fen);
        }
        std::fclose(f);
    } else {
        fens = random_positions(20000);
    }
    // One pass loads every table the positions need; the timed passes reuse the set-up records.
    std::vector<PositionState> records;
    int64_t failures = 0;
    for (const std::string& fen : fens) {
        if (set_position(pos, fen.c_str(), nullptr) < 0) continue;
        int success;
        wdl_query(pos, &success);
        failures += success == 0;
        records.push_back(*pos.current);
    }
    if (records.empty()) {
        std::fprintf(stderr, "no positions\n");
        return 2;
    }
    int64_t probes = 0, checksum = 0;
    const auto start = std::chrono::steady_clock::now();
    double elapsed = 0;
    while (elapsed < 2.0) {
        for (const PositionState& r : records) {
            pos.states[0] = r;
            pos.current = pos.states;
            int success;
            checksum += wdl_query(pos, &success) + 3 * success;
        }
        probes += int64_t(records.size());
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    std::printf("wdl_query: %lld probes over %zu positions (%lld failed) in %.2f s: %.0f probes/s (checksum %lld)\n",
                (long long)probes, records.size(), (long long)failures, elapsed, probes / elapsed, (long long)checksum);
    return 0;
}

int main(int argc, char** argv) {
    init_board_tables();
    init_tablebase_indexing();
    std::string path = "<empty>";
    int i = 1;
    const char* suite = nullptr;
    const char* bench_file = nullptr;
    bool bench = false;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
        if (!std::strcmp(argv[i], "--path") && i + 1 < argc) path = argv[++i];
        else if (!std::strcmp(argv[i], "--suite") && i + 1 < argc) suite = argv[++i];
        else if (!std::strcmp(argv[i], "--bench")) {
            bench = true;
            if (i + 1 < argc && argv[i + 1][0] != '-') bench_file = argv[++i];
        } else break;
    }
    init_quietly(path.c_str());
    auto pos = std::make_unique<Position>();
    if (suite) return run_suite(*pos, suite);
    if (bench) return run_bench(*pos, bench_file);
    if (i >= argc) {
        std::fprintf(stderr, "usage: tbprobe [--path DIRS] <fen>\n"
                             "       tbprobe [--path DIRS] --suite FILE\n"
                             "       tbprobe [--path DIRS] --bench [FILE]\n");
        return 2;
    }
    std::string fen;
    for (int k = i; k < argc; ++k) fen += std::string(k > i ? " " : "") + argv[k];
    if (set_position(*pos, fen.c_str(), nullptr) < 0) {
        std::fprintf(stderr, "invalid FEN\n");
        return 2;
    }
    int ws, ds;
    const int w = wdl_query(*pos, &ws);
    const int d = dtz_query(*pos, &ds);
    std::printf("wdl %s dtz %s\n", value_text(w, ws).c_str(), value_text(d, ds).c_str());
    return 0;
}
