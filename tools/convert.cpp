// Converts training data between the text lines "<fen> | <score> | <result>" and game files (.tvg,
// layout in game_file.h), and shows what the trainer reads from either.
//
//   convert IN OUT              text -> game file, or game file -> text (IN told apart by its magic,
//                               plain or .xz; OUT is written plain: compress it with xz)
//   convert --samples FILE...   per file: the samples the trainer reads, a checksum over all their
//                               values in order, and the reading time
//
// Text -> game file: a line continues the game record of the line before when its position follows
// from that one by one legal move, or by two with the position between them kept as a non-training
// ply, the engine writes the FEN of that position exactly as the line does, and the result text is
// the same; any other line starts a new record. Every record is decoded again as soon as it is
// complete and must give back its lines byte for byte. What a game file cannot hold exactly (a score
// that is not a plain integer, another spelling of the result, a FEN the engine writes differently,
// a last line without a newline) stops the conversion with the file and line named.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>
#include "board/board.h"
#include "board/movegen.h"
#include "board/tables.h"
#include "game_file.h"
#include "trainer.h"

using namespace games;

namespace {

std::string out_path;

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "convert: %s\n", message.c_str());
    if (!out_path.empty()) std::remove(out_path.c_str());
    std::exit(1);
}

struct Output {
    std::FILE* f = nullptr;
    std::string buf;
    void open(const std::string& path) {
        out_path = path;
        f = std::fopen(path.c_str(), "wb");
        if (!f) fail("cannot write " + path);
    }
    void write(bool all) {
        if (!all && buf.size() < (1 << 20)) return;
        if (std::fwrite(buf.data(), 1, buf.size(), f) != buf.size()) fail("cannot write " + out_path);
        buf.clear();
    }
    void close() {
        write(true);
        if (std::fclose(f) != 0) fail("cannot write " + out_path);
    }
};

class TextToGames {
public:
    TextToGames(const std::string& name, Output& out) : name_(name), out_(out) {}

    void line(long no, const std::string& text) {
        auto bad = [&](const std::string& why) { fail(name_ + ":" + std::to_string(no) + ": " + why); };
        const size_t a = text.find(" | "), b = a == std::string::npos ? a : text.find(" | ", a + 3);
        if (b == std::string::npos) bad("not a line \"<fen> | <score> | <result>\"");
        const std::string fen = text.substr(0, a), score_text = text.substr(a + 3, b - a - 3),
                          result_text = text.substr(b + 3);
        char* end = nullptr;
        const long score = std::strtol(score_text.c_str(), &end, 10);
        if (score_text.empty() || *end || std::to_string(score) != score_text || score < -32767 || score > 32767)
            bad("score \"" + score_text + "\" is not written as a plain integer within +-32767");
        int result = 0;
        while (result < 3 && result_text != RESULT_TEXT[result]) ++result;
        if (result == 3) bad("result \"" + result_text + "\" is not 0.0, 0.5 or 1.0");
        PositionState s;
        if (!parse_fen(fen.c_str(), s)) bad("the board code rejects the FEN \"" + fen + "\"");
        const long fullmove = std::strtol(fen.c_str() + fen.rfind(' ') + 1, nullptr, 10);
        if (fullmove < 1 || fullmove > 65535) bad("fullmove number out of range 1..65535");

        if (open_ && result == rec_.result && rec_.plies.size() + MAX_GAP <= size_t(MAX_PLIES) && follow(s, fen, int(score))) {
            lines_.push_back({no, text});
            return;
        }
        finish();
        char written[FEN_BUFFER];
        if (fen != position_to_fen(s, written, int(fullmove)))
            bad("the engine writes this position as \"" + std::string(written) + "\", so it would not read back the same");
        rec_ = GameRecord{};
        rec_.start = last_ = s;
        rec_.fullmove = last_fullmove_ = int(fullmove);
        rec_.result = result;
        rec_.score = int(score);
        open_ = true;
        lines_.assign(1, {no, text});
    }

    // Writes the open record after decoding it again and comparing it with its lines.
    void finish() {
        if (!open_) return;
        const size_t at = out_.buf.size();
        if (!append_game(rec_, out_.buf)) fail(name_ + ":" + std::to_string(lines_[0].first) + ": field out of range");
        size_t k = 0;
        std::string problem;
        const bool ok = decoder_.decode(reinterpret_cast<const uint8_t*>(out_.buf.data()) + at, [&](const GamePosition& g) {
            const std::string back = text_line(g);
            if (k < lines_.size() && back != lines_[k].second)
                fail(name_ + ":" + std::to_string(lines_[k].first) + ": would read back as \"" + back + "\"");
            ++k;
        }, problem);
        if (!ok || k != lines_.size())
            fail(name_ + ":" + std::to_string(lines_[0].first) + ": the game record does not read back: " + problem);
        open_ = false;
        out_.write(false);
    }

private:
    // Whether s follows from the last position of the record by a few moves (the nearest such
    // sequence), written exactly as fen; if so the plies are added to the record, the positions
    // between unscored.
    bool follow(const PositionState& s, const std::string& fen, int score) {
        Position& pos = *pos_;
        pos.states[0] = last_;
        pos.current = pos.states;
        for (int plies = last_.black_to_move() == s.black_to_move() ? 2 : 1; plies <= MAX_GAP; plies += 2) {
            const int fullmove = last_fullmove_ + (plies + (last_.black_to_move() ? 1 : 0)) / 2;
            if (!reach(plies, s, fen, fullmove)) continue;
            for (int k = 0; k < plies; ++k)
                rec_.add(pos.states[k], moves_[k], k + 1 == plies ? score : NO_SCORE);
            last_ = *pos.current;
            last_fullmove_ = fullmove;
            return true;
        }
        return false;
    }

