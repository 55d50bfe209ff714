// The engine driven through its standard input and output, as a GUI drives it, plus the "go"
// parsing checked on the command handler itself.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>
#include "board/board.h"
#include "board/tables.h"
#include "control/search_control.h"
#include "engine/options.h"
#include "engine/uci.h"
#include "eval/evaluate.h"
#include "platform/memory.h"
#include "search/reductions.h"

namespace {

using Clock = std::chrono::steady_clock;

// Sanitized builds search several times more slowly, and thread 0 reads the clock only every so
// many nodes: there the bounds on how soon a reply follows a deadline, "stop" or "isready" are
// widened by this factor (the Release run keeps them tight; waits for silence are not changed).
#ifdef TARNVIK_SANITIZED_BUILD
constexpr int SLOW = 3;
#else
constexpr int SLOW = 1;
#endif

int64_t ms_since(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// One engine process on a pair of pipes. Every read has a deadline; the destructor kills a
// process that is still running.
class EngineProcess {
public:
    explicit EngineProcess(std::vector<std::string> args = {}) {
        int to_child[2], from_child[2];
        if (pipe(to_child) != 0 || pipe(from_child) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(to_child[0], 0);
            dup2(from_child[1], 1);
            const int null_fd = open("/dev/null", O_WRONLY);
            dup2(null_fd, 2);
            close(to_child[1]);
            close(from_child[0]);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(TARNVIK_BINARY));
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(TARNVIK_BINARY, argv.data());
            _exit(127);
        }
        close(to_child[0]);
        close(from_child[1]);
        in_ = to_child[1];
        out_ = from_child[0];
        signal(SIGPIPE, SIG_IGN);
    }
    ~EngineProcess() {
        if (in_ >= 0) close(in_);
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }

    bool started() const { return pid_ > 0 && in_ >= 0; }

    void send(const std::string& line) {
        const std::string s = line + "\n";
        ASSERT_EQ(write(in_, s.data(), s.size()), ssize_t(s.size())) << line;
    }
    void close_input() {
        close(in_);
        in_ = -1;
    }

    // Next line (without the line feed) within timeout_ms; false on timeout or end of output.
    bool read_line(std::string& line, int timeout_ms) {
        const auto start = Clock::now();
        for (;;) {
            const size_t nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                lines_.push_back(line);
                return true;
            }
            const int64_t left = timeout_ms - ms_since(start);
            if (left <= 0) return false;
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, int(left)) <= 0) continue;
            char chunk[4096];
            const ssize_t n = read(out_, chunk, sizeof chunk);
            if (n <= 0) return false;
            buffer_.append(chunk, size_t(n));
        }
    }

    // Reads until a line starting with prefix arrives; returns that line or "" on timeout.
    std::string wait_for(const std::string& prefix, int timeout_ms) {
        const auto start = Clock::now();
        std::string line;
        for (;;) {
            const int64_t left = timeout_ms - ms_since(start);
            if (left <= 0 || !read_line(line, int(left))) return "";
            if (line.rfind(prefix, 0) == 0) return line;
        }
    }

    // Nothing starting with prefix for timeout_ms (other lines are consumed).
    bool quiet_for(const std::string& prefix, int timeout_ms) {
        const auto start = Clock::now();
        std::string line;
        for (;;) {
            const int64_t left = timeout_ms - ms_since(start);
            if (left <= 0) return true;
            if (!read_line(line, int(left))) return true;
            if (line.rfind(prefix, 0) == 0) return false;
        }
    }

    // Exit code, or -1 when the process has not ended within timeout_ms.
    int wait_exit(int timeout_ms) {
        const auto start = Clock::now();
        for (;;) {
            int status = 0;
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (ms_since(start) > timeout_ms) return -1;
            std::string line;
            read_line(line, 20);  // keep the pipe drained
        }
    }

    const std::vector<std::string>& lines() const { return lines_; }
    void forget_lines() { lines_.clear(); }

    // Last "info ... score" line seen so far.
    std::string last_score_line() const {
        for (auto it = lines_.rbegin(); it != lines_.rend(); ++it)
            if (it->rfind("info ", 0) == 0 && it->find(" score ") != std::string::npos) return *it;
        return "";
    }

    // Starts the engine, "uci" and "isready" answered.
    void handshake() {
        ASSERT_TRUE(started());
        send("uci");
        ASSERT_NE(wait_for("uciok", 5000), "");
        // The search memory is allocated here, not at the first "go": the first touch of fresh
        // pages can take seconds on a loaded virtual machine, which is no part of a search's timing.
        send("ucinewgame");
        send("isready");
        ASSERT_NE(wait_for("readyok", 30000), "");
    }

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    bool exited_ = false;
    std::string buffer_;
    std::vector<std::string> lines_;
};

