// Counts the leaf nodes of the legal move tree, on the engine's own generators and legality test.
//   perft [--chess960] [--divide] <depth> <fen>
//   perft [--chess960] --suite FILE      (lines "<fen> ;D1 n ;D2 n ...")
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include "board/board.h"
#include "board/movegen.h"
#include "board/tables.h"
#include "engine/options.h"

static MoveEntry* legal_candidates(const PositionState& p, MoveEntry* list) {
    MoveEntry* end = list;
    if (p.in_check()) {
        generate_evasions(p, &end, &end, true);
        return end;
    }
    end = generate_captures(p, end);
    end = generate_underpromotions(p, end);
    return generate_quiets(p, end, false, false);
}

static uint64_t perft(Position& pos, int depth) {
    const PositionState& p = *pos.current;
    // The last ply is counted, not generated (bulk counting).
    if (depth == 1) return uint64_t(count_legal_moves(p));
    MoveEntry list[256];
    MoveEntry* end = legal_candidates(p, list);
    uint64_t nodes = 0;
    for (MoveEntry* e = list; e < end; ++e) {
        Move m = e->move;
        if (!is_legal(p, m)) continue;
        if (m & (MOVE_CAPTURE | MOVE_PROMOTION)) m = gives_check(p, m);
        make_move(pos, m, nullptr);
        nodes += perft(pos, depth - 1);
        unmake(pos);
    }
    return nodes;
}

static uint64_t run(Position& pos, int depth, bool divide) {
    if (depth <= 0) return 1;
    if (!divide) return perft(pos, depth);
    MoveEntry list[256];
    const PositionState& p = *pos.current;
    MoveEntry* end = legal_candidates(p, list);
    uint64_t total = 0;
    for (MoveEntry* e = list; e < end; ++e) {
        Move m = e->move;
        if (!is_legal(p, m)) continue;
        m = gives_check(p, m);
        char text[8];
        move_to_text(p, m, text);
        make_move(pos, m, nullptr);
        uint64_t n = depth > 1 ? perft(pos, depth - 1) : 1;
        unmake(pos);
        std::printf("%s: %llu\n", text, (unsigned long long)n);
        total += n;
    }
    return total;
}

static int run_suite(Position& pos, const char* file) {
    FILE* f = std::fopen(file, "r");
    if (!f) {
        std::fprintf(stderr, "cannot open %s\n", file);
        return 2;
    }
    char line[1024];
    int passed = 0, failed = 0;
    while (std::fgets(line, sizeof line, f)) {
        char* semi = std::strchr(line, ';');
        if (!semi) continue;
        std::string fen(line, semi);
        while (!fen.empty() && fen.back() == ' ') fen.pop_back();
        if (set_position(pos, fen.c_str(), nullptr) < 0) {
            std::printf("FAIL bad fen: %s\n", fen.c_str());
            ++failed;
            continue;
        }
        bool ok = true;
        std::string report;
        for (char* c = semi; (c = std::strchr(c, ';'));) {
            ++c;
            int depth = 0;
            unsigned long long expected = 0;
            if (std::sscanf(c, " D%d %llu", &depth, &expected) != 2) continue;
            uint64_t got = perft(pos, depth);
            char buf[96];
            std::snprintf(buf, sizeof buf, " D%d %llu", depth, (unsigned long long)got);
            report += buf;
            if (got != expected) {
                ok = false;
                std::snprintf(buf, sizeof buf, " (expected %llu)", expected);
                report += buf;
            }
        }
        std::printf("%s %s%s\n", ok ? "ok  " : "FAIL", fen.c_str(), report.c_str());
        (ok ? passed : failed)++;
    }
    std::fclose(f);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}

int main(int argc, char** argv) {
    init_board_tables();
    bool divide = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
        if (!std::strcmp(argv[i], "--chess960")) options.chess960 = true;
        else if (!std::strcmp(argv[i], "--divide")) divide = true;
        else if (!std::strcmp(argv[i], "--suite") && i + 1 < argc) {
            auto pos = std::make_unique<Position>();
            return run_suite(*pos, argv[i + 1]);
        } else break;
    }
    if (argc - i < 1) {
        std::fprintf(stderr, "usage: perft [--chess960] [--divide] <depth> [fen]\n"
                             "       perft [--chess960] --suite FILE\n");
        return 2;
    }
    int depth = std::atoi(argv[i]);
    std::string fen = START_FEN;
    if (argc - i >= 2) {
        fen.clear();
        for (int k = i + 1; k < argc; ++k) fen += std::string(k > i + 1 ? " " : "") + argv[k];
    }
    auto pos = std::make_unique<Position>();
    if (set_position(*pos, fen.c_str(), nullptr) < 0) {
        std::fprintf(stderr, "invalid FEN\n");
        return 2;
    }
    auto start = std::chrono::steady_clock::now();
    uint64_t n = run(*pos, depth, divide);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("nodes %llu time %.3f s nps %.0f\n", (unsigned long long)n, s, s > 0 ? n / s : 0.0);
    return 0;
}
