// Syzygy tablebases: reference suites from an independent prober, the registry, damaged files,
// concurrent first use and root ranking.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>
#include "board/board.h"
#include "board/movegen.h"
#include "board/tables.h"
#include "engine/options.h"
#include "tablebase/tablebase.h"
#include "tablebase/tb_internal.h"

namespace fs = std::filesystem;

namespace {

const std::string DATA = std::string(TARNVIK_SOURCE_DIR) + "/tests/data";
// Five-man files too large for the repository: CI has the shared folder beside the clone.
const std::string TB5 = std::string(TARNVIK_SOURCE_DIR) + "/../shared/data/tb5";

struct SuiteLine {
    std::string fen;
    int wdl = 0;
    int dtz = 0;
    bool has_dtz = false;
    std::set<std::string> keep;
    bool has_keep = false;
};

std::vector<SuiteLine> read_suite(const std::string& file) {
    std::vector<SuiteLine> out;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        size_t semi = line.find(';');
        if (semi == std::string::npos) continue;
        SuiteLine s;
        s.fen = line.substr(0, semi);
        while (!s.fen.empty() && s.fen.back() == ' ') s.fen.pop_back();
        for (size_t at = semi; at != std::string::npos; at = line.find(';', at + 1)) {
            std::string field = line.substr(at + 1, line.find(';', at + 1) - at - 1);
            if (field.rfind("wdl ", 0) == 0) s.wdl = std::stoi(field.substr(4));
            if (field.rfind("dtz ", 0) == 0) {
                s.dtz = std::stoi(field.substr(4));
                s.has_dtz = true;
            }
            if (field.rfind("keep", 0) == 0) {
                s.has_keep = true;
                std::string moves = field.substr(4), tok;
                for (size_t i = 0; i <= moves.size(); ++i) {
                    if (i == moves.size() || moves[i] == ' ') {
                        if (!tok.empty()) s.keep.insert(tok);
                        tok.clear();
                    } else if (moves[i] != '\r') {
                        tok += moves[i];
                    }
                }
            }
        }
        out.push_back(s);
    }
    return out;
}

int men_in_fen(const std::string& fen) {
    int n = 0;
    for (char c : fen.substr(0, fen.find(' '))) n += std::isalpha(static_cast<unsigned char>(c)) != 0;
    return n;
}

void init_once() {
    static bool done = false;
    if (done) return;
    init_board_tables();
    init_tablebase_indexing();
    done = true;
}

int quiet_init(const std::string& path) {
    testing::internal::CaptureStdout();
    int largest = init_tablebases(path.c_str());
    testing::internal::GetCapturedStdout();
    return largest;
}

std::unique_ptr<Position> position_from(const std::string& fen) {
    auto pos = std::make_unique<Position>();
    EXPECT_GE(set_position(*pos, fen.c_str(), nullptr), 0) << fen;
    return pos;
}

MoveEntry* legal_moves(const PositionState& p, MoveEntry* list) {
    MoveEntry tmp[MAX_MOVES];
    MoveEntry* end = tmp;
    if (p.in_check()) {
        generate_evasions(p, &end, &end, true);
    } else {
        end = generate_underpromotions(p, end);
        end = generate_quiets(p, end, false, true);
        end = generate_captures(p, end);
    }
    MoveEntry* out = list;
    for (MoveEntry* m = tmp; m < end; ++m)
        if (is_legal(p, m->move)) *out++ = *m;
    return out;
}

std::set<std::string> ranked_moves(Position& pos, int* score) {
    RootMove moves[MAX_MOVES];
    RootMove* end = legal_moves(*pos.current, moves);
    *score = rank_root_by_dtz(pos, moves, &end);
    std::set<std::string> out;
    for (RootMove* m = moves; m < end; ++m) {
        char text[8];
        out.insert(move_to_text(*pos.current, m->move, text));
    }
    return out;
}

// Random legal placements of a material given by name ("KQvKR": first side white).
std::vector<std::string> random_fens(const std::string& material, int count, std::mt19937_64& rng) {
    std::vector<std::string> out;
    PositionState st;
    for (int tries = 0; int(out.size()) < count && tries < count * 50; ++tries) {
        char board[64] = {};
        bool white = true;
        for (char c : material) {
            if (c == 'v') {
                white = false;
                continue;
            }
            int sq;
            do sq = int(rng() % 64);
            while (board[sq] || (c == 'P' && (sq < 8 || sq >= 56)));
            board[sq] = white ? c : char(c + 32);
        }
        std::string fen;
        for (int r = 7; r >= 0; --r) {
            int empty = 0;
            for (int f = 0; f < 8; ++f) {
                if (!board[r * 8 + f]) {
                    ++empty;
                    continue;
                }
                if (empty) fen += char('0' + empty);
                empty = 0;
                fen += board[r * 8 + f];
            }
            if (empty) fen += char('0' + empty);
            if (r) fen += '/';
        }
        fen += (rng() & 1) ? " w - - 0 1" : " b - - 0 1";
        if (parse_fen(fen.c_str(), st)) out.push_back(fen);
    }
    return out;
}

