#include "board/tables.h"

Bitboard knight_attacks[64];
Bitboard king_attacks[64];
Bitboard pawn_attacks_up[64];
Bitboard pawn_attacks_down[64];
Bitboard ep_neighbours_rank5[8];
Bitboard ep_neighbours_rank4[8];
SliderMagic bishop_magics[64];
SliderMagic rook_magics[64];
Bitboard ray_to[64][64];
int32_t direction[64][64];
uint64_t position_keys[1037];
uint64_t move_keys[4096];

static Bitboard bishop_store[5248];
static Bitboard rook_store[102400];

// Multipliers found offline by a random search over sparse numbers (fixed seed).
static const uint64_t BISHOP_MAGIC[64] = {
0x1032083004294040ull, 0x6008081100620102ull, 0x2048048C05808800ull, 0x1004242481010020ull,
0x1030882000008480ull, 0x0212482014010802ull, 0x000200B068084000ull, 0x0002014104016090ull,
0xA000402411020204ull, 0x82C2101040810040ull, 0x2080108090810000ull, 0x0188041042004000ull,
0x4409240308100000ull, 0x12100C2260100029ull, 0x000014040C222842ull, 0x8001003101082000ull,
0x2040020811012200ull, 0x2204008801141C04ull, 0x5110000804902008ull, 0x0208041082014049ull,
0x0010809408A00109ull, 0x4010E0C210100809ull, 0x0020800104304200ull, 0x80A840282C040400ull,
0x0090051028281011ull, 0x0044202002020404ull, 0x0100300208004540ull, 0x0186040008010820ull,
0x800100124D004000ull, 0x8028304002010082ull, 0x0804044084210440ull, 0x0006604011040208ull,
0x4138041001410300ull, 0x1001041000204100ull, 0x0104002400080443ull, 0x0000880800060A00ull,
0x0564040400001010ull, 0x0202060200014821ull, 0x0804280040061101ull, 0x08A1022025420105ull,
0x2008010420001041ull, 0x0202080404000240ull, 0x801A0A0804040201ull, 0x0010002019003801ull,
0x4003280104000840ull, 0x0001810112004100ull, 0x0004B00400500D08ull, 0x0284108A00400201ull,
0x0003089054A02010ull, 0x080020880410000Cull, 0x0000408420880110ull, 0x2240020084040010ull,
0x022C401042088004ull, 0x000020422A4A0020ull, 0x4840048104010801ull, 0x0804041802042010ull,
0x0260A08054202088ull, 0x00404042061120C2ull, 0x0424102100411001ull, 0x2100000000420201ull,
0x0119010120224401ull, 0x0080800410020204ull, 0x0000080210024200ull, 0x407810D004450020ull,
};
static const uint64_t ROOK_MAGIC[64] = {
0x3080004000802010ull, 0x0C40029005C02004ull, 0x4080100259200080ull, 0x1100042009021000ull,
0x2100030010080004ull, 0x1200860044001810ull, 0x0400080110008402ull, 0x2200008040240102ull,
0x0000800020804004ull, 0x0184804000200480ull, 0x0848801004200080ull, 0x1001001001002008ull,
0x8001000408001100ull, 0x0101000802040100ull, 0x4285001401000200ull, 0x008180010020C080ull,
0x0000228000400080ull, 0x0810004000402000ull, 0x0010008020008018ull, 0x1400090021021000ull,
0x820A808004000802ull, 0x0404008002008004ull, 0x0202008080020100ull, 0x094402000C025181ull,
0x0280400080008020ull, 0x0200200040401000ull, 0x0404482200108200ull, 0x00081022000A0040ull,
0x1000040080800800ull, 0x0182000200058810ull, 0x0000827400481021ull, 0x0000008200091064ull,
0x0040004020800089ull, 0x648E024102002082ull, 0x0000200080801000ull, 0x001200419200200Aull,
0x0430080080800400ull, 0x0000040080800200ull, 0x002201100400D802ull, 0x5800404082000401ull,
0x0000400080008020ull, 0x0140028020018044ull, 0x4004801204420020ull, 0x080210030021000Aull,
0x2204000408008080ull, 0x020A000804020010ull, 0x0100010002008080ull, 0x2000440040820001ull,
0x0000408000210100ull, 0x4000810028420200ull, 0x0A8020010043B100ull, 0x0100201000090100ull,
0x0001021048004500ull, 0x0002020080040080ull, 0x0048080102100400ull, 0x00410000A2084100ull,
0x0040110222004682ull, 0x0802002100408012ull, 0x0420040820401101ull, 0x8040200805001001ull,
0x0045000218001035ull, 0x840A001001080482ull, 0x0800420081300804ull, 0x0400008100402412ull,
};

static const int DIR_STEP[8][2] = {{0, 1}, {0, -1}, {1, 0}, {-1, 0}, {1, 1}, {-1, -1}, {1, -1}, {-1, 1}};  // rank, file

