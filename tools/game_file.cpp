#include "game_file.h"
#include <cstdarg>
#include <cstring>
#include "board/board.h"
#include "search/movepick.h"

namespace games {

const char* const RESULT_TEXT[3] = {"0.0", "0.5", "1.0"};

namespace {

__attribute__((format(printf, 1, 2))) std::string format(const char* fmt, ...) {
    char buf[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

void put16(std::string& out, unsigned v) {
    out += char(v & 255);
    out += char(v >> 8 & 255);
}

unsigned get16(const uint8_t* p) { return unsigned(p[0] | p[1] << 8); }

std::string square_text(int s) { return {char('a' + file_of(s)), char('1' + rank_of(s))}; }

std::string move_text(unsigned code) {
    std::string t = square_text(code & 63) + square_text(code >> 6 & 63);
    if ((code >> 14) == 1) t += "nbrq"[code >> 12 & 3];
    return t;
}

}  // namespace

uint16_t encode_move(const PositionState& p, Move m) {
    const int flip = p.black_to_move() ? 56 : 0;
    int to = move_to(m), kind = 0, promo = 0;
    if (m & MOVE_CASTLE) {
        to = to == G1 ? p.own_h_file() : p.own_a_file();
        kind = 3;
    } else if (m & MOVE_EN_PASSANT) {
        kind = 2;
    } else if (move_promotion(m)) {
        kind = 1;
        promo = move_promotion(m) - KNIGHT;
    }
    return uint16_t((move_from(m) ^ flip) | (to ^ flip) << 6 | promo << 12 | kind << 14);
}

void GameRecord::add(const PositionState& before, Move m, int score_after) {
    plies.push_back(encode_move(before, m) | uint32_t(uint16_t(score_after)) << 16);
}

void append_file_header(std::string& out) {
    out.append(MAGIC, sizeof MAGIC);
    put16(out, VERSION);
}

bool append_game(const GameRecord& g, std::string& out) {
    const PositionState& p = g.start;
    if (g.plies.size() > size_t(MAX_PLIES) || g.result < 0 || g.result > 2 || g.score < NO_SCORE || g.score > 32767 ||
        p.rule50 < 0 || p.rule50 > MAX_HALFMOVE || g.fullmove < 1 || g.fullmove > 65535)
        return false;
    // Real colours, as a FEN shows them.
    const bool black = p.black_to_move();
    const Bitboard occ = black ? byte_reverse(p.by_type[0]) : p.by_type[0];
    const Bitboard white = black ? byte_reverse(p.by_type[0] ^ p.own) : p.own;
    uint8_t codes[16] = {};
    int n = 0;
    for (Bitboard b = occ; b; ++n) {
        const int s = pop_lsb(b);
        const int t = p.piece_on(black ? s ^ 56 : s);
        codes[n / 2] |= uint8_t((t + ((white & bit(s)) ? 0 : 8)) << (4 * (n & 1)));
    }
    put16(out, unsigned(g.plies.size()));
    out += char(g.result);
    out += char((black ? 0x80 : 0) | p.ep_file);
    for (int i = 0; i < 8; ++i) out += char(occ >> (8 * i) & 255);
    out.append(reinterpret_cast<const char*>(codes), sizeof codes);
    put16(out, black ? unsigned(p.castling >> 8 | (p.castling & 255) << 8) : p.castling);
    put16(out, unsigned(p.rule50));
    put16(out, unsigned(g.fullmove));
    put16(out, uint16_t(g.score));
    for (uint32_t ply : g.plies) {
        put16(out, ply & 0xFFFF);
        put16(out, ply >> 16);
    }
    return true;
}

std::string text_line(const GamePosition& g) {
    char fen[FEN_BUFFER];
    return std::string(position_to_fen(*g.state, fen, g.fullmove)) + " | " + std::to_string(g.score) + " | " +
           RESULT_TEXT[g.result];
}

Decoder::Decoder() : pos_(std::make_unique<Position>()) {}
Decoder::~Decoder() = default;

bool Decoder::decode(const uint8_t* r, const Visit& visit, std::string& error) {
    const int plies = int(get16(r)), result = r[2], side = r[3], ep = side & 15;
    const bool black = side & 0x80;
    uint64_t occ = 0;
    for (int i = 0; i < 8; ++i) occ |= uint64_t(r[4 + i]) << (8 * i);
    const unsigned castling = get16(r + 28), halfmove = get16(r + 30);
    int fullmove = int(get16(r + 32));
    const int start_score = int16_t(get16(r + 34));
    if (result > 2) return error = format("result %d out of range 0..2", result), false;
    if ((side & 0x70) || ep > 8) return error = format("side and en-passant byte 0x%02x out of range", side), false;
    if (popcount(occ) > 32) return error = format("%d pieces", popcount(occ)), false;
    for (int k = 0; k < 4; ++k)
        if ((castling >> (4 * k) & 15) > 8) return error = format("castling field 0x%04x out of range", castling), false;
    if (halfmove > unsigned(MAX_HALFMOVE)) return error = format("halfmove clock %u out of range", halfmove), false;
    if (fullmove < 1) return error = "fullmove number 0", false;

    // The start position goes through the board code's own FEN reader, which checks it.
    char fen[FEN_BUFFER + 32], *o = fen;
    Bitboard left = occ;
    for (int n = 0; n < 32; ++n) {
        const int code = r[12 + n / 2] >> (4 * (n & 1)) & 15;
        if (!left) {
            if (code) return error = "piece codes beyond the occupied squares are not zero", false;
            continue;
        }
        const int s = pop_lsb(left);
        if ((code & 7) < PAWN || (code & 7) > KING)
            return error = format("invalid piece code %d on %s", code, square_text(s).c_str()), false;
    }
    for (int rank = 7; rank >= 0; --rank) {
        int empty = 0;
        for (int file = 0; file < 8; ++file) {
            const int s = 8 * rank + file;
            if (!(occ & bit(s))) {
                ++empty;
                continue;
            }
            if (empty) *o++ = char('0' + empty);
            empty = 0;
            const int index = popcount(occ & (bit(s) - 1));
            const int code = r[12 + index / 2] >> (4 * (index & 1)) & 15;
            *o++ = code & 8 ? " pnbrqk"[code & 7] : " PNBRQK"[code & 7];
        }
        if (empty) *o++ = char('0' + empty);
        if (rank) *o++ = '/';
    }
    *o++ = ' ';
    *o++ = black ? 'b' : 'w';
    *o++ = ' ';
    const char* rights = o;
    for (int k = 0; k < 4; ++k)
        if ((castling >> (4 * k) & 15) != 8) *o++ = char((k < 2 ? 'A' : 'a') + (castling >> (4 * k) & 15));
    if (o == rights) *o++ = '-';
    *o++ = ' ';
    if (ep == NO_EP) {
        *o++ = '-';
    } else {
        *o++ = char('a' + ep);
        *o++ = black ? '3' : '6';
    }
    std::snprintf(o, 16, " %u 1", halfmove);
    PositionState& s = pos_->states[0];
    if (!parse_fen(fen, s)) return error = format("start position %s is not a legal position", fen), false;
    const unsigned read_castling = black ? unsigned(s.castling >> 8 | (s.castling & 255) << 8) : s.castling;
    if (read_castling != castling)
        return error = format("castling field 0x%04x does not match the kings and rooks of %s", castling, fen), false;
    if (s.ep_file != ep) return error = format("en-passant file %c is not possible in %s", 'a' + ep, fen), false;
    pos_->current = pos_->states;

    if (start_score != NO_SCORE) visit({&s, fullmove, start_score, result, 0});
    for (int ply = 1; ply <= plies; ++ply) {
        const uint8_t* e = r + RECORD_HEADER_BYTES + 4 * size_t(ply - 1);
        const unsigned code = get16(e);
        // The engine's own check of stored moves, on the 15-bit form its table keeps.
        const int flip = s.black_to_move() ? 56 : 0, kind = int(code >> 14), to_file = int(code >> 6 & 7);
        uint32_t v = ((code & 63) ^ flip) | ((code >> 6 & 63) ^ flip) << 6;
        if (kind == 1) v |= 1u << 14 | (code >> 12 & 3) << 12;
        if (kind == 2) v |= 1u << 13;
        const bool rook = to_file == s.own_h_file() || to_file == s.own_a_file();
        if (kind == 3) v = (v & 63) | uint32_t(to_file == s.own_h_file() ? G1 : C1) << 6 | 1u << 12;
        const Move m = kind != 3 || rook ? validate_tt_move(s, v) : 0;
        // The code must be exactly the one written for that move (kind and promotion bits too).
        if (!m || encode_move(s, m) != code)
            return error = format("ply %d: illegal move %s (code 0x%04x) in %s", ply, move_text(code).c_str(), code,
                                  position_to_fen(s, fen, fullmove)),
                   false;
        if (s.black_to_move()) ++fullmove;
        make_move(*pos_, m, nullptr);
        s = pos_->states[1];
        pos_->current = pos_->states;
        if (s.rule50 > MAX_HALFMOVE) s.rule50 = MAX_HALFMOVE;
        const int score = int16_t(get16(e + 2));
        if (score != NO_SCORE) visit({&s, fullmove, score, result, ply});
    }
    return true;
}

bool Input::open(const std::string& path) {
    close();
    failed_ = false;
    pos_ = end_ = 0;
    buf_.resize(1 << 20);
    std::FILE* probe = std::fopen(path.c_str(), "rb");
    if (!probe) return false;
    piped_ = path.size() > 3 && path.compare(path.size() - 3, 3, ".xz") == 0;
    if (!piped_) {
        f_ = probe;
        return true;
    }
    std::fclose(probe);
    std::string quoted = "'";
    for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    f_ = popen(("xz -dc " + quoted + "'").c_str(), "r");
    return f_ != nullptr;
}

size_t Input::fill(size_t n) {
    if (end_ - pos_ >= n || !f_) return end_ - pos_;
    std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
    if (n > buf_.size()) buf_.resize(n);
    while (end_ < n) {
        const size_t got = std::fread(buf_.data() + end_, 1, buf_.size() - end_, f_);
        if (!got) {
            failed_ |= std::ferror(f_) != 0;
            break;
        }
        end_ += got;
    }
    return end_ - pos_;
}

bool Input::getline(std::string& line) {
    for (size_t scanned = 0;;) {
        const size_t avail = end_ - pos_;
        const void* nl = std::memchr(data() + scanned, '\n', avail - scanned);
        if (nl) {
            const size_t len = size_t(static_cast<const uint8_t*>(nl) - data());
            line.assign(reinterpret_cast<const char*>(data()), len);
            pos_ += len + 1;
            ended_ = true;
            return true;
        }
        scanned = avail;
        if (fill(avail + 65536) == avail) {
            if (!avail) return false;
            line.assign(reinterpret_cast<const char*>(data()), avail);
            pos_ += avail;
            ended_ = false;
            return true;
        }
    }
}

bool Input::close() {
    if (!f_) return !failed_;
    const int status = piped_ ? pclose(f_) : std::fclose(f_);
    f_ = nullptr;
    return status == 0 && !failed_;
}

bool has_magic(Input& in) {
    return in.fill(sizeof MAGIC) >= sizeof MAGIC && std::memcmp(in.data(), MAGIC, sizeof MAGIC) == 0;
}

bool game_file_name(const std::string& path) {
    auto ends = [&](const char* s) {
        const size_t n = std::strlen(s);
        return path.size() >= n && path.compare(path.size() - n, n, s) == 0;
    };
    return ends(".tvg") || ends(".tvg.xz");
}

bool read_games(Input& in, const std::string& name, const Visit& visit, std::string& error) {
    if (!has_magic(in)) return error = name + ": not a game file (bad magic)", false;
    if (in.fill(FILE_HEADER_BYTES) < FILE_HEADER_BYTES) return error = name + ": truncated file header", false;
    const unsigned version = get16(in.data() + sizeof MAGIC);
    if (version != VERSION)
        return error = format("%s: unknown game file version %u (this build reads %d)", name.c_str(), version, VERSION),
               false;
    in.skip(FILE_HEADER_BYTES);
    Decoder decoder;
    std::string problem;
    uint64_t offset = FILE_HEADER_BYTES;
    for (long long game = 1;; ++game) {
        size_t avail = in.fill(RECORD_HEADER_BYTES);
        if (!avail) return true;
        const size_t need = avail >= 2 ? Decoder::record_bytes(in.data()) : RECORD_HEADER_BYTES;
        if (avail >= RECORD_HEADER_BYTES) avail = in.fill(need);
        if (avail < need)
            return error = format("%s: game %lld at byte %llu is truncated: the file ends after %zu of its %zu bytes "
                                  "(the games before byte %llu are whole)",
                                  name.c_str(), game, (unsigned long long)offset, avail, need,
                                  (unsigned long long)offset),
                   false;
        if (!decoder.decode(in.data(), visit, problem))
            return error = format("%s: game %lld at byte %llu: %s", name.c_str(), game, (unsigned long long)offset,
                                  problem.c_str()),
                   false;
        in.skip(need);
        offset += need;
    }
}

}  // namespace games
