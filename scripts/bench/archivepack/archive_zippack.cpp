// Driver for the archive benchmark.
//   archive_zippack gen <file> <bytes>
//       writes a deterministic backup-like file
//   archive_zippack pack [--threads N] [--block BYTES] [--level L] <zip> <files...>
//       packs the files as the program does and prints on stderr "base_rss_kib <n>" (the
//       process before packing) and "peak_rss_kib <n>"; with ORVEL_ZIP_PASSWORD set in the
//       environment, AES-256 encrypted as the program does with a ZIP password
//   archive_zippack program <zip> <backup file>
//       packs the backup file with the program's own packaging step (the archive in the zip's
//       folder under a temporary name, flushed to disk and renamed into place, the log lines
//       kept), then renames the archive to <zip>; ORVEL_ZIP_PASSWORD as above
//   archive_zippack blocks [--block BYTES] <file>
//       one thread, block by block: time and size of libdeflate's levels, of the check, and of
//       zlib with the previous block as dictionary; prints a table
#include "archive/DeflateBlockPacker.h"
#include "archive/ZipWriter.h"
#include "backup/ArchivePackager.h"
#include "platform/Clock.h"
#include "platform/ErrorCount.h"
#include "platform/LogSink.h"
#include "platform/ProgramError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QString>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <vector>
#include <zlib.h>

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

long residentKib() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

// Takes "--name value" options off the front of the arguments.
struct Options {
    DeflateOptions deflate;
    std::vector<std::string> rest;
};

Options parse(int argc, char** argv, int from) {
    Options o;
    for (int i = from; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--threads" && i + 1 < argc)
            o.deflate.threads = std::stoi(argv[++i]);
        else if (a == "--block" && i + 1 < argc)
            o.deflate.blockSize = std::stoll(argv[++i]);
        else if (a == "--level" && i + 1 < argc)
            o.deflate.level = std::stoi(argv[++i]);
        else
            o.rest.push_back(a);
    }
    return o;
}

int pack(const Options& o) {
    if (o.rest.size() < 2)
        return 2;
    const QString zipPath = QString::fromStdString(o.rest[0]);
    std::fprintf(stderr, "base_rss_kib %ld\n", residentKib());
    QSaveFile out(zipPath);
    if (!out.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "cannot create %s\n", o.rest[0].c_str());
        return 1;
    }
    try {
        ZipWriter writer(out, zipPath, ZipLimits(), o.deflate);
        writer.setPassword(qEnvironmentVariable("ORVEL_ZIP_PASSWORD"));
        for (size_t i = 1; i < o.rest.size(); ++i)
            writer.addFile(QString::fromStdString(o.rest[i]));
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

// The program's packaging step on one backup file, as a night's run makes it.
int program(const Options& o) {
    if (o.rest.size() != 2)
        return 2;
    struct Lines : LogSink {
        QStringList lines;
        void writelogentry(const QString& entrytext) override { lines << entrytext; }
    } log;
    ErrorCount errors;
    const QFileInfo zip(QString::fromStdString(o.rest[0]));
    ArchivePackager packager(log, errors, SystemClock::instance(),
                             zip.absolutePath() + QLatin1Char('/'));
    packager.setDeflateOptions(o.deflate);
    BackupJob job;
    job.DBName = QStringLiteral("Lager");
    job.ZIP_Dateiname = QStringLiteral("orvel-bench-");
    const ArchiveLocation made =
        packager.zipprozess(job, QString(), qEnvironmentVariable("ORVEL_ZIP_PASSWORD"),
                            QString::fromStdString(o.rest[1]), QString(), {});
    if (errors.value() != 0 || made.archivePath.isEmpty() ||
        !QDir().rename(made.archivePath, zip.absoluteFilePath())) {
        for (const QString& line : log.lines)
            std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
        return 1;
    }
    return 0;
}

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// The block compressors the packing could use, on one thread, so that they compare per core.
int blocks(const Options& o) {
    if (o.rest.size() != 1)
        return 2;
    QFile file(QString::fromStdString(o.rest[0]));
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    const QByteArray data = file.readAll();
    const size_t block = size_t(o.deflate.blockSize);
    const size_t total = size_t(data.size());
    const double mb = double(total) / 1e6;
    std::vector<char> out(DeflateBlockPacker::outputBound(block));

    std::printf("%-34s %9s %9s %10s\n", "block compressor (1 thread)", "seconds", "MB/s", "size");
    for (int level : {5, 6, 7}) {
        DeflateBlockPacker packer(level, block);
        double compressTime = 0, checkTime = 0;
        size_t compressed = 0;
        for (size_t at = 0; at < total; at += block) {
            const size_t n = std::min(block, total - at);
            const bool last = at + n == total;
            auto start = Clock::now();
            size_t size = packer.compress(data.constData() + at, n, out.data(), out.size());
            compressTime += seconds(start);
            start = Clock::now();
            const QString problem =
                packer.verifyAndJoin(data.constData() + at, n, out.data(), size, out.size(), last);
            checkTime += seconds(start);
            if (!problem.isEmpty()) {
                std::fprintf(stderr, "check failed: %s\n", problem.toLocal8Bit().constData());
                return 1;
            }
            compressed += size;
        }
        std::printf("libdeflate %-2d %-20s %9.2f %9.1f %10.4f\n", level, "compress", compressTime,
                    mb / compressTime, double(compressed) / double(total));
        std::printf("libdeflate %-2d %-20s %9.2f %9.1f %9.1f%%\n", level, "+ check: walk, compare",
                    checkTime, mb / checkTime, 100.0 * checkTime / compressTime);
    }

    // pigz's way: zlib, each block primed with the previous block's last 32 KiB and ended with a
    // sync flush.
    z_stream zs{};
    deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    size_t compressed = 0;
    const auto start = Clock::now();
    for (size_t at = 0; at < total; at += block) {
        const size_t n = std::min(block, total - at);
        deflateReset(&zs);
        if (at > 0) {
            const size_t dict = std::min<size_t>(32768, at);
            deflateSetDictionary(&zs, reinterpret_cast<const Bytef*>(data.constData() + at - dict),
                                 uInt(dict));
        }
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData() + at));
        zs.avail_in = uInt(n);
        const int flush = at + n == total ? Z_FINISH : Z_SYNC_FLUSH;
        do {
            zs.next_out = reinterpret_cast<Bytef*>(out.data());
            zs.avail_out = uInt(out.size());
            deflate(&zs, flush);
            compressed += out.size() - zs.avail_out;
        } while (zs.avail_out == 0);
    }
    const double zlibTime = seconds(start);
    deflateEnd(&zs);
    std::printf("%-34s %9.2f %9.1f %10.4f\n", "zlib 6, dictionary + sync flush", zlibTime,
                mb / zlibTime, double(compressed) / double(total));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "gen")
        return generate(argv[2], std::stoll(argv[3]));
    if (argc >= 4 && std::string(argv[1]) == "pack")
        return pack(parse(argc, argv, 2));
    if (argc >= 4 && std::string(argv[1]) == "program")
        return program(parse(argc, argv, 2));
    if (argc >= 3 && std::string(argv[1]) == "blocks")
        return blocks(parse(argc, argv, 2));
    std::fprintf(stderr,
                 "usage: %s gen <file> <bytes> | pack [--threads N] [--block BYTES] [--level L] "
                 "<zip> <files...> | program <zip> <backup file> | blocks [--block BYTES] "
                 "<file>\n",
                 argv[0]);
    return 2;
}