std::string temp_dir(const std::string& tag) {
    std::string d = (fs::temp_directory_path() / ("tarnvik-tb-" + tag + "-" + std::to_string(getpid()))).string();
    fs::remove_all(d);
    fs::create_directories(d);
    return d;
}

std::vector<uint8_t> read_bytes(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_bytes(const std::string& file, const std::vector<uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

class Tablebase : public testing::Test {
protected:
    void SetUp() override {
        init_once();
        options.syzygy_50_move_rule = true;
        quiet_init("<empty>");
    }
    void TearDown() override { quiet_init("<empty>"); }
};

// ---------------------------------------------------------------------------------------------
// Reference values

TEST_F(Tablebase, EmbeddedSuiteMatchesReferenceProber) {
    const auto suite = read_suite(DATA + "/tb/probes.epd");
    ASSERT_GE(suite.size(), 300u);
    int en_passant_lines = 0;
    for (const SuiteLine& s : suite) {
        auto pos = position_from(s.fen);
        en_passant_lines += pos->current->ep_file != NO_EP;
        int ws, ds;
        EXPECT_EQ(wdl_query(*pos, &ws), s.wdl) << s.fen;
        EXPECT_NE(ws, 0) << s.fen;
        EXPECT_EQ(dtz_query(*pos, &ds), s.dtz) << s.fen;
        EXPECT_NE(ds, 0) << s.fen;
        EXPECT_EQ(pos->current, pos->states) << "position not restored: " << s.fen;
    }
    EXPECT_GT(en_passant_lines, 0);
}

TEST_F(Tablebase, FiveManSuiteFromDisk) {
    if (!fs::exists(TB5)) GTEST_SKIP() << "no five-man files at " << TB5;
    testing::internal::CaptureStdout();
    EXPECT_EQ(init_tablebases(TB5.c_str()), 5);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Found 41 WDL and 41 DTZ tablebase files. Largest 5-men."),
              std::string::npos);
    for (const SuiteLine& s : read_suite(DATA + "/tb/probes5.epd")) {
        auto pos = position_from(s.fen);
        int ws, ds;
        EXPECT_EQ(wdl_query(*pos, &ws), s.wdl) << s.fen;
        EXPECT_NE(ws, 0) << s.fen;
        EXPECT_EQ(dtz_query(*pos, &ds), s.dtz) << s.fen;
        EXPECT_NE(ds, 0) << s.fen;
    }
}

TEST_F(Tablebase, KingsAloneAndUnknownMaterial) {
    auto pos = position_from("8/8/3k4/8/8/3K4/8/8 w - - 0 1");
    int success = -5;
    EXPECT_EQ(wdl_query(*pos, &success), 0);
    EXPECT_EQ(success, 1);
    // Five men without the files: no table, the probe fails.
    pos = position_from("8/8/3k4/8/8/3K4/2RR4/2R5 w - - 0 1");
    wdl_query(*pos, &success);
    EXPECT_EQ(success, 0);
}

TEST_F(Tablebase, TbprobeToolPrintsEngineValues) {
    const SuiteLine s = read_suite(DATA + "/tb/probes.epd").front();
    std::string cmd = std::string(TBPROBE_BINARY) + " '" + s.fen + "' 2>/dev/null";
    FILE* f = popen(cmd.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char buf[256] = {};
    ASSERT_NE(fgets(buf, sizeof buf, f), nullptr);
    EXPECT_EQ(pclose(f), 0);
    EXPECT_EQ(std::string(buf), "wdl " + std::to_string(s.wdl) + " dtz " + std::to_string(s.dtz) + "\n");

    cmd = std::string(TBPROBE_BINARY) + " --suite " + DATA + "/tb/probes.epd 2>/dev/null | tail -1";
    f = popen(cmd.c_str(), "r");
    ASSERT_NE(f, nullptr);
    ASSERT_NE(fgets(buf, sizeof buf, f), nullptr);
    pclose(f);
    EXPECT_STREQ(buf, "300 passed, 0 failed\n");
}

// ---------------------------------------------------------------------------------------------
// Registry

TEST_F(Tablebase, EmbeddedSetAndReportLine) {
    for (const char* value : {"<empty>", ""}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(init_tablebases(value), 4);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "info string Found 35 WDL and 35 DTZ tablebase files. Largest 4-men.\n");
        EXPECT_EQ(registry.directory_count, 0);
        EXPECT_EQ(registry.pawnless_count + registry.pawn_count, 35);
    }
    // The embedded block: 70 images sorted by name, 64-byte aligned, back to back.
    EXPECT_EQ(tb_embedded_block_end - tb_embedded_block, 4350016);
    EXPECT_STREQ(EmbeddedTableDirectory[0].name, "KBBvK.rtbw");
    EXPECT_STREQ(EmbeddedTableDirectory[EMBEDDED_TABLES - 1].name, "KRvKR.rtbz");
    for (int r = 0; r < EMBEDDED_TABLES; ++r) {
        const std::string name = EmbeddedTableDirectory[r].name;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(EmbeddedTableDirectory[r].data) % 64, 0u) << name;
        if (r > 0) {
            EXPECT_LT(std::string(EmbeddedTableDirectory[r - 1].name), name);
        }
        const auto original = read_bytes(std::string(TARNVIK_SOURCE_DIR) + "/src/tablebase/data/" + name);
        ASSERT_FALSE(original.empty()) << name;
        EXPECT_EQ(std::memcmp(EmbeddedTableDirectory[r].data, original.data(), original.size()), 0) << name;
    }
}

