#pragma once

#include "archive/DeflateFinalBlock.h"

#include <QString>

#include <cstddef>
#include <memory>

struct libdeflate_compressor;
struct libdeflate_decompressor;

// Turns one block of an entry's data into one piece of the entry's single Deflate stream, and
// proves the piece before anyone writes it.
//
// libdeflate compresses a whole buffer into a complete stream whose last Deflate block carries
// the final bit. To let the next block's piece follow, that bit is cleared and the piece ends
// with an empty stored block, which brings the stream to a byte boundary. Only the entry's last
// piece keeps its final bit. The check inflates the piece exactly as it will be written, with
// the cleared bit and the appended stored block, and compares every byte with the input.
//
// The piece's blocks are found by walking its Huffman codes (DeflateFinalBlockFinder, as strict
// about them as zlib); libdeflate's inflater then proves what the piece holds.
//
// One packer per thread: it keeps a compressor, an inflater, a block finder and a buffer as
// large as a block.
class DeflateBlockPacker {
public:
    // Room after a piece: for an empty stored block appended to a piece that is not the entry's
    // last (5 bytes at most), and, during the check only, an empty final block after it (2).
    static constexpr size_t joinRoom = 7;

    // Output room a block of `inputSize` bytes may need, the appended stored block included.
    static size_t outputBound(size_t inputSize);

    // `level` is libdeflate's (1 fastest … 12 smallest); blocks hold at most `blockSize` bytes.
    // Throws std::bad_alloc when out of memory.
    DeflateBlockPacker(int level, size_t blockSize);
    ~DeflateBlockPacker();
    DeflateBlockPacker(const DeflateBlockPacker&) = delete;
    DeflateBlockPacker& operator=(const DeflateBlockPacker&) = delete;

    // Compresses `in` into `out` as a complete Deflate stream; returns its size, 0 when it does
    // not fit `outCapacity - joinRoom` (never the case with outputBound()).
    size_t compress(const char* in, size_t inSize, char* out, size_t outCapacity);

    // Inflates the compressed piece `piece` (`pieceSize` bytes) and compares it with `in`.
    // Unless `last`, the piece is turned into an open one on the way (final bit cleared, empty
    // stored block appended, `pieceSize` grown), and it is the piece so changed that is checked.
    // Returns an empty text when the piece inflates to exactly `in` and ends where it must;
    // otherwise what is wrong, and the piece (possibly changed on the way) must not be written.
    QString verifyAndJoin(const char* in, size_t inSize, char* piece, size_t& pieceSize,
                          size_t pieceCapacity, bool last);

private:
    QString inflatesTo(const char* in, size_t inSize, const char* piece, size_t size);

    libdeflate_compressor* m_compressor = nullptr;
    libdeflate_decompressor* m_decompressor = nullptr;
    DeflateFinalBlockFinder m_finder;
    std::unique_ptr<char[]> m_scratch;
    size_t m_scratchSize = 0;
};
