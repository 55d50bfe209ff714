// The engine binary fed a whole session on standard input: what it prints and how it exits.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace {

struct Session {
    std::string out;
    int exit_code = -1;  // -1: killed after the time limit, -2: died from a signal
};

// Runs the engine with the given input, closes its input, and collects everything it prints
// until it exits or timeout_ms has passed (then it is killed).
Session run_engine(const std::string& input, int timeout_ms = 30000) {
    Session s;
    int to_child[2], from_child[2];
    if (pipe(to_child) != 0 || pipe(from_child) != 0) return s;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 2);
        close(to_child[1]);
        close(from_child[0]);
        execl(TARNVIK_BINARY, TARNVIK_BINARY, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    signal(SIGPIPE, SIG_IGN);
    fcntl(to_child[1], F_SETFL, O_NONBLOCK);
    int in = to_child[1];
    size_t written = 0;
    if (input.empty()) {
        close(in);
        in = -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd fds[2] = {{from_child[0], POLLIN, 0}, {in, POLLOUT, 0}};
        if (poll(fds, in >= 0 ? 2 : 1, int(left)) <= 0) continue;
        if (in >= 0 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n = write(in, input.data() + written, input.size() - written);
            if (n > 0) written += size_t(n);
            if (n < 0 || written == input.size()) {
                close(in);
                in = -1;
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            char chunk[4096];
            const ssize_t n = read(from_child[0], chunk, sizeof chunk);
            if (n <= 0) break;  // the engine closed its output: it has ended
            s.out.append(chunk, size_t(n));
        }
    }
    if (in >= 0) close(in);
    close(from_child[0]);
    int status = 0;
    for (int i = 0; i < 200 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(10000);
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return s;
    }
    s.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    return s;
}

std::vector<std::string> lines_of(const std::string& out) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(out.substr(start, nl - start));
    return lines;
}

std::vector<std::string> bestmoves(const std::string& out) {
    std::vector<std::string> moves;
    for (const std::string& l : lines_of(out))
        if (l.rfind("bestmove ", 0) == 0) moves.push_back(l.substr(9, l.find(' ', 9) - 9));
    return moves;
}

// Whether the move is legal in the position the commands set up: a search restricted to it plays
// it, and answers the null move when it is not legal there.
std::string probe(const std::string& setup, const std::string& move) {
    const Session s = run_engine(setup + "go depth 1 searchmoves " + move + "\nquit\n");
    const std::vector<std::string> moves = bestmoves(s.out);
    EXPECT_EQ(s.exit_code, 0) << setup;
    if (moves.size() == 1) return moves[0];
    std::string count = "bestmove lines: ";
    count += std::to_string(moves.size());
    return count;
}

const std::regex STARTUP_LINE("info string Found [0-9]+ WDL and [0-9]+ DTZ tablebase files\\. Largest [0-9]+-men\\.\n");

const char* const UCI_REPLY =
    "id name Tarnvik 4.0 avx2\n"
    "id author Velkaro\n"
    "option name Hash type spin default 256 min 1 max 67108864\n"
    "option name Threads type spin default 1 min 1 max 2048\n"
    "option name Ponder type check default false\n"
    "option name OwnBook type check default false\n"
    "option name BookFile type string default book.bin\n"
    "option name BookRandom type check default false\n"
    "option name DrawScore type spin default 0 min -100 max 100\n"
    "option name MoveOverhead type spin default 100 min 0 max 5000\n"
    "option name Strength type spin default 100 min 1 max 100\n"
    "option name MultiPV type spin default 1 min 1 max 256\n"
    "option name LargePages type check default false\n"
    "option name UCI_Chess960 type check default false\n"
    "option name SyzygyPath type string default <empty>\n"
    "option name Syzygy50MoveRule type check default true\n"
    "option name SyzygyProbeLimit type spin default 7 min 0 max 7\n"
    "option name SyzygyProbeDepth type spin default 0 min 0 max 200\n"
    "uciok\n";

