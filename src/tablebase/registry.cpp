// Registry of the available tables: the embedded three- and four-man set and the files found in the
// SyzygyPath directories, keyed by material signature.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "tablebase/tablebase.h"
#include "tablebase/tb_internal.h"

TableRegistry registry;
extern std::atomic<uint32_t> table_loading_lock;

const uint64_t SignatureWeights[16] = {
    0,
    0x5ced000000000101ull,  // white pawn
    0xe173000000001001ull,  // white knight
    0xd64d000000010001ull,  // white bishop
    0xab88000000100001ull,  // white rook
    0x680b000001000001ull,  // white queen
    0x0000000000000001ull,  // white king
    0,
    0,
    0xf219000010000001ull,  // black pawn
    0xbb14000100000001ull,  // black knight
    0x58df001000000001ull,  // black bishop
    0xa15f010000000001ull,  // black rook
    0x7c94100000000001ull,  // black queen
    0x0000000000000001ull,  // black king
    0,
};

// Letters of a name, by piece kind; "v" switches from the first side to the second.
static int letter_kind(char c) {
    switch (c) {
    case 'P': return PAWN;
    case 'N': return KNIGHT;
    case 'B': return BISHOP;
    case 'R': return ROOK;
    case 'Q': return QUEEN;
    case 'K': return KING;
    default: return 0;
    }
}

uint64_t signature_of_name(const char* name, uint64_t* mirrored, uint8_t counts[16]) {
    uint8_t c[16] = {};
    int colour = 0;
    for (const char* s = name; *s; ++s) {
        if (*s == 'v') colour = 8;
        else if (int k = letter_kind(*s)) c[k + colour]++;
    }
    uint64_t sig = 0, mir = 0;
    for (int code = 0; code < 16; ++code) {
        sig += c[code] * SignatureWeights[code];
        mir += c[code] * SignatureWeights[code ^ 8];
    }
    if (mirrored) *mirrored = mir;
    if (counts) std::memcpy(counts, c, 16);
    return sig;
}

TableEntry* lookup_table(uint64_t signature, int* slot) {
    int i = int(signature >> 52);
    while (registry.slots[i].signature != 0 && registry.slots[i].signature != signature)
        i = (i + 1) & (REGISTRY_SLOTS - 1);
    *slot = i;
    return registry.slots[i].entry.load(std::memory_order_acquire);
}

static void insert_slot(uint64_t signature, TableEntry* e) {
    int i = int(signature >> 52);
    while (registry.slots[i].entry.load(std::memory_order_relaxed) != nullptr) i = (i + 1) & (REGISTRY_SLOTS - 1);
    registry.slots[i].signature = signature;
    registry.slots[i].entry.store(e, std::memory_order_release);
}

int open_table_file(const char* name, const char* suffix) {
    for (int d = 0; d < registry.directory_count; ++d) {
        char path[NAME_BUFFER];
        int n = std::snprintf(path, sizeof path, "%s/%s%s", registry.directories[d], name, suffix);
        if (n < 0 || n >= NAME_BUFFER) continue;  // does not fit the name buffer: skip the directory
        int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;  // missing or unreadable
        struct stat st;
        // A directory or device of that name is not a table file.
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            continue;
        }
        return fd;
    }
    return -1;
}

