#include "archive/ParallelDeflate.h"

#include "archive/DeflateBlockPacker.h"
#include "platform/ProgramError.h"

#include <QThread>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <libdeflate.h>
#include <mutex>
#include <thread>
#include <vector>
#include <zlib.h>

namespace {

constexpr qint64 smallestBlock = 1024;
constexpr qint64 largestBlock = 16 << 20;

} // namespace

struct ParallelDeflate::Shared {
    // A block goes Free -> Queued -> Done, or, when sealed, Free -> Queued -> Checked ->
    // SealQueued -> Done; any step may end in Failed.
    enum class State { Free, Queued, Checked, SealQueued, Done, Failed };

    struct Block {
        std::unique_ptr<char[]> in;
        std::unique_ptr<char[]> out;
        size_t inSize = 0;
        size_t outSize = 0;
        quint64 index = 0;
        bool last = false;
        quint32 crc = 0;
        quint64 offset = 0; // where the piece stands in the stream, once the ones before are known
        State state = State::Free;
        QString failure;
    };

    DeflateOptions options;
    size_t blockSize = 0;
    size_t outCapacity = 0;
    std::vector<Block> blocks;
    std::vector<std::unique_ptr<DeflateBlockPacker>> packers;
    std::vector<std::thread> workers;

    std::mutex mutex;
    std::condition_variable queued;   // a block waits for a worker, or the workers are to stop
    std::condition_variable finished; // a worker finished a block
    std::deque<Block*> queue;
    int busy = 0;
    bool stopping = false;
    // The current entry's seal, and the next piece to be given its place in the stream.
    const Seal* seal = nullptr;
    quint64 nextPlace = 0;
    quint64 placedBytes = 0;

    void work(DeflateBlockPacker& packer);
    void process(Block& b, DeflateBlockPacker& packer) const;
    void placeCheckedBlocks();
    void stopWorkers();
};

void ParallelDeflate::Shared::work(DeflateBlockPacker& packer) {
    for (;;) {
        Block* b = nullptr;
        {
            std::unique_lock lock(mutex);
            queued.wait(lock, [this] { return stopping || !queue.empty(); });
            if (stopping)
                return;
            b = queue.front();
            queue.pop_front();
            ++busy;
        }
        const bool sealing = b->state == State::SealQueued;
        if (sealing) {
            try {
                (*seal)(b->offset, b->out.get(), b->outSize);
            } catch (...) {
                b->failure = QStringLiteral("Block %1 nicht verschlüsselt").arg(b->index + 1);
            }
        } else {
            try {
                process(*b, packer);
            } catch (...) {
                b->failure = QStringLiteral("Block %1 nicht komprimiert").arg(b->index + 1);
            }
        }
        bool placed = false;
        {
            std::lock_guard lock(mutex);
            if (!b->failure.isEmpty()) {
                b->state = State::Failed;
            } else if (seal && !sealing) {
                b->state = State::Checked;
                placed = true;
                placeCheckedBlocks();
            } else {
                b->state = State::Done;
            }
            --busy;
        }
        if (placed)
            queued.notify_all();
        finished.notify_all();
    }
}

// A piece's place in the stream is known once every piece before it is checked: from the first
// piece without a place on, each checked one gets its place and goes to be sealed. Called with
// the mutex held.
void ParallelDeflate::Shared::placeCheckedBlocks() {
    for (;;) {
        Block& b = blocks[nextPlace % blocks.size()];
        // The state first: a block's index is only settled once it left Free.
        if (b.state != State::Checked || b.index != nextPlace)
            return;
        b.offset = placedBytes;
        placedBytes += b.outSize;
        b.state = State::SealQueued;
        queue.push_back(&b);
        ++nextPlace;
    }
}

void ParallelDeflate::Shared::process(Block& b, DeflateBlockPacker& packer) const {
    b.failure.clear();
    b.crc = libdeflate_crc32(0, b.in.get(), b.inSize);
    b.outSize = packer.compress(b.in.get(), b.inSize, b.out.get(), outCapacity);
    QString problem;
    if (b.outSize == 0) {
        problem = QStringLiteral("lässt sich nicht komprimieren");
    } else {
        if (options.damage)
            options.damage(b.index, b.out.get(), b.outSize);
        problem =
            packer.verifyAndJoin(b.in.get(), b.inSize, b.out.get(), b.outSize, outCapacity, b.last);
    }
    if (!problem.isEmpty())
        b.failure = QStringLiteral("Block %1 ").arg(b.index + 1) + problem;
}

void ParallelDeflate::Shared::stopWorkers() {
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    queued.notify_all();
    for (std::thread& t : workers)
        t.join();
    workers.clear();
}