// The number after a keyword of an info line; -1 when absent.
long long field(const std::string& line, const std::string& key) {
    const std::string k = " " + key + " ";
    const size_t at = line.find(k);
    if (at == std::string::npos) return -1;
    return std::atoll(line.c_str() + at + k.size());
}

std::string bestmove_of(const std::string& line) {
    if (line.rfind("bestmove ", 0) != 0) return "";
    const size_t end = line.find(' ', 9);
    return line.substr(9, end == std::string::npos ? std::string::npos : end - 9);
}

const char* const KB_VS_K = "8/8/4k3/8/8/3BK3/8/8 w - - 0 1";

}  // namespace

// ---------------------------------------------------------------------------------------------
// Commands that must be answered while a search runs.

TEST(ProtocolDuringSearch, StopEndsAnInfiniteSearchAtOnce) {
    EngineProcess e;
    e.handshake();
    e.send("position startpos moves e2e4 e7e5");
    e.send("go infinite");
    EXPECT_TRUE(e.quiet_for("bestmove", 700)) << "infinite search ended by itself";
    const auto t = Clock::now();
    e.send("stop");
    const std::string best = e.wait_for("bestmove", 5000 * SLOW);
    EXPECT_NE(best, "");
    EXPECT_LT(ms_since(t), 2500 * SLOW);  // generous: the machine may be shared
    EXPECT_EQ(best.find("bestmove 0000"), std::string::npos);
    e.send("quit");
    EXPECT_EQ(e.wait_exit(3000), 0);
}

TEST(ProtocolDuringSearch, InfiniteSearchThatReachesItsDepthLimitWaitsForStop) {
    EngineProcess e;
    e.handshake();
    e.send(std::string("position fen ") + KB_VS_K);
    e.send("go infinite");
    EXPECT_TRUE(e.quiet_for("bestmove", 800));
    e.send("stop");
    EXPECT_NE(e.wait_for("bestmove", 1000 * SLOW), "");
    e.send("quit");
    EXPECT_EQ(e.wait_exit(3000), 0);
}

TEST(ProtocolDuringSearch, IsReadyIsAnsweredWithoutWaitingForTheSearch) {
    EngineProcess e;
    e.handshake();
    e.send("position startpos");
    e.send("go infinite");
    EXPECT_TRUE(e.quiet_for("bestmove", 300));
    for (int i = 0; i < 3; ++i) {
        const auto t = Clock::now();
        e.send("isready");
        EXPECT_NE(e.wait_for("readyok", 1000 * SLOW), "");
        EXPECT_LT(ms_since(t), 2500 * SLOW);  // generous: the machine may be shared
    }
    e.send("stop");
    EXPECT_NE(e.wait_for("bestmove", 2000), "");
    e.send("quit");
    EXPECT_EQ(e.wait_exit(3000), 0);
}

TEST(ProtocolDuringSearch, QuitPrintsTheBestMoveAndExitsWithZero) {
    EngineProcess e;
    e.handshake();
    e.send("position startpos");
    e.send("go infinite");
    EXPECT_TRUE(e.quiet_for("bestmove", 300));
    e.send("quit");
    EXPECT_NE(e.wait_for("bestmove", 2000), "");
    EXPECT_EQ(e.wait_exit(3000), 0);
}

TEST(ProtocolDuringSearch, EndOfInputBehavesAsQuit) {
    EngineProcess e;
    e.handshake();
    e.send("position startpos");
    e.send("go infinite");
    EXPECT_TRUE(e.quiet_for("bestmove", 300));
    e.close_input();
    EXPECT_NE(e.wait_for("bestmove", 2000), "");
    EXPECT_EQ(e.wait_exit(3000), 0);
}