TEST_F(Tablebase, SignaturesAndSlots) {
    uint64_t mirrored;
    EXPECT_EQ(signature_of_name("KvK", &mirrored, nullptr), 2u);
    // KRvKR is symmetric: one slot. KQvKR: its own signature and the mirrored one, same entry.
    const uint64_t krkr = signature_of_name("KRvKR", &mirrored, nullptr);
    EXPECT_EQ(krkr, mirrored);
    int slots = 0;
    for (const RegistrySlot& s : registry.slots) slots += s.signature == krkr;
    EXPECT_EQ(slots, 1);
    const uint64_t kqkr = signature_of_name("KQvKR", &mirrored, nullptr);
    int a, b;
    TableEntry* e1 = lookup_table(kqkr, &a);
    TableEntry* e2 = lookup_table(mirrored, &b);
    ASSERT_NE(e1, nullptr);
    EXPECT_EQ(e1, e2);
    EXPECT_NE(a, b);
    EXPECT_EQ(e1->signature, kqkr);
    // Men count in the low byte, the ten piece counts in nibbles from bit 8.
    EXPECT_EQ(kqkr & 0xFF, 4u);
    EXPECT_EQ((kqkr >> 24) & 15, 1u);  // white queens
    EXPECT_EQ((kqkr >> 40) & 15, 1u);  // black rooks
    // A position with the colours exchanged finds the same entry.
    auto pos = position_from("8/8/8/3q4/8/2k5/8/K3R3 w - - 0 1");
    EXPECT_EQ(position_signature(*pos->current), mirrored);
}

TEST_F(Tablebase, NameEnumerationCoversEveryMaterial) {
    // Empty files for every name "K<sorted letters>vK<sorted letters>" of five to seven men,
    // both orders of the two sides: a superset of the names the registry looks for.
    const std::string dir = temp_dir("names");
    const std::string letters = "QRBNP";
    std::vector<std::string> sides[6];
    sides[0].push_back("");
    for (int n = 1; n <= 5; ++n)
        for (const std::string& s : sides[n - 1])
            for (size_t i = s.empty() ? 0 : letters.find(s.back()); i < letters.size(); ++i) sides[n].push_back(s + letters[i]);
    int files = 0;
    for (int a = 0; a <= 5; ++a)
        for (int b = 0; a + b <= 5; ++b) {
            if (a + b < 3) continue;
            for (const std::string& x : sides[a])
                for (const std::string& y : sides[b]) {
                    std::ofstream(dir + "/K" + x + "vK" + y + ".rtbw");
                    ++files;
                }
        }
    ASSERT_GT(files, 1476);
    testing::internal::CaptureStdout();
    EXPECT_EQ(init_tablebases(dir.c_str()), 7);
    const std::string out = testing::internal::GetCapturedStdout();
    // 1511 materials: 650 without pawns, 861 with; no DTZ files beyond the embedded ones.
    EXPECT_EQ(out, "info string Found 1511 WDL and 35 DTZ tablebase files. Largest 7-men.\n");
    EXPECT_EQ(registry.pawnless_count, 650);
    EXPECT_EQ(registry.pawn_count, 861);
    // Every registered material reaches its entry through both colourings.
    for (int i = 0; i < registry.pawn_count; ++i) {
        int slot;
        EXPECT_EQ(lookup_table(registry.pawn[i].signature, &slot), &registry.pawn[i]);
    }
    fs::remove_all(dir);
}

TEST_F(Tablebase, DirectoryListAndNameBuffer) {
    const std::string d1 = temp_dir("dirs1"), d2 = temp_dir("dirs2");
    fs::copy_file(DATA + "/tb5/KNNNvK.rtbw", d2 + "/KNNNvK.rtbw");
    testing::internal::CaptureStdout();
    init_tablebases((";;" + d1 + ";;" + d2 + ";").c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "info string Found 36 WDL and 35 DTZ tablebase files. Largest 5-men.\n");
    ASSERT_EQ(registry.directory_count, 2);
    EXPECT_EQ(registry.directories[0], d1);
    EXPECT_EQ(registry.directories[1], d2);

    // The same file in a directory whose path does not fit the 256-character name buffer.
    std::string deep = temp_dir("deep");
    while (deep.size() < 250) deep += "/dddddddddddddddddddd";
    fs::create_directories(deep);
    fs::copy_file(DATA + "/tb5/KNNNvK.rtbw", deep + "/KNNNvK.rtbw");
    EXPECT_EQ(quiet_init(deep), 4);
    EXPECT_EQ(registry.wdl_count, 35);
    // Missing directories and a directory standing where a file is expected count as missing.
    fs::create_directory(d1 + "/KRRvKR.rtbw");
    EXPECT_EQ(quiet_init(d1 + ";/nonexistent/dir"), 4);
    EXPECT_EQ(registry.wdl_count, 35);
    fs::remove_all(d1);
    fs::remove_all(d2);
    fs::remove_all(temp_dir("deep"));
}

