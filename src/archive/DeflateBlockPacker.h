#pragma once

#include "archive/DeflateStreamCheck.h"

#include <QString>

#include <cstddef>

struct libdeflate_compressor;

// Turns one block of an entry's data into one piece of the entry's single Deflate stream, and
// proves the piece before anyone writes it.
//
// libdeflate compresses a whole buffer into a complete stream whose last Deflate block carries
// the final bit. To let the next block's piece follow, that bit is cleared and the piece ends
// with an empty stored block, which brings the stream to a byte boundary. Only the entry's last
// piece keeps its final bit.
//
// The check walks the piece's codes (DeflateStreamCheck, as strict about them as zlib) and
// compares every byte they stand for with the block as it was read, in one pass and without
// inflating into a buffer; the walk also finds the final block. Then the final bit is cleared
// and the stored block appended, and what follows the piece's blocks is walked again as the
// next piece will see it.
//
// One packer per thread: it keeps a compressor and a stream check.
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

    // Checks that the compressed piece `piece` (`pieceSize` bytes) inflates to exactly `in` and
    // ends with its last byte. Unless `last`, the piece is then turned into an open one (final
    // bit cleared, empty stored block appended, `pieceSize` grown) and the join is checked.
    // Returns an empty text when all is well; otherwise what is wrong, and the piece (possibly
    // changed on the way) must not be written.
    QString verifyAndJoin(const char* in, size_t inSize, char* piece, size_t& pieceSize,
                          size_t pieceCapacity, bool last);

private:
    static QString problemText(const DeflateContentCheck& found, size_t inSize);

    libdeflate_compressor* m_compressor = nullptr;
    size_t m_blockSize = 0;
    DeflateStreamCheck m_streamCheck;
};
