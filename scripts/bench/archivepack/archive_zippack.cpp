// Driver for the archive benchmark.
//   archive_zippack gen <file> <bytes>     writes a deterministic backup-like file
//   archive_zippack pack <zip> <files...>  packs the files as the program does and prints
//                                          "peak_rss_kib <n>" on stderr
#include "backup/ZipWriter.h"
#include "platform/ProgramError.h"

#include <QSaveFile>
#include <QString>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/resource.h>

namespace {

constexpr int pageSize = 8192;
constexpr int pageHeaderSize = 96;

struct Rng { // splitmix64: fast and the same on every machine
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int below(int n) { return int(next() % uint64_t(n)); }
};

const std::array<const char*, 16> firstNames = {
    "Anna",   "Bernd",  "Claudia", "Dieter", "Elke",   "Frank",   "Gisela", "Hans",
    "Ingrid", "Jürgen", "Karin",   "Lothar", "Monika", "Norbert", "Petra",  "Ralf"};
const std::array<const char*, 16> lastNames = {
    "Müller", "Schmidt",  "Schneider", "Fischer", "Weber", "Meyer",   "Wagner", "Becker",
    "Schulz", "Hoffmann", "Schäfer",   "Koch",    "Bauer", "Richter", "Klein",  "Wolf"};
const std::array<const char*, 12> words = {"Lieferung", "Rechnung",  "offen",   "bezahlt",
                                           "Lager",     "Kunde",     "Auftrag", "Stück",
                                           "Palette",   "storniert", "Mahnung", "Gutschrift"};

// One row: fixed-width numbers and a date as a database stores them, then variable text.
int writeRow(Rng& rng, char* out, int room, uint32_t id) {
    char row[256];
    int n = 0;
    auto put = [&](const void* p, int len) {
        std::memcpy(row + n, p, size_t(len));
        n += len;
    };
    const uint16_t status = 0x30;
    put(&status, 2);
    put(&id, 4);
    const int32_t amount = int32_t(rng.below(1000000));
    put(&amount, 4);
    const int64_t money = int64_t(rng.below(100000000)) * 100;
    put(&money, 8);
    const int32_t day = 45000 + rng.below(3000); // days since a base date
    put(&day, 4);
    const int32_t ms = rng.below(86400) * 300;
    put(&ms, 4);
    const char* first = firstNames[size_t(rng.below(int(firstNames.size())))];
    const char* last = lastNames[size_t(rng.below(int(lastNames.size())))];
    put(first, int(std::strlen(first)));
    put(" ", 1);
    put(last, int(std::strlen(last)));
    const int textWords = rng.below(6);
    for (int w = 0; w < textWords; ++w) {
        put(" ", 1);
        const char* word = words[size_t(rng.below(int(words.size())))];
        put(word, int(std::strlen(word)));
    }
    if (n > room)
        return 0;
    std::memcpy(out, row, size_t(n));
    return n;
}

int generate(const char* path, long long bytes) {
    FILE* f = std::fopen(path, "wb");
    if (!f)
        return 1;
    Rng rng{42};
    std::array<char, pageSize> page{};
    uint32_t rowId = 0;
    for (long long pageNo = 0; pageNo * pageSize < bytes; ++pageNo) {
        page.fill(0);
        std::memcpy(page.data(), &pageNo, sizeof pageNo);
        const uint64_t lsn = rng.next();
        std::memcpy(page.data() + 16, &lsn, sizeof lsn);
        // A tenth of the pages are allocated but empty; the others fill 30 % to 98 %.
        const int fill = rng.below(10) == 0 ? 0 : pageSize * (30 + rng.below(69)) / 100;
        int at = pageHeaderSize;
        int rows = 0;
        uint16_t slotOffsets[pageSize / 8];
        while (at < fill) {
            const int n = writeRow(rng, page.data() + at, pageSize - at - 2 * (rows + 1), rowId);
            if (n == 0)
                break;
            slotOffsets[rows++] = uint16_t(at);
            at += n;
            ++rowId;
        }
        // Slot array at the end of the page, as data pages keep it.
        for (int i = 0; i < rows; ++i)
            std::memcpy(page.data() + pageSize - 2 * (i + 1), &slotOffsets[i], 2);
        const long long left = bytes - pageNo * pageSize;
        const size_t len = size_t(left < pageSize ? left : pageSize);
        if (std::fwrite(page.data(), 1, len, f) != len)
            return 1;
    }
    return std::fclose(f) == 0 ? 0 : 1;
}

int pack(int argc, char** argv) {
    const QString zipPath = QString::fromLocal8Bit(argv[2]);
    QSaveFile out(zipPath);
    if (!out.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "cannot create %s\n", argv[2]);
        return 1;
    }
    try {
        ZipWriter writer(out, zipPath);
        for (int i = 3; i < argc; ++i)
            writer.addFile(QString::fromLocal8Bit(argv[i]));
        writer.close();
    } catch (const ProgramError& e) {
        std::fprintf(stderr, "%s\n", e.message().toLocal8Bit().constData());
        return 1;
    }
    if (!out.commit())
        return 1;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::fprintf(stderr, "peak_rss_kib %ld\n", usage.ru_maxrss);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "gen")
        return generate(argv[2], std::stoll(argv[3]));
    if (argc >= 4 && std::string(argv[1]) == "pack")
        return pack(argc, argv);
    std::fprintf(stderr, "usage: %s gen <file> <bytes> | pack <zip> <files...>\n", argv[0]);
    return 2;
}