bool table_available(const char* name, const char* suffix) {
    // Three- and four-man names always come from the embedded set.
    if (std::strlen(name) <= 5) return true;
    int fd = open_table_file(name, suffix);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

void register_table(const char* name, int* largest) {
    if (!table_available(name, ".rtbw")) return;
    uint64_t mirrored;
    uint8_t counts[16];
    const uint64_t sig = signature_of_name(name, &mirrored, counts);
    const bool pawns = counts[PAWN] + counts[PAWN + 8] > 0;
    TableEntry* e = pawns ? static_cast<TableEntry*>(&registry.pawn[registry.pawn_count++])
                          : static_cast<TableEntry*>(&registry.pawnless[registry.pawnless_count++]);
    e->signature = sig;
    e->data[0] = e->data[1] = nullptr;
    e->mapping[0] = e->mapping[1] = 0;
    e->ready[0].store(0, std::memory_order_relaxed);
    e->ready[1].store(0, std::memory_order_relaxed);
    e->has_pawns = pawns;
    e->men = uint8_t(sig & 0xFF);
    e->symmetric = sig == mirrored;
    std::memcpy(e->counts, counts, 16);
    registry.wdl_count++;
    e->has_dtz = table_available(name, ".rtbz");
    registry.dtz_count += e->has_dtz;
    if (e->men > *largest) *largest = e->men;
    e->king_pair_coding = false;
    e->lead_pawns = e->other_pawns = 0;
    if (pawns) {
        int white = counts[PAWN], black = counts[PAWN + 8];
        // The side with fewer pawns (among sides that have some) leads; white on equal numbers.
        if (black > 0 && (white == 0 || black < white)) {
            e->lead_pawns = uint8_t(black);
            e->other_pawns = uint8_t(white);
        } else {
            e->lead_pawns = uint8_t(white);
            e->other_pawns = uint8_t(black);
        }
    } else {
        int unique = 0;
        for (int code = 0; code < 16; ++code) unique += counts[code] == 1;
        e->king_pair_coding = unique == 2;
    }
    insert_slot(sig, e);
    if (mirrored != sig) insert_slot(mirrored, e);
}

static void unmap_image(TableEntry* e, int kind) {
    if (e->mapping[kind] != 0) munmap(const_cast<uint8_t*>(e->data[kind]), e->mapping[kind]);
    e->mapping[kind] = 0;
    e->data[kind] = nullptr;
}

void release_table(TableEntry* e) {
    for (int kind = TABLE_WDL; kind <= TABLE_DTZ; ++kind) {
        if (!e->ready[kind].load(std::memory_order_relaxed)) continue;
        unmap_image(e, kind);
        free_table_decoders(e, kind);
        e->ready[kind].store(0, std::memory_order_relaxed);
    }
}

// Names of every material of three to seven men, grouped by men count.
static void register_names(int first_group, int last_group, int* largest) {
    static const char letters[] = " PNBRQK  pnbrqk";
    auto L = [](int number) { return letters[5 - number]; };
    char name[16];
    for (int group = first_group; group <= last_group; ++group) {
        switch (group) {
        case 1:
            for (int i = 0; i <= 4; ++i) {
                std::snprintf(name, sizeof name, "K%cvK", L(i));
                register_table(name, largest);
            }
            break;
        case 2:
            for (int i = 0; i <= 4; ++i)
                for (int j = i; j <= 4; ++j) {
                    std::snprintf(name, sizeof name, "K%cvK%c", L(i), L(j));
                    register_table(name, largest);
                }
            break;
        case 3:
            for (int i = 0; i <= 4; ++i)
                for (int j = i; j <= 4; ++j) {
                    std::snprintf(name, sizeof name, "K%c%cvK", L(i), L(j));
                    register_table(name, largest);
                }
            break;
        case 4:
            for (int i = 0; i <= 4; ++i)
                for (int j = i; j <= 4; ++j)
                    for (int k = 0; k <= 4; ++k) {
                        std::snprintf(name, sizeof name, "K%c%cvK%c", L(i), L(j), L(k));
                        register_table(name, largest);
                    }
            break;
        case 5:
            for (int i = 0; i <= 4; ++i)
                for (int j = i; j <= 4; ++j)
                    for (int k = j; k <= 4; ++k) {
                        std::snprintf(name, sizeof name, "K%c%c%cvK", L(i), L(j), L(k));
                        register_table(name, largest);
                    }
            break;
        case 6:
            for (int i = 0; i <= 4; ++i)
                for (int j = i; j <= 4; ++j)
                    for (int k = i; k <= 4; ++k)
                        for (int l = (k == i ? j : k); l <= 4; ++l) {
                            std::snprintf(name, sizeof name, "K%c%cvK%c%c", L(i), L(j), L(k), L(l));
                            register_table(name, largest);
                        }
            break;
        case 7:
            for (int i = 0; i <= 4; ++i)
                for (int j = i; j <= 4; ++j)
                    for (int k = j; k <= 4; ++k)
                        for (int l = 0; l <= 4; ++l) {
                            std::snprintf(name, sizeof name, "K%c%c%cvK%c", L(i), L(j), L(k), L(l));
                            register_table(name, largest);
                        }
            break;
        case 8:
            for (int i = 0; i <= 4; ++i)
                for (int j = i; j <= 4; ++j)
                    for (int k = j; k <= 4; ++k)
                        for (int l = k; l <= 4; ++l) {
                            std::snprintf(name, sizeof name, "K%c%c%c%cvK", L(i), L(j), L(k), L(l));
                            register_table(name, largest);
                        }
            break;
        case 9:
            for (int i = 0; i <= 4; ++i)
                for (int j = i; j <= 4; ++j)
                    for (int k = j; k <= 4; ++k)
                        for (int l = k; l <= 4; ++l)
                            for (int m = l; m <= 4; ++m) {
                                std::snprintf(name, sizeof name, "K%c%c%c%c%cvK", L(i), L(j), L(k), L(l), L(m));
                                register_table(name, largest);
                            }
            break;
        case 10:
            for (int i = 0; i <= 4; ++i)
                for (int j = i; j <= 4; ++j)
                    for (int k = j; k <= 4; ++k)
                        for (int l = k; l <= 4; ++l)
                            for (int m = 0; m <= 4; ++m) {
                                std::snprintf(name, sizeof name, "K%c%c%c%cvK%c", L(i), L(j), L(k), L(l), L(m));
                                register_table(name, largest);
                            }
            break;
        case 11:
            for (int i = 0; i <= 4; ++i)
                for (int j = i; j <= 4; ++j)
                    for (int k = j; k <= 4; ++k)
                        for (int l = 0; l <= 4; ++l)
                            for (int m = l; m <= 4; ++m) {
                                std::snprintf(name, sizeof name, "K%c%c%cvK%c%c", L(i), L(j), L(k), L(l), L(m));
                                register_table(name, largest);
                            }
            break;
        }
    }
}

static void release_registry() {
    std::free(registry.path_copy);
    std::free(registry.directories);
    registry.path_copy = nullptr;
    registry.directories = nullptr;
    registry.directory_count = 0;
    for (int i = 0; i < registry.pawnless_count; ++i) release_table(&registry.pawnless[i]);
    for (int i = 0; i < registry.pawn_count; ++i) release_table(&registry.pawn[i]);
}

static void build_directory_list(const char* value) {
    size_t n = std::strlen(value);
    registry.path_copy = static_cast<char*>(std::malloc(n + 1));
    registry.directories = static_cast<char**>(std::malloc(sizeof(char*) * (n / 2 + 1)));
    if (!registry.path_copy || !registry.directories) {
        std::printf("Memory allocation error\n");
        std::fflush(stdout);
        std::exit(1);
    }
    std::memcpy(registry.path_copy, value, n + 1);
    char* piece = registry.path_copy;
    for (size_t i = 0; i <= n; ++i) {
        if (registry.path_copy[i] != ';' && registry.path_copy[i] != 0) continue;
        registry.path_copy[i] = 0;
        if (*piece) registry.directories[registry.directory_count++] = piece;
        piece = registry.path_copy + i + 1;
    }
}

int init_tablebases(const char* path) {
    int largest = 0;
    release_registry();
    table_loading_lock.store(0, std::memory_order_release);
    registry.dtz_count = registry.wdl_count = 0;
    registry.pawnless_count = registry.pawn_count = 0;
    for (RegistrySlot& s : registry.slots) {
        s.signature = 0;
        s.entry.store(nullptr, std::memory_order_relaxed);
    }
    register_names(1, 3, &largest);
    if (path && *path && std::strcmp(path, "<empty>") != 0) {
        build_directory_list(path);
        register_names(4, 11, &largest);
    }
    std::printf("info string Found %d WDL and %d DTZ tablebase files. Largest %d-men.\n", registry.wdl_count,
                registry.dtz_count, largest);
    std::fflush(stdout);
    return largest;
}
