#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>

// How an entry's data is compressed. The defaults are the program's; tests and the benchmark
// change them.
struct DeflateOptions {
    int threads = 0;            // compressing threads; 0 means one per core
    qint64 blockSize = 1 << 20; // input bytes per block
    int level = 6;              // libdeflate's level
    // Called on a worker with each compressed block before it is checked; tests damage one
    // (change its bytes or cut it short).
    std::function<void(quint64 block, char* data, size_t& size)> damage;
};

// Compresses an entry's data into one standard raw Deflate stream on several threads: the
// data is read in blocks, each block is compressed and checked on a worker (and optionally
// sealed there, encrypted say), and the pieces are written in order. The number of blocks in
// memory is fixed, so memory stays the same whatever the size of the data and however slow the
// writing is (reading waits for a free block).
class ParallelDeflate {
public:
    // Fills exactly `length` bytes or throws.
    using Read = std::function<void(char* into, qint64 length)>;
    // Writes all `length` bytes or throws.
    using Write = std::function<void(const char* data, qint64 length)>;
    // Changes a checked piece in place (encrypts it) on a worker, given where it stands in the
    // entry's stream; pieces are handed over in any order, several at once. Throws on failure.
    using Seal = std::function<void(quint64 offset, char* data, size_t size)>;

    struct Result {
        quint64 size = 0;           // bytes read
        quint64 compressedSize = 0; // bytes written
        quint32 crc = 0;            // CRC-32 of the bytes read
    };

    // Most compressing threads, whatever the core count: memory is bounded by this.
    static constexpr int maxThreads = 16;
    // Most blocks in memory at once.
    static constexpr int maxBlocks = 20;

    // Starts the workers. Throws std::bad_alloc when their buffers cannot be had.
    explicit ParallelDeflate(DeflateOptions options = {});
    ~ParallelDeflate();
    ParallelDeflate(const ParallelDeflate&) = delete;
    ParallelDeflate& operator=(const ParallelDeflate&) = delete;

    int threads() const;

    // The largest stream `size` bytes can give, for deciding on ZIP64 before it is written.
    quint64 worstCase(quint64 size) const;

    // Compresses `size` bytes taken from `read` and hands the stream to `write`. Throws
    // ProgramError naming `name` when a block cannot be compressed or fails its check; whatever
    // `read` and `write` throw passes through. Nothing of a failed block is written. With
    // `seal`, each piece is sealed once checked and once the pieces before it are, and
    // `write` gets the sealed piece.
    Result deflate(const QString& name, quint64 size, const Read& read, const Write& write,
                   const Seal& seal = {});

private:
    struct Shared;
    std::unique_ptr<Shared> d;
};