TEST(ProtocolDuringSearch, PonderhitKeepsTheDeadlinesOfTheOriginalGo) {
    EngineProcess e;
    e.handshake();
    e.send("setoption name Ponder value true");
    e.send("position startpos moves e2e4");
    // Black's clock: budget 1840 + 184 = 2024 ms, soft deadline 537 ms after the go.
    const auto t0 = Clock::now();
    e.send("go ponder wtime 30000 btime 30000");
    EXPECT_TRUE(e.quiet_for("bestmove", 2500)) << "a pondering search must not answer by itself";
    const auto t1 = Clock::now();
    e.send("ponderhit");
    // The hard deadline passed while pondering: the search ends at its next clock check.
    const std::string best = e.wait_for("bestmove", 3000);
    EXPECT_NE(best, "");
    EXPECT_LT(ms_since(t1), 400 * SLOW) << "the deadlines were not those of the original go";
    EXPECT_GE(ms_since(t0), 2500);
    e.send("quit");
    EXPECT_EQ(e.wait_exit(3000), 0);
}

TEST(ProtocolDuringSearch, PonderhitBeforeTheDeadlineContinuesTheSearch) {
    EngineProcess e;
    e.handshake();
    e.send("position startpos moves e2e4");
    // budget 8 x 59900 / 130 = 3686 ms, soft deadline 979 ms after the go.
    const auto t0 = Clock::now();
    e.send("go ponder wtime 60000 btime 60000");
    EXPECT_TRUE(e.quiet_for("bestmove", 200));
    e.send("ponderhit");
    const std::string best = e.wait_for("bestmove", 6000);
    EXPECT_NE(best, "");
    const int64_t elapsed = ms_since(t0);
    EXPECT_GE(elapsed, 950);
    EXPECT_LT(elapsed, 3686 + 400 * SLOW);
    e.send("quit");
    EXPECT_EQ(e.wait_exit(3000), 0);
}

TEST(ProtocolDuringSearch, PonderStopAnswersAtOnce) {
    EngineProcess e;
    e.handshake();
    e.send(std::string("position fen ") + KB_VS_K);
    e.send("go ponder wtime 1000 btime 1000");
    EXPECT_TRUE(e.quiet_for("bestmove", 600)) << "depth limit reached while pondering must still wait";
    const auto t = Clock::now();
    e.send("stop");
    EXPECT_NE(e.wait_for("bestmove", 1000 * SLOW), "");
    EXPECT_LT(ms_since(t), 2500 * SLOW);  // generous: the machine may be shared
    e.send("quit");
    EXPECT_EQ(e.wait_exit(3000), 0);
}

// ---------------------------------------------------------------------------------------------
// Search limits and results seen through the output.

TEST(ProtocolLimits, NodeLimitIsReachedExactlyByTheOnlyThread) {
    EngineProcess e;
    e.handshake();
    e.send("position startpos moves d2d4 g8f6 c2c4");
    e.send("go nodes 1000");
    ASSERT_NE(e.wait_for("bestmove", 5000), "");
    EXPECT_EQ(field(e.last_score_line(), "nodes"), 1000) << e.last_score_line();
    e.send("quit");
    EXPECT_EQ(e.wait_exit(3000), 0);
}

TEST(ProtocolLimits, NodeLimitWithTwoThreads) {
    EngineProcess e;
    e.handshake();
    e.send("setoption name Threads value 2");
    e.send("position startpos");
    e.send("go nodes 5000");
    ASSERT_NE(e.wait_for("bestmove", 5000), "");
    // Thread 0 stops at 5000; the total adds the helper's nodes, however many the scheduler gave it.
    EXPECT_GE(field(e.last_score_line(), "nodes"), 5000);
    e.send("quit");
    EXPECT_EQ(e.wait_exit(3000), 0);
}

TEST(ProtocolLimits, DepthIsCappedAt200) {
    EngineProcess e;
    e.handshake();
    e.send(std::string("position fen ") + KB_VS_K);
    e.send("go depth 300");
    ASSERT_NE(e.wait_for("bestmove", 10000), "");
    long long deepest = 0;
    for (const std::string& l : e.lines())
        if (l.rfind("info ", 0) == 0) deepest = std::max(deepest, field(l, "depth"));
    EXPECT_EQ(deepest, 200);
    EXPECT_EQ(field(e.last_score_line(), "depth"), 200);
    e.send("quit");
    EXPECT_EQ(e.wait_exit(3000), 0);
}

