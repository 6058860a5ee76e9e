#include "archive/ParallelInflate.h"

#include "platform/ProgramError.h"

#include <QThread>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <libdeflate.h>
#include <mutex>
#include <thread>
#include <vector>
#include <zlib.h>

namespace {

// The bytes that end an empty stored block: its length 0 and the length's complement.
constexpr char joinMark[] = {'\0', '\0', '\xFF', '\xFF'};
constexpr size_t joinMarkSize = sizeof joinMark;
// An empty final block (final, fixed codes, the end code: ten bits). Put after a job that ends
// at a guessed cut, it ends the stream there when the cut is a block boundary.
constexpr char finalBlock[] = {'\x03', '\0'};
constexpr size_t finalBlockSize = sizeof finalBlock;
// Smaller jobs are not worth a worker; a cut is only looked for beyond this.
constexpr size_t smallestJob = 2048;
constexpr size_t readChunk = 256 * 1024;
constexpr size_t serialChunk = 256 * 1024;
constexpr size_t historySize = 32 * 1024;

// zlib's data_type after an inflate call: bits left in the last byte (0..7 in the low bits),
// 64 when the last block was begun, 128 when it waits for the next block's header. Only a call
// that took or gave bytes says so: one that begins waiting forgets it (zlib then reports 0), so
// the callers keep what the last such call said.
bool atBlockBoundary(const z_stream& z) {
    return (z.data_type & (128 | 64 | 63)) == 128;
}

[[noreturn]] void damaged(const QString& name, const QString& reason) {
    throw ProgramError(QStringLiteral("Eintrag beschädigt: ") + name + QStringLiteral(" (") +
                       reason + QLatin1Char(')'));
}

struct Inflater {
    z_stream z{};
    bool ready = false;
    Inflater() { ready = inflateInit2(&z, -15) == Z_OK; }
    ~Inflater() {
        if (ready)
            inflateEnd(&z);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
};

// A worker's whole-buffer inflater.
struct Decompressor {
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    Decompressor() = default;
    ~Decompressor() { libdeflate_free_decompressor(d); }
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;
};

quint32 crcOf(quint32 crc, const char* data, size_t length) {
    return quint32(libdeflate_crc32(crc, data, length));
}

} // namespace

struct ParallelInflate::Shared {
    enum class State { Free, Held, Queued, Done };

    struct Job {
        std::vector<char> in;
        std::unique_ptr<char[]> out;
        size_t outCapacity = 0;
        size_t outSize = 0;
        bool parallel = false; // begins and ends at a guessed cut: a worker inflates it
        bool last = false;     // holds the end of the compressed data
        bool ok = false;       // the worker inflated it and its end is a block boundary
        bool endsStream = false;
        quint32 crc = 0;
        State state = State::Free;
    };

    int threadCount = 1;
    std::vector<Job> jobs;
    std::vector<std::thread> workers;

    std::mutex mutex;
    std::condition_variable queued;
    std::condition_variable finished;
    std::deque<Job*> queue;
    int busy = 0;
    bool stopping = false;