TEST_F(Tablebase, EmbeddedNamesNeverReadFromDisk) {
    const std::string dir = temp_dir("shadow");
    write_bytes(dir + "/KQvK.rtbw", std::vector<uint8_t>(100, 0xAB));
    write_bytes(dir + "/KQvK.rtbz", {});
    quiet_init(dir);
    EXPECT_EQ(registry.wdl_count, 35);
    auto pos = position_from("8/8/8/4k3/8/8/4KQ2/8 w - - 0 1");
    testing::internal::CaptureStderr();
    int ws, ds;
    EXPECT_EQ(wdl_query(*pos, &ws), 2);
    EXPECT_EQ(dtz_query(*pos, &ds), 13);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    fs::remove_all(dir);
}

// ---------------------------------------------------------------------------------------------
// Files on disk, sound and damaged

struct FileCase {
    std::string fen;
    int wdl;
};

// KNNNvK lines of the five-man reference suite (white has the knights in each).
std::vector<FileCase> knnn_cases() {
    std::vector<FileCase> out;
    for (const SuiteLine& s : read_suite(DATA + "/tb/probes5.epd"))
        if (s.fen.find('N') != std::string::npos && std::count(s.fen.begin(), s.fen.end(), 'N') == 3 &&
            men_in_fen(s.fen) == 5)
            out.push_back({s.fen, s.wdl});
    return out;
}

TEST_F(Tablebase, MappedFileWithoutDtz) {
    const auto cases = knnn_cases();
    ASSERT_GE(cases.size(), 5u);
    const std::string dir = temp_dir("knnn");
    fs::copy_file(DATA + "/tb5/KNNNvK.rtbw", dir + "/KNNNvK.rtbw");
    EXPECT_EQ(quiet_init(dir), 5);
    EXPECT_EQ(registry.wdl_count, 36);
    EXPECT_EQ(registry.dtz_count, 35);
    for (const FileCase& c : cases) {
        auto pos = position_from(c.fen);
        int ws, ds;
        EXPECT_EQ(wdl_query(*pos, &ws), c.wdl) << c.fen;
        EXPECT_NE(ws, 0);
        dtz_query(*pos, &ds);
        // Draws and wins decided by a capture need no DTZ file; the rest cannot be answered.
        if (c.wdl != 0 && ws == 1) {
            EXPECT_EQ(ds, 0) << "no DTZ file: " << c.fen;
        }
    }
    // Re-initialising releases the mapping; probing afterwards loads it again.
    EXPECT_EQ(quiet_init(dir), 5);
    auto pos = position_from(cases[0].fen);
    int ws;
    EXPECT_EQ(wdl_query(*pos, &ws), cases[0].wdl);
    fs::remove_all(dir);
}

// Offset of the first decoder header of a pawnless five-man WDL file (descriptor of 6 bytes).
constexpr size_t KNNNVK_HEADER = 12;