ParallelDeflate::ParallelDeflate(DeflateOptions options) : d(std::make_unique<Shared>()) {
    d->options = std::move(options);
    const int threads = std::clamp(
        d->options.threads > 0 ? d->options.threads : QThread::idealThreadCount(), 1, maxThreads);
    d->blockSize = size_t(std::clamp(d->options.blockSize, smallestBlock, largestBlock));
    d->outCapacity = DeflateBlockPacker::outputBound(d->blockSize);
    // Two blocks per worker, one being compressed and one waiting, and one being read or
    // written, so no worker waits for the file.
    d->blocks.resize(size_t(std::min(2 * threads + 1, maxBlocks)));
    for (Shared::Block& b : d->blocks) {
        b.in = std::make_unique_for_overwrite<char[]>(d->blockSize);
        b.out = std::make_unique_for_overwrite<char[]>(d->outCapacity);
    }
    for (int i = 0; i < threads; ++i)
        d->packers.push_back(std::make_unique<DeflateBlockPacker>(d->options.level, d->blockSize));
    try {
        for (int i = 0; i < threads; ++i)
            d->workers.emplace_back(&Shared::work, d.get(), std::ref(*d->packers[size_t(i)]));
    } catch (...) {
        d->stopWorkers();
        throw;
    }
}

ParallelDeflate::~ParallelDeflate() {
    d->stopWorkers();
}

int ParallelDeflate::threads() const {
    return int(d->packers.size());
}

quint64 ParallelDeflate::worstCase(quint64 size) const {
    const quint64 whole = size / d->blockSize;
    const quint64 rest = size % d->blockSize;
    quint64 bound = whole * DeflateBlockPacker::outputBound(d->blockSize);
    if (rest > 0 || size == 0)
        bound += DeflateBlockPacker::outputBound(size_t(rest));
    return bound;
}

ParallelDeflate::Result ParallelDeflate::deflate(const QString& name, quint64 size,
                                                 const Read& read, const Write& write,
                                                 const Seal& seal) {
    Shared& s = *d;
    const quint64 blockCount = size == 0 ? 1 : (size + s.blockSize - 1) / s.blockSize;
    const size_t ring = s.blocks.size();

    // However this ends, no worker may still be at a block when the next entry reuses it.
    struct Settle {
        Shared& s;
        ~Settle() {
            std::unique_lock lock(s.mutex);
            s.queue.clear();
            s.finished.wait(lock, [this] { return s.busy == 0; });
            for (Shared::Block& b : s.blocks)
                b.state = Shared::State::Free;
            s.seal = nullptr;
        }
    } settle{s};
    {
        std::lock_guard lock(s.mutex);
        s.seal = seal ? &seal : nullptr;
        s.nextPlace = 0;
        s.placedBytes = 0;
        for (Shared::Block& b : s.blocks)
            b.index = ~quint64(0);
    }

    Result result;
    result.crc = quint32(crc32(0, nullptr, 0));
    quint64 nextRead = 0;
    quint64 nextWrite = 0;
    while (nextWrite < blockCount) {
        // Keep every free block busy; when none is free, reading waits for writing.
        while (nextRead < blockCount && nextRead - nextWrite < ring) {
            Shared::Block& b = s.blocks[nextRead % ring];
            b.index = nextRead;
            b.last = nextRead + 1 == blockCount;
            b.inSize = b.last ? size_t(size - nextRead * s.blockSize) : s.blockSize;
            read(b.in.get(), qint64(b.inSize));
            {
                std::lock_guard lock(s.mutex);
                b.state = Shared::State::Queued;
                s.queue.push_back(&b);
            }
            s.queued.notify_one();
            ++nextRead;
        }

        Shared::Block& b = s.blocks[nextWrite % ring];
        {
            std::unique_lock lock(s.mutex);
            s.finished.wait(lock, [&b] {
                return b.state == Shared::State::Done || b.state == Shared::State::Failed;
            });
        }
        if (b.state == Shared::State::Failed)
            throw ProgramError(QStringLiteral("Fehler beim Komprimieren: ") + name +
                               QStringLiteral(" (") + b.failure + QLatin1Char(')'));
        write(b.out.get(), qint64(b.outSize));
        result.crc = quint32(crc32_combine64(result.crc, b.crc, z_off64_t(b.inSize)));
        result.size += b.inSize;
        result.compressedSize += b.outSize;
        {
            std::lock_guard lock(s.mutex);
            b.state = Shared::State::Free;
        }
        ++nextWrite;
    }
    return result;
}