TEST(ProtocolLimits, SearchmovesRestrictsTheRoot) {
    EngineProcess e;
    e.handshake();
    e.send("position startpos");
    e.send("go depth 5 searchmoves a2a3 h2h4");
    const std::string best = bestmove_of(e.wait_for("bestmove", 10000));
    EXPECT_TRUE(best == "a2a3" || best == "h2h4") << best;
    for (const std::string& l : e.lines()) {
        const size_t pv = l.find(" pv ");
        if (l.rfind("info ", 0) != 0 || pv == std::string::npos) continue;
        const std::string first = l.substr(pv + 4, 4);
        EXPECT_TRUE(first == "a2a3" || first == "h2h4") << l;
    }
    // The keyword without move tokens removes every move.
    e.send("go depth 3 searchmoves");
    EXPECT_EQ(e.wait_for("bestmove", 3000), "bestmove 0000");
    e.send("go depth 3 searchmoves e2e5");
    EXPECT_EQ(e.wait_for("bestmove", 3000), "bestmove 0000");
    // Black to move: the tokens are real squares.
    e.send("position startpos moves e2e4");
    e.send("go depth 4 searchmoves g8f6");
    EXPECT_EQ(bestmove_of(e.wait_for("bestmove", 5000)), "g8f6");
    e.send("quit");
    EXPECT_EQ(e.wait_exit(3000), 0);
}

TEST(ProtocolLimits, NoLegalMoveAnswersNullMove) {
    EngineProcess e;
    e.handshake();
    e.send("position fen 7k/6Q1/6K1/8/8/8/8/8 b - - 0 1");
    e.send("go depth 5");
    EXPECT_EQ(e.wait_for("bestmove", 3000), "bestmove 0000");
    e.send("quit");
    EXPECT_EQ(e.wait_exit(3000), 0);
}

TEST(ProtocolLimits, GoBeforeAnyPositionSearchesTheStart) {
    EngineProcess e;
    e.handshake();
    e.send("go depth 3");
    const std::string best = bestmove_of(e.wait_for("bestmove", 5000));
    const std::set<std::string> opening = {"a2a3", "a2a4", "b2b3", "b2b4", "c2c3", "c2c4", "d2d3", "d2d4", "e2e3", "e2e4",
                                           "f2f3", "f2f4", "g2g3", "g2g4", "h2h3", "h2h4", "b1a3", "b1c3", "g1f3", "g1h3"};
    EXPECT_TRUE(opening.count(best)) << best;
    e.send("quit");
    EXPECT_EQ(e.wait_exit(3000), 0);
}

TEST(ProtocolLimits, MateScoresForBothSides) {
    EngineProcess e;
    e.handshake();
    e.send("position fen 6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1");
    e.send("go depth 6");
    EXPECT_EQ(bestmove_of(e.wait_for("bestmove", 5000)), "a1a8");
    EXPECT_NE(e.last_score_line().find(" score mate 1 pv a1a8"), std::string::npos) << e.last_score_line();
    e.forget_lines();
    e.send("position fen 7k/8/6K1/8/8/8/8/R7 b - - 0 1");
    e.send("go depth 6");
    const std::string best = e.wait_for("bestmove", 5000);
    EXPECT_EQ(bestmove_of(best), "h8g8");
    EXPECT_NE(best.find("ponder a1a8"), std::string::npos) << best;
    // Mate-distance pruning makes the mating reply a lower bound, so the line stops after h8g8.
    EXPECT_NE(e.last_score_line().find(" score mate -1 pv h8g8"), std::string::npos) << e.last_score_line();
    e.send("quit");
    EXPECT_EQ(e.wait_exit(3000), 0);
}

// A tablebase win or loss is shown in centipawns beyond any evaluation, on every MultiPV line and
// for both sides; a mate the search finds is still a mate.
TEST(ProtocolLimits, TablebaseResultsAreNotMates) {
    EngineProcess e;
    e.handshake();
    e.send("setoption name MultiPV value 3");
    for (const char* side : {"w", "b"}) {
        e.forget_lines();
        e.send(std::string("position fen 8/8/8/8/3K4/8/4P3/k7 ") + side + " - - 0 1");
        e.send("go depth 10");
        ASSERT_NE(e.wait_for("bestmove", 10000), "") << side;
        int scored = 0;
        for (const std::string& l : e.lines()) {
            if (l.find(" score ") == std::string::npos) continue;
            ++scored;
            EXPECT_EQ(l.find("score mate"), std::string::npos) << l;
            const long long cp = field(l, "cp");
            if (*side == 'w')
                EXPECT_GT(cp, 25766) << l;  // the evaluation's clamp
            else
                EXPECT_LT(cp, -25766) << l;
        }
        EXPECT_GE(scored, 10) << side;
    }
    e.forget_lines();
    e.send("position fen 6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1");
    e.send("go depth 6");
    EXPECT_EQ(bestmove_of(e.wait_for("bestmove", 5000)), "d1d8");
    EXPECT_NE(e.last_score_line().find("info multipv 1 "), std::string::npos) << e.last_score_line();
    EXPECT_NE(e.last_score_line().find(" score mate 1 pv d1d8"), std::string::npos) << e.last_score_line();
    e.send("quit");
    EXPECT_EQ(e.wait_exit(3000), 0);
}