    void work();
    static void inflateJob(Job& j, libdeflate_decompressor* d);
    void stopWorkers();
};

void ParallelInflate::Shared::work() {
    Decompressor inflater;
    for (;;) {
        Job* j = nullptr;
        {
            std::unique_lock lock(mutex);
            queued.wait(lock, [this] { return stopping || !queue.empty(); });
            if (stopping)
                return;
            j = queue.front();
            queue.pop_front();
            ++busy;
        }
        j->ok = false;
        if (inflater.d) {
            try {
                inflateJob(*j, inflater.d);
            } catch (...) {
                j->ok = false; // out of memory: the calling thread inflates it
            }
        }
        {
            std::lock_guard lock(mutex);
            j->state = State::Done;
            --busy;
        }
        finished.notify_all();
    }
}

void ParallelInflate::Shared::inflateJob(Job& j, libdeflate_decompressor* d) {
    j.outSize = 0;
    j.endsStream = false;
    if (!j.out) {
        j.out = std::make_unique_for_overwrite<char[]>(maxJobOutput);
        j.outCapacity = maxJobOutput;
    }
    const size_t inSize = j.in.size();
    size_t taken = 0;
    size_t given = 0;
    libdeflate_result r;
    if (j.last) {
        // The stream's end lies in the job: its final block.
        r = libdeflate_deflate_decompress_ex(d, j.in.data(), inSize, j.out.get(), j.outCapacity,
                                             &taken, &given);
        if (r != LIBDEFLATE_SUCCESS)
            return;
        j.endsStream = true;
    } else {
        // The job ends at a guessed cut. With an empty final block after it, the stream ends
        // exactly after that block only when the cut is a block boundary with no bit left over.
        j.in.insert(j.in.end(), finalBlock, finalBlock + finalBlockSize);
        r = libdeflate_deflate_decompress_ex(d, j.in.data(), j.in.size(), j.out.get(),
                                             j.outCapacity, &taken, &given);
        j.in.resize(inSize);
        if (r != LIBDEFLATE_SUCCESS)
            return; // damaged, a match reaching back before the job, or too much output
        if (taken <= inSize)
            j.endsStream = true; // the stream's own final block lies in the job
        else if (taken != inSize + finalBlockSize)
            return;
    }
    j.outSize = given;
    j.crc = crcOf(0, j.out.get(), given);
    j.ok = true;
}

void ParallelInflate::Shared::stopWorkers() {
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    queued.notify_all();
    for (std::thread& t : workers)
        t.join();
    workers.clear();
}

ParallelInflate::ParallelInflate(InflateOptions options) : d(std::make_unique<Shared>()) {
    d->threadCount = std::clamp(options.threads > 0 ? options.threads : QThread::idealThreadCount(),
                                1, maxThreads);
    // Two jobs per worker, one being inflated and one waiting, and two for the calling thread,
    // one being written and one being filled.
    d->jobs.resize(size_t(std::min(2 * d->threadCount + 2, maxJobs)));
    try {
        for (int i = 0; i < d->threadCount; ++i)
            d->workers.emplace_back(&Shared::work, d.get());
    } catch (...) {
        d->stopWorkers();
        throw;
    }
}

ParallelInflate::~ParallelInflate() {
    d->stopWorkers();
}

int ParallelInflate::threads() const {
    return d->threadCount;
}

ParallelInflate::Result ParallelInflate::inflate(const QString& name, quint64 compressedSize,
                                                 quint64 size, const Read& read,
                                                 const Write& write) {
    Shared& s = *d;
    const size_t ring = s.jobs.size();

    // However this ends, no worker may still be at a job when the next entry reuses it; and the
    // jobs' buffers are given back.
    struct Settle {
        Shared& s;
        ~Settle() {
            std::unique_lock lock(s.mutex);
            s.queue.clear();
            s.finished.wait(lock, [this] { return s.busy == 0; });
            for (Shared::Job& j : s.jobs) {
                j.state = Shared::State::Free;
                j.in = std::vector<char>();
                j.out.reset();
                j.outCapacity = 0;
            }
        }
    } settle{s};

    Result result;
    result.crc = quint32(crc32_z(0, nullptr, 0));
    std::vector<char> history; // the last bytes written, up to historySize
    history.reserve(historySize);
    const auto deliver = [&](const char* data, size_t length, const quint32* crc) {
        if (length > size - result.size)
            damaged(name, QStringLiteral("mehr Daten als angegeben"));
        write(data, qint64(length));
        result.crc = crc ? quint32(crc32_combine64(result.crc, *crc, z_off64_t(length)))
                         : crcOf(result.crc, data, length);
        result.size += length;
        if (length >= historySize) {
            history.assign(data + length - historySize, data + length);
        } else {
            const size_t keep = std::min(history.size(), historySize - length);
            history.erase(history.begin(), history.end() - qsizetype(keep));
            history.insert(history.end(), data, data + length);
        }
    };

    // The compressed bytes read but not yet given to a job, and whether they begin at a cut.
    quint64 unread = compressedSize;
    std::vector<char> pending;
    size_t scanned = 0; // no mark begins before this in `pending`
    bool atCut = true;  // the stream's start is a block boundary
    const auto makeJob = [&](Shared::Job& j) {
        size_t cut = 0;
        bool endsAtCut = true;
        for (;;) {
            const size_t from = std::max(scanned, smallestJob - joinMarkSize);
            if (pending.size() >= from + joinMarkSize) {
                const auto mark = std::search(pending.begin() + qsizetype(from), pending.end(),
                                              joinMark, joinMark + joinMarkSize);
                if (mark != pending.end()) {
                    cut = size_t(mark - pending.begin()) + joinMarkSize;
                    break;
                }
                scanned = pending.size() - (joinMarkSize - 1);
            }
            if (unread == 0) {
                cut = pending.size();
                break;
            }
            if (pending.size() >= maxJobInput) {
                cut = pending.size();
                endsAtCut = false;
                break;
            }
            const size_t n = size_t(std::min<quint64>(readChunk, unread));
            const size_t old = pending.size();
            pending.resize(old + n);
            read(pending.data() + old, qint64(n));
            unread -= n;
        }
        // Room for the empty final block a worker puts after a job.
        j.in.reserve(std::max(cut, maxJobInput) + finalBlockSize);
        j.in.assign(pending.begin(), pending.begin() + qsizetype(cut));
        pending.erase(pending.begin(), pending.begin() + qsizetype(cut));
        scanned = 0;
        j.last = unread == 0 && pending.empty();
        j.parallel = atCut && endsAtCut;
        j.ok = false;
        j.endsStream = false;
        atCut = endsAtCut;
        ++result.jobs;
    };

    Inflater serial;
    if (!serial.ready)
        throw std::bad_alloc();
    bool serialActive = false;     // the stream continues in `serial`
    bool serialAtBoundary = false; // and it stands at a block boundary there
    const auto inflateSerially = [&](Shared::Job& j) -> bool {
        z_stream& z = serial.z;
        if (!serialActive) {
            if (inflateReset(&z) != Z_OK ||
                (!history.empty() &&
                 inflateSetDictionary(&z, reinterpret_cast<const Bytef*>(history.data()),
                                      uInt(history.size())) != Z_OK))
                damaged(name, QStringLiteral("Deflate-Daten fehlerhaft"));
            serialActive = true;
        }
        const auto chunk = std::make_unique_for_overwrite<char[]>(serialChunk);
        z.next_in = reinterpret_cast<Bytef*>(j.in.data());
        z.avail_in = uInt(j.in.size());
        for (;;) {
            z.next_out = reinterpret_cast<Bytef*>(chunk.get());
            z.avail_out = uInt(serialChunk);
            const uInt inBefore = z.avail_in;
            const int r = ::inflate(&z, Z_NO_FLUSH);
            if (z.avail_in != inBefore || z.avail_out != serialChunk)
                serialAtBoundary = atBlockBoundary(z);
            if (r != Z_OK && r != Z_BUF_ERROR && r != Z_STREAM_END)
                damaged(name, QStringLiteral("Deflate-Daten fehlerhaft"));
            deliver(chunk.get(), serialChunk - z.avail_out, nullptr);
            if (r == Z_STREAM_END)
                return true;
            if (z.avail_in == 0 && z.avail_out > 0)
                break;
        }
        return false;
    };

    quint64 made = 0;
    quint64 done = 0;
    bool ended = false;
    if (compressedSize == 0 && size == 0)
        return result;
    while (!ended) {
        while (made < done + ring && (unread > 0 || !pending.empty())) {
            Shared::Job& j = s.jobs[made % ring];
            makeJob(j);
            if (j.parallel) {
                {
                    std::lock_guard lock(s.mutex);
                    j.state = Shared::State::Queued;
                    s.queue.push_back(&j);
                }
                s.queued.notify_one();
            } else {
                j.state = Shared::State::Held;
            }
            ++made;
        }
        if (done == made)
            damaged(name, QStringLiteral("Deflate-Daten enden vorzeitig"));

        Shared::Job& j = s.jobs[done % ring];
        if (j.parallel) {
            std::unique_lock lock(s.mutex);
            s.finished.wait(lock, [&j] { return j.state == Shared::State::Done; });
        }
        if (j.parallel && j.ok && (!serialActive || serialAtBoundary)) {
            serialActive = false;
            deliver(j.out.get(), j.outSize, &j.crc);
            ++result.parallel;
            ended = j.endsStream;
        } else {
            ended = inflateSerially(j);
        }
        {
            std::lock_guard lock(s.mutex);
            j.state = Shared::State::Free;
        }
        ++done;
    }
    if (result.size != size)
        damaged(name, QStringLiteral("weniger Daten als angegeben"));
    return result;
}