    // Depth-first search over the legal moves; a position is left out when its pieces differ from
    // the target's in more places than the plies left can change.
    bool reach(int left, const PositionState& s, const std::string& fen, int fullmove) {
        Position& pos = *pos_;
        const PositionState& c = *pos.current;
        if (!left) {
            char written[FEN_BUFFER];
            return c.key == s.key && c.rule50 == s.rule50 && fen == position_to_fen(c, written, fullmove);
        }
        // Per side: each own move changes two piece places (castling four), each opposing move takes
        // at most one piece.
        const bool mirrored = c.black_to_move() != s.black_to_move();
        int differ[2] = {0, 0};
        for (int t = PAWN; t <= KING; ++t) {
            const Bitboard mine = mirrored ? byte_reverse(s.by_type[t] & ~s.own) : s.by_type[t] & s.own;
            const Bitboard theirs = mirrored ? byte_reverse(s.by_type[t] & s.own) : s.by_type[t] & ~s.own;
            differ[0] += popcount((c.by_type[t] & c.own) ^ mine);
            differ[1] += popcount((c.by_type[t] & ~c.own) ^ theirs);
        }
        const int own_moves = (left + 1) / 2, their_moves = left / 2;
        const bool own_castling = (c.castling & 0xFF) != 0x88, their_castling = (c.castling >> 8) != 0x88;
        if (differ[0] > 2 * own_moves + their_moves + 2 * own_castling ||
            differ[1] > 2 * their_moves + own_moves + 2 * their_castling)
            return false;
        Move list[256];
        const int n = generate_legal(c, list);
        const int ply = int(pos.current - pos.states);
        for (int i = 0; i < n; ++i) {
            make_move(pos, list[i], nullptr);
            moves_[ply] = list[i];
            if (reach(left - 1, s, fen, fullmove)) return true;
            unmake(pos);
        }
        return false;
    }

    static constexpr int MAX_GAP = 4;
    std::string name_;
    Output& out_;
    GameRecord rec_;
    bool open_ = false;
    PositionState last_;
    int last_fullmove_ = 1;
    std::vector<std::pair<long, std::string>> lines_;
    Decoder decoder_;
    std::unique_ptr<Position> pos_ = std::make_unique<Position>();
    Move moves_[MAX_GAP];
};

int convert(const std::string& in_path, const std::string& out_name) {
    Input in;
    if (!in.open(in_path)) fail("cannot open " + in_path);
    Output out;
    out.open(out_name);
    long positions = 0;
    if (has_magic(in)) {
        std::string error;
        if (!read_games(in, in_path, [&](const GamePosition& g) {
                out.buf += text_line(g);
                out.buf += '\n';
                out.write(false);
                ++positions;
            }, error))
            fail(error);
    } else {
        if (game_file_name(in_path)) fail(in_path + ": not a game file (bad magic)");
        append_file_header(out.buf);
        TextToGames t(in_path, out);
        long no = 0;
        for (std::string line; in.getline(line);) {
            t.line(++no, line);
            if (!in.line_ended()) fail(in_path + ":" + std::to_string(no) + ": the last line has no newline");
        }
        t.finish();
        positions = no;
    }
    if (!in.close()) fail("cannot read " + in_path);
    out.close();
    std::printf("%s -> %s: %ld positions\n", in_path.c_str(), out_name.c_str(), positions);
    return 0;
}

// A checksum over every value of every sample, in order.
struct Checksum {
    uint64_t h = 0x9E3779B97F4A7C15ULL;
    void add(uint64_t v) {
        h = (h ^ v) * 0xBF58476D1CE4E5B9ULL;
        h ^= h >> 31;
    }
    void add(const train::Sample& s) {
        add(uint64_t(s.count[0]) | uint64_t(s.count[1]) << 8 | uint64_t(s.bucket) << 16);
        for (int side = 0; side < 2; ++side)
            for (int i = 0; i < s.count[side]; ++i) add(s.rows[side][i]);
        uint32_t score, result;
        std::memcpy(&score, &s.score, 4);
        std::memcpy(&result, &s.result, 4);
        add(uint64_t(score) << 32 | result);
    }
};

int samples(const std::vector<std::string>& files) {
    for (const std::string& path : files) {
        const auto t0 = std::chrono::steady_clock::now();
        Checksum sum;
        long n = 0, rejected = 0;
        std::string error;
        if (!train::read_samples(path, [&](const train::Sample& s, const PositionState&) {
                sum.add(s);
                ++n;
            }, rejected, error))
            fail(error);
        const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("%s: %ld samples, %ld rejected lines, checksum %016llx, %.2f s, %.0f samples/s\n", path.c_str(), n,
                    rejected, (unsigned long long)sum.h, t, double(n) / t);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    init_board_tables();
    if (argc >= 3 && std::strcmp(argv[1], "--samples") == 0) return samples({argv + 2, argv + argc});
    if (argc == 3 && argv[1][0] != '-') return convert(argv[1], argv[2]);
    std::fprintf(stderr, "usage: convert IN OUT | convert --samples FILE...\n");
    return 2;
}