TEST_F(Tablebase, DamagedFilesAreRejected) {
    const auto good = read_bytes(DATA + "/tb5/KNNNvK.rtbw");
    ASSERT_GT(good.size(), 1000u);
    ASSERT_EQ(read_u32(good.data()), WDL_MAGIC);
    const int h = good[KNNNVK_HEADER + 8] - good[KNNNVK_HEADER + 9] + 1;
    const size_t symbols_at = KNNNVK_HEADER + 10 + 2 * h;

    struct Damage {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    std::vector<Damage> cases;
    auto with = [&](const char* what, auto change) {
        std::vector<uint8_t> b = good;
        change(b);
        cases.push_back({what, b});
    };
    with("wrong magic", [](std::vector<uint8_t>& b) { b[0] ^= 0xFF; });
    with("empty", [](std::vector<uint8_t>& b) { b.clear(); });
    with("shorter than a header", [](std::vector<uint8_t>& b) { b.resize(7); });
    with("truncated", [](std::vector<uint8_t>& b) { b.resize(b.size() / 2); });
    with("not split", [](std::vector<uint8_t>& b) { b[4] &= ~1; });
    with("too many symbols", [&](std::vector<uint8_t>& b) {
        b[symbols_at] = 5000 & 0xFF;
        b[symbols_at + 1] = 5000 >> 8;
    });
    with("blocks beyond the file", [](std::vector<uint8_t>& b) { b[KNNNVK_HEADER + 7] = 0x40; });
    with("pieces of another material", [](std::vector<uint8_t>& b) { b[6] = (b[6] & 0xF0) | 5; });

    const auto probes = knnn_cases();
    for (const Damage& d : cases) {
        SCOPED_TRACE(d.what);
        const std::string dir = temp_dir("damaged");
        write_bytes(dir + "/KNNNvK.rtbw", d.bytes);
        quiet_init(dir);
        EXPECT_EQ(registry.wdl_count, 36);
        testing::internal::CaptureStderr();
        auto pos = position_from(probes[0].fen);
        int success = 1;
        wdl_query(*pos, &success);
        EXPECT_EQ(success, 0);
        // The slot is cleared: the same colouring fails again without another message.
        wdl_query(*pos, &success);
        EXPECT_EQ(success, 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Corrupted table.\n");
        // Other tables keep working.
        auto other = position_from("8/8/8/4k3/8/8/4KQ2/8 w - - 0 1");
        EXPECT_EQ(wdl_query(*other, &success), 2);
        fs::remove_all(dir);
    }
}

// Mutated copies of real tables, placed so that any read before or after the image touches a
// protected page, then probed over random positions of their material.
class GuardedImage {
public:
    GuardedImage(const std::vector<uint8_t>& bytes, bool at_end) {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        const size_t body = (bytes.size() + page - 1) / page * page;
        total_ = body + 2 * page;
        base_ = static_cast<uint8_t*>(mmap(nullptr, total_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        image_ = at_end ? base_ + page + body - bytes.size() : base_ + page;
        if (!bytes.empty()) std::memcpy(image_, bytes.data(), bytes.size());
        mprotect(base_, page, PROT_NONE);
        mprotect(base_ + page + body, page, PROT_NONE);
        mprotect(base_ + page, body, PROT_READ);
    }
    ~GuardedImage() { munmap(base_, total_); }
    const uint8_t* image() const { return image_; }

private:
    uint8_t* base_;
    uint8_t* image_;
    size_t total_;
};

TEST_F(Tablebase, FuzzedImagesNeverReadOutside) {
    struct Target {
        const char* material;
        int kind;
    };
    const Target targets[] = {{"KQvKR", TABLE_WDL}, {"KQvKR", TABLE_DTZ}, {"KRvKR", TABLE_WDL}, {"KPvKP", TABLE_WDL},
                              {"KPvKP", TABLE_DTZ}, {"KRPvK", TABLE_WDL}, {"KNNvK", TABLE_DTZ}, {"KBNvK", TABLE_WDL},
                              {"KRvKP", TABLE_DTZ}, {"KQQvK", TABLE_WDL}};
    // TARNVIK_FUZZ_SEED and TARNVIK_FUZZ_SECONDS allow longer campaigns by hand.
    const char* seed = std::getenv("TARNVIK_FUZZ_SEED");
    const char* seconds = std::getenv("TARNVIK_FUZZ_SECONDS");
    std::mt19937_64 rng(seed ? std::strtoull(seed, nullptr, 10) : 12345);
    const int budget = seconds ? std::atoi(seconds) : 6;
    const int iterations = seconds ? INT32_MAX : 12000;
    int accepted = 0, rejected = 0, probes = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int iteration = 0; iteration < iterations; ++iteration) {
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(budget)) break;
        const Target& target = targets[iteration % (sizeof targets / sizeof *targets)];
        const std::string file =
            std::string(TARNVIK_SOURCE_DIR) + "/src/tablebase/data/" + target.material + (target.kind ? ".rtbz" : ".rtbw");
        std::vector<uint8_t> bytes = read_bytes(file);
        ASSERT_FALSE(bytes.empty()) << file;
        const bool pristine = iteration < 10;
        if (!pristine) {
            const int mutations = 1 + int(rng() % 6);
            for (int m = 0; m < mutations; ++m) {
                const size_t span = (rng() % 4) ? std::min<size_t>(bytes.size(), 600) : bytes.size();
                const size_t at = rng() % span;
                if (rng() & 1) bytes[at] = uint8_t(rng());
                else bytes[at] ^= uint8_t(1u << (rng() % 8));
            }
            if (rng() % 8 == 0) bytes.resize(rng() % bytes.size());
        }
        GuardedImage guarded(bytes, iteration & 1);
        uint64_t mirrored;
        int slot;
        TableEntry* e = lookup_table(signature_of_name(target.material, &mirrored, nullptr), &slot);
        ASSERT_NE(e, nullptr);
        if (!setup_table_image(e, target.kind, guarded.image(), bytes.size())) {
            ++rejected;
            EXPECT_FALSE(pristine) << target.material;
            continue;
        }
        ++accepted;
        e->data[target.kind] = guarded.image();
        e->ready[target.kind].store(1);
        for (const std::string& fen : random_fens(target.material, 25, rng)) {
            auto pos = position_from(fen);
            int ws, ds;
            const int w = wdl_query(*pos, &ws);
            const int d = dtz_query(*pos, &ds);
            ++probes;
            if (ws) {
                EXPECT_GE(w, -2);
                EXPECT_LE(w, 2);
            }
            if (pristine) {
                EXPECT_NE(ws, 0) << fen;
                EXPECT_NE(ds, 0) << fen;
            }
            (void)d;
        }
        // Hand the entry back to the embedded image.
        free_table_decoders(e, target.kind);
        e->ready[target.kind].store(0);
        e->data[target.kind] = nullptr;
        for (int s = 0; s < REGISTRY_SLOTS; ++s)
            if (registry.slots[s].signature == e->signature || registry.slots[s].signature == mirrored)
                registry.slots[s].entry.store(e);
    }
    std::printf("fuzzed images: %d accepted, %d rejected, %d positions probed\n", accepted, rejected, probes);
    // Both outcomes must have been exercised for the run to mean anything.
    EXPECT_GT(accepted, 20);
    EXPECT_GT(rejected, 20);
    EXPECT_GT(probes, 500);
}

TEST_F(Tablebase, FuzzedFilesThroughTheLoader) {
    const auto good = read_bytes(DATA + "/tb5/KNNNvK.rtbw");
    const auto probes = knnn_cases();
    std::mt19937_64 rng(777);
    const std::string dir = temp_dir("fuzzfile");
    const auto start = std::chrono::steady_clock::now();
    int rounds = 0;
    testing::internal::CaptureStderr();
    for (; rounds < 200 && std::chrono::steady_clock::now() - start < std::chrono::seconds(4); ++rounds) {
        std::vector<uint8_t> bytes = good;
        for (int m = 1 + int(rng() % 4); m > 0; --m) bytes[rng() % std::min<size_t>(bytes.size(), 400)] = uint8_t(rng());
        if (rng() % 6 == 0) bytes.resize(rng() % bytes.size());
        write_bytes(dir + "/KNNNvK.rtbw", bytes);
        quiet_init(dir);
        for (const FileCase& c : probes) {
            auto pos = position_from(c.fen);
            int ws;
            const int w = wdl_query(*pos, &ws);
            if (ws) {
                EXPECT_TRUE(w >= -2 && w <= 2);
            }
        }
    }
    testing::internal::GetCapturedStderr();
    EXPECT_GT(rounds, 20);
    fs::remove_all(dir);
}

// Rewrites the value maps of a pawnless DTZ file in the 16-bit form. The last map gets unused
// entries so that everything after the maps moves by a multiple of 64 bytes and keeps its
// alignment.
std::vector<uint8_t> widen_dtz_maps(const std::vector<uint8_t>& in, int men) {
    size_t header = 5 + men + 1;
    header += header & 1;
    EXPECT_EQ(in[header] & 0x92, 0x02) << "needs 8-bit value maps";
    const int h = in[header + 8] - in[header + 9] + 1;
    const int symbols = read_u16(&in[header + 10 + 2 * h]);
    const size_t base = header + 12 + 2 * h + 3 * symbols + (symbols & 1);
    std::vector<uint16_t> maps[4];
    size_t p = base;
    for (auto& m : maps)
        for (int n = in[p++]; n > 0; --n) m.push_back(in[p++]);
    p += p & 1;
    const size_t old_length = p - base;
    size_t new_length = 0;
    for (auto& m : maps) new_length += 2 + 2 * m.size();
    while ((new_length - old_length) % 64) {
        maps[3].push_back(0);
        new_length += 2;
    }
    std::vector<uint8_t> out(in.begin(), in.begin() + ptrdiff_t(base));
    out[header] |= 16;
    auto put16 = [&](size_t v) {
        out.push_back(uint8_t(v));
        out.push_back(uint8_t(v >> 8));
    };
    for (auto& m : maps) {
        put16(m.size());
        for (uint16_t v : m) put16(v);
    }
    out.insert(out.end(), in.begin() + ptrdiff_t(p), in.end());
    return out;
}

TEST_F(Tablebase, SixteenBitValueMaps) {
    std::mt19937_64 rng(4242);
    for (const char* material : {"KQvKR", "KRvKR"}) {
        SCOPED_TRACE(material);
        const auto fens = random_fens(material, 400, rng);
        std::vector<std::pair<int, int>> expected;
        int decided_by_table = 0;
        for (const std::string& fen : fens) {
            auto pos = position_from(fen);
            int ws, ds;
            const int w = wdl_query(*pos, &ws);
            const int d = dtz_query(*pos, &ds);
            expected.push_back({d, ds});
            decided_by_table += ws == 1 && w != 0;
        }
        ASSERT_GT(decided_by_table, 10);
        const auto wide = widen_dtz_maps(read_bytes(std::string(TARNVIK_SOURCE_DIR) + "/src/tablebase/data/" + material + ".rtbz"), 4);
        int slot;
        TableEntry* e = lookup_table(signature_of_name(material, nullptr, nullptr), &slot);
        ASSERT_NE(e, nullptr);
        free_table_decoders(e, TABLE_DTZ);
        e->ready[TABLE_DTZ].store(0);
        ASSERT_TRUE(setup_table_image(e, TABLE_DTZ, wide.data(), wide.size()));
        EXPECT_TRUE(dtz_flags(e, 0) & 16);
        e->data[TABLE_DTZ] = wide.data();
        e->ready[TABLE_DTZ].store(1);
        for (size_t i = 0; i < fens.size(); ++i) {
            auto pos = position_from(fens[i]);
            int ds;
            EXPECT_EQ(dtz_query(*pos, &ds), expected[i].first) << fens[i];
            EXPECT_EQ(ds, expected[i].second) << fens[i];
        }
        free_table_decoders(e, TABLE_DTZ);
        e->ready[TABLE_DTZ].store(0);
        e->data[TABLE_DTZ] = nullptr;
    }
}

// ---------------------------------------------------------------------------------------------
// Concurrency: several threads probe tables none of them has loaded yet.

TEST_F(Tablebase, ConcurrentFirstProbes) {
    // A damaged KNNNvK file comes first on the path: its probes must fail in every thread.
    const std::string dir = temp_dir("threads");
    auto damaged = read_bytes(DATA + "/tb5/KNNNvK.rtbw");
    damaged[1] ^= 0x55;
    write_bytes(dir + "/KNNNvK.rtbw", damaged);
    struct Case {
        SuiteLine line;
        bool must_fail;
    };
    std::vector<Case> cases;
    for (const SuiteLine& s : read_suite(DATA + "/tb/probes.epd")) cases.push_back({s, false});
    for (const FileCase& c : knnn_cases()) {
        SuiteLine line;
        line.fen = c.fen;
        cases.push_back({line, true});
    }
    std::string path = dir;
    if (fs::exists(TB5)) {
        path += ";" + TB5;
        for (const SuiteLine& s : read_suite(DATA + "/tb/probes5.epd"))
            if (std::count(s.fen.begin(), s.fen.end(), 'N') != 3) cases.push_back({s, false});
    }
    std::mt19937_64 rng(99);
    std::shuffle(cases.begin(), cases.end(), rng);
    testing::internal::CaptureStderr();
    for (int round = 0; round < 4; ++round) {
        quiet_init(path);
        constexpr int THREADS = 4;
        std::atomic<int> waiting{THREADS}, mismatches{0};
        std::vector<std::thread> workers;
        for (int t = 0; t < THREADS; ++t)
            workers.emplace_back([&, t] {
                auto pos = std::make_unique<Position>();
                waiting.fetch_sub(1);
                while (waiting.load() > 0) {
                }
                // Round 0: every thread takes the same order, so they meet on each first use;
                // later rounds start the threads at different points.
                const size_t offset = round == 0 ? 0 : t * cases.size() / THREADS;
                for (size_t i = 0; i < cases.size(); ++i) {
                    const Case& c = cases[(i + offset) % cases.size()];
                    set_position(*pos, c.line.fen.c_str(), nullptr);
                    int ws, ds;
                    const int w = wdl_query(*pos, &ws);
                    if (c.must_fail) {
                        if (ws != 0) mismatches.fetch_add(1);
                        continue;
                    }
                    if (w != c.line.wdl || !ws) mismatches.fetch_add(1);
                    if (dtz_query(*pos, &ds) != c.line.dtz || !ds) mismatches.fetch_add(1);
                }
            });
        for (auto& w : workers) w.join();
        EXPECT_EQ(mismatches.load(), 0) << "round " << round;
    }
    const std::string messages = testing::internal::GetCapturedStderr();
    EXPECT_NE(messages.find("Corrupted table.\n"), std::string::npos);
    fs::remove_all(dir);
}

// ---------------------------------------------------------------------------------------------
// Root ranking

TEST_F(Tablebase, RootSuiteKeepsTheReferenceMoves) {
    const bool five = fs::exists(TB5);
    if (five) quiet_init(TB5);
    int checked = 0;
    for (const SuiteLine& s : read_suite(DATA + "/tb/root.epd")) {
        if (!five && men_in_fen(s.fen) > 4) continue;
        auto pos = position_from(s.fen);
        int score;
        EXPECT_EQ(ranked_moves(*pos, &score), s.keep) << s.fen;
        EXPECT_NE(score, -32767) << s.fen;
        if (s.wdl == 2) {
            EXPECT_GT(score, 32000) << s.fen;
        }
        if (s.wdl == -2) {
            EXPECT_LT(score, -32000) << s.fen;
        }
        if (s.wdl == 0) {
            EXPECT_EQ(score, 0) << s.fen;
        }
        EXPECT_EQ(pos->current, pos->states);
        ++checked;
    }
    EXPECT_GT(checked, 20);
}

TEST_F(Tablebase, RootScoreFollowsMaterialAndFiftyMoveRule) {
    // Queen up (F = 1000): 32526 + 200.
    auto pos = position_from("8/8/8/4k3/8/8/4KQ2/8 w - - 0 1");
    int score;
    const auto all = ranked_moves(*pos, &score);
    EXPECT_EQ(score, 32726);
    EXPECT_EQ(tablebase_score(true, 0), 32526);
    EXPECT_EQ(tablebase_score(false, -1005), -32726);
    EXPECT_EQ(tablebase_score(true, -1004), 32326);

    // The same position 90 plies into the phase: dtz 13 + 90 > 100 spoils the win; only the
    // fastest-converting moves stay, each one ply shorter than the root's distance.
    pos = position_from("8/8/8/4k3/8/8/4KQ2/8 w - - 90 1");
    const auto late = ranked_moves(*pos, &score);
    EXPECT_EQ(score, 0);
    ASSERT_FALSE(late.empty());
    EXPECT_LT(late.size(), all.size());
    for (const std::string& m : late) {
        auto child = std::make_unique<Position>();
        set_position(*child, "8/8/8/4k3/8/8/4KQ2/8 w - - 0 1", m.c_str());
        int ds;
        EXPECT_EQ(dtz_query(*child, &ds), -12) << m;
    }
    options.syzygy_50_move_rule = false;
    ranked_moves(*pos, &score);
    EXPECT_EQ(score, 32726);
}

TEST_F(Tablebase, RootRepetitionKeepsOnlyFastestWins) {
    const char* fen = "8/8/8/4k3/8/8/4KQ2/8 w - - 0 1";
    auto fresh = position_from(fen);
    int score;
    const auto wide = ranked_moves(*fresh, &score);
    // The same position after a repetition (four plies back and forth).
    auto pos = std::make_unique<Position>();
    ASSERT_GE(set_position(*pos, fen, "f2f3 e5e6 f3f2 e6e5"), 0);
    ASSERT_TRUE(pos->current->flags & REPETITION);
    const auto narrow = ranked_moves(*pos, &score);
    EXPECT_GT(wide.size(), narrow.size());
    ASSERT_FALSE(narrow.empty());
    for (const std::string& m : narrow) EXPECT_TRUE(wide.count(m)) << m;
    // Every survivor reaches a zeroing move in the fewest plies.
    std::set<int> child_dtz;
    for (const std::string& m : narrow) {
        auto child = std::make_unique<Position>();
        set_position(*child, fen, m.c_str());
        int ds;
        child_dtz.insert(dtz_query(*child, &ds));
    }
    EXPECT_EQ(child_dtz.size(), 1u);
}

TEST_F(Tablebase, RootLossAndFailure) {
    // A lost root early in the phase keeps every move.
    auto pos = position_from("8/6k1/8/4Q3/8/1K6/8/8 b - - 0 1");
    RootMove moves[MAX_MOVES];
    RootMove* end = legal_moves(*pos->current, moves);
    const ptrdiff_t n = end - moves;
    const int score = rank_root_by_dtz(*pos, moves, &end);
    EXPECT_EQ(end - moves, n);
    EXPECT_EQ(score, -32726);
    // Five men without their files: no result, the list untouched.
    pos = position_from("8/8/3k4/8/8/3K4/2RR4/2R5 w - - 0 1");
    end = legal_moves(*pos->current, moves);
    RootMove before[MAX_MOVES];
    const ptrdiff_t count = end - moves;
    std::copy(moves, end, before);
    EXPECT_EQ(rank_root_by_dtz(*pos, moves, &end), -32767);
    ASSERT_EQ(end - moves, count);
    for (ptrdiff_t i = 0; i < count; ++i) EXPECT_EQ(moves[i].move, before[i].move);
}

// ---------------------------------------------------------------------------------------------
// Engine front end

std::string run_engine(const std::string& input) {
    const std::string in = (fs::temp_directory_path() / ("tarnvik-tb-uci-" + std::to_string(getpid()))).string();
    std::ofstream(in) << input;
    FILE* f = popen((std::string(TARNVIK_BINARY) + " < " + in + " 2>&1").c_str(), "r");
    std::string out;
    char buf[512];
    while (f && fgets(buf, sizeof buf, f)) out += buf;
    if (f) pclose(f);
    fs::remove(in);
    return out;
}

TEST(TablebaseEngine, SyzygyPathReregistersAtOnce) {
    std::string input;
    const bool five = fs::exists(TB5);
    if (five) input += "setoption name SyzygyPath value " + TB5 + "\n";
    input += "setoption name SyzygyPath value <empty>\nsetoption name SyzygyPath value \nquit\n";
    std::string out;
    const std::string all = run_engine(input);
    for (size_t at = 0, nl; at < all.size(); at = nl + 1) {
        nl = all.find('\n', at);
        if (nl == std::string::npos) nl = all.size();
        const std::string line = all.substr(at, nl - at + 1);
        if (line.rfind("info string Found", 0) == 0) out += line;
    }
    const std::string embedded = "info string Found 35 WDL and 35 DTZ tablebase files. Largest 4-men.\n";
    std::string expected = embedded;
    if (five) expected += "info string Found 41 WDL and 41 DTZ tablebase files. Largest 5-men.\n";
    expected += embedded + embedded;
    EXPECT_EQ(out, expected);
}

}  // namespace