Bitboard slider_attacks_slow(int s, Bitboard occ, bool bishop) {
    Bitboard a = 0;
    for (int d = bishop ? 4 : 0; d < (bishop ? 8 : 4); ++d) {
        int r = rank_of(s), f = file_of(s);
        for (;;) {
            r += DIR_STEP[d][0];
            f += DIR_STEP[d][1];
            if (r < 0 || r > 7 || f < 0 || f > 7) break;
            a |= bit(8 * r + f);
            if (occ & bit(8 * r + f)) break;
        }
    }
    return a;
}

static Bitboard relevant_mask(int s, bool bishop) {
    Bitboard m = 0;
    for (int d = bishop ? 4 : 0; d < (bishop ? 8 : 4); ++d) {
        int r = rank_of(s), f = file_of(s);
        for (;;) {
            int nr = r + DIR_STEP[d][0], nf = f + DIR_STEP[d][1];
            int nr2 = nr + DIR_STEP[d][0], nf2 = nf + DIR_STEP[d][1];
            if (nr2 < 0 || nr2 > 7 || nf2 < 0 || nf2 > 7) break;  // drop the edge square
            m |= bit(8 * nr + nf);
            r = nr;
            f = nf;
        }
    }
    return m;
}

static Bitboard leaper(int s, const int (*steps)[2], int n) {
    Bitboard a = 0;
    for (int i = 0; i < n; ++i) {
        int r = rank_of(s) + steps[i][0], f = file_of(s) + steps[i][1];
        if (r >= 0 && r < 8 && f >= 0 && f < 8) a |= bit(8 * r + f);
    }
    return a;
}

static void init_sliders(int s, SliderMagic& m, Bitboard*& store, const uint64_t* magics, bool bishop) {
    m.mask = relevant_mask(s, bishop);
    m.magic = magics[s];
    int n = popcount(m.mask);
    m.shift = 64 - n;
    m.attacks = store;
    store += 1ull << n;
    for (uint64_t j = 0; j < (1ull << n); ++j) {
        // Deposit the bits of j into the mask squares, lowest square first.
        Bitboard subset = 0, mm = m.mask;
        for (int k = 0; k < n; ++k) {
            int sq = pop_lsb(mm);
            if (j >> k & 1) subset |= bit(sq);
        }
        m.attacks[(subset * m.magic) >> m.shift] = slider_attacks_slow(s, subset, bishop);
    }
}

void init_board_tables() {
    uint64_t state = 0x89B0DDAA6E490098ull;
    auto next = [&state]() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545F4914F6CDD1Dull;
    };
    for (auto& k : position_keys) k = next();
    for (auto& k : move_keys) k = next();

    static const int KNIGHT_STEPS[8][2] = {{1, 2}, {2, 1}, {2, -1}, {1, -2}, {-1, -2}, {-2, -1}, {-2, 1}, {-1, 2}};
    static const int KING_STEPS[8][2] = {{1, 0}, {1, 1}, {0, 1}, {-1, 1}, {-1, 0}, {-1, -1}, {0, -1}, {1, -1}};
    Bitboard* bstore = bishop_store;
    Bitboard* rstore = rook_store;
    for (int s = 0; s < 64; ++s) {
        init_sliders(s, bishop_magics[s], bstore, BISHOP_MAGIC, true);
        init_sliders(s, rook_magics[s], rstore, ROOK_MAGIC, false);
        knight_attacks[s] = leaper(s, KNIGHT_STEPS, 8);
        king_attacks[s] = leaper(s, KING_STEPS, 8);
    }
    for (int f = 0; f < 8; ++f) {
        Bitboard n = 0;
        if (f > 0) n |= bit(f - 1);
        if (f < 7) n |= bit(f + 1);
        ep_neighbours_rank5[f] = n << 32;
        ep_neighbours_rank4[f] = n << 24;
    }
    for (int a = 0; a < 64; ++a) {
        Bitboard up = 0, down = 0;
        if (file_of(a) != 7 && a + 9 < 64) up |= bit(a + 9);
        if (file_of(a) != 0 && a + 7 < 64) up |= bit(a + 7);
        if (file_of(a) != 7 && a - 7 >= 0) down |= bit(a - 7);
        if (file_of(a) != 0 && a - 9 >= 0) down |= bit(a - 9);
        pawn_attacks_up[a] = up;
        pawn_attacks_down[a] = down;
        for (int b = 0; b < 64; ++b) {
            ray_to[a][b] = 0;
            direction[a][b] = 8;
            if (a == b) continue;
            for (int d = 0; d < 8; ++d) {
                Bitboard path = 0;
                int r = rank_of(a), f = file_of(a);
                for (;;) {
                    r += DIR_STEP[d][0];
                    f += DIR_STEP[d][1];
                    if (r < 0 || r > 7 || f < 0 || f > 7) break;
                    path |= bit(8 * r + f);
                    if (8 * r + f == b) {
                        ray_to[a][b] = path;
                        direction[a][b] = d;
                        break;
                    }
                }
            }
        }
    }
}