TEST(ProtocolLimits, MultiPVWithFewerMovesThanLines) {
    EngineProcess e;
    e.handshake();
    e.send("setoption name MultiPV value 3");
    // Two legal moves: Kb8 and h5.
    e.send("position fen k7/8/1K5p/8/8/8/8/7R b - - 0 1");
    e.send("go depth 4");
    ASSERT_NE(e.wait_for("bestmove", 5000), "");
    std::vector<std::pair<long long, long long>> order;  // (depth, multipv) in print order
    for (const std::string& l : e.lines())
        if (l.rfind("info multipv ", 0) == 0) order.push_back({field(l, "depth"), field(l, "multipv")});
    // Each depth prints line 2 then line 1; no third line and no extra closing line.
    ASSERT_EQ(order.size(), 8u);
    for (size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(order[i].first, static_cast<long long>(i / 2 + 1));
        EXPECT_EQ(order[i].second, i % 2 == 0 ? 2 : 1);
    }
    e.send("quit");
    EXPECT_EQ(e.wait_exit(3000), 0);
}

TEST(ProtocolLimits, InfoLinesHaveTheFullFormat) {
    EngineProcess e;
    e.handshake();
    e.send("position startpos moves e2e4 e7e5 g1f3");
    e.send("go depth 7");
    ASSERT_NE(e.wait_for("bestmove", 10000), "");
    const std::regex info(
        "info multipv 1 depth \\d+ seldepth \\d+ time \\d+ nodes \\d+ nps \\d+ tbhits \\d+ hashfull \\d+ "
        "score (cp -?\\d+|mate -?\\d+) pv( [a-h][1-8][a-h][1-8][nbrq]?)+ ?");
    const std::regex best("bestmove [a-h][1-8][a-h][1-8][nbrq]?( ponder [a-h][1-8][a-h][1-8][nbrq]?)?");
    int infos = 0;
    for (const std::string& l : e.lines()) {
        if (l.rfind("info multipv", 0) == 0) {
            ++infos;
            EXPECT_TRUE(std::regex_match(l, info)) << l;
        }
        if (l.rfind("bestmove", 0) == 0) {
            EXPECT_TRUE(std::regex_match(l, best)) << l;
        }
    }
    // One line per depth plus the closing line.
    EXPECT_EQ(infos, 8);
    e.send("quit");
    EXPECT_EQ(e.wait_exit(3000), 0);
}

TEST(ProtocolLimits, MovetimeIsRespected) {
    EngineProcess e;
    e.handshake();
    e.send("position startpos moves g1f3 d7d5");
    const auto t = Clock::now();
    e.send("go movetime 1000");
    ASSERT_NE(e.wait_for("bestmove", 3000 * SLOW), "");
    // Budget 900 ms: the soft deadline is 239 ms, the hard one 900 ms.
    EXPECT_LE(ms_since(t), 900 + 400 * SLOW);
    EXPECT_GE(ms_since(t), 230);
    e.send("quit");
    EXPECT_EQ(e.wait_exit(3000), 0);
}

// ---------------------------------------------------------------------------------------------
// Reproducibility.

namespace {
long long depth_nodes(EngineProcess& e, const std::string& position, int depth) {
    e.forget_lines();
    e.send("ucinewgame");
    e.send(position);
    e.send("go depth " + std::to_string(depth));
    if (e.wait_for("bestmove", 60000).empty()) return -1;
    return field(e.last_score_line(), "nodes");
}
}  // namespace

