// Game files (.tvg, plain or .xz): training positions kept as whole games, a start position and
// then the moves, each position with its search score. Under half the size of the text lines
// "<fen> | <score> | <result>" once both are compressed with xz, and they give the same samples.
//
// Layout, all integers little-endian:
//   file header, 8 bytes: the magic "TVGAME", u16 version (1)
//   then game records, one after another, each 36 + 4 x plies bytes:
//    0  u16  plies: number of moves after the start position
//    2  u8   result, White's view: 0 lost (0.0), 1 drawn (0.5), 2 won (1.0)
//    3  u8   bit 7 black to move; bits 0-3 en-passant file (8 none); bits 4-6 zero
//    4  u64  occupied squares of the start position, bit i = square i (a1 0, b1 1, ..., h8 63)
//   12  16   piece codes of the occupied squares in square order, 4 bits each, low nibble first:
//            type (1 pawn .. 6 king) + 8 for black; unused nibbles zero
//   28  u16  castling rights as rook files (8 none): bits 0-3 White's h-side, 4-7 White's a-side,
//            8-11 Black's h-side, 12-15 Black's a-side (any rook file, so Chess960 rights too)
//   30  u16  halfmove clock (0 .. 30000)
//   32  u16  fullmove number (1 .. 65535)
//   34  i16  score of the start position
//   36  per ply: u16 move, i16 score of the position the move leads to
// Scores are centipawns from White's point of view; -32768 marks a position that is not a training
// position (the game passes through it: in check, a capture or promotion played, or a gap).
// Move: bits 0-5 from, 6-11 to (squares as above), 12-13 promotion piece (0 knight, 1 bishop,
// 2 rook, 3 queen; 0 without promotion), 14-15 kind: 0 plain, 1 promotion, 2 en passant,
// 3 castling, whose to-square is the castling rook's square.
// The ply count up front gives every record's length, so a file cut in the middle of a record reads
// up to the last whole game and reports the rest as a truncated record.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "board/position.h"

namespace games {

constexpr char MAGIC[6] = {'T', 'V', 'G', 'A', 'M', 'E'};
constexpr int VERSION = 1;
constexpr size_t FILE_HEADER_BYTES = 8;
constexpr size_t RECORD_HEADER_BYTES = 36;
constexpr int NO_SCORE = -32768;
constexpr int MAX_PLIES = 65535;
constexpr int MAX_HALFMOVE = 30000;  // the board code's own clamp
extern const char* const RESULT_TEXT[3];  // "0.0", "0.5", "1.0"

// One game to write.
struct GameRecord {
    PositionState start;
    int fullmove = 1;
    int result = 1;  // White's view: 0 lost, 1 drawn, 2 won
    int score = NO_SCORE;  // of the start position
    std::vector<uint32_t> plies;  // move code | uint16_t(score) << 16
    void add(const PositionState& before, Move m, int score_after);
};

uint16_t encode_move(const PositionState& p, Move m);
void append_file_header(std::string& out);
// Appends the record; false (nothing appended) when a field is out of the layout's range.
bool append_game(const GameRecord& g, std::string& out);

// A position read back, handed to the caller for every scored position (the state is the decoder's
// and changes after the call).
struct GamePosition {
    const PositionState* state;
    int fullmove;
    int score;   // White's view
    int result;  // 0, 1, 2 as in the record
    int ply;     // 0 = the start position
};
using Visit = std::function<void(const GamePosition&)>;

// The text line the position stands for.
std::string text_line(const GamePosition& g);

// Decodes records; every move is checked against the legal moves of its position.
class Decoder {
public:
    Decoder();
    ~Decoder();
    // rec points at a whole record. False with the problem in error (without file or game).
    bool decode(const uint8_t* rec, const Visit& visit, std::string& error);
    static size_t record_bytes(const uint8_t* rec) { return RECORD_HEADER_BYTES + 4 * size_t(rec[0] | rec[1] << 8); }

private:
    std::unique_ptr<Position> pos_;
};

// A file read through a large buffer; .xz files through "xz -dc".
class Input {
public:
    ~Input() { close(); }
    bool open(const std::string& path);
    // Makes at least n bytes available unless the input ends first; returns the bytes available.
    size_t fill(size_t n);
    const uint8_t* data() const { return buf_.data() + pos_; }
    void skip(size_t n) { pos_ += n; }
    // Next line without its '\n'; false at the end.
    bool getline(std::string& line);
    // Whether the line last read ended in '\n'.
    bool line_ended() const { return ended_; }
    // False when reading failed or the decompressor reported an error.
    bool close();

private:
    std::FILE* f_ = nullptr;
    bool piped_ = false, failed_ = false, ended_ = true;
    std::vector<uint8_t> buf_;
    size_t pos_ = 0, end_ = 0;
};

// Whether the input starts with the magic (looked at without consuming it).
bool has_magic(Input& in);
// Whether the name says game file: ".tvg" or ".tvg.xz".
bool game_file_name(const std::string& path);
// Reads a game file from its header on, calling visit for every scored position in file order.
// False with "<name>: <problem>" in error, naming the record (game number from 1, byte offset) and
// ply of a fault: bad magic, unknown version, a truncated record, invalid fields or an illegal move.
bool read_games(Input& in, const std::string& name, const Visit& visit, std::string& error);

}  // namespace games