// The output with the start-up report line removed (it is checked where it matters).
std::string after_startup(const std::string& out) {
    std::smatch m;
    if (std::regex_search(out, m, STARTUP_LINE) && m.position(0) == 0) return out.substr(size_t(m.length(0)));
    ADD_FAILURE() << "no start-up line: " << out.substr(0, 200);
    return out;
}

}  // namespace

TEST(UciSession, IdentificationAndOptionsByteForByte) {
    const Session s = run_engine("uci\n");
    EXPECT_EQ(s.exit_code, 0);
    EXPECT_EQ(after_startup(s.out), UCI_REPLY);
    // A GUI that ends its lines in CR LF is answered the same.
    EXPECT_EQ(after_startup(run_engine("uci\r\n").out), UCI_REPLY);
    // Only the exact word: "ucinewgame" and "ucix" print nothing.
    EXPECT_EQ(after_startup(run_engine("ucix\nucinewgame\nuci \n").out), "");
}

TEST(UciSession, IsReadyAnswersReadyOk) {
    const Session s = run_engine("isready\nisready\n");
    EXPECT_EQ(s.exit_code, 0);
    EXPECT_EQ(after_startup(s.out), "readyok\nreadyok\n");
}

TEST(UciSession, QuitAndEndOfInputExitWithZero) {
    for (const char* input : {"quit\n", "", "isready\n", "quit", "quit\nisready\n", "position startpos\ngo depth 2\n"}) {
        const Session s = run_engine(input);
        EXPECT_EQ(s.exit_code, 0) << input;
    }
    // Nothing after "quit" is read.
    EXPECT_EQ(after_startup(run_engine("quit\nisready\n").out), "");
}

TEST(UciSession, CastlingInBothNotationsAndBothModes) {
    const std::string opening = "e2e4 e7e5 g1f3 b8c6 f1c4 g8f6 ";
    for (const char* mode : {"false", "true"}) {
        const std::string option = std::string("setoption name UCI_Chess960 value ") + mode + "\n";
        for (const char* white : {"e1g1", "e1h1"})
            for (const char* black : {"e8g8", "e8h8"}) {
                const std::string setup = option + "position startpos moves " + opening + white + " f8c5 d2d3 " +
                                          black + " c1g5\n";
                const std::string where = std::string(mode) + " " + white + " " + black;
                // Black to move with the king on g8 and the rook on f8; white has castled too.
                EXPECT_EQ(probe(setup, "f8e8"), "f8e8") << where;
                EXPECT_EQ(probe(setup, "g8h8"), "g8h8") << where;
                EXPECT_EQ(probe(setup, "e8f8"), "0000") << where;
                EXPECT_EQ(probe(setup, "g5f6"), "0000") << where;  // white's move, not black's
            }
    }
    // A castling letter without a rook on its wing grants no castling on the other wing.
    EXPECT_EQ(probe("position fen 4k3/8/8/8/8/8/8/R3K3 w K - 0 1\n", "e1c1"), "0000");
    EXPECT_EQ(probe("position fen 4k3/8/8/8/8/8/8/R3K3 w Q - 0 1\n", "e1c1"), "e1c1");
    // Chess960 with the kings on c1/c8 and the a-side rooks on b1/b8: castling leaves each king
    // where it is and takes the rook to d1/d8, written as the king taking its own rook.
    const std::string setup = "setoption name UCI_Chess960 value true\n"
                              "position fen nrkbqrbn/pppppppp/8/8/8/8/PPPPPPPP/NRKBQRBN w FBfb - 0 1 moves "
                              "c2c3 c7c6 d1c2 d8c7 c1b1";
    EXPECT_EQ(probe(setup + "\n", "c8b8"), "c8b8");
    EXPECT_EQ(probe(setup + " c8b8 d2d4 d7d5\n", "d1d3"), "d1d3");      // white's rook is on d1
    EXPECT_EQ(probe(setup + " c8b8 d2d4 d7d5 e2e4\n", "d8d6"), "d8d6");  // black's on d8
    EXPECT_EQ(probe(setup + " c8b8 d2d4 d7d5\n", "c1b1"), "c1b1");      // now a plain king step
}

