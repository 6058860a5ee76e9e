#include "archive/DeflateBlockPacker.h"

#include <cstring>
#include <libdeflate.h>
#include <new>

size_t DeflateBlockPacker::outputBound(size_t inputSize) {
    return libdeflate_deflate_compress_bound(nullptr, inputSize) + joinRoom;
}

DeflateBlockPacker::DeflateBlockPacker(int level, size_t blockSize)
    : m_compressor(libdeflate_alloc_compressor(level)),
      m_decompressor(libdeflate_alloc_decompressor()),
      m_scratch(std::make_unique_for_overwrite<char[]>(blockSize)), m_scratchSize(blockSize) {
    if (!m_compressor || !m_decompressor) {
        libdeflate_free_compressor(m_compressor);
        libdeflate_free_decompressor(m_decompressor);
        throw std::bad_alloc();
    }
}

DeflateBlockPacker::~DeflateBlockPacker() {
    libdeflate_free_compressor(m_compressor);
    libdeflate_free_decompressor(m_decompressor);
}

size_t DeflateBlockPacker::compress(const char* in, size_t inSize, char* out, size_t outCapacity) {
    if (outCapacity < joinRoom)
        return 0;
    return libdeflate_deflate_compress(m_compressor, in, inSize, out, outCapacity - joinRoom);
}

// Inflates the complete stream `piece` and compares it with `in`: it must give exactly `inSize`
// bytes, equal to `in`, and end with its last byte.
QString DeflateBlockPacker::inflatesTo(const char* in, size_t inSize, const char* piece,
                                       size_t size) {
    if (inSize > m_scratchSize)
        return QStringLiteral("größer als ein Block");
    size_t taken = 0;
    size_t given = 0;
    const libdeflate_result rc = libdeflate_deflate_decompress_ex(
        m_decompressor, piece, size, m_scratch.get(), inSize, &taken, &given);
    if (rc == LIBDEFLATE_INSUFFICIENT_SPACE)
        return QStringLiteral("entpackt zu mehr als %1 Bytes").arg(inSize);
    if (rc != LIBDEFLATE_SUCCESS)
        return QStringLiteral("nicht entpackbar");
    if (given != inSize)
        return QStringLiteral("entpackt zu %1 statt %2 Bytes").arg(given).arg(inSize);
    if (taken != size)
        return QStringLiteral("hat Daten nach dem Ende");
    if (std::memcmp(m_scratch.get(), in, inSize) != 0)
        return QStringLiteral("entpackt nicht zu den gelesenen Daten");
    return {};
}

QString DeflateBlockPacker::verifyAndJoin(const char* in, size_t inSize, char* piece,
                                          size_t& pieceSize, size_t pieceCapacity, bool last) {
    if (pieceSize == 0)
        return QStringLiteral("leer");
    auto* const bytes = reinterpret_cast<unsigned char*>(piece);
    const std::optional<DeflateFinalBlock> end = m_finder.find(bytes, pieceSize);
    if (!end)
        return QStringLiteral("kein vollständiger Deflate-Datenstrom");
    if ((end->endBit + 7) / 8 != pieceSize)
        return QStringLiteral("hat Daten nach dem Ende");
    if (last)
        return inflatesTo(in, inSize, piece, pieceSize);

    // Open the stream for the next piece: clear the final bit and the unused bits of the last
    // byte, then end on a byte boundary with an empty stored block: three header bits (not
    // final, stored; zero), the rest of their byte, length 0 and its complement. The header
    // bits go into the last byte when at least three of its bits are free.
    bytes[end->headerBit / 8] &= static_cast<unsigned char>(~(1u << (end->headerBit % 8)));
    const unsigned used = unsigned(end->endBit % 8); // 0: all eight
    if (used != 0)
        bytes[pieceSize - 1] &= static_cast<unsigned char>((1u << used) - 1);
    const bool needsByte = used == 0 || 8 - used < 3;
    const size_t added = (needsByte ? 1 : 0) + 4;
    if (pieceCapacity < pieceSize || pieceCapacity - pieceSize < added + 2)
        return QStringLiteral("kein Platz für das Blockende");
    unsigned char* tail = bytes + pieceSize;
    size_t k = 0;
    if (needsByte)
        tail[k++] = 0x00;
    tail[k++] = 0x00;
    tail[k++] = 0x00;
    tail[k++] = 0xFF;
    tail[k++] = 0xFF;
    // The piece is checked as the next piece will see it, followed for the check only by an
    // empty final block (final, fixed codes, end code: ten bits), which is not written.
    tail[k++] = 0x03;
    tail[k++] = 0x00;
    const QString problem = inflatesTo(in, inSize, piece, pieceSize + added + 2);
    if (problem.isEmpty())
        pieceSize += added;
    return problem;
}
