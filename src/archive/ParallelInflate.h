#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>

// How an entry's data is inflated. The defaults are the program's; tests change them.
struct InflateOptions {
    int threads = 0; // inflating threads; 0 means one per core
};

// Inflates one raw Deflate stream on several threads when the stream lets it, and on the
// calling thread, in bounded chunks, when it does not; the output is the same either way.
//
// The program's own streams are made of pieces that each begin at a block boundary with no
// match reaching back into an earlier piece, and every piece but the last ends with an empty
// stored block (the bytes 00 00 FF FF after its header). The stream is cut after such bytes into
// jobs, each inflated whole on a worker (libdeflate) with an empty final block put after it. A
// cut is only a guess, since the same bytes may stand anywhere in the data; it is proven when
// the job before it, itself begun at a proven place, ends exactly there at a block boundary with
// no bit left over: the stream then ends with the final block put after it. A job whose own
// end is not proven, or that fails on its worker (a match reaching back before it, too much
// output), is inflated on the calling thread instead, continuing the stream from where it
// stands with the last 32 KiB written as its history, until a cut is proven again. A stream
// without such bytes (any other writer's) is thus inflated serially and correctly.
//
// Memory is bounded: a fixed number of jobs, each holding at most `maxJobInput` compressed and
// `maxJobOutput` inflated bytes; a job that would give more falls back to the serial path,
// which writes in chunks.
class ParallelInflate {
public:
    // Fills exactly `length` bytes with the stream's next bytes or throws.
    using Read = std::function<void(char* into, qint64 length)>;
    // Writes all `length` bytes or throws.
    using Write = std::function<void(const char* data, qint64 length)>;

    struct Result {
        quint64 size = 0;     // bytes written
        quint32 crc = 0;      // CRC-32 of the bytes written
        quint64 jobs = 0;     // jobs the stream was cut into
        quint64 parallel = 0; // jobs whose output came from a worker
    };

    static constexpr int maxThreads = 16;
    // Most jobs in memory at once, whatever the number of threads.
    static constexpr int maxJobs = 12;
    // A piece of the program's (a 1 MiB block) never needs more.
    static constexpr size_t maxJobInput = 2 << 20;
    static constexpr size_t maxJobOutput = 4 << 20;

    explicit ParallelInflate(InflateOptions options = {});
    ~ParallelInflate();
    ParallelInflate(const ParallelInflate&) = delete;
    ParallelInflate& operator=(const ParallelInflate&) = delete;

    int threads() const;

    // Inflates the stream of `compressedSize` bytes taken from `read`, which must give exactly
    // `size` bytes, and hands them in order to `write`. Bytes after the stream's end are not
    // looked at. Throws ProgramError naming `name` when the stream is damaged, ends early or
    // gives another number of bytes; whatever `read` and `write` throw passes through.
    Result inflate(const QString& name, quint64 compressedSize, quint64 size, const Read& read,
                   const Write& write);

private:
    struct Shared;
    std::unique_ptr<Shared> d;
};