TEST(ProtocolDeterminism, FixedDepthNodeCountsRepeatWithOneThread) {
    const std::string positions[] = {
        "position startpos moves e2e4 e7e5 g1f3 b8c6",
        "position fen r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
        "position fen 8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    };
    std::vector<long long> first;
    {
        EngineProcess e;
        e.handshake();
        for (const std::string& p : positions) first.push_back(depth_nodes(e, p, 8));
        // Same process, after "ucinewgame": the same counts.
        for (size_t i = 0; i < std::size(positions); ++i) {
            EXPECT_EQ(depth_nodes(e, positions[i], 8), first[i]) << i;
        }
        e.send("quit");
        EXPECT_EQ(e.wait_exit(3000), 0);
    }
    EngineProcess e2;
    e2.handshake();
    for (size_t i = 0; i < std::size(positions); ++i) {
        EXPECT_GT(first[i], 0);
        EXPECT_EQ(depth_nodes(e2, positions[i], 8), first[i]) << i;
    }
    e2.send("quit");
    EXPECT_EQ(e2.wait_exit(3000), 0);
}

TEST(ProtocolDeterminism, BenchTotalIsStable) {
    std::string totals[2];
    for (std::string& total : totals) {
        EngineProcess e({"pgo", "7"});
        ASSERT_TRUE(e.started());
        int bestmoves = 0;
        std::string line;
        while (e.read_line(line, 120000)) {
            if (line.rfind("bestmove ", 0) == 0) ++bestmoves;
            if (line.rfind("Total nodes searched: ", 0) == 0) total = line;
        }
        EXPECT_EQ(e.wait_exit(5000), 0);
        EXPECT_EQ(bestmoves, 10);
        ASSERT_NE(total, "");
        EXPECT_GT(std::atoll(total.c_str() + 22), 1000);
    }
    EXPECT_EQ(totals[0], totals[1]);
}

// "bench [depth]" for testing frameworks: the same searches as "pgo", ending with the two summary
// lines (and a "N nodes N nps" line for parsers that scan from the end for those words).
TEST(ProtocolDeterminism, BenchSummaryForFrameworks) {
    auto run = [](std::vector<std::string> args) {
        EngineProcess e(std::move(args));
        std::vector<std::string> out;
        std::string line;
        while (e.read_line(line, 120000)) out.push_back(line);
        EXPECT_EQ(e.wait_exit(5000), 0);
        return out;
    };
    long long nodes[2] = {-1, -2};
    for (long long& n : nodes) {
        const std::vector<std::string> out = run({"bench", "5"});
        ASSERT_GE(out.size(), 3u);
        std::smatch m[3];
        const std::string& last = out.back();
        const std::string& second = out[out.size() - 2];
        const std::string& third = out[out.size() - 3];
        ASSERT_TRUE(std::regex_match(second, m[0], std::regex("Nodes searched: (\\d+)"))) << second;
        ASSERT_TRUE(std::regex_match(last, m[1], std::regex("Nodes/second: (\\d+)"))) << last;
        ASSERT_TRUE(std::regex_match(third, m[2], std::regex("(\\d+) nodes (\\d+) nps"))) << third;
        n = std::stoll(m[0][1]);
        EXPECT_EQ(m[2][1], m[0][1]);
        EXPECT_EQ(m[2][2], m[1][1]);
        EXPECT_GT(std::stoll(m[1][1]), 0);
    }
    EXPECT_EQ(nodes[0], nodes[1]);
    const std::vector<std::string> pgo = run({"pgo", "5"});
    ASSERT_FALSE(pgo.empty());
    EXPECT_EQ(pgo.back(), "Total nodes searched: " + std::to_string(nodes[0]));
}

// ---------------------------------------------------------------------------------------------
// Two threads.

TEST(ProtocolThreads, TwoThreadsSearchAndStopCleanly) {
    EngineProcess e;
    e.handshake();
    e.send("setoption name Threads value 2");
    e.send("ucinewgame");
    e.send("position startpos moves e2e4 c7c5");
    for (int round = 0; round < 3; ++round) {
        e.send("go depth 9");
        EXPECT_NE(e.wait_for("bestmove", 30000), "") << "round " << round;
        const auto t = Clock::now();
        e.send("go movetime 300");
        EXPECT_NE(e.wait_for("bestmove", 3000 * SLOW), "");
        EXPECT_LT(ms_since(t), 300 + 500 * SLOW);
        e.send("go infinite");
        EXPECT_TRUE(e.quiet_for("bestmove", 300));
        e.send("isready");
        EXPECT_NE(e.wait_for("readyok", 1000 * SLOW), "");
        e.send("stop");
        EXPECT_NE(e.wait_for("bestmove", 1000 * SLOW), "");
    }
    // Every line printed while the two threads ran is whole.
    for (const std::string& l : e.lines()) {
        const bool known = l.rfind("info multipv ", 0) == 0 || l.rfind("info currmove ", 0) == 0 ||
                           l.rfind("bestmove ", 0) == 0 || l == "readyok" || l.rfind("id ", 0) == 0 ||
                           l.rfind("option ", 0) == 0 || l == "uciok" || l.rfind("info string ", 0) == 0;
        EXPECT_TRUE(known) << l;
        if (l.rfind("info multipv ", 0) == 0) { EXPECT_NE(l.find(" pv "), std::string::npos) << l; }
    }
    e.send("quit");
    EXPECT_EQ(e.wait_exit(3000), 0);
}

// ---------------------------------------------------------------------------------------------
// The "go" line as the command handler parses it.

namespace {
void init_engine_in_process() {
    static bool done = false;
    if (!done) {
        done = true;
        set_option_defaults();
        init_board_tables();
        init_reductions();
        unpack_network();
    }
    options.hash = 1;
    options.threads = 1;
    allocate_search_memory();
}

// Feeds one line to the handler; for "go", waits until the search has printed its best move.
std::string handle(const std::string& text) {
    std::vector<char> line(text.begin(), text.end());
    line.push_back('\n');
    line.push_back(0);
    testing::internal::CaptureStdout();
    handle_command(line.data());
    if (text.rfind("go", 0) == 0) {
        search_gate.acquire();
        search_gate.release();
    }
    return testing::internal::GetCapturedStdout();
}
}  // namespace

TEST(GoParsing, LimitsAreReadForTheSideToMove) {
    init_engine_in_process();
    handle(std::string("position fen ") + KB_VS_K);
    handle("go depth 300");
    EXPECT_EQ(control.depth_limit, 200);
    handle("go wtime 5000 btime 7000 winc 10 binc 20 movestogo 9 depth 1");
    EXPECT_EQ(control.time_left, 5000);
    EXPECT_EQ(control.increment, 10);
    EXPECT_EQ(control.moves_to_go, 9);
    EXPECT_EQ(control.depth_limit, 1);
    EXPECT_EQ(control.node_limit, INT64_MAX);
    handle("go btime 7000 binc 20 depth 1");
    EXPECT_EQ(control.time_left, 1000000000000LL);
    EXPECT_EQ(control.increment, 0);
    handle("go movetime 5000 depth 2");
    EXPECT_EQ(control.time_left, 5000);
    EXPECT_EQ(control.increment, 5000);
    EXPECT_EQ(control.moves_to_go, 1);
    handle("go nodes 777 depth 3");
    EXPECT_EQ(control.node_limit, 777);
    handle("go   depth    4   ");
    EXPECT_EQ(control.depth_limit, 4);
    handle("position fen 8/8/4k3/8/8/3BK3/8/8 b - - 0 1");
    handle("go wtime 5000 btime 7000 winc 10 binc 20 depth 1");
    EXPECT_EQ(control.time_left, 7000);
    EXPECT_EQ(control.increment, 20);
    EXPECT_EQ(control.moves_to_go, 0);
    // A keyword without its value at the end of the line is harmless.
    handle("go depth 1 wtime");
    handle("go depth 1 btime");
    handle("go depth 1 movestogo");
    EXPECT_EQ(control.depth_limit, 1);
    handle("go depth");
    EXPECT_EQ(control.depth_limit, 200);
    free_search_memory();
}

TEST(GoParsing, PositionMovesAndGameMoves) {
    init_engine_in_process();
    handle("position startpos moves e2e4 e7e5");
    EXPECT_EQ(control.game_moves, 0);  // written by go only
    handle("go depth 1");
    EXPECT_EQ(control.game_moves, 1);
    handle("position startpos moves e2e4 e7e5 g1f3");
    handle("go depth 1");
    EXPECT_EQ(control.game_moves, 1);
    handle("position startpos");
    handle("go depth 1");
    EXPECT_EQ(control.game_moves, 0);
    EXPECT_TRUE(threads[0].position.current->black_to_move() == false);
    free_search_memory();
}