TEST(UciSession, MatedAndStalematedPositionsAnswerTheNullMove) {
    for (const char* setup : {
             "position startpos moves f2f3 e7e5 g2g4 d8h4\n",          // white mated
             "position fen 7k/5Q2/6K1/8/8/8/8/8 b - - 0 1\n",           // black stalemated
             "position fen 6k1/5ppp/8/8/8/8/8/3R2K1 w - - 0 1 moves d1d8\n",  // back-rank mate
             "position fen k7/8/1QK5/8/8/8/8/8 b - - 0 1\n",            // stalemate in the corner
         }) {
        const Session s = run_engine(std::string(setup) + "go depth 5\ngo wtime 1000 btime 1000\ngo infinite\nquit\n");
        EXPECT_EQ(s.exit_code, 0) << setup;
        EXPECT_EQ(bestmoves(s.out), (std::vector<std::string>{"0000", "0000", "0000"})) << setup;
    }
}

TEST(UciSession, BadPositionsLeaveThePreviousPositionInPlace) {
    const std::string kept = "position startpos moves e2e4\n";
    for (const char* bad : {
             "position fen rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNX w KQkq - 0 1\n",
             "position fen 8/8/8/8/8/8/8/8 w - - 0 1\n",
             "position fen 4k3/4R3/8/8/8/8/8/4K3 w - - 0 1\n",
             "position fen 4k3/8/8/8/8/8/8/4KK2 w - - 0 1\n",
             "position fen 4k3/8/8/8/8/8/8/P3K3 w - - 0 1\n",
             "position fen rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w\n",
             "position fen\n",
             // Material no game reaches: more moves than the engine's move lists hold.
             "position fen BQQQQQQQ/Q6Q/Q6Q/Q6Q/Q6Q/Q6Q/BR5Q/kBQQQKQB w - - 0 1\n",
         })
        EXPECT_EQ(probe(kept + bad, "e7e5"), "e7e5") << bad;
    // A bad move ends the list; the moves before it stand.
    EXPECT_EQ(probe("position startpos moves e2e4 e7e5 g1g3 g1f3\n", "g1f3"), "g1f3");
    EXPECT_EQ(probe("position startpos moves e2e4 e7e5 g1g3 g1f3\n", "b8c6"), "0000");
}

TEST(UciSession, GarbageNeverCrashesTheEngine) {
    std::mt19937 rng(41);
    std::string input;
    input += "\n\n\r\n   \n";
    input += std::string(40000, 'x') + "\n";                        // several reads of one line
    input += "position startpos moves " + std::string(20000, ' ') + "e2e4\n";
    // A go of one long token, and one whose keyword lacks its value: no limits, so stopped.
    input += "go " + std::string(30000, 'd') + "\nstop\n";
    input += "go depth\nstop\n";
    for (int i = 0; i < 300; ++i) {
        std::string line(rng() % 200, 0);
        for (char& c : line) c = char(rng() % 256);
        input += line + "\n";
    }
    input += std::string("pos\0ition startpos\n", 19);
    input += "setoption name Hash value 1\nucinewgame\nposition startpos moves e2e4\r\n";
    input += "go depth 1 searchmoves e7e5\r\n";
    input += "isready\n";
    const Session s = run_engine(input + "quit\n", 60000);
    EXPECT_EQ(s.exit_code, 0);
    const std::vector<std::string> lines = lines_of(s.out);
    // "isready" is answered at once, also while the last search runs.
    EXPECT_NE(std::find(lines.begin(), lines.end(), "readyok"), lines.end());
    const std::vector<std::string> moves = bestmoves(s.out);
    ASSERT_FALSE(moves.empty());
    EXPECT_EQ(moves.back(), "e7e5");
}
